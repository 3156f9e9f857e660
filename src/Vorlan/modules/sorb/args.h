// Argument matching for the module's methods and constructors, with the
// host's usual messages for wrong counts and keywords. The two extension
// modules share no code, so each carries its own copy of this matcher.
#pragma once

#include <Python.h>

#include "pyref.h"

namespace sorb {

struct ArgSpec {
    const char* func;          // name shown in messages, e.g. "unpack"
    const char* const* names;  // parameter names, in position order
    Py_ssize_t required;       // leading parameters that must be given
    Py_ssize_t count;          // all parameters
};

// Vectorcall convention. Fills out[0..count) with strong references (empty
// for optional ones not given), so an argument outlives whatever Python code
// the call runs, even code that empties the container it came from. On error
// sets TypeError and returns -1.
int match_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, Ref* out);

// Tuple and dict convention, for constructors. The keyword dict can be
// reached and cleared from Python during the call, hence the strong
// references here above all.
int match_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwargs, Ref* out);

}  // namespace sorb
