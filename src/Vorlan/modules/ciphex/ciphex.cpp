// The Vorlan.ciphex module: AesIge256, AesCbc256 and AesCtr256 over the
// native core, and the backend report. A thin shell: it checks arguments,
// holds the argument buffers, and runs the core with the interpreter lock
// released.
#include <Python.h>

#include "aes_core.h"
#include "args.h"
#include "backend.h"
#include "byte_view.h"
#include "modes.h"
#include "stream_lock.h"

namespace vorlan::ciphex {
namespace {

// Process-wide: the module can live in one interpreter only.
PyObject* g_module = nullptr;
int64_t g_interpreter_id = -1;

const char kNoReduce[] = "no default __reduce__ due to non-trivial __cinit__";
constexpr Py_ssize_t kKeySize = 32;

#define CIPHEX_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

// Runs work with the calling thread detached from the interpreter.
template <typename Work>
void without_interpreter_lock(Work&& work) {
    Py_BEGIN_ALLOW_THREADS
    work();
    Py_END_ALLOW_THREADS
}

// Expands key into schedule on the active backend, detached.
void expand_key(AesKeySchedule& schedule, const std::uint8_t* key, int with_decrypt) {
    aes256_expand_key_active(schedule, key, with_decrypt);
}

int raise_value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return -1;
}

// A subclass's __del__ can keep alive an object whose construction failed.
// It holds no key, so it refuses to touch data. On refusal sets
// RuntimeError and returns -1.
int require_constructed(PyObject* self, bool constructed) {
    if (constructed) return 0;
    PyErr_Format(PyExc_RuntimeError, "%.200s object is unusable: its construction failed",
                 Py_TYPE(self)->tp_name);
    return -1;
}

PyObject* refuse_reduce(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const ArgSpec spec{"__reduce__", nullptr, 0, 0};
    if (match_fastcall(spec, args, nargs, kwnames, nullptr) < 0) return nullptr;
    PyErr_SetString(PyExc_TypeError, kNoReduce);
    return nullptr;
}

PyObject* refuse_setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"state"};
    static const ArgSpec spec{"__setstate__", names, 1, 1};
    MatchedArgs<1> state;
    if (match_fastcall(spec, args, nargs, kwnames, state.slots()) < 0) return nullptr;
    PyErr_SetString(PyExc_TypeError, kNoReduce);
    return nullptr;
}

// Methods and classes carry only their signatures (for help() and
// inspect.signature): their __doc__ stays None. The prose is in the stubs.
#define CIPHEX_SIGNATURE(text) text "\n--\n\n"

#define CIPHEX_PICKLING_REFUSAL                                                     \
    {"__reduce__", CIPHEX_FASTCALL(refuse_reduce), METH_FASTCALL | METH_KEYWORDS,      \
     CIPHEX_SIGNATURE("__reduce__($self, /)")},                                        \
    {"__setstate__", CIPHEX_FASTCALL(refuse_setstate), METH_FASTCALL | METH_KEYWORDS,  \
     CIPHEX_SIGNATURE("__setstate__($self, /, state)")}

void plain_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Where a call writes: the data itself in place, or else a new, uninitialised
// bytes object of its length, stored in *result. Null with MemoryError set
// when that object cannot be made.
std::uint8_t* output_for(bool in_place, ByteView& data, PyObject** result) {
    if (in_place) return data.data;
    *result = PyBytes_FromStringAndSize(nullptr, data.length);
    return *result ? reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(*result)) : nullptr;
}

// What a call returns: None in place, else the new bytes object (taken over).
PyObject* call_result(bool in_place, PyObject* result) {
    if (!in_place) return result;
    Py_XDECREF(result);
    Py_RETURN_NONE;
}

// What a call on empty data returns, without touching the cipher.
PyObject* empty_result(bool in_place) {
    return in_place ? Py_NewRef(Py_None) : PyBytes_FromStringAndSize(nullptr, 0);
}

// ---- block modes: AesIge256 and AesCbc256 ---------------------------------

using BlockRoutine = void (*)(const AesKeySchedule&, const std::uint8_t*, std::size_t,
                              const std::uint8_t*, std::uint8_t*);

