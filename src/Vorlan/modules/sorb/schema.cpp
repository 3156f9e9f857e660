#include "schema.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "guards.h"
#include "module.h"
#include "pyref.h"
#include "traceback.h"

namespace sorb {
namespace {

constexpr uint32_t kMaxId = 0xFFFFFFFFu;

int raise_expected(const char* kind, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", kind, Py_TYPE(value)->tp_name);
    return -1;
}

int raise_none_attribute(const char* attribute) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", attribute);
    return -1;
}

// Exactly the given type, or None; otherwise the "Expected ..." TypeError.
int check_exact_or_none(PyObject* value, PyTypeObject* type, const char* kind) {
    if (value == Py_None || Py_IS_TYPE(value, type)) return 0;
    return raise_expected(kind, value);
}

// dict.get(key, default) on an exact dict; a new reference or null.
PyObject* dict_get(PyObject* dict, StringId key, PyObject* fallback) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(dict, module_string(key), &value);
    if (found < 0) return nullptr;
    return found ? value : Py_NewRef(fallback);
}

// dict[key] on an exact dict; KeyError of the key when missing.
PyObject* dict_require(PyObject* dict, StringId key) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(dict, module_string(key), &value);
    if (found == 0) PyErr_SetObject(PyExc_KeyError, module_string(key));
    return value;
}

// The UTF-8 text of an exact str (None has no encode method; a lone
// surrogate fails as encoding does). Valid as long as the str.
const char* utf8_of(PyObject* text, Py_ssize_t* size) {
    if (text == Py_None) {
        raise_none_attribute("encode");
        return nullptr;
    }
    return PyUnicode_AsUTF8AndSize(text, size);
}

// The text up to its first NUL, as a C string would end it.
std::string_view up_to_nul(const char* text) { return std::string_view(text); }

// A plain decimal number of at most 18 digits, with an optional leading
// "-": what schema files write ids and bits as. Other texts that int()
// accepts (spaces, "+", "_", other scripts' digits) take the host's path.
bool plain_decimal(std::string_view text, long long* value) {
    bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty() || text.size() > 18) return false;
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *value = negative ? -v : v;
    return true;
}

// int(raw) reduced to an unsigned 32-bit id: negative values keep their low
// 32 bits (so -2 is 0xFFFFFFFE), values above 0xFFFFFFFF overflow.
int convert_id(PyObject* raw, uint32_t* id) {
    long long v = 0;
    int overflow = 0;
    Ref value;
    if (PyUnicode_CheckExact(raw) && PyUnicode_IS_COMPACT_ASCII(raw) &&
        plain_decimal(std::string_view(static_cast<const char*>(PyUnicode_DATA(raw)),
                                       static_cast<size_t>(PyUnicode_GET_LENGTH(raw))),
                      &v)) {
    } else {
        value = Ref(PyNumber_Long(raw));
        if (!value) return -1;
        v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) return -1;
    }
    if (overflow > 0 || v > static_cast<long long>(kMaxId)) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to uint32_t");
        return -1;
    }
    if (overflow < 0) {
        unsigned long long low = PyLong_AsUnsignedLongLongMask(value.get());
        if (low == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
        *id = static_cast<uint32_t>(low);
        return 0;
    }
    *id = static_cast<uint32_t>(static_cast<unsigned long long>(v));
    return 0;
}

// int(bit_text) as a signed 32-bit bit number, by the host's rules.
int convert_flag_bit(std::string_view bit_text, int32_t* bit) {
    long long v = 0;
    if (!plain_decimal(bit_text, &v)) {
        Ref text(PyUnicode_DecodeUTF8(bit_text.data(), static_cast<Py_ssize_t>(bit_text.size()), "strict"));
        if (!text) return -1;
        Ref number(PyLong_FromUnicodeObject(text.get(), 10));
        if (!number) return -1;
        int overflow = 0;
        v = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) return -1;
        if (overflow > 0) v = static_cast<long long>(INT32_MAX) + 1;
        if (overflow < 0) v = static_cast<long long>(INT32_MIN) - 1;
    }
    if (v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    if (v < INT32_MIN) {
        PyErr_SetString(PyExc_OverflowError, "value too small to convert to int");
        return -1;
    }
    *bit = static_cast<int32_t>(v);
    return 0;
}

