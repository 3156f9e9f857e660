// The reading direction of the wire form: bytes to dicts.
//
// Reads past the end never raise by themselves: they set the sticky error
// flag and return a placeholder, and unpack turns the flag into one
// "Parse error at position N" at the end.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "byte_order.h"
#include "error_path.h"
#include "guards.h"
#include "module.h"
#include "parser.h"
#include "pyref.h"
#include "traceback.h"

namespace sorb {
namespace {

constexpr uint32_t kVectorId = 0x1CB5C415u;

// A cursor over the parser's private copy of the message. Kept in locals
// during the call and written back to the parser at the end.
struct Reader {
    const uint8_t* data;
    uint64_t length;
    uint64_t position;
    int32_t error_flag;
    SorbSchemaCompiler* compiler;
    ErrorPath* path;  // where a failure lies, recorded while unwinding
    // The constructor read last: elements of a vector and siblings mostly
    // share theirs, and unpack runs no code that could change the table.
    ConstructorDef* last = nullptr;

    // The constructor of an id, prepared for unpacking; null when there is
    // none (then with an exception set only if preparing it failed).
    ConstructorDef* find_constructor(uint32_t id) {
        if (last != nullptr && last->id == id) return last;
        ConstructorDef* found = compiler_find_id(compiler, id);
        if (found == nullptr || prepare_to_unpack(found) < 0) return nullptr;
        last = found;
        return found;
    }

    // One little-endian value of Size bytes; zero, with the flag set, when the
    // input runs out first.
    template <uint64_t Size, typename Load>
    auto read_fixed(Load load) -> decltype(load(data)) {
        if (position + Size > length) {
            error_flag = 1;
            return {};
        }
        auto v = load(data + position);
        position += Size;
        return v;
    }

    uint32_t read_int32() { return read_fixed<4>(load_u32_le); }
    uint64_t read_int64() { return read_fixed<8>(load_u64_le); }
    double read_double() { return read_fixed<8>(load_f64_le); }

    // Locates one byte string; false (with the flag set) when it runs out.
    bool read_byte_span(const uint8_t** start, uint64_t* size) {
        uint64_t p = position;
        if (p >= length) {
            error_flag = 1;
            return false;
        }
        uint64_t header = 1;
        uint64_t n = data[p];
        position = p + 1;
        if (n == 0xFE) {
            if (p + 4 > length) {
                error_flag = 1;
                return false;
            }
            n = data[p + 1] | (uint64_t{data[p + 2]} << 8) | (uint64_t{data[p + 3]} << 16);
            header = 4;
            position = p + 4;
        }
        if (p + header + n > length) {
            error_flag = 1;
            return false;
        }
        *start = data + p + header;
        *size = n;
        // Padding is relative to the message start and may lie past the end.
        position = (p + header + n + 3) & ~uint64_t{3};
        return true;
    }

    PyObject* read_bytes() {
        const uint8_t* start = nullptr;
        uint64_t size = 0;
        if (!read_byte_span(&start, &size)) return PyBytes_FromStringAndSize(nullptr, 0);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(start),
                                         static_cast<Py_ssize_t>(size));
    }

    PyObject* read_string() {
        const uint8_t* start = nullptr;
        uint64_t size = 0;
        if (!read_byte_span(&start, &size)) return Py_NewRef(module_string(StringId::empty));
        return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(start),
                                    static_cast<Py_ssize_t>(size), "strict");
    }

    // A value of one of the types that hold no other values, or the
    // unknown-type error. Inlined into the object and vector loops, which
    // add its traceback entry on failure as read_value would.
    PyObject* read_scalar(int32_t type_code) {
        switch (type_code) {
            case TYPE_INT:
                return PyLong_FromUnsignedLong(read_int32());
            case TYPE_LONG:
                return PyLong_FromUnsignedLongLong(read_int64());
            case TYPE_DOUBLE:
                return PyFloat_FromDouble(read_double());
            case TYPE_STRING:
                return read_string();
            case TYPE_BYTES:
                return read_bytes();
            case TYPE_BOOL:
                return PyBool_FromLong(read_int32() != 0);
            default:
                error_flag = 1;
                PyErr_Format(PyExc_ValueError, "Unknown type: %d", static_cast<int>(type_code));
                return nullptr;
        }
    }

    // read_vector_body's loop over `count` elements of the fixed-size type
    // kType that all fit in the bytes left, into the slots of `list`.
    template <int32_t kType>
    int read_fixed_elements(PyObject* list, int32_t count, const char* text, bool after_text) {
        for (int32_t i = 0; i < count; ++i) {
            uint64_t before = position;
            PyObject* element = read_scalar(kType);
            if (element == nullptr) {
                add_traceback(TracebackSite::read_value);
                path->element(i, after_text ? elem_name(text) : text, before);
                return -1;
            }
            PyList_SET_ITEM(list, i, element);
        }
        return 0;
    }