// What tells the two block-mode classes apart.
struct BlockMode {
    const char* signature;  // the constructor's
    Py_ssize_t iv_size;
    const char* key_message;
    const char* iv_message;
    const char* length_message;
    BlockRoutine encrypt;
    BlockRoutine decrypt;
};

const BlockMode kIge{CIPHEX_SIGNATURE("AesIge256(key)"), 32, "ige256 key must be 32 bytes", "ige256 iv must be 32 bytes",
                     "ige256 data length must be a multiple of 16", ige256_encrypt, ige256_decrypt};
const BlockMode kCbc{CIPHEX_SIGNATURE("AesCbc256(key)"), 16, "cbc256 key must be 32 bytes", "cbc256 iv must be 16 bytes",
                     "cbc256 data length must be a multiple of 16", cbc256_encrypt, cbc256_decrypt};

struct BlockCipher {
    PyObject_HEAD
    AesKeySchedule schedule;  // both halves; read-only after construction
    bool constructed;         // set once the schedule is complete
};

template <const BlockMode& Mode>
PyObject* block_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"key"};
    static const ArgSpec spec{"__cinit__", names, 1, 1};
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    MatchedArgs<1> key;
    CallViews<1> views;
    if (match_tuple(spec, args, kwargs, key.slots()) < 0 || acquire_read_view(key[0], views[0]) < 0 ||
        (views[0].length != kKeySize && raise_value_error(Mode.key_message) < 0)) {
        Py_DECREF(self);
        return nullptr;
    }
    auto* cipher = reinterpret_cast<BlockCipher*>(self);
    without_interpreter_lock([&] { expand_key(cipher->schedule, views[0].data, 1); });
    cipher->constructed = true;
    return self;
}

// The four methods: encrypt/decrypt into a new bytes object, or in place.
template <const BlockMode& Mode, bool Encrypt, bool InPlace>
PyObject* block_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data", "iv"};
    static const ArgSpec spec{Encrypt ? (InPlace ? "encrypt_into" : "encrypt")
                                      : (InPlace ? "decrypt_into" : "decrypt"),
                              names, 2, 2};
    auto* cipher = reinterpret_cast<BlockCipher*>(self);
    if (require_constructed(self, cipher->constructed) < 0) return nullptr;
    MatchedArgs<2> argv;
    if (match_fastcall(spec, args, nargs, kwnames, argv.slots()) < 0) return nullptr;
    CallViews<2> views;
    ByteView& data = views[0];
    ByteView& iv = views[1];
    int acquired = InPlace ? acquire_write_view(argv[0], data) : acquire_read_view(argv[0], data);
    if (acquired < 0 || acquire_read_view(argv[1], iv) < 0) return nullptr;
    if (iv.length != Mode.iv_size) {
        raise_value_error(Mode.iv_message);
        return nullptr;
    }
    if (data.length == 0) return empty_result(InPlace);
    if (data.length % 16 != 0) {
        raise_value_error(Mode.length_message);
        return nullptr;
    }
    PyObject* result = nullptr;
    std::uint8_t* out = output_for(InPlace, data, &result);
    if (out == nullptr) return nullptr;
    const AesKeySchedule& schedule = cipher->schedule;
    BlockRoutine routine = Encrypt ? Mode.encrypt : Mode.decrypt;
    without_interpreter_lock([&] {
        routine(schedule, data.data, static_cast<std::size_t>(data.length), iv.data, out);
    });
    return call_result(InPlace, result);
}

template <const BlockMode& Mode>
PyMethodDef block_methods[] = {
    CIPHEX_PICKLING_REFUSAL,
    {"encrypt", CIPHEX_FASTCALL((block_method<Mode, true, false>)), METH_FASTCALL | METH_KEYWORDS,
     CIPHEX_SIGNATURE("encrypt($self, /, data, iv)")},
    {"decrypt", CIPHEX_FASTCALL((block_method<Mode, false, false>)), METH_FASTCALL | METH_KEYWORDS,
     CIPHEX_SIGNATURE("decrypt($self, /, data, iv)")},
    {"encrypt_into", CIPHEX_FASTCALL((block_method<Mode, true, true>)),
     METH_FASTCALL | METH_KEYWORDS, CIPHEX_SIGNATURE("encrypt_into($self, /, data, iv)")},
    {"decrypt_into", CIPHEX_FASTCALL((block_method<Mode, false, true>)),
     METH_FASTCALL | METH_KEYWORDS, CIPHEX_SIGNATURE("decrypt_into($self, /, data, iv)")},
    {nullptr, nullptr, 0, nullptr},
};

