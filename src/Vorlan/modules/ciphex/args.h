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

// The matched arguments of one call, each held by a strong reference until
// the call returns: Python code that runs during the call (an argument's
// __buffer__ or __index__) may clear the keyword dict they came from, and a
// view of an exact bytes object holds no reference of its own.
template <int N>
class MatchedArgs {
public:
    MatchedArgs() = default;
    MatchedArgs(const MatchedArgs&) = delete;
    MatchedArgs& operator=(const MatchedArgs&) = delete;
    ~MatchedArgs() {
        for (PyObject* item : items_) Py_XDECREF(item);
    }
    PyObject* operator[](int i) const { return items_[i]; }
    PyObject** slots() { return items_; }

private:
    PyObject* items_[N] = {};
};

// Vectorcall convention. Fills out[0..count) with new references (null for
// optional ones not given), for a MatchedArgs to own. On error sets
// TypeError, leaves out all null and returns -1.
int match_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out);

// Tuple and dict convention, for constructors; as match_fastcall.
int match_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace vorlan::ciphex
