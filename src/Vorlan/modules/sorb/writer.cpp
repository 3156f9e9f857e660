// The writing direction of the wire form: dicts to bytes.
//
// Every writer step reports failure by returning -1 with a Python exception
// set; the whole pack stops at the first one.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

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
constexpr uint64_t kInitialCapacity = 1024;
// Calls that skip the pure attempt after one fails (see parser_pack).
constexpr int kPureSkips = 32;
constexpr Py_ssize_t kMaxByteString = (Py_ssize_t{1} << 24) - 1;  // 3-byte length

int raise_expected(const char* kind, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", kind, Py_TYPE(value)->tp_name);
    return -1;
}

// The integer conversion of a non-int (its __int__; a float truncates).
// Returns a new reference to an int, or null with TypeError set.
PyObject* integer_conversion(PyObject* value) {
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
PyObject* as_int(PyObject* value) {
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

// An exact int that is not compact, from 0 to 2**63 - 1 (ids and hashes):
// read from its digits as the interpreter's header lays them out, without a
// call. False for any other value, which takes the general conversion.
inline bool positive_int63(PyObject* value, long long* out) {
#if PyLong_SHIFT == 30
    const _PyLongValue& digits = reinterpret_cast<PyLongObject*>(value)->long_value;
    if ((digits.lv_tag & _PyLong_SIGN_MASK) != 0) return false;  // zero or negative
    const uint64_t count = digits.lv_tag >> _PyLong_NON_SIZE_BITS;
    if (count == 2) {
        *out = static_cast<long long>(digits.ob_digit[0] | uint64_t{digits.ob_digit[1]} << 30);
        return true;
    }
    if (count == 3 && digits.ob_digit[2] < 8) {  // below 2**63
        *out = static_cast<long long>(digits.ob_digit[0] | uint64_t{digits.ob_digit[1]} << 30 |
                                      uint64_t{digits.ob_digit[2]} << 60);
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

int to_int_word(PyObject* value, uint32_t* out) {
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

int to_uint64(PyObject* value, uint64_t* out) {
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

struct Writer {
    SorbParser* parser;
    SorbSchemaCompiler* compiler;
    ErrorPath* path;  // where a failure lies, recorded while unwinding
    PyObject* underscore = module_string(StringId::underscore);  // the "_" key
    // Counts the steps that may have run Python code (a conversion hook, an
    // iterator, a dict subclass's methods, a key's __eq__). Code run there
    // can change a dict whose values were read before, so an object reads
    // its remaining values again once this has moved.
    uint64_t python_steps = 0;
    // Set for the first attempt at a message (see parser_pack): the writer
    // then gives up, before it runs any, wherever Python code could run, so
    // every value it reads stays as it was read, and it may write an object
    // in one pass (write_in_one_pass).
    bool pure = false;
    // Constructors found during this call, by their name's address: a
    // message names the same few constructors over and over, with the
    // table's own interned names, so most objects skip the name map.
    ConstructorDef* recent[8] = {};
    // Keys that matched a name by their text in a pure attempt, by address:
    // dicts built at run time share their key objects, so the next dict's
    // key matches by identity. Every key stays alive till the attempt ends
    // (no Python code runs), so no address is reused meanwhile.
    struct Alias {
        PyObject* key;
        PyObject* name;
    };
    Alias aliases[64] = {};

    // The constructor of an exact str name, or null. Runs no Python code.
    ConstructorDef* find_constructor(PyObject* name) {
        ConstructorDef*& slot = recent[(reinterpret_cast<uintptr_t>(name) >> 4) & 7];
        // A hit is the very name object of an entry the map gave for it.
        if (slot != nullptr && slot->name_object == name) return slot;
        ConstructorDef* found = compiler_find_name(compiler, name);
        if (found != nullptr) slot = found;
        return found;
    }

    int ensure_buffer(uint64_t n) {
        uint64_t needed = parser->position + n;
        if (needed <= parser->capacity) return 0;
        uint64_t grown = parser->capacity * 2;
        while (grown < needed) grown *= 2;
        void* buffer = std::realloc(parser->buffer, grown);
        if (buffer == nullptr) {
            PyErr_SetString(PyExc_MemoryError, "Cannot reallocate buffer");
            return -1;
        }
        parser->buffer = static_cast<uint8_t*>(buffer);
        parser->capacity = grown;
        return 0;
    }

    uint8_t* cursor() { return parser->buffer + parser->position; }

    Alias& alias_of(PyObject* key) { return aliases[(reinterpret_cast<uintptr_t>(key) >> 4) & 63]; }

    // The index of the first parameter from `from` on whose name a dict key
    // is: by identity with the name or with what an earlier text match
    // found, else by its text when it is an exact str (that match is then
    // remembered). param_count when there is none. Runs no Python code; pure
    // attempts only (see aliases).
    int32_t find_key(const ConstructorDef* entry, int32_t from, PyObject* key) {
        const Alias& alias = alias_of(key);
        PyObject* name = alias.key == key ? alias.name : key;
        for (int32_t j = from; j < entry->param_count; ++j)
            if (entry->params[j].name_object == name) return j;
        if (!PyUnicode_CheckExact(key)) return entry->param_count;
        for (int32_t j = from; j < entry->param_count; ++j) {
            PyObject* text = entry->params[j].name_object;
            if (same_text(text, key)) {
                alias_of(key) = {key, text};
                return j;
            }
        }
        return entry->param_count;
    }

    // Called before a step that may run Python code. In a pure attempt it
    // returns false with no exception set, and the caller fails; else it
    // counts the step.
    bool may_run_python() {
        if (pure) return false;
        ++python_steps;
        return true;
    }

    int write_int32(uint32_t v) {
        if (ensure_buffer(4) < 0) return -1;
        store_u32_le(cursor(), v);
        parser->position += 4;
        return 0;
    }

    int write_int64(uint64_t v) {
        if (ensure_buffer(8) < 0) return -1;
        store_u64_le(cursor(), v);
        parser->position += 8;
        return 0;
    }

    int write_double(double v) {
        if (ensure_buffer(8) < 0) return -1;
        store_f64_le(cursor(), v);
        parser->position += 8;
        return 0;
    }

    int write_byte_string(const char* data, Py_ssize_t size) {
        // The 3-byte length of the long form cannot say more; writing its
        // low bits would corrupt the message.
        if (size > kMaxByteString) {
            PyErr_Format(PyExc_ValueError,
                         "byte string of %zd bytes is too long: at most %zd bytes fit the wire form",
                         size, kMaxByteString);
            return -1;
        }
        uint64_t n = static_cast<uint64_t>(size);
        if (ensure_buffer(n + 16) < 0) return -1;
        uint8_t* out = cursor();
        if (n <= 253) {
            *out++ = static_cast<uint8_t>(n);
        } else {
            *out++ = 0xFE;
            *out++ = static_cast<uint8_t>(n);
            *out++ = static_cast<uint8_t>(n >> 8);
            *out++ = static_cast<uint8_t>(n >> 16);
        }
        if (n > 0) std::memcpy(out, data, n);
        out += n;
        uint64_t end = static_cast<uint64_t>(out - parser->buffer);
        // Padding is relative to the message start.
        uint64_t pad = (4 - (end & 3)) & 3;
        // At most 3 bytes, in the room asked for above: one word store
        // instead of a call.
        store_u32_le(out, 0);
        parser->position = end + pad;
        return 0;
    }

    int write_bytes(PyObject* value) {
        if (value == Py_None) {
            PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
            return -1;
        }
        // A str, int or bytearray is not a byte string here; reading it as
        // one would silently change what is sent.
        if (!PyBytes_Check(value)) return raise_expected("bytes", value);
        return write_byte_string(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
    }

    int write_string(PyObject* value) {
        if (value == Py_None) {
            PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "encode");
            return -1;
        }
        // ASCII text is its own UTF-8 form.
        if (PyUnicode_CheckExact(value) && PyUnicode_IS_COMPACT_ASCII(value))
            return write_byte_string(static_cast<const char*>(PyUnicode_DATA(value)),
                                     PyUnicode_GET_LENGTH(value));
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
        if (utf8 == nullptr) return -1;
        return write_byte_string(utf8, size);
    }

    // The common values, written straight from a borrowed reference without
    // the dispatch of write_value: exact ints in range, floats, ASCII str,
    // bytes, True and False. Converting them runs no Python code and cannot
    // fail. Returns 1 when written, 0 when the value must take write_value,
    // -1 when the buffer cannot grow (exception set).
    int write_plain(PyObject* value, int32_t type_code) {
        switch (type_code) {
            case TYPE_INT:
            case TYPE_LONG: {
                if (!PyLong_CheckExact(value)) return 0;
                long long v;
                if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
                    v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value));
                } else if (!positive_int63(value, &v)) {
                    // Cheap for an exact int below 2**63; what is left, and
                    // every error, takes write_value.
                    int overflow = 0;
                    v = PyLong_AsLongLongAndOverflow(value, &overflow);
                    if (overflow != 0) return 0;
                }
                if (type_code == TYPE_LONG) return v < 0 ? 0 : write_int64(static_cast<uint64_t>(v)) < 0 ? -1 : 1;
                if (v < kIntMin || v > kIntMax) return 0;
                return write_int32(static_cast<uint32_t>(v)) < 0 ? -1 : 1;
            }
            case TYPE_DOUBLE:
                if (!PyFloat_CheckExact(value)) return 0;
                return write_double(PyFloat_AS_DOUBLE(value)) < 0 ? -1 : 1;
            case TYPE_STRING:
                if (!PyUnicode_CheckExact(value) || !PyUnicode_IS_COMPACT_ASCII(value)) return 0;
                return write_byte_string(static_cast<const char*>(PyUnicode_DATA(value)),
                                         PyUnicode_GET_LENGTH(value)) < 0 ? -1 : 1;
            case TYPE_BYTES:
                if (!PyBytes_CheckExact(value) || PyBytes_GET_SIZE(value) > kMaxByteString) return 0;
                return write_byte_string(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value)) < 0 ? -1 : 1;
            case TYPE_BOOL:
                if (value != Py_True && value != Py_False) return 0;
                return write_int32(value == Py_True ? 1 : 0) < 0 ? -1 : 1;
            default:
                return 0;
        }
    }

    int write_default(int32_t type_code);
    // Each adds its traceback entry on failure around the *_body step.
    int write_value(PyObject* value, int32_t type_code, const char* type_name) {
        return with_traceback(write_value_body(value, type_code, type_name), TracebackSite::write_value);
    }
    // A vector whose element type and its text are already worked out.
    int write_vector(PyObject* value, int32_t elem_type, const char* elem_name) {
        return with_traceback(write_vector_body(value, elem_type, elem_name), TracebackSite::write_vector);
    }
    // One parameter's value; a vector takes the element type that the
    // table holds for it, with the same traceback as through write_value.
    int write_param(PyObject* value, const ParamDef& param) {
        int plain = write_plain(value, param.type_code);
        if (plain != 0) return plain > 0 ? 0 : with_traceback(-1, TracebackSite::write_value);
        if (param.type_code == TYPE_OBJECT) return with_traceback(write_object(value), TracebackSite::write_value);
        if (param.type_code != TYPE_VECTOR) return write_value(value, param.type_code, param.type_name);
        return with_traceback(write_vector(value, param.elem_type, param.elem_name),
                              TracebackSite::write_value);
    }
    int write_object(PyObject* obj) {
        return with_traceback(write_object_body(obj), TracebackSite::write_object);
    }

    int write_in_one_pass(PyObject* obj, const ConstructorDef* entry, Py_ssize_t pos, Py_ssize_t matched);
    int write_value_body(PyObject* value, int32_t type_code, const char* type_name);
    int write_vector_body(PyObject* value, int32_t elem_type, const char* elem_name);
    int write_object_body(PyObject* obj);

    static int with_traceback(int status, TracebackSite site) {
        if (status < 0) add_traceback(site);
        return status;
    }
};

int Writer::write_default(int32_t type_code) {
    switch (type_code) {
        case TYPE_INT:
        case TYPE_BOOL:
            return write_int32(0);
        case TYPE_LONG:
            return write_int64(0);
        case TYPE_DOUBLE:
            return write_double(0.0);
        case TYPE_STRING:
        case TYPE_BYTES:
            return write_byte_string("", 0);
        case TYPE_VECTOR:
            if (write_int32(kVectorId) < 0) return -1;
            return write_int32(0);
        case TYPE_OBJECT:
            // An empty dict has no "_".
            PyErr_SetString(PyExc_ValueError, "Object must have '_' field");
            return -1;
        default:
            PyErr_Format(PyExc_ValueError, "Unknown type: %d", static_cast<int>(type_code));
            return -1;
    }
}

int Writer::write_value_body(PyObject* value, int32_t type_code, const char* type_name) {
    switch (type_code) {
        case TYPE_INT: {
            Py_ssize_t small;
            if (small_int(value, &small) && small >= kIntMin && small <= kIntMax)
                return write_int32(static_cast<uint32_t>(small));
            if (!PyLong_Check(value) && !may_run_python()) return -1;  // its __int__
            uint32_t v;
            if (to_int_word(value, &v) < 0) return -1;
            return write_int32(v);
        }
        case TYPE_LONG: {
            Py_ssize_t small;
            if (small_int(value, &small) && small >= 0) return write_int64(static_cast<uint64_t>(small));
            if (!PyLong_Check(value) && !may_run_python()) return -1;
            uint64_t v;
            if (to_uint64(value, &v) < 0) return -1;
            return write_int64(v);
        }
        case TYPE_DOUBLE: {
            if (PyFloat_CheckExact(value)) return write_double(PyFloat_AS_DOUBLE(value));
            // __float__, __index__
            if (!PyFloat_Check(value) && !PyLong_CheckExact(value) && !may_run_python()) return -1;
            double v = PyFloat_AsDouble(value);
            if (v == -1.0 && PyErr_Occurred()) return -1;
            return write_double(v);
        }
        case TYPE_STRING:
            return write_string(value);
        case TYPE_BYTES:
            return write_bytes(value);
        case TYPE_BOOL: {
            if (value == Py_True || value == Py_False) return write_int32(value == Py_True ? 1 : 0);
            // __bool__, __len__
            if (value != Py_None && !PyLong_CheckExact(value) && !may_run_python()) return -1;
            int truth = PyObject_IsTrue(value);
            if (truth < 0) return -1;
            return write_int32(truth ? 1 : 0);
        }
        case TYPE_VECTOR: {
            // Only vectors nested in vectors come here; a parameter's own
            // element type is in the table.
            VectorElement element;
            if (vector_element(type_name, &element) < 0) return -1;
            return write_vector(value, element.type, element.name);
        }
        case TYPE_OBJECT:
            return write_object(value);
        default:
            PyErr_Format(PyExc_ValueError, "Unknown type: %d", static_cast<int>(type_code));
            return -1;
    }
}

int Writer::write_vector_body(PyObject* value, int32_t elem_type, const char* elem_name) {
    // Only nesting can exhaust the stack. In a pure attempt, objects guard
    // their own level and scalars recurse no further, so only vectors of
    // vectors need this level's guard there.
    RecursionGuard recursion(" while packing a vector", !pure || elem_type == TYPE_VECTOR);
    if (!recursion.entered()) return -1;

    PyObject* list = value;
    Ref held_list;  // a hook may take the list out of its dict; a pure attempt runs none
    if (PyList_CheckExact(value)) {
        if (!pure) held_list = Ref::borrow(value);
    } else if (PyList_Check(value)) {
        return raise_expected("list", value);
    } else {
        // Iteration, and a new list that may start the collector.
        if (!may_run_python()) return -1;
        held_list = Ref(PySequence_List(value));
        if (!held_list) return -1;
        list = held_list.get();
    }

    Py_ssize_t count = PyList_GET_SIZE(list);
    if (count > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "vector has too many elements for the wire form");
        return -1;
    }
    if (write_int32(kVectorId) < 0 || write_int32(static_cast<uint32_t>(count)) < 0) return -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        // Element hooks may shrink the list; the count is already written,
        // so a shorter list cannot make a valid message.
        if (i >= PyList_GET_SIZE(list)) {
            PyErr_SetString(PyExc_RuntimeError, "list changed size while it was being packed");
            return -1;
        }
#ifdef Py_GIL_DISABLED
        Ref held_element(PyList_GetItemRef(list, i));
        if (!held_element) return -1;
        PyObject* element = held_element.get();
#else
        // A plain element runs no Python code while it is written, so the
        // list's own reference holds it.
        PyObject* element = PyList_GET_ITEM(list, i);
        int plain = write_plain(element, elem_type);
        if (plain > 0) continue;
        if (plain < 0) {
            add_traceback(TracebackSite::write_value);
            path->element(i, elem_name, 0);
            return -1;
        }
        // Held while it is written: a hook may take it out of the list (a
        // pure attempt runs none).
        Ref held_element(pure ? nullptr : Py_NewRef(element));
#endif
        int written = elem_type == TYPE_OBJECT
                          ? with_traceback(write_object(element), TracebackSite::write_value)
                          : write_value(element, elem_type, elem_name);
        if (written < 0) {
            path->element(i, elem_name, 0);
            return -1;
        }
    }
    return 0;
}