    // Each adds its traceback entry on failure around the *_body step.
    PyObject* read_value(int32_t type_code, const char* type_name);
    // A vector whose element type is worked out. Its elements' type text
    // is `text`, or follows it (a parameter's, found only when needed).
    PyObject* read_vector(int32_t elem_type, const char* text, bool after_text = false);
    PyObject* read_object();
    // One parameter's value; a vector takes the element type that the
    // table holds for it, with the same traceback as through read_value.
    PyObject* read_param(const ParamDef& param);

    PyObject* read_value_body(int32_t type_code, const char* type_name);
    PyObject* read_vector_body(int32_t elem_type, const char* text, bool after_text);
    PyObject* read_object_body();
};

PyObject* with_traceback(PyObject* result, TracebackSite site) {
    if (result == nullptr) add_traceback(site);
    return result;
}

PyObject* Reader::read_value(int32_t type_code, const char* type_name) {
    return with_traceback(read_value_body(type_code, type_name), TracebackSite::read_value);
}

PyObject* Reader::read_vector(int32_t elem_type, const char* text, bool after_text) {
    return with_traceback(read_vector_body(elem_type, text, after_text), TracebackSite::read_vector);
}

PyObject* Reader::read_param(const ParamDef& param) {
    switch (param.type_code) {
        case TYPE_VECTOR:
            return with_traceback(read_vector(param.elem_type, param.type_name, true), TracebackSite::read_value);
        case TYPE_OBJECT:
            return with_traceback(read_object(), TracebackSite::read_value);
        default:
            return with_traceback(read_scalar(param.type_code), TracebackSite::read_value);
    }
}

PyObject* Reader::read_object() {
    return with_traceback(read_object_body(), TracebackSite::read_object);
}

PyObject* Reader::read_value_body(int32_t type_code, const char* type_name) {
    switch (type_code) {
        case TYPE_VECTOR: {
            // Only vectors nested in vectors come here; a parameter's own
            // element type is in the table.
            VectorElement element;
            if (vector_element(type_name, &element) < 0) return nullptr;
            return read_vector(element.type, element.name);
        }
        case TYPE_OBJECT:
            return read_object();
        default:
            return read_scalar(type_code);
    }
}

// The fewest bytes an element of the type takes when it is read in full.
uint64_t min_element_size(int32_t type) {
    switch (type) {
        case TYPE_INT:
        case TYPE_BOOL:
        case TYPE_OBJECT:
            return 4;
        case TYPE_LONG:
        case TYPE_DOUBLE:
        case TYPE_VECTOR:
            return 8;
        default:
            return 1;
    }
}

PyObject* Reader::read_vector_body(int32_t elem_type, const char* text, bool after_text) {
    auto element_text = [&] { return after_text ? elem_name(text) : text; };
    // A bare "Vector" element type survives the stripping and nests vectors
    // in vectors, so hostile input could recurse as deep as it is long.
    RecursionGuard recursion(" while unpacking a vector");
    if (!recursion.entered()) return nullptr;

    uint32_t vector_id = read_int32();
    if (vector_id != kVectorId) {
        error_flag = 1;
        char message[40];
        std::snprintf(message, sizeof message, "Invalid vector ID: 0x%08x", vector_id);
        PyErr_SetString(PyExc_ValueError, message);
        return nullptr;
    }
    int32_t count = static_cast<int32_t>(read_int32());
    if (count < 0) return PyList_New(count);  // the host's SystemError

    // The count is only a claim. A list made at its full size costs no more
    // than the bytes left could fill; any larger claim must run out of data,
    // so that list grows as elements arrive and a few bytes claiming billions
    // of elements cost nothing.
    uint64_t left = position < length ? length - position : 0;
    bool sized = static_cast<uint64_t>(count) <= left / min_element_size(elem_type);
    Ref list(PyList_New(sized ? count : 0));
    if (!list) return nullptr;
    // Once the data has run out the list is discarded whatever it holds, so
    // elements are no longer kept (a sized list gets None in their slots),
    // but reading goes on, since a later element can still raise (a short
    // length byte is consumed, and the next may frame a real span). A read
    // past the end that moves nothing would repeat itself exactly for every
    // element left, so the loop stops there; the outcome is that of the
    // full count.
    int32_t i = 0;
    if (sized && elem_type != TYPE_STRING && elem_type != TYPE_BYTES && elem_type != TYPE_VECTOR &&
        elem_type != TYPE_OBJECT) {
        // Fixed-size elements that all fit in the bytes left: no read can
        // run short, so each goes straight into its slot. The loop is made
        // once per type, so that the type is tested once per vector: GCC 10,
        // which builds the wheels, does not take that test out of the loop.
        int status;
        switch (elem_type) {
            case TYPE_INT: status = read_fixed_elements<TYPE_INT>(list.get(), count, text, after_text); break;
            case TYPE_LONG: status = read_fixed_elements<TYPE_LONG>(list.get(), count, text, after_text); break;
            case TYPE_DOUBLE: status = read_fixed_elements<TYPE_DOUBLE>(list.get(), count, text, after_text); break;
            default:  // TYPE_BOOL, the one left
                status = read_fixed_elements<TYPE_BOOL>(list.get(), count, text, after_text);
                break;
        }
        return status < 0 ? nullptr : list.release();
    }
    for (; i < count; ++i) {
        uint64_t before = position;
        int32_t was_short = error_flag;
        PyObject* element = elem_type == TYPE_OBJECT
                                ? with_traceback(read_object(), TracebackSite::read_value)
                                : read_value(elem_type, element_text());
        if (element == nullptr) {
            path->element(i, element_text(), before);
            return nullptr;  // a sized list's empty slots are fine to discard
        }
        if (error_flag) {
            Py_DECREF(element);
            if (sized) PyList_SET_ITEM(list.get(), i, Py_NewRef(Py_None));
            if (was_short && position == before) break;
            continue;
        }
        if (sized) {
            PyList_SET_ITEM(list.get(), i, element);
        } else {
            int appended = PyList_Append(list.get(), element);
            Py_DECREF(element);
            if (appended < 0) return nullptr;
        }
    }
    // Slots a stopped loop never reached.
    if (sized) {
        for (int32_t j = i; j < count; ++j) {
            if (PyList_GET_ITEM(list.get(), j) == nullptr) PyList_SET_ITEM(list.get(), j, Py_NewRef(Py_None));
        }
    }
    return list.release();
}