template <const BlockMode& Mode>
PyType_Slot block_slots[] = {
    {Py_tp_doc, const_cast<char*>(Mode.signature)},
    {Py_tp_new, reinterpret_cast<void*>(block_new<Mode>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc)},
    {Py_tp_methods, block_methods<Mode>},
    {0, nullptr},
};

constexpr unsigned kTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE;

PyType_Spec ige_spec = {"Vorlan.ciphex.AesIge256", sizeof(BlockCipher), 0, kTypeFlags,
                        block_slots<kIge>};
PyType_Spec cbc_spec = {"Vorlan.ciphex.AesCbc256", sizeof(BlockCipher), 0, kTypeFlags,
                        block_slots<kCbc>};

// ---- counter mode: AesCtr256 ---------------------------------------------

struct CtrCipher {
    PyObject_HEAD
    AesKeySchedule schedule;  // encryption half only
    CtrStreamState stream;
    // Serialises everything that reads or moves the stream, so threads
    // sharing one object each see a consistent position and never reuse
    // keystream.
    StreamMutex lock;
    bool constructed;  // set once the schedule and stream are complete
};

// Converts through the index protocol; on error sets the host's exception
// (TypeError, OverflowError) and returns -1.
int index_to_int64(PyObject* obj, long long* out) {
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr) return -1;
    long long value = PyLong_AsLongLong(index);
    Py_DECREF(index);
    if (value == -1 && PyErr_Occurred()) return -1;
    *out = value;
    return 0;
}

PyObject* ctr_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"key", "iv", "state"};
    static const ArgSpec spec{"__cinit__", names, 2, 3};
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    MatchedArgs<3> argv;
    CallViews<2> views;
    long long state = 0;
    bool ok = match_tuple(spec, args, kwargs, argv.slots()) == 0 &&
              acquire_read_view(argv[0], views[0]) == 0 &&
              acquire_read_view(argv[1], views[1]) == 0;
    if (ok && views[0].length != kKeySize) ok = raise_value_error("ctr256 key must be 32 bytes") == 0;
    if (ok && views[1].length != 16) ok = raise_value_error("ctr256 iv must be 16 bytes") == 0;
    if (ok && argv[2] != nullptr) ok = index_to_int64(argv[2], &state) == 0;
    if (ok && (state < 0 || state > 15)) ok = raise_value_error("ctr256 state must be within 0..15") == 0;
    if (!ok) {
        Py_DECREF(self);
        return nullptr;
    }
    auto* cipher = reinterpret_cast<CtrCipher*>(self);
    without_interpreter_lock([&] {
        expand_key(cipher->schedule, views[0].data, 0);
        ctr256_init(cipher->stream, cipher->schedule, views[1].data, static_cast<unsigned>(state));
    });
    stream_lock_register(cipher->lock);
    cipher->constructed = true;
    return self;
}

template <bool InPlace>
PyObject* ctr_crypt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data"};
    static const ArgSpec spec{InPlace ? "crypt_into" : "crypt", names, 1, 1};
    auto* cipher = reinterpret_cast<CtrCipher*>(self);
    if (require_constructed(self, cipher->constructed) < 0) return nullptr;
    MatchedArgs<1> arg;
    if (match_fastcall(spec, args, nargs, kwnames, arg.slots()) < 0) return nullptr;
    CallViews<1> views;
    ByteView& data = views[0];
    if ((InPlace ? acquire_write_view(arg[0], data) : acquire_read_view(arg[0], data)) < 0)
        return nullptr;
    if (data.length == 0) return empty_result(InPlace);
    PyObject* result = nullptr;
    std::uint8_t* out = output_for(InPlace, data, &result);
    if (out == nullptr) return nullptr;
    {
        StreamLock lock(cipher->lock);
        without_interpreter_lock([&] {
            ctr256_crypt(cipher->schedule, cipher->stream, data.data,
                         static_cast<std::size_t>(data.length), out);
        });
    }
    return call_result(InPlace, result);
}

