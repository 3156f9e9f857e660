// The Vorlan.sorb module and its two classes, SorbSchemaCompiler and
// SorbParser: argument handling and object lifetimes. The work itself is
// in schema.cpp, reader.cpp and writer.cpp.
#include <Python.h>

#include <new>

#include "args.h"
#include "guards.h"
#include "module.h"
#include "parser.h"
#include "pyref.h"
#include "schema.h"
#include "traceback.h"

namespace sorb {

// Process-wide: the module can live in one interpreter only, so its
// object, its classes and its constants are plain globals.
namespace {
PyObject* g_module = nullptr;
int64_t g_interpreter_id = -1;
PyObject* g_strings[static_cast<int>(StringId::count_)] = {};
PyTypeObject* g_compiler_type = nullptr;

const char kNoReduce[] = "no default __reduce__ due to non-trivial __cinit__";
}  // namespace

PyTypeObject* SorbParser_Type = nullptr;

PyObject* module_string(StringId id) { return g_strings[static_cast<int>(id)]; }

PyObject* module_dict() { return g_module ? PyModule_GetDict(g_module) : nullptr; }

PyObject* module_global(const char* name) {
    PyObject* value = nullptr;
    if (g_module != nullptr &&
        PyDict_GetItemStringRef(PyModule_GetDict(g_module), name, &value) != 0) {
        return value;  // found, or null with the lookup's error
    }
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return nullptr;
}

namespace {

// ---- shared method helpers ------------------------------------------------

PyObject* refuse_reduce(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const ArgSpec spec{"__reduce__", nullptr, 0, 0};
    if (match_fastcall(spec, args, nargs, kwnames, nullptr) < 0) return nullptr;
    PyErr_SetString(PyExc_TypeError, kNoReduce);
    return nullptr;
}

PyObject* refuse_setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"state"};
    static const ArgSpec spec{"__setstate__", names, 1, 1};
    Ref state;
    if (match_fastcall(spec, args, nargs, kwnames, &state) < 0) return nullptr;
    PyErr_SetString(PyExc_TypeError, kNoReduce);
    return nullptr;
}

#define SORB_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

// A signature for help() and inspect.signature, then the docstring.
#define SORB_DOC(signature, text) signature "\n--\n\n" text

#define SORB_PICKLING_REFUSAL                                                       \
    {"__reduce__", SORB_FASTCALL(refuse_reduce), METH_FASTCALL | METH_KEYWORDS,        \
     SORB_DOC("__reduce__($self, /)", "Refused: the object cannot be pickled or copied.")}, \
    {"__setstate__", SORB_FASTCALL(refuse_setstate), METH_FASTCALL | METH_KEYWORDS,    \
     SORB_DOC("__setstate__($self, /, state)", "Refused: the object cannot be pickled or copied.")}

PyObject* refuse_concurrent_call() {
    PyErr_SetString(PyExc_RuntimeError,
                    "SorbParser is already in use: a parser serves one call at a time");
    return nullptr;
}

// A subclass's __del__ can keep alive an object whose construction failed,
// with a part of a table or none. It refuses to work. On refusal sets
// RuntimeError and returns -1.
int require_constructed(PyObject* self, bool constructed) {
    if (constructed) return 0;
    PyErr_Format(PyExc_RuntimeError, "%.200s object is unusable: its construction failed",
                 Py_TYPE(self)->tp_name);
    return -1;
}

// The parser's compiler, or null with an exception when the parser's
// construction failed or the cycle collector has cleared the compiler.
SorbSchemaCompiler* parser_compiler(SorbParser* self) {
    if (require_constructed(reinterpret_cast<PyObject*>(self), self->constructed) < 0) return nullptr;
    if (!Py_IS_TYPE(self->compiler, g_compiler_type)) {
        PyErr_SetString(PyExc_RuntimeError, "SorbParser has no compiled schema");
        return nullptr;
    }
    return reinterpret_cast<SorbSchemaCompiler*>(self->compiler);
}

// ---- SorbSchemaCompiler ---------------------------------------------------

PyObject* compiler_new(PyTypeObject* type, PyObject*, PyObject*) {
    // Arguments are accepted and ignored.
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* compiler = reinterpret_cast<SorbSchemaCompiler*>(self.get());
    try {
        compiler->retired = new std::vector<TablePtr>();
        compiler->id_map = new IdIndex();
        compiler->name_map = new NameIndex();  // last: its presence marks a whole compiler
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return self.release();
}

void compiler_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<SorbSchemaCompiler*>(obj);
    PyTypeObject* type = Py_TYPE(obj);
    release_table(self->schema);
    self->schema = nullptr;
    delete self->retired;
    delete self->id_map;
    delete self->name_map;
    type->tp_free(obj);
    Py_DECREF(type);
}