// Decodes a condition "X.N?..." of a parameter type (its whole UTF-8 text)
// into its bit and word. '?' and '.' are ASCII, so splitting the UTF-8 at
// them splits the text where the str's own split would.
int parse_condition(std::string_view text, ParamDef* param) {
    size_t question = text.find('?');
    if (question == std::string_view::npos) return 0;
    param->is_conditional = 1;
    std::string_view cond = text.substr(0, question);
    size_t dot = cond.find('.');
    if (dot == std::string_view::npos) return 0;
    if (cond.find('.', dot + 1) != std::string_view::npos) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
        return -1;
    }
    int32_t bit = 0;
    if (convert_flag_bit(cond.substr(dot + 1), &bit) < 0) return -1;
    param->flag_bit = static_cast<uint8_t>(static_cast<uint32_t>(bit) & 31u);
    param->flag_field = cond.substr(0, dot) == "flags2" ? 1 : 0;
    return 0;
}

// Interns a str of our own making on the build where interned strings are
// mortal, so that callers' literal keys and names match it by identity.
// Takes over a new reference (null passes through).
PyObject* own_key(PyObject* text) {
#ifndef Py_GIL_DISABLED
    if (text != nullptr) PyUnicode_InternInPlace(&text);
#endif
    return text;
}

// Texts already in a table's arena, so that each distinct one is kept once.
// A vector's type text is kept with its element text after it (elem_name),
// apart from the same text without. Lives for one compile.
class TextSet {
public:
    // The arena's copy of `text` (followed by `element` when `vector`),
    // made if it has none. On error sets MemoryError and returns null.
    const char* add(Arena& arena, std::string_view text, bool vector = false, std::string_view element = {}) {
        if ((used_ + 1) * 2 > slots_.size() && grow() < 0) return nullptr;
        const uint32_t hash = text_hash(text.data(), text.size()) ^ vector;
        size_t mask = slots_.size() - 1;
        size_t i = hash & mask;
        for (; slots_[i].text != nullptr; i = (i + 1) & mask) {
            if (slots_[i].hash == hash && slots_[i].size == text.size() && slots_[i].vector == vector &&
                std::memcmp(slots_[i].text, text.data(), text.size()) == 0)
                return slots_[i].text;
        }
        char* copy = arena.copy(text, element, vector);
        if (copy == nullptr) {
            PyErr_NoMemory();
            return nullptr;
        }
        slots_[i] = Slot{copy, text.size(), hash, vector};
        ++used_;
        return copy;
    }

private:
    struct Slot {
        const char* text;
        size_t size;
        uint32_t hash;
        bool vector;
    };
    int grow() {
        std::vector<Slot> old;
        try {
            old.assign(slots_.empty() ? 256 : slots_.size() * 2, Slot{nullptr, 0, 0, false});
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return -1;
        }
        old.swap(slots_);
        size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.text == nullptr) continue;
            size_t i = slot.hash & mask;
            while (slots_[i].text != nullptr) i = (i + 1) & mask;
            slots_[i] = slot;
        }
        return 0;
    }
    std::vector<Slot> slots_;
    size_t used_ = 0;
};

// What one compile keeps beside the table it fills.
struct Builder {
    SchemaTable* table;
    TextSet texts;
#ifdef Py_GIL_DISABLED
    // One str per distinct parameter name (elsewhere interning does this).
    Ref names{PyDict_New()};
#endif
};