PyObject* ctr_seek(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"pos"};
    static const ArgSpec spec{"seek", names, 1, 1};
    auto* cipher = reinterpret_cast<CtrCipher*>(self);
    if (require_constructed(self, cipher->constructed) < 0) return nullptr;
    MatchedArgs<1> arg;
    long long pos;
    if (match_fastcall(spec, args, nargs, kwnames, arg.slots()) < 0 ||
        index_to_int64(arg[0], &pos) < 0)
        return nullptr;
    if (pos < 0) {
        raise_value_error("ctr256 seek position must be non-negative");
        return nullptr;
    }
    StreamLock lock(cipher->lock);
    without_interpreter_lock([&] {
        ctr256_seek(cipher->stream, cipher->schedule, static_cast<std::uint64_t>(pos));
    });
    Py_RETURN_NONE;
}

PyObject* ctr_get_offset(PyObject* self, void*) {
    auto* cipher = reinterpret_cast<CtrCipher*>(self);
    if (require_constructed(self, cipher->constructed) < 0) return nullptr;
    std::uint64_t offset;
    {
        StreamLock lock(cipher->lock);
        offset = cipher->stream.offset;
    }
    return PyLong_FromUnsignedLongLong(offset);
}

PyObject* ctr_get_state(PyObject* self, void*) {
    auto* cipher = reinterpret_cast<CtrCipher*>(self);
    if (require_constructed(self, cipher->constructed) < 0) return nullptr;
    long state;
    {
        StreamLock lock(cipher->lock);
        state = cipher->stream.state;
    }
    return PyLong_FromLong(state);
}

