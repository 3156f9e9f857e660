#include "args.h"

#include <cstring>

namespace sorb {
namespace {

int raise_count_error(const ArgSpec& spec, Py_ssize_t given, bool too_many) {
    const char* qualifier;
    Py_ssize_t expected;
    if (spec.required == spec.count) {
        qualifier = "exactly";
        expected = spec.count;
    } else if (too_many) {
        qualifier = "at most";
        expected = spec.count;
    } else {
        qualifier = "at least";
        expected = spec.required;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.func, qualifier, expected, expected == 1 ? "" : "s", given);
    return -1;
}

// Places one keyword argument; -1 with TypeError set when it does not fit.
int place_keyword(const ArgSpec& spec, Py_ssize_t nargs, PyObject* key, PyObject* value,
                  Ref* out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.func);
        return -1;
    }
    for (Py_ssize_t i = 0; i < spec.count; ++i) {
        if (PyUnicode_EqualToUTF8(key, spec.names[i])) {
            if (i < nargs || out[i]) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got multiple values for keyword argument '%U'", spec.func, key);
                return -1;
            }
            out[i] = Ref::borrow(value);
            return 0;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.func, key);
    return -1;
}

int check_required(const ArgSpec& spec, const Ref* out) {
    for (Py_ssize_t i = 0; i < spec.required; ++i) {
        if (!out[i]) return raise_count_error(spec, i, false);
    }
    return 0;
}

}  // namespace

int match_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, Ref* out) {
    if (nargs > spec.count) return raise_count_error(spec, nargs, true);
    for (Py_ssize_t i = 0; i < spec.count; ++i) out[i] = Ref();
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = Ref::borrow(args[i]);
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (place_keyword(spec, nargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out) < 0)
                return -1;
        }
    }
    return check_required(spec, out);
}

int match_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwargs, Ref* out) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > spec.count) return raise_count_error(spec, nargs, true);
    for (Py_ssize_t i = 0; i < spec.count; ++i) out[i] = Ref();
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
    if (kwargs != nullptr) {
        // Matching runs no Python code, so the items stay put while the
        // loop borrows them; each match is then taken as a strong reference.
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (place_keyword(spec, nargs, key, value, out) < 0) return -1;
        }
    }
    return check_required(spec, out);
}

}  // namespace sorb
