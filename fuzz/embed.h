// The interpreter inside a fuzz target: started once, with every object on
// the C heap so that the sanitizer sees each allocation and each leak.
#pragma once

#include <Python.h>

namespace vorlan::fuzz {

// Starts the interpreter (isolated from the environment, malloc as its
// allocator) with this build's modules, fuzz/ and tests/ on sys.path. Aborts
// on failure.
void start_interpreter();

// Imports a module, or prints the exception and aborts.
PyObject* import_or_die(const char* name);

// Called after each input; every ten seconds, collects the interpreter's
// garbage and runs a leak check, which aborts on any block that nothing
// references any more. (libFuzzer's own check after every input is of no
// use here: the interpreter's caches and its cycle collector leave the
// allocation counts of most inputs uneven, and each of those would cost a
// full check.)
void input_done();

// Prints the pending exception, if any, and what failed, then aborts, which
// libFuzzer reports as a crash with the input saved.
[[noreturn]] void die(const char* what);

}  // namespace vorlan::fuzz
