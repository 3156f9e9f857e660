// Argument matching for the module's methods and constructors, with the
// host's usual messages for wrong counts and keywords. The two extension
// modules share no code, so each carries its own copy of this matcher.
#pragma once

#include <Python.h>

namespace vorlan::ciphex {

struct ArgSpec {
    const char* func;          // name shown in messages, e.g. "unpack"
    const char* const* names;  // parameter names, in position order
    Py_ssize_t required;       // leading parameters that must be given
    Py_ssize_t count;          // all parameters
};

// Vectorcall convention. Fills out[0..count) with borrowed references
// (null for optional ones not given). On error sets TypeError and returns -1.
int match_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out);

// Tuple and dict convention, for constructors.
int match_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace vorlan::ciphex
