#include "traceback.h"

#include <Python.h>
#include <frameobject.h>  // PyFrame_New is not in Python.h

#include "module.h"

namespace sorb {
namespace {

constexpr const char* kSourceName = "src/Vorlan/modules/sorb/sorb";

constexpr const char* kSiteNames[] = {
    "Vorlan.sorb.SorbSchemaCompiler.compile",
    "Vorlan.sorb.SorbSchemaCompiler._parse_json_schema",
    "Vorlan.sorb.SorbSchemaCompiler._create_constructor",
    "Vorlan.sorb.SorbParser.__cinit__",
    "Vorlan.sorb.SorbParser.unpack",
    "Vorlan.sorb.SorbParser._read_object",
    "Vorlan.sorb.SorbParser._read_value",
    "Vorlan.sorb.SorbParser._read_vector",
    "Vorlan.sorb.SorbParser.pack",
    "Vorlan.sorb.SorbParser._write_object",
    "Vorlan.sorb.SorbParser._write_value",
    "Vorlan.sorb.SorbParser._write_vector",
};
static_assert(sizeof kSiteNames / sizeof kSiteNames[0] == static_cast<size_t>(TracebackSite::count_));

// Made on first use and kept: errors in deep nesting add one entry per level.
PyCodeObject* g_codes[static_cast<int>(TracebackSite::count_)] = {};

}  // namespace

void add_traceback(TracebackSite site) {
    PyObject* exception = PyErr_GetRaisedException();
    if (exception == nullptr) return;
    PyCodeObject*& code = g_codes[static_cast<int>(site)];
    if (code == nullptr) code = PyCode_NewEmpty(kSourceName, kSiteNames[static_cast<int>(site)], 0);
    PyFrameObject* frame = nullptr;
    if (code != nullptr && module_dict() != nullptr) frame = PyFrame_New(PyThreadState_Get(), code, module_dict(), nullptr);
    PyErr_Clear();
    PyErr_SetRaisedException(exception);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace sorb
