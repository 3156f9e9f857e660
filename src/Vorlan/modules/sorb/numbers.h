// Python numbers as the wire form's integers: the conversions pack applies
// to int and long parameters, and the fast reads of exact ints.
#pragma once

#include <Python.h>

#include <cstdint>

#include "pyref.h"

namespace sorb {

// The integer conversion of a non-int (its __int__; a float truncates).
// Returns a new reference to an int, or null with TypeError set.
inline PyObject* integer_conversion(PyObject* value) {
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    PyObject* result = number->nb_int(value);
    if (result == nullptr || PyLong_CheckExact(result)) return result;
    Ref owned(result);
    if (PyLong_Check(result)) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(result)->tp_name) < 0)
            return nullptr;
        return owned.release();
    }
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result)->tp_name);
    return nullptr;
}

// A new reference to value as an int: itself if it is one, else converted.
inline PyObject* as_int(PyObject* value) {
    if (PyLong_Check(value)) return Py_NewRef(value);
    return integer_conversion(value);
}

// Most values are small exact ints: read in place, no reference taken, no
// Python code run. False for any other value.
inline bool small_int(PyObject* value, Py_ssize_t* out) {
    if (!PyLong_CheckExact(value) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value)))
        return false;
    *out = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value));
    return true;
}

// An exact int that is not compact, below 2**64 (ids, hashes, random
// ids): read from its digits as the interpreter's header lays them out,
// without a call. False for any other value (negative ones included),
// which takes the general conversion.
inline bool positive_uint64(PyObject* value, uint64_t* out) {
#if PyLong_SHIFT == 30
    const _PyLongValue& digits = reinterpret_cast<PyLongObject*>(value)->long_value;
    if ((digits.lv_tag & _PyLong_SIGN_MASK) != 0) return false;  // zero or negative
    const uint64_t count = digits.lv_tag >> _PyLong_NON_SIZE_BITS;
    if (count == 2) {
        *out = digits.ob_digit[0] | uint64_t{digits.ob_digit[1]} << 30;
        return true;
    }
    if (count == 3 && digits.ob_digit[2] < 16) {
        *out = digits.ob_digit[0] | uint64_t{digits.ob_digit[1]} << 30 | uint64_t{digits.ob_digit[2]} << 60;
        return true;
    }
#else
    (void)value;
    (void)out;
#endif
    return false;
}

// An int parameter takes -2**31 to 2**32 - 1: the reader gives back the
// word as unsigned, and what it gives must pack again. Values from 2**31
// on are written as their 32-bit pattern.
constexpr long long kIntMin = INT32_MIN;
constexpr long long kIntMax = UINT32_MAX;

inline int to_int_word(PyObject* value, uint32_t* out) {
    Ref number(as_int(value));
    if (!number) return -1;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow > 0 || v > kIntMax) {
        PyErr_SetString(PyExc_OverflowError, "value too large for an int: at most 4294967295");
        return -1;
    }
    if (overflow < 0 || v < kIntMin) {
        PyErr_SetString(PyExc_OverflowError, "value too small for an int: at least -2147483648");
        return -1;
    }
    *out = static_cast<uint32_t>(v);
    return 0;
}

inline int to_uint64(PyObject* value, uint64_t* out) {
    Ref number(as_int(value));
    if (!number) return -1;
    if (PyLong_IsNegative(number.get())) {
        PyErr_Format(PyExc_OverflowError, "can't convert negative value to %.200s", "uint64_t");
        return -1;
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(number.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
    *out = v;
    return 0;
}

}  // namespace sorb