// Item lookup on a dict or dict subclass: 1 with a new reference in *value,
// 0 when the key is not one of the dict's own entries, -1 on error.
int lookup(PyObject* obj, bool exact, PyObject* key, PyObject** value) {
    if (exact) return PyDict_GetItemRef(obj, key, value);
    int present = PyDict_Contains(obj, key);
    if (present <= 0) {
        *value = nullptr;
        return present;
    }
    *value = PyObject_GetItem(obj, key);
    return *value ? 1 : -1;
}

// The values of one object's parameters, found before its bytes are
// written: from an exact dict all of them, from a dict subclass the
// conditional ones. A conditional parameter is asked for once and written
// from the value that decided its bit: a dict subclass may answer
// differently each time, and a second answer could leave a set bit without
// its value.
class ParamValues {
public:
    ParamValues() = default;
    ~ParamValues() {
        for (int32_t i = 0; i < count_; ++i) Py_XDECREF(slots_[i]);
        if (slots_ != inline_) std::free(slots_);
    }
    ParamValues(const ParamValues&) = delete;
    ParamValues& operator=(const ParamValues&) = delete;

    // Room for `count` values, all absent. On error sets MemoryError and
    // returns -1.
    int init(int32_t count) {
        if (count > kInline) {
            slots_ = static_cast<PyObject**>(std::calloc(static_cast<size_t>(count), sizeof(PyObject*)));
            if (slots_ == nullptr) {
                slots_ = inline_;
                PyErr_NoMemory();
                return -1;
            }
        }
        count_ = count;
        return 0;
    }
    // Takes over a new reference for a slot that holds none yet.
    void keep(int32_t index, PyObject* value) { slots_[index] = value; }
    // Takes over a new reference (or null), dropping the value kept before.
    void replace(int32_t index, PyObject* value) { Py_XSETREF(slots_[index], value); }
    // The kept value (borrowed: held until this object dies), or null.
    PyObject* get(int32_t index) const { return slots_[index]; }

private:
    static constexpr int32_t kInline = 24;
    PyObject* inline_[kInline] = {};  // a few wide stores, cheaper than a loop
    PyObject** slots_ = inline_;
    int32_t count_ = 0;
};

