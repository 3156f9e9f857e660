// A libFuzzer target whose work is done by a Python driver module: every
// input goes to the driver's one_input(data). The driver raises only when it
// has found a fault (a wrong result or an exception the module must not
// raise); that, like a sanitizer report, ends the run with the input saved.
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "embed.h"

namespace {
PyObject* g_one_input = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vorlan::fuzz::start_interpreter();
    PyObject* driver = vorlan::fuzz::import_or_die(VORLAN_FUZZ_DRIVER);
    g_one_input = PyObject_GetAttrString(driver, "one_input");
    Py_DECREF(driver);
    if (g_one_input == nullptr) vorlan::fuzz::die(VORLAN_FUZZ_DRIVER ".one_input");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PyObject* arg = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                              static_cast<Py_ssize_t>(size));
    if (arg == nullptr) vorlan::fuzz::die("input bytes");
    PyObject* result = PyObject_CallOneArg(g_one_input, arg);
    Py_DECREF(arg);
    if (result == nullptr) vorlan::fuzz::die(VORLAN_FUZZ_DRIVER ".one_input raised");
    Py_DECREF(result);
    if (PyErr_Occurred()) vorlan::fuzz::die("exception left set");
    vorlan::fuzz::input_done();
    return 0;
}