// The dict key of a parameter name (an exact str): a new reference, the
// same object for every equal name of a table, or null with an exception
// set. The caller's own object is never interned, as that would change it
// under them.
PyObject* key_object(Builder& builder, PyObject* name) {
#ifdef Py_GIL_DISABLED
    // Interned strings are immortal on this build: a table's names must die
    // with the table, or compiling fresh schemas would grow without bound.
    if (!builder.names) return nullptr;
    PyObject* first = nullptr;
    if (PyDict_SetDefaultRef(builder.names.get(), name, name, &first) < 0) return nullptr;
    return first;
#else
    (void)builder;
    // An interned private copy (mortal here).
    if (PyUnicode_CHECK_INTERNED(name)) return Py_NewRef(name);
    return own_key(PyUnicode_FromKindAndData(PyUnicode_KIND(name), PyUnicode_DATA(name),
                                             PyUnicode_GET_LENGTH(name)));
#endif
}

int fill_param(Builder& builder, PyObject* p, ParamDef* param) {
    if (check_exact_or_none(p, &PyDict_Type, "dict") < 0) return -1;
    if (p == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return -1;
    }
    Ref pname(dict_require(p, StringId::name));
    if (!pname || check_exact_or_none(pname.get(), &PyUnicode_Type, "str") < 0) return -1;
    Ref ptype(dict_require(p, StringId::type));
    if (!ptype || check_exact_or_none(ptype.get(), &PyUnicode_Type, "str") < 0) return -1;

    if (utf8_of(pname.get(), nullptr) == nullptr) return -1;
    param->name_object = key_object(builder, pname.get());
    if (param->name_object == nullptr) return -1;
    // Later notes name the parameter by this text; made once here, it is
    // kept in the str.
    const char* name = PyUnicode_AsUTF8AndSize(param->name_object, nullptr);
    if (name == nullptr) return -1;
    if (std::strcmp(name, "flags") == 0) param->is_flags_word = 1;
    if (std::strcmp(name, "flags2") == 0) param->is_flags_word = 2;

    if (ptype.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "argument of type 'NoneType' is not iterable");
        return -1;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(ptype.get(), &size);
    if (utf8 == nullptr) return -1;
    std::string_view text(utf8, static_cast<size_t>(size));
    int32_t type_code = parse_type(text);
    param->type_code = static_cast<uint8_t>(type_code);
    if (type_code == TYPE_VECTOR) {
        VectorElement element;
        if (vector_element(up_to_nul(utf8).data(), &element) < 0) return -1;
        param->elem_type = static_cast<uint8_t>(element.type);
        param->type_name = builder.texts.add(builder.table->arena, up_to_nul(utf8), true, up_to_nul(element.name));
    } else {
        param->type_name = builder.texts.add(builder.table->arena, up_to_nul(utf8));
    }
    if (param->type_name == nullptr) return -1;
    return parse_condition(text, param);
}

ConstructorDef* create_constructor_body(Builder& builder, PyObject* data, Py_ssize_t index);

// Fills constructors[index] from one schema entry. On error sets an exception
// and returns null; whatever was filled stays owned by the table.
ConstructorDef* create_constructor(Builder& builder, PyObject* data, Py_ssize_t index) {
    ConstructorDef* entry = create_constructor_body(builder, data, index);
    if (entry == nullptr) add_traceback(TracebackSite::create_constructor);
    return entry;
}