// The flags words of one object, from the conditional values gathered.
struct FlagWords {
    uint32_t words[2] = {0, 0};  // flags, flags2

    // Whether a conditional parameter's value sets its bit: True itself for
    // a Bool, anything but None otherwise.
    static bool sets_bit(const ParamDef& param, PyObject* value) {
        return param.type_code == TYPE_BOOL ? value == Py_True : value != Py_None;
    }
    void set(const ParamDef& param) { words[param.flag_field ? 1 : 0] |= flag_mask(param); }
    bool has(const ParamDef& param) const { return (words[param.flag_field ? 1 : 0] & flag_mask(param)) != 0; }
    bool shares_a_bit_with(const FlagWords& other) const {
        return ((words[0] & other.words[0]) | (words[1] & other.words[1])) != 0;
    }

    // Sets the bit of a conditional parameter whose value is present.
    void note(const ParamDef& param, PyObject* value) {
        if (param.is_conditional && sets_bit(param, value)) set(param);
    }
};

// Every parameter value of an exact dict. The dict's own entries are walked
// once, from `pos` with `matched` entries already seen (exact_name's "_"),
// each key matched to the parameter expected next: by identity, since the
// interned names of the table are the very objects callers' literal keys
// and decoded dicts hold, or by its text when the key is another exact str
// (keys built at run time), which finds what a lookup would find. A dict in
// schema order thus costs no hashing and no scan.
// Parameters left over are looked up, unless every entry of the dict was
// matched, which proves them absent. A name shared by two parameters is
// always looked up, as one entry serves both. Runs no Python code but the
// __eq__ of keys that are not exact str, met by those lookups; on error sets
// an exception, stores the parameter's index in *failed and returns -1.
// A pure attempt gives up before such lookups: -1 with *failed -1.
int gather_exact(Writer& writer, PyObject* obj, Py_ssize_t pos, Py_ssize_t matched,
                 const ConstructorDef* entry, ParamValues& values, FlagWords& flags,
                 int32_t* failed) {
    PyObject* underscore = writer.underscore;
    int32_t next = 0;
    PyObject *key, *value;
    bool complete;
    bool python_keys = false;  // found a key whose __eq__ the lookups may run
    // PyDict_Next lends its entries: with the interpreter lock forced off,
    // another thread could replace and free one before it is kept.
    Py_BEGIN_CRITICAL_SECTION(obj);
    // Once every entry is matched the walk is over: no call to find the end.
    const Py_ssize_t size = PyDict_GET_SIZE(obj);
    while (matched < size && PyDict_Next(obj, &pos, &key, &value)) {
        if (key == underscore) {
            ++matched;
            continue;
        }
        bool text_key = PyUnicode_CheckExact(key);
        for (int32_t j = next; j < entry->param_count; ++j) {
            const ParamDef& param = entry->params[j];
            if (param.key_repeats) continue;
            if (param.name_object != key && !(text_key && same_text(param.name_object, key))) continue;
            if (!param.is_flags_word) {
                values.keep(j, Py_NewRef(value));
                flags.note(param, value);
            }
            ++matched;
            next = j + 1;
            break;
        }
    }
    complete = matched == size;
    if (!complete) {
        // The lookups below compare keys of equal hash, which is Python
        // code for any key that is not an exact str.
        pos = 0;
        while (PyDict_Next(obj, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) {
                python_keys = true;
                break;
            }
        }
    }
    Py_END_CRITICAL_SECTION();
    if (python_keys && !writer.may_run_python()) {
        *failed = -1;
        return -1;
    }
    if (complete && !entry->any_key_repeats) return 0;
    for (int32_t j = 0; j < entry->param_count; ++j) {
        const ParamDef& param = entry->params[j];
        if (param.is_flags_word || values.get(j) != nullptr) continue;
        if (complete && !param.key_repeats) continue;
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(obj, param.name_object, &found) < 0) {
            *failed = j;
            return -1;
        }
        if (found != nullptr) {
            values.keep(j, found);
            flags.note(param, found);
        }
    }
    return 0;
}