PyObject* compiler_compile_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    static const char* const names[] = {"json_data"};
    static const ArgSpec spec{"compile", names, 1, 1};
    Ref json_data;
    if (match_fastcall(spec, args, nargs, kwnames, &json_data) < 0) return nullptr;
    auto* compiler = reinterpret_cast<SorbSchemaCompiler*>(self);
    if (require_constructed(self, compiler->name_map != nullptr) < 0) return nullptr;
    if (compiler->owned_by_parser) {
        PyErr_SetString(PyExc_RuntimeError,
                        "this SorbSchemaCompiler belongs to a SorbParser, which compiles it "
                        "once: make a new SorbParser for another schema");
        return nullptr;
    }
    if (compiler_compile(compiler, json_data.get()) < 0) {
        add_traceback(TracebackSite::compile);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef compiler_methods[] = {
    {"compile", SORB_FASTCALL(compiler_compile_method), METH_FASTCALL | METH_KEYWORDS,
     SORB_DOC("compile($self, /, json_data)",
              "Builds the table from json_data: a JSON text, or a dict as json.loads would\n"
              "give it, with the lists \"constructors\" and \"methods\". A SorbParser's own\n"
              "compiler refuses it (RuntimeError).")},
    SORB_PICKLING_REFUSAL,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot compiler_slots[] = {
    {Py_tp_doc, const_cast<char*>(SORB_DOC(
        "SorbSchemaCompiler(*args, **kwargs)",
        "Compiles a schema into the table that a SorbParser reads. Each SorbParser\n"
        "makes its own; use one directly only to check a schema. Any arguments are\n"
        "accepted and ignored."))},
    {Py_tp_new, reinterpret_cast<void*>(compiler_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(compiler_dealloc)},
    {Py_tp_methods, compiler_methods},
    {0, nullptr},
};

PyType_Spec compiler_spec = {
    "Vorlan.sorb.SorbSchemaCompiler",
    sizeof(SorbSchemaCompiler),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    compiler_slots,
};

// ---- SorbParser -----------------------------------------------------------

PyObject* parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"schema_json"};
    static const ArgSpec spec{"__cinit__", names, 1, 1};
    Ref schema_json;
    if (match_tuple(spec, args, kwargs, &schema_json) < 0) return nullptr;

    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* parser = reinterpret_cast<SorbParser*>(self.get());
    parser->compiler = Py_NewRef(Py_None);
    PyObject* compiler = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(g_compiler_type));
    if (compiler == nullptr) return nullptr;
    reinterpret_cast<SorbSchemaCompiler*>(compiler)->owned_by_parser = 1;
    Py_SETREF(parser->compiler, compiler);
    if (compiler_compile(reinterpret_cast<SorbSchemaCompiler*>(compiler), schema_json.get()) < 0) {
        add_traceback(TracebackSite::compile);
        add_traceback(TracebackSite::parser_init);
        return nullptr;
    }
    parser->constructed = 1;
    return self.release();
}

int parser_traverse(PyObject* obj, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(obj));
    Py_VISIT(reinterpret_cast<SorbParser*>(obj)->compiler);
    return 0;
}

int parser_clear(PyObject* obj) {
    Py_SETREF(reinterpret_cast<SorbParser*>(obj)->compiler, Py_NewRef(Py_None));
    return 0;
}

void parser_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<SorbParser*>(obj);
    PyTypeObject* type = Py_TYPE(obj);
    PyObject_GC_UnTrack(obj);
    std::free(self->buffer);
    self->buffer = nullptr;
    self->capacity = 0;
    Py_CLEAR(self->compiler);
    type->tp_free(obj);
    Py_DECREF(type);
}

PyObject* parser_unpack_method(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    static const char* const names[] = {"data"};
    static const ArgSpec spec{"unpack", names, 1, 1};
    Ref data;
    if (match_fastcall(spec, args, nargs, kwnames, &data) < 0) return nullptr;
    auto* self = reinterpret_cast<SorbParser*>(obj);
    BusyGuard call(&self->busy);
    if (!call.acquired()) return refuse_concurrent_call();
    SorbSchemaCompiler* compiler = parser_compiler(self);
    if (compiler == nullptr) return nullptr;
    // The collector's clear could drop the parser's reference meanwhile.
    Ref held_compiler = Ref::borrow(reinterpret_cast<PyObject*>(compiler));
    PyObject* result = parser_unpack(self, compiler, data.get());
    if (result == nullptr) add_traceback(TracebackSite::unpack);
    return result;
}

PyObject* parser_pack_method(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static const char* const names[] = {"value"};
    static const ArgSpec spec{"pack", names, 1, 1};
    Ref value;
    if (match_fastcall(spec, args, nargs, kwnames, &value) < 0) return nullptr;
    auto* self = reinterpret_cast<SorbParser*>(obj);
    BusyGuard call(&self->busy);
    if (!call.acquired()) return refuse_concurrent_call();
    SorbSchemaCompiler* compiler = parser_compiler(self);
    if (compiler == nullptr) return nullptr;
    Ref held_compiler = Ref::borrow(reinterpret_cast<PyObject*>(compiler));  // as in unpack
    PyObject* result = parser_pack(self, compiler, value.get());
    if (result == nullptr) add_traceback(TracebackSite::pack);
    return result;
}