ConstructorDef* create_constructor_body(Builder& builder, PyObject* data, Py_ssize_t index) {
    SchemaTable* table = builder.table;
    ConstructorDef* entry = &table->constructors[index];
    if (data == Py_None) {
        raise_none_attribute("get");
        return nullptr;
    }
    PyObject* empty = module_string(StringId::empty);
    Ref type_fallback(dict_get(data, StringId::type, empty));
    if (!type_fallback) return nullptr;
    Ref method(dict_get(data, StringId::method, type_fallback.get()));
    if (!method) return nullptr;
    Ref name(dict_get(data, StringId::predicate, method.get()));
    if (!name || check_exact_or_none(name.get(), &PyUnicode_Type, "str") < 0) return nullptr;
    Ref type_text(dict_get(data, StringId::type, empty));
    if (!type_text || check_exact_or_none(type_text.get(), &PyUnicode_Type, "str") < 0)
        return nullptr;
    Ref no_params(PyList_New(0));
    if (!no_params) return nullptr;
    Ref params(dict_get(data, StringId::params, no_params.get()));
    if (!params || check_exact_or_none(params.get(), &PyList_Type, "list") < 0) return nullptr;

    const char* name_utf8 = utf8_of(name.get(), nullptr);
    if (name_utf8 == nullptr) return nullptr;
    std::string_view name_text = up_to_nul(name_utf8);
    char* name_copy = table->arena.copy(name_text);
    if (name_copy == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    entry->name = name_copy;
    entry->name_size = static_cast<uint32_t>(name_text.size());
    entry->name_hash = text_hash(name_text.data(), name_text.size());
    std::string_view type_name = name_text;
    if (type_text.get() != Py_None && PyUnicode_GET_LENGTH(type_text.get()) > 0) {
        const char* type_utf8 = utf8_of(type_text.get(), nullptr);
        if (type_utf8 == nullptr) return nullptr;
        type_name = up_to_nul(type_utf8);
    }
    entry->type_name = builder.texts.add(table->arena, type_name);
    if (entry->type_name == nullptr) return nullptr;

    Ref zero(PyLong_FromLong(0));
    if (!zero) return nullptr;
    Ref raw_id(dict_get(data, StringId::id, zero.get()));
    if (!raw_id || convert_id(raw_id.get(), &entry->id) < 0) return nullptr;

    if (params.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return nullptr;
    }
    Py_ssize_t count = PyList_GET_SIZE(params.get());
    if (count > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "too many parameters");
        return nullptr;
    }
    if (count > 0) {
        entry->params = static_cast<ParamDef*>(
            table->arena.allocate(static_cast<size_t>(count) * sizeof(ParamDef)));
        if (entry->params == nullptr) {
            PyErr_SetString(PyExc_MemoryError, "Cannot allocate memory for parameters");
            return nullptr;
        }
        entry->param_count = static_cast<int32_t>(count);
    }
    // Host code run while a parameter is built (a key's __eq__, say) may
    // shrink the list meanwhile. The entry then keeps only the parameters
    // built: an unfilled one has no name or key for the reader and writer.
    Py_ssize_t built = 0;
    while (built < count && built < PyList_GET_SIZE(params.get())) {
        Ref p(PyList_GetItemRef(params.get(), built));
        if (!p || fill_param(builder, p.get(), &entry->params[built]) < 0) return nullptr;
        ++built;
    }
    entry->param_count = static_cast<int32_t>(built);
    if (built == 0) entry->params = nullptr;
    return entry;
}

int compile_defs(SorbSchemaCompiler* compiler, PyObject* defs) {
    SchemaTable* table = new (std::nothrow) SchemaTable{};
    if (table == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Cannot allocate memory for schema");
        return -1;
    }
    try {
        if (compiler->schema != nullptr) compiler->retired->emplace_back(compiler->schema);
    } catch (const std::bad_alloc&) {
        delete table;
        PyErr_NoMemory();
        return -1;
    }
    compiler->schema = table;

    Py_ssize_t count = PyList_GET_SIZE(defs);
    if (count > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "too many schema entries");
        return -1;
    }
    // calloc(0) may return null; one spare zero entry keeps "empty" distinct
    // from "failed".
    table->constructors = static_cast<ConstructorDef*>(
        std::calloc(static_cast<size_t>(count > 0 ? count : 1), sizeof(ConstructorDef)));
    if (table->constructors == nullptr) {
        release_table(table);
        compiler->schema = nullptr;
        PyErr_SetString(PyExc_MemoryError, "Cannot allocate memory for constructors");
        return -1;
    }
    table->count = static_cast<int32_t>(count);

    Builder builder{table, {}};
#ifdef Py_GIL_DISABLED
    if (!builder.names) return -1;
#endif
    for (Py_ssize_t i = 0; i < count && i < PyList_GET_SIZE(defs); ++i) {
        Ref entry_data(PyList_GetItemRef(defs, i));
        if (!entry_data || check_exact_or_none(entry_data.get(), &PyDict_Type, "dict") < 0) return -1;
        ConstructorDef* entry = create_constructor(builder, entry_data.get(), i);
        if (entry == nullptr || compiler->id_map->assign(entry) < 0 || compiler->name_map->assign(entry) < 0)
            return -1;
    }
    return 0;
}