// The conditional parameters of a dict subclass, by its own presence test
// and item access. On error sets an exception, stores the parameter's index
// in *failed and returns -1.
int gather_conditional(PyObject* obj, const ConstructorDef* entry, ParamValues& values,
                       FlagWords& flags, int32_t* failed) {
    for (int32_t i = 0; i < entry->param_count; ++i) {
        const ParamDef& param = entry->params[i];
        if (param.is_flags_word || !param.is_conditional) continue;
        PyObject* value = nullptr;
        if (lookup(obj, false, param.name_object, &value) < 0) {
            *failed = i;
            return -1;
        }
        if (value != nullptr) {
            values.keep(i, value);
            flags.note(param, value);
        }
    }
    return 0;
}

// Whether every key of a dict is an exact str.
bool text_keys_only(PyObject* obj) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    bool text = true;
    Py_BEGIN_CRITICAL_SECTION(obj);
    while (text && PyDict_Next(obj, &pos, &key, &value)) text = PyUnicode_CheckExact(key);
    Py_END_CRITICAL_SECTION();
    return text;
}

// The "_" entry of an exact dict as a new reference (None when missing).
// Decoded dicts and literals put it first, where it is found without a
// lookup; then *pos is past it and *matched 1, for gather_exact to go on
// from there (else both are 0). On error sets an exception and returns null.
PyObject* exact_name(Writer& writer, PyObject* obj, Py_ssize_t* pos, Py_ssize_t* matched) {
    PyObject* underscore = writer.underscore;
    Py_ssize_t first = 0;
    PyObject *key, *value;
    PyObject* found = nullptr;
    *pos = 0;
    *matched = 0;
    Py_BEGIN_CRITICAL_SECTION(obj);  // as in gather_exact
    if (PyDict_Next(obj, &first, &key, &value) && key == underscore) {
        found = Py_NewRef(value);
        *pos = first;
        *matched = 1;
    }
    Py_END_CRITICAL_SECTION();
    if (found != nullptr) return found;
    // The lookup may meet a key whose __eq__ is Python code; with only str
    // keys it compares texts, which a pure attempt can afford.
    if (!(writer.pure && text_keys_only(obj)) && !writer.may_run_python()) return nullptr;
    PyObject* name = nullptr;
    if (PyDict_GetItemRef(obj, underscore, &name) < 0) return nullptr;
    return name ? name : Py_NewRef(Py_None);
}

