// The writing direction of the wire form: dicts to bytes.
//
// Every writer step reports failure by returning -1 with a Python exception
// set; the whole pack stops at the first one.
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "byte_order.h"
#include "error_path.h"
#include "guards.h"
#include "module.h"
#include "numbers.h"
#include "parser.h"
#include "pyref.h"
#include "traceback.h"

namespace sorb {
namespace {

constexpr uint32_t kVectorId = 0x1CB5C415u;
constexpr uint64_t kInitialCapacity = 1024;
// Calls that skip the pure attempt after one fails (see parser_pack).
constexpr int kPureSkips = 32;
// Writer::match_key's answer for a key that is not an exact str.
constexpr int32_t kNotText = -2;
// write_elements for any element type, read at run time.
constexpr int32_t kAnyType = -3;
constexpr Py_ssize_t kMaxByteString = (Py_ssize_t{1} << 24) - 1;  // 3-byte length

int raise_expected(const char* kind, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", kind, Py_TYPE(value)->tp_name);
    return -1;
}

struct Writer {
    SorbParser* parser;
    SorbSchemaCompiler* compiler;
    ErrorPath* path;  // where a failure lies, recorded while unwinding
    PyObject* underscore = module_string(StringId::underscore);  // the "_" key
    // Counts the steps that may have run Python code (a conversion hook, an
    // iterator, a dict subclass's methods, a key's __eq__), which can change
    // a dict read before: an object reads its values again once it moves.
    uint64_t python_steps = 0;
    // Set for the first attempt at a message (see parser_pack), which gives
    // up wherever Python code could run, before running it: every value it
    // reads then stays as it was read and needs no reference of its own.
    bool pure = false;
    // Keys that matched a name by their text in a pure attempt, by address:
    // dicts built at run time (json.loads, a loop) share their key objects.
    // No Python code runs, so no key dies and no address is reused meanwhile.
    struct Alias {
        PyObject* key;
        PyObject* name;
    };
    struct Aliases {
        Aliases() {}  // left unset: most messages never need them
        Alias slots[64];
    } aliases{};
    bool aliases_ready = false;

    // The constructor of an exact str name, prepared for packing; null
    // when there is none (then with an exception set only if preparing it
    // failed). Runs no Python code.
    ConstructorDef* find_constructor(PyObject* name) {
        const uintptr_t address = reinterpret_cast<uintptr_t>(name);
        RecentName* set = &parser->recent_names[(((address >> 4) ^ (address >> 10)) & 63) * 2];
        // A name met at this address found set[i].entry. Most often it is
        // the entry's own name object; another may have been freed since
        // and its address reused, by a str that names the entry only if its
        // text does.
        for (int i = 0; i < 2; ++i) {
            if (set[i].name != name) continue;
            PyObject* own = set[i].entry->prepared->name_object;
            if (own == name || same_text(own, name)) return set[i].entry;
        }
        ConstructorDef* found = compiler_find_name(compiler, name);
        // An empty name is no name: settle refuses it.
        if (found == nullptr || found->name_size == 0 || prepare_to_pack(found) < 0) return nullptr;
        set[1] = set[0];
        set[0] = {name, found};
        return found;
    }

    // Where the next byte goes, and the end of the parser's buffer.
    uint8_t* out = parser->buffer;
    uint8_t* end = parser->buffer + parser->capacity;

    int ensure_buffer(uint64_t n) { return static_cast<uint64_t>(end - out) >= n ? 0 : grow(n); }
    int grow(uint64_t n) {
        const uint64_t position = static_cast<uint64_t>(out - parser->buffer);
        uint64_t grown = parser->capacity * 2;
        while (grown < position + n) grown *= 2;
        void* buffer = std::realloc(parser->buffer, grown);
        if (buffer == nullptr) {
            PyErr_SetString(PyExc_MemoryError, "Cannot reallocate buffer");
            return -1;
        }
        parser->buffer = static_cast<uint8_t*>(buffer);
        parser->capacity = grown;
        out = parser->buffer + position;
        end = parser->buffer + grown;
        return 0;
    }
    // The message written.
    PyObject* written() const {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(parser->buffer), out - parser->buffer);
    }