// The words of a parameter set, and the bit of parameter j in them.
inline void add_to(uint64_t* set, int32_t j) { set[j / 64] |= uint64_t{1} << (j % 64); }

// The key index of a prepared entry, which also finds the parameters whose
// name an earlier one (or "_") has.
void index_keys(ConstructorDef* entry, Prepared* prepared) {
    PyObject* underscore = module_string(StringId::underscore);
    uint32_t* slots = prepared->key_slots;
    const uint32_t mask = prepared->key_mask;
    for (int32_t j = 0; j < entry->param_count; ++j) {
        ParamDef& param = entry->params[j];
        param.key_repeats = 0;
        if (param.is_flags_word) continue;
        if (same_text(param.name_object, underscore)) {
            param.key_repeats = 1;
            param.same_key_as = -1;
            continue;
        }
        uint32_t i = static_cast<uint32_t>(str_hash(param.name_object)) & mask;
        for (; slots[i] != 0; i = (i + 1) & mask) {
            PyObject* name = entry->params[slots[i] - 1].name_object;
            if (name == param.name_object || same_text(name, param.name_object)) break;
        }
        if (slots[i] != 0) {
            param.key_repeats = 1;
            param.same_key_as = static_cast<int32_t>(slots[i] - 1);
        } else {
            slots[i] = static_cast<uint32_t>(j) + 1;
        }
    }
}

}  // namespace

Arena::~Arena() {
    while (blocks_ != nullptr) {
        Block* next = blocks_->next;
        std::free(blocks_);
        blocks_ = next;
    }
}

void* Arena::allocate(size_t size) {
    constexpr size_t kAlign = 8;  // every record of a table has pointers
    constexpr size_t kBlock = 16384;
    size_t pad = (kAlign - reinterpret_cast<uintptr_t>(free_) % kAlign) % kAlign;
    if (free_ == nullptr || pad + size > left_) {
        // A request larger than a block gets one of its own.
        size_t block_size = sizeof(Block) + (size > kBlock / 4 ? size : kBlock);
        void* memory = std::calloc(1, block_size);
        if (memory == nullptr) return nullptr;
        Block* block = static_cast<Block*>(memory);
        block->next = blocks_;
        blocks_ = block;
        char* start = reinterpret_cast<char*>(block + 1);
        if (size > kBlock / 4) return start;  // the open block stays open
        free_ = start;
        left_ = kBlock;
        pad = 0;
    }
    char* out = free_ + pad;
    free_ = out + size;
    left_ -= pad + size;
    return out;
}

char* Arena::copy(std::string_view text, std::string_view second, bool both) {
    const size_t size = text.size() + 1 + (both ? second.size() + 1 : 0);
    // Texts need no alignment: take them straight off the open block.
    char* out;
    if (free_ != nullptr && size <= left_) {
        out = free_;
        free_ += size;
        left_ -= size;
    } else {
        out = static_cast<char*>(allocate(size));
        if (out == nullptr) return nullptr;
    }
    std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    if (both) {
        std::memcpy(out + text.size() + 1, second.data(), second.size());
        out[size - 1] = '\0';
    }
    return out;
}

void release_table(SchemaTable* table) {
    if (table == nullptr) return;
    if (table->constructors != nullptr) {
        for (int32_t i = 0; i < table->count; ++i) {
            ConstructorDef& entry = table->constructors[i];
            for (int32_t j = 0; j < entry.param_count; ++j) Py_CLEAR(entry.params[j].name_object);
            if (entry.prepared != nullptr) {
                Py_CLEAR(entry.prepared->name_object);
                Py_CLEAR(entry.prepared->template_dict);
                std::free(entry.prepared);
                entry.prepared = nullptr;
            }
        }
        std::free(table->constructors);
    }
    delete table;
}

const char* param_name(const ParamDef& param) {
    const char* name = param.name_object ? PyUnicode_AsUTF8AndSize(param.name_object, nullptr) : nullptr;
    if (name == nullptr) {
        PyErr_Clear();
        return "";
    }
    return name;
}