// A pure attempt's object of an exact dict whose constructor allows it
// (ConstructorDef::one_pass): each value is written as the dict's walk meets
// its key, with no gathering pass and no references taken. No Python code
// runs meanwhile, so the dict stays as it is and this writes exactly what
// gathering first would. The flags words are written as zero in their
// places and filled in at the end. A conditional value is written when it
// is present; one that is absent while a parameter sharing its bit is
// present fails, as gathering would, once the bits are known. The walk
// goes on from `pos` with `matched` entries seen, as in gather_exact.
// Returns 1, with nothing written, when a key is not the next parameter in
// schema order (an extra key, or keys in another order): the object then
// takes the gathering path.
int Writer::write_in_one_pass(PyObject* obj, const ConstructorDef* entry, Py_ssize_t pos,
                              Py_ssize_t matched) {
    const uint64_t start = parser->position;
    if (write_int32(entry->id) < 0) return -1;
    FlagWords words;
    FlagWords absent;  // bits of conditional values not written
    uint64_t word_at[2] = {0, 0};  // 0: no such word (the id is written first)
    // Writes parameters [from, to) as absent from the dict.
    auto write_absent = [&](int32_t from, int32_t to) {
        for (int32_t k = from; k < to; ++k) {
            const ParamDef& param = entry->params[k];
            if (param.is_flags_word) {
                word_at[param.is_flags_word - 1] = parser->position;
                if (write_int32(0) < 0) return -1;
            } else if (param.is_conditional) {
                if (param.type_code != TYPE_BOOL) absent.set(param);
            } else if (write_default(param.type_code) < 0) {
                return -1;
            }
        }
        return 0;
    };

    const Py_ssize_t size = PyDict_GET_SIZE(obj);
    int32_t next = 0;
    PyObject *key, *value;
    while (matched < size && PyDict_Next(obj, &pos, &key, &value)) {
        ++matched;
        if (key == underscore) continue;
        // The same match as gather_exact's. The key expected next is most
        // often the very object, which then is not even touched.
        int32_t j = next;
        if (j >= entry->param_count || entry->params[j].name_object != key) {
            j = find_key(entry, next, key);
            if (j == entry->param_count) {
                parser->position = start;
                return 1;
            }
            if (write_absent(next, j) < 0) return -1;
        }
        next = j + 1;
        const ParamDef& param = entry->params[j];
        if (param.is_flags_word) {
            // Its value is computed, not taken from the dict.
            if (write_absent(j, next) < 0) return -1;
        } else if (!param.is_conditional) {
            if (write_param(value, param) < 0) return -1;
        } else if (FlagWords::sets_bit(param, value)) {
            words.set(param);
            if (param.type_code != TYPE_BOOL && write_param(value, param) < 0) return -1;
        } else if (param.type_code != TYPE_BOOL) {
            absent.set(param);
        }
    }
    if (write_absent(next, entry->param_count) < 0) return -1;
    // The general path names the parameter without its value.
    if (words.shares_a_bit_with(absent)) return -1;
    for (int i = 0; i < 2; ++i)
        if (word_at[i] != 0) store_u32_le(parser->buffer + word_at[i], words.words[i]);
    return 0;
}

