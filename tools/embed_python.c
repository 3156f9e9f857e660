/* The aarch64 interpreter of the emulated test runs: Debian ships
 * libpython3.14 for arm64 beside the host's (multiarch), but its python3.14
 * program for one architecture only. Built by `make test-arm-python`. */
#include <Python.h>

int main(int argc, char** argv) { return Py_BytesMain(argc, argv); }