int prepare_keys(ConstructorDef* entry) {
    const int32_t count = entry->param_count;
    // At least one word, so that the writer reads each set without a test.
    const size_t words = (static_cast<size_t>(count) + 63) / 64 + (count == 0);
    size_t keys = 0;
    for (int32_t j = 0; j < count; ++j) keys += !entry->params[j].is_flags_word;
    // At most half full, so a probe ends soon.
    size_t slots = 0;
    if (keys > 0) {
        slots = 8;
        while (slots < keys * 2) slots *= 2;
    }
    // One block: the record, two parameter sets, the key slots, next_key.
    const size_t size = sizeof(Prepared) + 2 * words * sizeof(uint64_t) + slots * sizeof(uint32_t) +
                        (static_cast<size_t>(count) + 1) * sizeof(int32_t);
    void* block = std::calloc(1, size);
    if (block == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    auto* prepared = static_cast<Prepared*>(block);
    auto* sets = reinterpret_cast<uint64_t*>(prepared + 1);
    prepared->words = static_cast<uint32_t>(words);
    prepared->always = sets;
    prepared->sharing = sets + words;
    prepared->next_key = reinterpret_cast<int32_t*>(reinterpret_cast<uint32_t*>(sets + 2 * words) + slots);
    if (slots > 0) {
        prepared->key_slots = reinterpret_cast<uint32_t*>(sets + 2 * words);
        prepared->key_mask = static_cast<uint32_t>(slots - 1);
        index_keys(entry, prepared);
    }
    prepared->next_key[count] = count;
    for (int32_t j = count - 1; j >= 0; --j) {
        const ParamDef& param = entry->params[j];
        const bool indexed = slots > 0 && !param.is_flags_word && !param.key_repeats;
        prepared->next_key[j] = indexed ? j : prepared->next_key[j + 1];
    }
    uint32_t on_bit[2][32] = {};  // conditional parameters per word and bit
    for (int32_t j = 0; j < count; ++j) {
        const ParamDef& param = entry->params[j];
        if (param.key_repeats) prepared->any_key_repeats = true;
        if (param.is_flags_word || !param.is_conditional) {
            add_to(prepared->always, j);
            continue;
        }
        if (++on_bit[param.flag_field][param.flag_bit] > 1) prepared->shares_bits = true;
    }
    if (prepared->shares_bits) {
        for (int32_t j = 0; j < count; ++j) {
            const ParamDef& param = entry->params[j];
            if (param.is_conditional && !param.is_flags_word && param.type_code != TYPE_BOOL &&
                on_bit[param.flag_field][param.flag_bit] > 1)
                add_to(prepared->sharing, j);
        }
    }
    // A str builds no container, so the collector cannot run here.
    prepared->name_object = own_key(PyUnicode_FromStringAndSize(entry->name, entry->name_size));
    if (prepared->name_object == nullptr) {
        std::free(block);
        return -1;
    }
    entry->prepared = prepared;
    return 0;
}

int prepare_template(ConstructorDef* entry) {
    if (prepare_to_pack(entry) < 0) return -1;
    Ref dict(PyDict_New());
    if (!dict || PyDict_SetItem(dict.get(), module_string(StringId::underscore), entry->prepared->name_object) < 0)
        return -1;
    for (int32_t j = 0; j < entry->param_count; ++j) {
        const ParamDef& param = entry->params[j];
        if (param.is_flags_word || param.key_repeats) continue;
        PyObject* absent = param.is_conditional && param.type_code == TYPE_BOOL ? Py_False : Py_None;
        if (PyDict_SetItem(dict.get(), param.name_object, absent) < 0) return -1;
    }
    entry->prepared->template_dict = dict.release();
    return 0;
}

int32_t parse_type(std::string_view text) {
    size_t first = text.find('?');
    if (first != std::string_view::npos) {
        std::string_view rest = text.substr(first + 1);
        text = rest.substr(0, rest.find('?'));
    }
    if (text == "int" || text == "#") return TYPE_INT;
    if (text == "long") return TYPE_LONG;
    if (text == "double") return TYPE_DOUBLE;
    if (text == "string") return TYPE_STRING;
    if (text == "bytes" || text == "byte") return TYPE_BYTES;
    if (text == "Bool" || text == "true") return TYPE_BOOL;
    if (text.starts_with("Vector")) return TYPE_VECTOR;
    return TYPE_OBJECT;
}

int vector_element(const char* type_text, VectorElement* element) {
    if (type_text == nullptr) return 0;
    static constexpr std::string_view kOpen = "Vector<";
    std::string_view text(type_text);
    if (text.find(kOpen) == std::string_view::npos && text.find('>') == std::string_view::npos) {
        element->type = parse_type(text);
        element->name = type_text;
        return 0;
    }
    char* reduced = static_cast<char*>(std::malloc(text.size() + 1));
    if (reduced == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    size_t size = 0;
    for (size_t i = 0; i < text.size();) {
        if (text.compare(i, kOpen.size(), kOpen) == 0) {
            i += kOpen.size();
        } else {
            reduced[size++] = text[i++];
        }
    }
    // Then every ">" of what is left, as a second pass.
    size_t kept = 0;
    for (size_t i = 0; i < size; ++i) {
        if (reduced[i] != '>') reduced[kept++] = reduced[i];
    }
    reduced[kept] = '\0';
    element->owned = reduced;
    element->name = reduced;
    element->type = parse_type(std::string_view(reduced, kept));
    return 0;
}

uint32_t text_hash(const char* text, size_t size) {
    uint64_t hash = 0x9E3779B97F4A7C15ull ^ size;
    for (; size >= 8; text += 8, size -= 8) {
        uint64_t word;
        std::memcpy(&word, text, 8);
        hash = (hash ^ word) * 0xBF58476D1CE4E5B9ull;
        hash ^= hash >> 31;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, text, size);
    hash = (hash ^ tail) * 0x94D049BB133111EBull;
    hash ^= hash >> 29;
    return static_cast<uint32_t>(hash ^ (hash >> 32));
}

namespace {

// Slots of a growing open-addressing index of entries, kept at most three
// quarters full. `same(slot, entry)` tells an entry of the same key.
template <typename Same, typename Hash>
int index_assign(std::unique_ptr<ConstructorDef*[]>& slots, uint32_t& mask, uint32_t& used,
                 ConstructorDef* entry, Same same, Hash hash) {
    if (!slots || (used + 1) * 4 > (mask + 1) * 3) {
        uint32_t size = slots ? (mask + 1) * 2 : 64;
        std::unique_ptr<ConstructorDef*[]> grown(new (std::nothrow) ConstructorDef*[size]());
        if (!grown) {
            PyErr_NoMemory();
            return -1;
        }
        for (uint32_t i = 0; slots && i <= mask; ++i) {
            if (slots[i] == nullptr) continue;
            uint32_t k = hash(slots[i]) & (size - 1);
            while (grown[k] != nullptr) k = (k + 1) & (size - 1);
            grown[k] = slots[i];
        }
        slots = std::move(grown);
        mask = size - 1;
    }
    uint32_t i = hash(entry) & mask;
    for (; slots[i] != nullptr; i = (i + 1) & mask) {
        if (same(slots[i], entry)) {
            slots[i] = entry;
            return 0;
        }
    }
    slots[i] = entry;
    ++used;
    return 0;
}

inline uint32_t id_hash(uint32_t id) { return (id * 0x9E3779B1u) ^ (id >> 15); }

}  // namespace

int IdIndex::assign(ConstructorDef* entry) {
    return index_assign(
        slots_, mask_, used_, entry, [](ConstructorDef* a, ConstructorDef* b) { return a->id == b->id; },
        [](ConstructorDef* e) { return id_hash(e->id); });
}

ConstructorDef* IdIndex::find(uint32_t id) const {
    if (!slots_) return nullptr;
    for (uint32_t i = id_hash(id) & mask_; slots_[i] != nullptr; i = (i + 1) & mask_)
        if (slots_[i]->id == id) return slots_[i];
    return nullptr;
}

int NameIndex::assign(ConstructorDef* entry) {
    return index_assign(
        slots_, mask_, used_, entry,
        [](ConstructorDef* a, ConstructorDef* b) {
            return a->name_hash == b->name_hash && a->name_size == b->name_size &&
                   std::memcmp(a->name, b->name, a->name_size) == 0;
        },
        [](ConstructorDef* e) { return e->name_hash; });
}

ConstructorDef* NameIndex::find(const char* name, size_t size, uint32_t hash) const {
    if (!slots_) return nullptr;
    for (uint32_t i = hash & mask_; slots_[i] != nullptr; i = (i + 1) & mask_) {
        const ConstructorDef* entry = slots_[i];
        if (entry->name_hash == hash && entry->name_size == size && std::memcmp(entry->name, name, size) == 0)
            return slots_[i];
    }
    return nullptr;
}

ConstructorDef* compiler_find_name(SorbSchemaCompiler* compiler, PyObject* name) {
    Py_ssize_t size = 0;
    const char* text;
    if (PyUnicode_IS_COMPACT_ASCII(name)) {
        text = static_cast<const char*>(PyUnicode_DATA(name));
        size = PyUnicode_GET_LENGTH(name);
    } else {
        text = PyUnicode_AsUTF8AndSize(name, &size);
        if (text == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return compiler->name_map->find(text, static_cast<size_t>(size), text_hash(text, static_cast<size_t>(size)));
}

namespace {

int parse_json_schema(SorbSchemaCompiler* compiler, PyObject* json_data) {
    Ref data;
    if (PyUnicode_Check(json_data)) {
        Ref json(module_global("json"));
        if (!json) return -1;
        data = Ref(PyObject_CallMethodOneArg(json.get(), module_string(StringId::loads), json_data));
        if (!data) return -1;
    } else {
        data = Ref::borrow(json_data);
    }
    if (check_exact_or_none(data.get(), &PyDict_Type, "dict") < 0) return -1;
    if (data.get() == Py_None) return raise_none_attribute("get");

    // dict.get with a new empty list as the default, as for each entry.
    auto get_list = [&](const char* key) -> PyObject* {
        PyObject* found = nullptr;
        if (PyDict_GetItemStringRef(data.get(), key, &found) < 0) return nullptr;
        return found ? found : PyList_New(0);
    };
    Ref defs(get_list("constructors"));
    if (!defs || check_exact_or_none(defs.get(), &PyList_Type, "list") < 0) return -1;
    if (defs.get() == Py_None) return raise_none_attribute("extend");
    Ref methods(get_list("methods"));
    if (!methods) return -1;
    if (PyList_Extend(defs.get(), methods.get()) < 0) return -1;

    return compile_defs(compiler, defs.get());
}

// Frees the tables of earlier compiles that neither map reaches any more, so
// that compiling the same schema again and again keeps one copy, not all.
void release_unreachable_tables(SorbSchemaCompiler* compiler) {
    auto reachable = [compiler](const TablePtr& table) {
        for (int32_t i = 0; i < table->count; ++i) {
            const ConstructorDef* entry = &table->constructors[i];
            if (compiler->id_map->find(entry->id) == entry) return true;
            if (entry->name != nullptr &&
                compiler->name_map->find(entry->name, entry->name_size, entry->name_hash) == entry)
                return true;
        }
        return false;
    };
    PyObject* pending = PyErr_GetRaisedException();  // kept across the frees
    std::erase_if(*compiler->retired, [&](const TablePtr& table) { return !reachable(table); });
    PyErr_SetRaisedException(pending);
}

}  // namespace

int compiler_compile(SorbSchemaCompiler* compiler, PyObject* json_data) {
    BusyGuard guard(&compiler->busy);
    if (!guard.acquired()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "SorbSchemaCompiler.compile is already running on this compiler");
        return -1;
    }
    int status = parse_json_schema(compiler, json_data);
    release_unreachable_tables(compiler);
    if (status < 0) {
        add_traceback(TracebackSite::parse_json_schema);
        return -1;
    }
    return 0;
}

}  // namespace sorb