int Writer::write_object_body(PyObject* obj) {
    RecursionGuard recursion(" while packing a nested object");
    if (!recursion.entered()) return -1;

    bool exact = PyDict_CheckExact(obj);
    Ref name;
    Py_ssize_t pos = 0;
    Py_ssize_t matched = 0;
    if (exact) {
        name = Ref(exact_name(*this, obj, &pos, &matched));
        if (!name) return -1;
    } else {
        if (!may_run_python()) return -1;  // a subclass's get() and item access
        PyObject* get = PyObject_GetAttr(obj, module_string(StringId::get));
        if (get == nullptr) return -1;  // the host's AttributeError
        Ref get_owned(get);
        // Presence tests and item access are only defined for dicts, so a
        // mapping that merely has get() is refused.
        if (!PyDict_Check(obj)) return raise_expected("dict", obj);
        name = Ref(PyObject_CallOneArg(get, underscore));
        if (!name) return -1;
    }
    if (name.get() != Py_None && !PyUnicode_CheckExact(name.get())) return raise_expected("str", name.get());
    if (name.get() == Py_None || PyUnicode_GET_LENGTH(name.get()) == 0) {
        PyErr_SetString(PyExc_ValueError, "Object must have '_' field");
        return -1;
    }
    ConstructorDef* entry = find_constructor(name.get());
    if (entry == nullptr) {
        // A name without a UTF-8 form (a lone surrogate) fails as encoding it does.
        if (PyUnicode_AsUTF8AndSize(name.get(), nullptr) == nullptr) return -1;
        PyErr_Format(PyExc_ValueError, "Unknown constructor: %U", name.get());
        return -1;
    }

    auto fail_object = [&]() {
        path->object(entry->name);
        return -1;
    };
    auto fail = [&](const ParamDef& param) {
        path->param(param.name, param.type_name, 0);
        return fail_object();
    };

    if (pure && exact && entry->one_pass) {
        int written = write_in_one_pass(obj, entry, pos, matched);
        if (written <= 0) return written;
    }

    ParamValues values;
    if (values.init(entry->param_count) < 0) return fail_object();
    int32_t failed = 0;
    FlagWords words;
    int gathered = exact ? gather_exact(*this, obj, pos, matched, entry, values, words, &failed)
                         : gather_conditional(obj, entry, values, words, &failed);
    if (gathered < 0) return failed < 0 ? -1 : fail(entry->params[failed]);
    // The values just read stand for an exact dict until Python code may
    // have run; a subclass is always asked again (it never equals ~0).
    const uint64_t steps_when_read = exact ? python_steps : ~uint64_t{0};
    const uint32_t flags = words.words[0];
    const uint32_t flags2 = words.words[1];

    if (write_int32(entry->id) < 0) return fail_object();
    for (int32_t i = 0; i < entry->param_count; ++i) {
        const ParamDef& param = entry->params[i];
        if (param.is_flags_word == 1) {
            if (write_int32(flags) < 0) return fail(param);
            continue;
        }
        if (param.is_flags_word == 2) {
            if (write_int32(flags2) < 0) return fail(param);
            continue;
        }
        if (param.is_conditional) {
            if (!words.has(param) || param.type_code == TYPE_BOOL) continue;
            // Its bit is set, so the reader will expect its bytes. Without a
            // value of its own (a parameter sharing the bit is present) it
            // would read them from whatever follows.
            PyObject* value = values.get(i);
            if (value == nullptr || value == Py_None) {
                PyErr_Format(PyExc_ValueError,
                             "Parameter '%U' has no value, but a parameter that shares its flag "
                             "bit is present",
                             param.name_object);
                return fail(param);
            }
            if (write_param(value, param) < 0) return fail(param);
            continue;
        }
        // An unconditional value is taken from the dict as it is now: read
        // again if Python code may have changed it since it was gathered
        // (always, from a dict subclass).
        if (python_steps != steps_when_read) {
            PyObject* now = nullptr;
            if (lookup(obj, exact, param.name_object, &now) < 0) return fail(param);
            values.replace(i, now);
        }
        PyObject* value = values.get(i);
        if (value == nullptr) {
            if (write_default(param.type_code) < 0) return fail(param);
            continue;
        }
        if (write_param(value, param) < 0) return fail(param);
    }
    return 0;
}

}  // namespace