    // The parameter of `entry` whose name an exact str key is, or -1.
    int32_t find_key(const ConstructorDef* entry, PyObject* key) {
        // A key whose text matched a name before finds that name by identity.
        if (aliases_ready && alias_of(key).key == key) return find_param(entry, alias_of(key).name);
        int32_t j = find_param(entry, key);
        if (j >= 0 && entry->params[j].name_object != key && pure) remember(key, entry->params[j].name_object);
        return j;
    }
    // find_key for any key of a dict: kNotText when it is not an exact str.
    [[gnu::noinline]] int32_t match_key(const ConstructorDef* entry, PyObject* key) {
        return PyUnicode_CheckExact(key) ? find_key(entry, key) : kNotText;
    }
    // Whether `key` matched parameter name `name` by its text before.
    bool is_alias(PyObject* key, PyObject* name) {
        if (!aliases_ready) return false;
        const Alias& alias = alias_of(key);
        return alias.key == key && alias.name == name;
    }
    Alias& alias_of(PyObject* key) { return aliases.slots[(reinterpret_cast<uintptr_t>(key) >> 4) & 63]; }
    void remember(PyObject* key, PyObject* name) {
        if (!aliases_ready) {
            std::memset(aliases.slots, 0, sizeof aliases.slots);
            aliases_ready = true;
        }
        alias_of(key) = {key, name};
    }

    // Called before a step that may run Python code. In a pure attempt it
    // returns false with no exception set, and the caller fails; else it
    // counts the step.
    bool may_run_python() {
        if (pure) return false;
        ++python_steps;
        return true;
    }