PyMethodDef parser_methods[] = {
    {"unpack", SORB_FASTCALL(parser_unpack_method), METH_FASTCALL | METH_KEYWORDS,
     SORB_DOC("unpack($self, /, data)",
              "The dict of the message in data (exactly bytes): \"_\" holds the constructor's\n"
              "name, then one key per parameter in schema order. Bytes after the message\n"
              "are ignored.")},
    {"pack", SORB_FASTCALL(parser_pack_method), METH_FASTCALL | METH_KEYWORDS,
     SORB_DOC("pack($self, /, value)",
              "The wire form of value, a dict whose \"_\" names the constructor, as a new\n"
              "bytes object. Missing parameters get their defaults; flags words are computed.\n"
              "An int takes -2**31 to 2**32 - 1 and a long 0 to 2**64 - 1; others raise\n"
              "OverflowError.")},
    SORB_PICKLING_REFUSAL,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot parser_slots[] = {
    {Py_tp_doc, const_cast<char*>(SORB_DOC(
        "SorbParser(schema_json)",
        "Packs and unpacks the messages of one schema (a JSON text or dict), compiled\n"
        "once when the parser is made. A parser serves one call at a time; use one per\n"
        "thread."))},
    {Py_tp_new, reinterpret_cast<void*>(parser_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(parser_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(parser_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(parser_clear)},
    {Py_tp_methods, parser_methods},
    {0, nullptr},
};

PyType_Spec parser_spec = {
    "Vorlan.sorb.SorbParser",
    sizeof(SorbParser),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    parser_slots,
};

// ---- the module -----------------------------------------------------------

// Copies one attribute of the import spec into the module namespace; a
// spec without it is fine.
int copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to,
                        bool skip_none) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(spec, from, &value) < 0) return -1;
    if (value == nullptr) return 0;
    Ref owned(value);
    if (skip_none && value == Py_None) return 0;
    return PyDict_SetItemString(module_dict, to, value);
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
    } else if (id != g_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);

    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* module_dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, module_dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, module_dict, "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, module_dict, "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, module_dict, "submodule_search_locations", "__path__", true) < 0)
        return nullptr;
    return module.release();
}

int make_strings() {
    static const char* const texts[] = {"", "loads", "_", "get", "predicate", "method", "type", "params",
                                        "id", "name"};
    static_assert(sizeof texts / sizeof texts[0] == static_cast<size_t>(StringId::count_));
    for (size_t i = 0; i < sizeof texts / sizeof texts[0]; ++i) {
        if (g_strings[i] != nullptr) continue;
        g_strings[i] = PyUnicode_InternFromString(texts[i]);
        if (g_strings[i] == nullptr) return -1;
    }
    return 0;
}

int add_type(PyObject* module, PyType_Spec* spec, PyTypeObject** slot) {
    PyObject* type = PyType_FromModuleAndSpec(module, spec, nullptr);
    if (type == nullptr) return -1;
    Py_XSETREF(*slot, reinterpret_cast<PyTypeObject*>(type));
    return PyModule_AddType(module, *slot);
}

int exec_steps(PyObject* module) {
#ifdef Py_GIL_DISABLED
    // Exists only on free-threaded hosts, where it turns the lock on.
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED) < 0) return -1;
#endif
    if (make_strings() < 0) return -1;

    PyObject* modules = PyImport_GetModuleDict();
    PyObject* registered = nullptr;
    if (PyDict_GetItemStringRef(modules, "Vorlan.sorb", &registered) < 0) return -1;
    if (registered == nullptr) {
        if (PyDict_SetItemString(modules, "Vorlan.sorb", module) < 0) return -1;
    } else {
        Py_DECREF(registered);
    }

    if (add_type(module, &compiler_spec, &g_compiler_type) < 0) return -1;
    if (add_type(module, &parser_spec, &SorbParser_Type) < 0) return -1;

    Ref json(PyImport_ImportModule("json"));
    if (!json) return -1;
    return PyModule_AddObjectRef(module, "json", json.get());
}

int module_exec(PyObject* module) {
    if (g_module != nullptr) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'sorb' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_module = Py_NewRef(module);
    if (exec_steps(module) < 0) {
        // A later import starts over from creation.
        Py_CLEAR(g_module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

const char kModuleDoc[] =
    "Schema-driven binary serialization. A JSON schema of numbered constructors and\n"
    "methods, each with typed parameters (some present only when a bit of a flags\n"
    "word is set), is compiled once into a native table; a parser then packs dicts\n"
    "to the compact wire form and unpacks them back.\n"
    "\n"
    "A dict names its constructor under \"_\" and holds one key per parameter. Every\n"
    "failure is an exception; one raised inside a message carries a note with the\n"
    "path to the failing field.";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "sorb",
    kModuleDoc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace sorb

PyMODINIT_FUNC PyInit_sorb(void) { return PyModuleDef_Init(&sorb::module_def); }