PyObject* parser_pack(SorbParser* self, SorbSchemaCompiler* compiler, PyObject* value) {
    if (self->capacity < kInitialCapacity) {
        void* buffer = std::realloc(self->buffer, kInitialCapacity);
        if (buffer == nullptr) return PyErr_NoMemory();
        self->buffer = static_cast<uint8_t*>(buffer);
        self->capacity = kInitialCapacity;
    }
    self->error_flag = 0;
#ifndef Py_GIL_DISABLED
    // First a pure attempt, which fails (then leaves no trace) wherever
    // Python code could run: nearly every message has none, and without it
    // every value read stays valid, so objects are written in one pass with
    // borrowed references. Without the lock another thread could change a
    // dict meanwhile, so that build always takes the general path.
    // A parser whose messages need Python code would pay for both; after
    // an attempt fails, the next few calls go without.
    if (self->pure_skips > 0) {
        --self->pure_skips;
    } else {
        self->position = 0;
        ErrorPath unused;
        Writer attempt{self, compiler, &unused};
        attempt.pure = true;
        if (attempt.write_object(value) == 0)
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(self->buffer),
                                             static_cast<Py_ssize_t>(self->position));
        PyErr_Clear();
        self->pure_skips = kPureSkips;
    }
#endif
    self->position = 0;
    ErrorPath path;
    Writer writer{self, compiler, &path};
    if (writer.write_object(value) < 0) {
        path.add_note(false);
        return nullptr;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(self->buffer),
                                     static_cast<Py_ssize_t>(self->position));
}

}  // namespace sorb