    int write_int32(uint32_t v) { return ensure_buffer(4) < 0 ? -1 : (store_u32_le(out, v), out += 4, 0); }
    int write_int64(uint64_t v) { return ensure_buffer(8) < 0 ? -1 : (store_u64_le(out, v), out += 8, 0); }
    int write_double(double v) { return ensure_buffer(8) < 0 ? -1 : (store_f64_le(out, v), out += 8, 0); }

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
        uint8_t* at = out;
        if (n <= 253) {
            *at++ = static_cast<uint8_t>(n);
        } else {
            *at++ = 0xFE;
            *at++ = static_cast<uint8_t>(n);
            *at++ = static_cast<uint8_t>(n >> 8);
            *at++ = static_cast<uint8_t>(n >> 16);
        }
        if (n > 0) std::memcpy(at, data, n);
        at += n;
        // Padding is relative to the message start.
        uint64_t pad = (4 - (static_cast<uint64_t>(at - parser->buffer) & 3)) & 3;
        store_u32_le(at, 0);  // at most 3 bytes, in the room asked for above
        out = at + pad;
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
                uint64_t big;
                if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
                    v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value));
                } else if (positive_uint64(value, &big)) {
                    if (type_code == TYPE_LONG) return write_int64(big) < 0 ? -1 : 1;
                    if (big > kIntMax) return 0;
                    return write_int32(static_cast<uint32_t>(big)) < 0 ? -1 : 1;
                } else {
                    // What is left, and every error, takes write_value.
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
    // A vector whose element type is worked out. Its elements' type text
    // is `text`, or follows it (a parameter's, found only when needed).
    int write_vector(PyObject* value, int32_t elem_type, const char* text, bool after_text = false) {
        return with_traceback(write_vector_body(value, elem_type, text, after_text), TracebackSite::write_vector);
    }
    // One parameter's value that write_plain left: a vector takes the
    // element type that the table holds for it, with the same traceback as
    // through write_value.
    int write_param(PyObject* value, const ParamDef& param) {
        if (param.type_code == TYPE_OBJECT) return with_traceback(write_object(value), TracebackSite::write_value);
        if (param.type_code != TYPE_VECTOR) return write_value(value, param.type_code, param.type_name);
        return with_traceback(write_vector(value, param.elem_type, param.type_name, true),
                              TracebackSite::write_value);
    }
    // `guarded`: called by a vector's loop, whose own level counts for it.
    int write_object(PyObject* obj, bool guarded = false) {
        return with_traceback(write_object_body(obj, guarded), TracebackSite::write_object);
    }

    int write_value_body(PyObject* value, int32_t type_code, const char* type_name);
    int write_vector_body(PyObject* value, int32_t elem_type, const char* text, bool after_text);
    template <int32_t kElemType>
    int write_elements(PyObject* list, Py_ssize_t count, int32_t elem_type, const char* text, bool after_text);
    int write_object_body(PyObject* obj, bool guarded);
    int settle(PyObject* obj, bool exact, struct Named* named, class Gathered& values);

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
            return write_int32(kVectorId) < 0 ? -1 : write_int32(0);
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

int Writer::write_vector_body(PyObject* value, int32_t elem_type, const char* text, bool after_text) {
    // Only nesting can exhaust the stack. This level counts for the objects
    // it holds too, which then ask nothing of their own.
    RecursionGuard recursion(" while packing a vector");
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
    // The loop made once for each of the common element types, so that the
    // element type is tested once per vector, not once per element: GCC 10,
    // which builds the wheels, does not take that test out of the loop by
    // itself (a tenth of the time of a vector of numbers).
    switch (elem_type) {
        case TYPE_INT: return write_elements<TYPE_INT>(list, count, elem_type, text, after_text);
        case TYPE_LONG: return write_elements<TYPE_LONG>(list, count, elem_type, text, after_text);
        case TYPE_DOUBLE: return write_elements<TYPE_DOUBLE>(list, count, elem_type, text, after_text);
        case TYPE_OBJECT: return write_elements<TYPE_OBJECT>(list, count, elem_type, text, after_text);
        default: return write_elements<kAnyType>(list, count, elem_type, text, after_text);
    }
}

// write_vector_body's elements, of type kElemType (kAnyType: elem_type).
template <int32_t kElemType>
int Writer::write_elements(PyObject* list, Py_ssize_t count, int32_t elem_type, const char* text, bool after_text) {
    if (kElemType != kAnyType) elem_type = kElemType;
    auto element_text = [&] { return after_text ? elem_name(text) : text; };
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
        // A plain element runs no Python code: the list's reference holds it.
        PyObject* element = PyList_GET_ITEM(list, i);
        int plain = write_plain(element, elem_type);
        if (plain > 0) continue;
        if (plain < 0) {
            add_traceback(TracebackSite::write_value);
            path->element(i, element_text(), 0);
            return -1;
        }
        // Held while written: a hook may take it out of the list.
        Ref held_element(pure ? nullptr : Py_NewRef(element));
#endif
        int written = elem_type == TYPE_OBJECT
                          ? with_traceback(write_object(element, true), TracebackSite::write_value)
                          : write_value(element, elem_type, element_text());
        if (written < 0) {
            path->element(i, element_text(), 0);
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

// The flags words of one object, from the conditional values gathered.
struct FlagWords {
    uint32_t words[2];  // flags, flags2
    // Whether a conditional value sets its bit: True for a Bool, else not None.
    static bool sets_bit(const ParamDef& param, PyObject* value) {
        return param.type_code == TYPE_BOOL ? value == Py_True : value != Py_None;
    }
    void set(const ParamDef& param) { words[param.flag_field ? 1 : 0] |= flag_mask(param); }
    bool has(const ParamDef& param) const { return (words[param.flag_field ? 1 : 0] & flag_mask(param)) != 0; }
};

// The values of one object's parameters, found before its bytes are
// written, with the flags words they make and the parameters to write.
// A conditional parameter is asked for once and written from the value
// that decided its bit: a dict subclass may answer differently each time,
// and a second answer could leave a set bit without its value. Values are
// borrowed from the dict while it is walked, and held from then on outside
// a pure attempt (where no Python code runs while they are used).
class Gathered {
public:
    Gathered() = default;
    ~Gathered() {
        if (held_)
            for (size_t j = 0; j < count_; ++j) Py_XDECREF(values_[j]);
        if (values_ != inline_values_) std::free(values_);
    }
    Gathered(const Gathered&) = delete;
    Gathered& operator=(const Gathered&) = delete;

    // Room for the parameters of `entry`, none found yet. On error sets
    // MemoryError and returns -1. Sets every member but the first three.
    int init(const ConstructorDef* entry) {
        entry_ = entry;
        const size_t count = static_cast<size_t>(entry->param_count);
        words_ = entry->prepared->words;
        inline_written_ = 0;
        written_ = &inline_written_;
        flags = FlagWords{{0, 0}};
        if (count > kInline) {
            // One block: the values, then the bits to write.
            void* block = std::calloc(1, count * sizeof(PyObject*) + words_ * sizeof(uint64_t));
            if (block == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
            values_ = static_cast<PyObject**>(block);
            written_ = reinterpret_cast<uint64_t*>(values_ + count);
        } else if (count <= kFew) {
            // Most constructors: a few stores, no call.
            for (size_t j = 0; j < kFew; ++j) inline_values_[j] = nullptr;
        } else {
            std::memset(inline_values_, 0, count * sizeof(PyObject*));
        }
        count_ = count;
        return 0;
    }

    // The slots of the values, by parameter, for a walk to fill.
    PyObject** slots() const { return values_; }
    // What the value just put in slot j, of a conditional parameter, says:
    // its bit, and whether it is written.
    void note(uint32_t j, const ParamDef& param, PyObject* value) {
        if (FlagWords::sets_bit(param, value)) {
            flags.set(param);
            if (param.type_code != TYPE_BOOL) written_[j / 64] |= uint64_t{1} << (j % 64);
        }
    }
    // The value of parameter j, not found before: borrowed until hold(),
    // a new reference after.
    void keep(int32_t j, PyObject* value) {
        const uint32_t at = static_cast<uint32_t>(j);
        values_[at] = value;
        const ParamDef& param = entry_->params[at];
        if (param.is_conditional) note(at, param, value);
    }
    // Takes a reference to every value found, which from then on are held.
    void hold() {
        if (held_) return;
        for (size_t j = 0; j < count_; ++j) Py_XINCREF(values_[j]);
        held_ = true;
    }
    // A value read again (a new reference, or null when the key is gone).
    void replace(int32_t j, PyObject* value) { Py_XSETREF(values_[j], value); }
    // The value found (borrowed: held until this object dies), or null.
    PyObject* get(int32_t j) const { return values_[j]; }

    // Calls visit(j) for every parameter to write, in schema order: flags
    // words, unconditional parameters, and conditional ones whose bit is
    // set (unless a Bool, which its bit carries). Stops at the first that
    // returns -1, and returns that.
    template <typename Visit>
    int each_written(Visit&& visit) {
        const Prepared* prepared = entry_->prepared;
        if (prepared->shares_bits) {
            // A bit set by one parameter makes every parameter on it expected.
            const uint64_t* sharing = prepared->sharing;
            for (size_t w = 0; w < words_; ++w) {
                for (uint64_t bits = sharing[w]; bits != 0; bits &= bits - 1) {
                    size_t j = w * 64 + static_cast<size_t>(std::countr_zero(bits));
                    if (flags.has(entry_->params[j])) written_[w] |= uint64_t{1} << (j % 64);
                }
            }
        }
        const uint64_t* always = prepared->always;
        for (size_t w = 0;;) {
            for (uint64_t bits = always[w] | written_[w]; bits != 0; bits &= bits - 1) {
                if (visit(static_cast<int32_t>(w * 64 + static_cast<size_t>(std::countr_zero(bits)))) < 0)
                    return -1;
            }
            if (++w == words_) return 0;
        }
    }

    FlagWords flags;

private:
    static constexpr size_t kInline = 64;
    static constexpr size_t kFew = 8;
    bool held_ = false;
    size_t count_ = 0;
    PyObject** values_ = inline_values_;
    const ConstructorDef* entry_;
    size_t words_;
    uint64_t inline_written_;
    uint64_t* written_;  // conditional values that set their bit
    PyObject* inline_values_[kInline];  // the first count_ are set by init
};

// The "_" entry of an exact dict, and its constructor.
struct Named {
    // The "_" value, null when no exact str key is "_"; held as the values are.
    PyObject* name = nullptr;
    Ref held;
    ConstructorDef* entry = nullptr;
    bool other_keys = false;  // the dict has a key that is not an exact str
};

// An exact str key is "_": most often the interned one itself.
bool is_underscore(PyObject* key, PyObject* underscore) {
    return key == underscore || (PyUnicode_GET_LENGTH(key) == 1 && same_text(key, underscore));
}

// The "_" of a dict whose first key (given, as `key` and `value`) is not
// the interned "_", and its constructor: the walk goes on to "_", keeping
// the entries before it for when the constructor is known (past kEarly of
// them, the walk starts again from the first entry). Moves *pos and *left
// on. Runs no Python code; on error (memory) sets an exception, returns -1.
int find_name_later(Writer& writer, PyObject* obj, PyObject* key, PyObject* value, Py_ssize_t* pos,
                    Py_ssize_t* left, Named* named, Gathered& values) {
    constexpr int kEarly = 16;
    PyObject* early[kEarly][2];  // key, value
    int count = 0;
    for (;;) {
        if (!PyUnicode_CheckExact(key)) {
            named->other_keys = true;
        } else if (!is_underscore(key, writer.underscore)) {
            if (count < kEarly) {
                early[count][0] = key;
                early[count][1] = value;
            }
            ++count;
        } else {
            named->name = value;
            if (!PyUnicode_CheckExact(value)) return 0;
            ConstructorDef* entry = writer.find_constructor(value);
            if (entry == nullptr) return PyErr_Occurred() ? -1 : 0;
            if (values.init(entry) < 0) return -1;
            named->entry = entry;
            if (count > kEarly) {
                *pos = 0;
                *left = PyDict_GET_SIZE(obj);
                return 0;
            }
            for (int i = 0; i < count; ++i) {
                int32_t j = find_param_by_identity(entry, early[i][0]);
                if (j >= 0 || (j = writer.match_key(entry, early[i][0])) >= 0) values.keep(j, early[i][1]);
            }
            return 0;
        }
        if (*left == 0 || !PyDict_Next(obj, pos, &key, &value)) return 0;
        --*left;
    }
}

// One entry serves every parameter of its name.
[[gnu::noinline]] void share_repeated_keys(const ConstructorDef* entry, PyObject* name, Gathered& values) {
    for (int32_t j = 0; j < entry->param_count; ++j) {
        const ParamDef& param = entry->params[j];
        if (!param.key_repeats || param.is_flags_word) continue;
        PyObject* shared = param.same_key_as < 0 ? name : values.get(param.same_key_as);
        if (shared != nullptr) values.keep(j, shared);
    }
}

// Every parameter value of an exact dict, in one walk of its own entries
// in whatever order it holds them: each key whose text is a parameter's
// name finds that parameter through the constructor's key index; as keys
// often come in schema order, the parameter after the last one found is
// tried first, by identity. A key that is not an exact str could equal a
// name by its own __eq__; it is only noted (in named->other_keys), and
// Writer::settle looks the names up. Runs no Python code. On error
// (memory) sets an exception and returns -1; an unusable "_" ends the walk
// early with named->entry null, for the caller to report.
inline int gather_exact(Writer& writer, PyObject* obj, Named* named, Gathered& values) {
    int status = 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    // PyDict_Next lends its entries: with the interpreter lock forced off,
    // another thread could replace and free one before it is kept.
    Py_BEGIN_CRITICAL_SECTION(obj);
    // Entries not yet walked: the walk ends without a call to find the end.
    Py_ssize_t left = PyDict_GET_SIZE(obj);
    if (left > 0 && PyDict_Next(obj, &pos, &key, &value)) {
        --left;
        // Decoded dicts and literals put "_" first.
        if (key == writer.underscore) {
            named->name = value;
            ConstructorDef* entry = PyUnicode_CheckExact(value) ? writer.find_constructor(value) : nullptr;
            if (entry == nullptr)
                status = PyErr_Occurred() ? -1 : 0;
            else if ((status = values.init(entry)) == 0)
                named->entry = entry;
        } else {
            status = find_name_later(writer, obj, key, value, &pos, &left, named, values);
        }
    }
    const ConstructorDef* entry = status == 0 ? named->entry : nullptr;
    if (entry != nullptr) {
        const ParamDef* params = entry->params;
        const int32_t count = entry->param_count;
        // Only parameters of the key index are tried: flags words are
        // computed, and a repeated name's value is its first parameter's.
        const int32_t* next_key = entry->prepared->next_key;
        PyObject** slots = values.slots();
        int32_t next = next_key[0];
        for (; left > 0; --left) {
            if (!PyDict_Next(obj, &pos, &key, &value)) break;
            int32_t j = next;
            if (j >= count || params[j].name_object != key) {
                if (j < count && writer.is_alias(key, params[j].name_object)) {
                    // the key expected, built at run time
                } else if ((j = find_param_by_identity(entry, key)) < 0) {
                    j = writer.match_key(entry, key);
                    if (j < 0) {
                        named->other_keys |= j == kNotText;
                        continue;
                    }
                }
            }
            const uint32_t at = static_cast<uint32_t>(j);
            slots[at] = value;
            if (params[at].is_conditional) values.note(at, params[at], value);
            next = next_key[at + 1];
        }
        if (entry->prepared->any_key_repeats) share_repeated_keys(entry, named->name, values);
    }
    // Held before another thread or Python code can take them out of the dict.
    if (!writer.pure) {
        values.hold();
        if (named->name != nullptr) named->held = Ref::borrow(named->name);
    }
    Py_END_CRITICAL_SECTION();
    if (status < 0) named->entry = nullptr;
    return status;
}

// The values of the parameters not yet found, by lookups in the dict
// itself: every one of an exact dict whose keys are not all exact str,
// the conditional ones of a dict subclass (its unconditional values are
// asked for when written). On error sets an exception, stores the
// parameter's index in *failed and returns -1.
int gather_by_lookup(PyObject* obj, bool exact, const ConstructorDef* entry, Gathered& values,
                     int32_t* failed) {
    for (int32_t j = 0; j < entry->param_count; ++j) {
        const ParamDef& param = entry->params[j];
        if (param.is_flags_word || values.get(j) != nullptr || (!exact && !param.is_conditional)) continue;
        PyObject* value = nullptr;
        if (lookup(obj, exact, param.name_object, &value) < 0) {
            *failed = j;
            return -1;
        }
        if (value != nullptr) values.keep(j, value);
    }
    return 0;
}

// What the walk of an exact dict could not settle, and every dict
// subclass: the constructor named by a "_" that only a key other than an
// exact str holds, or by a subclass's get(); errors of "_"; the values of
// the keys the walk could not match. Sets named->entry, or an exception
// and returns -1.
[[gnu::noinline]] int Writer::settle(PyObject* obj, bool exact, Named* named, Gathered& values) {
    Ref name_held;
    PyObject* name = named->name;
    if (exact) {
        if (name == nullptr) {
            // A key that is not an exact str may still equal "_".
            if (named->other_keys) {
                if (!may_run_python()) return -1;
                if (PyDict_GetItemRef(obj, underscore, name_held.out()) < 0) return -1;
            }
            name = name_held ? name_held.get() : Py_None;
        }
    } else {
        if (!may_run_python()) return -1;  // a subclass's get() and item access
        PyObject* get = PyObject_GetAttr(obj, module_string(StringId::get));
        if (get == nullptr) return -1;  // the host's AttributeError
        Ref get_owned(get);
        // Presence tests and item access are only defined for dicts, so a
        // mapping that merely has get() is refused.
        if (!PyDict_Check(obj)) return raise_expected("dict", obj);
        name_held = Ref(PyObject_CallOneArg(get, underscore));
        if (!name_held) return -1;
        name = name_held.get();
    }
    if (name != Py_None && !PyUnicode_CheckExact(name)) return raise_expected("str", name);
    if (name == Py_None || PyUnicode_GET_LENGTH(name) == 0) {
        PyErr_SetString(PyExc_ValueError, "Object must have '_' field");
        return -1;
    }
    ConstructorDef* entry = named->entry != nullptr ? named->entry : find_constructor(name);
    if (entry == nullptr) {
        if (PyErr_Occurred()) return -1;
        // A name without a UTF-8 form (a lone surrogate) fails as encoding it does.
        if (PyUnicode_AsUTF8AndSize(name, nullptr) == nullptr) return -1;
        PyErr_Format(PyExc_ValueError, "Unknown constructor: %U", name);
        return -1;
    }
    // A subclass, an exact dict with keys that are not exact str (their
    // __eq__ is Python code), and a "_" that only such a key held.
    if (!exact || named->other_keys) {
        if (exact && !may_run_python()) return -1;
        if (named->entry == nullptr && values.init(entry) < 0) {
            path->object(entry->name);
            return -1;
        }
        values.hold();  // those of the walk already are
        int32_t failed = 0;
        if (gather_by_lookup(obj, exact, entry, values, &failed) < 0) {
            path->param(param_name(entry->params[failed]), entry->params[failed].type_name, 0);
            path->object(entry->name);
            return -1;
        }
    }
    named->entry = entry;
    return 0;
}

int Writer::write_object_body(PyObject* obj, bool guarded) {
    RecursionGuard recursion(" while packing a nested object", !guarded);
    if (!recursion.entered()) return -1;

    const bool exact = PyDict_CheckExact(obj);
    Gathered values;
    Named named;
    if (exact && gather_exact(*this, obj, &named, values) < 0) return -1;
    if ((named.entry == nullptr || named.other_keys) && settle(obj, exact, &named, values) < 0) return -1;
    const ConstructorDef* entry = named.entry;

    auto fail = [&](const ParamDef& param) {
        path->param(param_name(param), param.type_name, 0);
        path->object(entry->name);
        return -1;
    };
    // The values just read stand for an exact dict until Python code may
    // have run; a subclass is always asked again (it never equals ~0).
    const uint64_t steps_when_read = exact ? python_steps : ~uint64_t{0};

    if (write_int32(entry->id) < 0) {
        path->object(entry->name);
        return -1;
    }
    const ParamDef* params = entry->params;
    const bool may_change = !pure;  // a pure attempt runs no Python code
    return values.each_written([&](int32_t j) {
        const ParamDef& param = params[j];
        PyObject* value = values.get(j);
        if (param.is_flags_word) {
            if (write_int32(values.flags.words[param.is_flags_word - 1]) < 0) return fail(param);
            return 0;
        }
        if (param.is_conditional) {
            // Its bit is set, so the reader will expect its bytes. Without a
            // value of its own (a parameter sharing the bit is present) it
            // would read them from whatever follows.
            if (value == nullptr || value == Py_None) {
                PyErr_Format(PyExc_ValueError,
                             "Parameter '%U' has no value, but a parameter that shares its flag "
                             "bit is present",
                             param.name_object);
                return fail(param);
            }
        } else if (may_change && python_steps != steps_when_read) {
            // An unconditional value is taken from the dict as it is now:
            // read again if Python code may have changed it since it was
            // gathered (always, from a dict subclass).
            PyObject* now = nullptr;
            if (lookup(obj, exact, param.name_object, &now) < 0) return fail(param);
            values.replace(j, now);
            value = now;
        }
        if (value == nullptr) return write_default(param.type_code) < 0 ? fail(param) : 0;
        int plain = write_plain(value, param.type_code);
        if (plain > 0) return 0;
        if (plain < 0) add_traceback(TracebackSite::write_value);
        return plain < 0 || write_param(value, param) < 0 ? fail(param) : 0;
    });
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
    // every value read stays valid, so it takes no references. Without the
    // lock another thread could change a dict meanwhile, so that build
    // always takes the general path. After an attempt fails, the next few
    // calls go without, not to pay for both.
    if (self->pure_skips > 0) {
        --self->pure_skips;
    } else {
        ErrorPath unused;
        Writer attempt{self, compiler, &unused};
        attempt.pure = true;
        if (attempt.write_object(value) == 0) return attempt.written();
        PyErr_Clear();
        self->pure_skips = kPureSkips;
    }
#endif
    ErrorPath path;
    Writer writer{self, compiler, &path};
    if (writer.write_object(value) < 0) {
        path.add_note(false);
        return nullptr;
    }
    return writer.written();
}

}  // namespace sorb