PyMethodDef ctr_methods[] = {
    CIPHEX_PICKLING_REFUSAL,
    {"crypt", CIPHEX_FASTCALL(ctr_crypt<false>), METH_FASTCALL | METH_KEYWORDS,
     CIPHEX_SIGNATURE("crypt($self, /, data)")},
    {"crypt_into", CIPHEX_FASTCALL(ctr_crypt<true>), METH_FASTCALL | METH_KEYWORDS,
     CIPHEX_SIGNATURE("crypt_into($self, /, data)")},
    {"seek", CIPHEX_FASTCALL(ctr_seek), METH_FASTCALL | METH_KEYWORDS,
     CIPHEX_SIGNATURE("seek($self, /, pos)")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ctr_getset[] = {
    {"offset", ctr_get_offset, nullptr, nullptr, nullptr},
    {"state", ctr_get_state, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void ctr_dealloc(PyObject* self) {
    stream_lock_unregister(reinterpret_cast<CtrCipher*>(self)->lock);
    plain_dealloc(self);
}

PyType_Slot ctr_slots[] = {
    {Py_tp_doc, const_cast<char*>(CIPHEX_SIGNATURE("AesCtr256(key, iv, state=0)"))},
    {Py_tp_new, reinterpret_cast<void*>(ctr_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ctr_dealloc)},
    {Py_tp_methods, ctr_methods},
    {Py_tp_getset, ctr_getset},
    {0, nullptr},
};

PyType_Spec ctr_spec = {"Vorlan.ciphex.AesCtr256", sizeof(CtrCipher), 0, kTypeFlags, ctr_slots};

// ---- module functions -------------------------------------------------------

PyObject* features(PyObject*, PyObject*) {
    detect_backend();
    const CpuFeatures& f = cpu_features();
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    const struct {
        const char* key;
        int value;
    } flags[] = {{"aes_ni", f.aes_ni}, {"pclmulqdq", f.pclmulqdq}, {"ssse3", f.ssse3},
                 {"sse4_1", f.sse4_1}, {"avx2", f.avx2},       {"arm_crypto", f.arm_crypto},
                 {"backend_id", f.backend_id}};
    for (const auto& flag : flags) {
        PyObject* value = PyLong_FromLong(flag.value);
        if (value == nullptr || PyDict_SetItemString(dict, flag.key, value) < 0) {
            Py_XDECREF(value);
            Py_DECREF(dict);
            return nullptr;
        }
        Py_DECREF(value);
    }
    PyObject* name = PyUnicode_FromString(f.backend_name);
    if (name == nullptr || PyDict_SetItemString(dict, "backend", name) < 0) {
        Py_XDECREF(name);
        Py_DECREF(dict);
        return nullptr;
    }
    Py_DECREF(name);
    return dict;
}

PyObject* backend(PyObject*, PyObject*) { return PyUnicode_FromString(backend_name(detect_backend())); }

PyObject* backend_id(PyObject*, PyObject*) { return PyLong_FromLong(detect_backend()); }

PyMethodDef module_functions[] = {
    {"features", features, METH_NOARGS,
     "features($module, /)\n--\n\nThe probed CPU features and the chosen backend, as a new dict."},
    {"backend", backend, METH_NOARGS,
     "backend($module, /)\n--\n\nThe name of the backend in use: \"x86-aesni\", \"arm-crypto\" or \"soft\"."},
    {"backend_id", backend_id, METH_NOARGS,
     "backend_id($module, /)\n--\n\nThe id of the backend in use: 1 for x86-aesni, 2 for arm-crypto, 0 for soft."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- the module -----------------------------------------------------------

// Copies one attribute of the import spec into the module namespace; a
// spec without it is fine.
int copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to,
                        bool skip_none) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(spec, from, &value) < 0) return -1;
    if (value == nullptr) return 0;
    int status = (skip_none && value == Py_None) ? 0 : PyDict_SetItemString(module_dict, to, value);
    Py_DECREF(value);
    return status;
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

    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) return nullptr;
    PyObject* module_dict = PyModule_GetDict(module);
    if (copy_spec_attribute(spec, module_dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, module_dict, "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, module_dict, "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, module_dict, "submodule_search_locations", "__path__", true) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// Warns when the running interpreter is not the one the module was built
// for.
int check_runtime_version() {
    int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, "Vorlan.ciphex", "does not match",
                            major, minor);
}

int add_class(PyObject* module, PyType_Spec* spec) {
    PyObject* type = PyType_FromModuleAndSpec(module, spec, nullptr);
    if (type == nullptr) return -1;
    // The doc slot holds the constructor's signature only; the class has no
    // docstring, so __doc__ is None rather than the empty rest.
    auto* type_object = reinterpret_cast<PyTypeObject*>(type);
    int status = PyDict_SetItemString(type_object->tp_dict, "__doc__", Py_None);
    if (status == 0) {
        PyType_Modified(type_object);
        status = PyModule_AddType(module, type_object);
    }
    Py_DECREF(type);
    return status;
}

int exec_steps(PyObject* module) {
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) return -1;
#endif
    if (check_runtime_version() < 0) return -1;
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* registered = nullptr;
    if (PyDict_GetItemStringRef(modules, "Vorlan.ciphex", &registered) < 0) return -1;
    if (registered == nullptr) {
        if (PyDict_SetItemString(modules, "Vorlan.ciphex", module) < 0) return -1;
    } else {
        Py_DECREF(registered);
    }
    if (add_class(module, &ige_spec) < 0 || add_class(module, &cbc_spec) < 0 ||
        add_class(module, &ctr_spec) < 0)
        return -1;
    if (stream_locks_install_fork_handlers() < 0) return -1;
    // Choose the backend now, before any cipher object exists.
    detect_backend();
    return PyModule_AddFunctions(module, module_functions);
}

int module_exec(PyObject* module) {
    if (g_module != nullptr) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'ciphex' has already been imported. Re-initialisation is not supported.");
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
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "ciphex", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vorlan::ciphex

PyMODINIT_FUNC PyInit_ciphex(void) { return PyModuleDef_Init(&vorlan::ciphex::module_def); }
