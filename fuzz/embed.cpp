#include "embed.h"

#include <sanitizer/lsan_interface.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace vorlan::fuzz {

void die(const char* what) {
    if (PyErr_Occurred()) PyErr_Print();
    std::fprintf(stderr, "fuzz target failure: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

void start_interpreter() {
    PyPreConfig pre;
    PyPreConfig_InitIsolatedConfig(&pre);
    pre.allocator = PYMEM_ALLOCATOR_MALLOC;
    if (PyStatus_Exception(Py_PreInitialize(&pre))) die("Py_PreInitialize");

    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) die("Py_InitializeFromConfig");

    PyObject* path = PySys_GetObject("path");  // borrowed
    const char* dirs[] = {VORLAN_SOURCE_DIR "/tests", VORLAN_SOURCE_DIR "/fuzz", VORLAN_FUZZ_LIB};
    for (const char* dir : dirs) {
        PyObject* entry = PyUnicode_FromString(dir);
        if (path == nullptr || entry == nullptr || PyList_Insert(path, 0, entry) < 0) {
            die("sys.path");
        }
        Py_DECREF(entry);
    }
}

void input_done() {
    // A check scans the whole heap, the sanitizer's quarantine included, so it
    // runs on a clock rather than every so many inputs, which for the fast
    // targets cost a fifth of their time.
    using Clock = std::chrono::steady_clock;
    constexpr auto kLeakCheckEvery = std::chrono::seconds(10);
    static auto next_check = Clock::now() + kLeakCheckEvery;
    if (Clock::now() < next_check) return;
    PyGC_Collect();
    if (__lsan_do_recoverable_leak_check() != 0) die("memory leaked (see the report above)");
    next_check = Clock::now() + kLeakCheckEvery;
}

PyObject* import_or_die(const char* name) {
    PyObject* module = PyImport_ImportModule(name);
    if (module == nullptr) die(name);
    return module;
}

}  // namespace vorlan::fuzz