PyObject* Reader::read_object_body() {
    RecursionGuard recursion(" while unpacking a nested object");
    if (!recursion.entered()) return nullptr;

    if (position + 4 > length) {
        error_flag = 1;
        Py_RETURN_NONE;
    }
    uint32_t id = read_int32();
    ConstructorDef* entry = find_constructor(id);
    if (entry == nullptr) {
        if (PyErr_Occurred()) return nullptr;
        char message[40];
        std::snprintf(message, sizeof message, "Unknown constructor ID: 0x%08x", id);
        PyErr_SetString(PyExc_ValueError, message);
        return nullptr;
    }
    // Every key is already in place, at its final size; reading only
    // replaces the values that are present.
    Ref dict(PyDict_Copy(entry->prepared->template_dict));
    if (!dict) {
        path->object(entry->name);
        return nullptr;
    }
    auto fail = [&](const ParamDef& param, uint64_t start) -> PyObject* {
        path->param(param_name(param), param.type_name, start);
        path->object(entry->name);
        return nullptr;
    };

    uint32_t flags[2] = {0, 0};  // the words most recently read, 0 before any
    const ParamDef* const end = entry->params + entry->param_count;
    for (const ParamDef* at = entry->params; at != end; ++at) {
        const ParamDef& param = *at;
        if (param.is_flags_word) {
            flags[param.is_flags_word - 1] = read_int32();
            continue;
        }
        if (param.is_conditional) {
            bool present = (flags[param.flag_field] >> param.flag_bit) & 1;
            if (!present && !param.key_repeats) continue;  // the template's None or False stands
            if (param.type_code == TYPE_BOOL || !present) {
                PyObject* stored = param.type_code != TYPE_BOOL ? Py_None : present ? Py_True : Py_False;
                if (PyDict_SetItem(dict.get(), param.name_object, stored) < 0) return fail(param, position);
                continue;
            }
        }
        uint64_t start = position;
        Ref value(read_param(param));
        if (!value) return fail(param, start);
        // The caller discards an object cut short; stop filling it.
        if (error_flag) return dict.release();
        if (PyDict_SetItem(dict.get(), param.name_object, value.get()) < 0) return fail(param, start);
    }
    return dict.release();
}

}  // namespace

PyObject* parser_unpack(SorbParser* self, SorbSchemaCompiler* compiler, PyObject* data) {
    if (data == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return nullptr;
    }
    if (!PyBytes_CheckExact(data)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     "data", "bytes", Py_TYPE(data)->tp_name);
        return nullptr;
    }
    uint64_t n = static_cast<uint64_t>(PyBytes_GET_SIZE(data));
    if (n > self->capacity) {
        // realloc keeps the old buffer on failure, so the pair stays valid.
        void* grown = std::realloc(self->buffer, n);
        if (grown == nullptr) {
            PyErr_SetString(PyExc_MemoryError, "Cannot allocate buffer");
            return nullptr;
        }
        self->buffer = static_cast<uint8_t*>(grown);
        self->capacity = n;
    }
    if (n > 0) std::memcpy(self->buffer, PyBytes_AS_STRING(data), n);
    self->length = n;
    self->position = 0;
    self->error_flag = 0;

    ErrorPath path;
    Reader reader{self->buffer, n, 0, 0, compiler, &path};
    PyObject* result = reader.read_object();
    self->position = reader.position;
    self->error_flag = reader.error_flag;
    if (result == nullptr) {
        path.add_note(true);
        return nullptr;
    }
    if (reader.error_flag) {
        Py_DECREF(result);
        PyErr_Format(PyExc_RuntimeError, "Parse error at position %llu",
                     static_cast<unsigned long long>(reader.position));
        return nullptr;
    }
    return result;
}

}  // namespace sorb
