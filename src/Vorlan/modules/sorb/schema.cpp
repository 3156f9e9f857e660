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

// Runs work that may throw std::bad_alloc as one step of the C API: on that
// failure sets MemoryError and returns -1.
template <typename Work>
int memory_error_on_throw(Work&& work) {
    try {
        work();
        return 0;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

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
PyObject* dict_get(PyObject* dict, const char* key, PyObject* fallback) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemStringRef(dict, key, &value);
    if (found < 0) return nullptr;
    return found ? value : Py_NewRef(fallback);
}

// dict[key] on an exact dict; KeyError of the key when missing.
PyObject* dict_require(PyObject* dict, const char* key) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemStringRef(dict, key, &value);
    if (found < 0) return nullptr;
    if (found == 0) {
        Ref key_object(PyUnicode_FromString(key));
        if (key_object) PyErr_SetObject(PyExc_KeyError, key_object.get());
        return nullptr;
    }
    return value;
}

// A NUL-terminated malloc'd copy of the text up to its first NUL.
char* copy_cstring(const char* text) {
    char* copy = strdup(text);
    if (copy == nullptr) PyErr_NoMemory();
    return copy;
}

// The UTF-8 copy of a str, strictly encoded. None has no encode method.
char* copy_utf8(PyObject* text) {
    if (text == Py_None) {
        raise_none_attribute("encode");
        return nullptr;
    }
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, nullptr);
    return utf8 ? copy_cstring(utf8) : nullptr;
}

// int(raw) reduced to an unsigned 32-bit id: negative values keep their low
// 32 bits (so -2 is 0xFFFFFFFE), values above 0xFFFFFFFF overflow.
int convert_id(PyObject* raw, uint32_t* id) {
    Ref value(PyNumber_Long(raw));
    if (!value) return -1;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow > 0 || v > static_cast<long long>(kMaxId)) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to uint32_t");
        return -1;
    }
    if (overflow < 0 || v < 0) {
        unsigned long long low = PyLong_AsUnsignedLongLongMask(value.get());
        if (low == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
        *id = static_cast<uint32_t>(low);
        return 0;
    }
    *id = static_cast<uint32_t>(v);
    return 0;
}

int convert_flag_bit(PyObject* bit_text, int32_t* bit) {
    Ref value(PyLong_FromUnicodeObject(bit_text, 10));
    if (!value) return -1;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow > 0 || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    if (overflow < 0 || v < INT32_MIN) {
        PyErr_SetString(PyExc_OverflowError, "value too small to convert to int");
        return -1;
    }
    *bit = static_cast<int32_t>(v);
    return 0;
}

// Decodes a condition "X.N?..." of a parameter type into its bit and word.
int parse_condition(PyObject* ptype, ParamDef* param, ConstructorDef* entry) {
    param->is_conditional = 1;
    Ref parts(PyUnicode_Split(ptype, module_string(StringId::question), 1));
    if (!parts) return -1;
    PyObject* cond = PyList_GET_ITEM(parts.get(), 0);
    int has_dot = PyUnicode_Contains(cond, module_string(StringId::dot));
    if (has_dot < 0) return -1;
    if (!has_dot) return 0;
    Ref pieces(PyUnicode_Split(cond, module_string(StringId::dot), -1));
    if (!pieces) return -1;
    if (PyList_GET_SIZE(pieces.get()) != 2) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
        return -1;
    }
    if (convert_flag_bit(PyList_GET_ITEM(pieces.get(), 1), &param->flag_bit) < 0) return -1;
    if (PyUnicode_EqualToUTF8(PyList_GET_ITEM(pieces.get(), 0), "flags2")) {
        entry->has_flags2 = 1;
        param->flag_field = 1;
    } else {
        entry->has_flags = 1;
        param->flag_field = 0;
    }
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

// The dict key of a parameter name (an exact str): a new reference, or null
// with an exception set. The caller's own object is never interned, as that
// would change it under them.
PyObject* key_object(PyObject* name) {
#ifdef Py_GIL_DISABLED
    // Interned strings are immortal on this build: a table's names must die
    // with the table, or compiling fresh schemas would grow without bound.
    return Py_NewRef(name);
#else
    // An interned private copy (mortal here).
    if (PyUnicode_CHECK_INTERNED(name)) return Py_NewRef(name);
    return own_key(PyUnicode_FromKindAndData(PyUnicode_KIND(name), PyUnicode_DATA(name),
                                             PyUnicode_GET_LENGTH(name)));
#endif
}

int fill_param(PyObject* p, ParamDef* param, ConstructorDef* entry) {
    if (check_exact_or_none(p, &PyDict_Type, "dict") < 0) return -1;
    if (p == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return -1;
    }
    Ref pname(dict_require(p, "name"));
    if (!pname || check_exact_or_none(pname.get(), &PyUnicode_Type, "str") < 0) return -1;
    Ref ptype(dict_require(p, "type"));
    if (!ptype || check_exact_or_none(ptype.get(), &PyUnicode_Type, "str") < 0) return -1;

    param->name = copy_utf8(pname.get());
    if (param->name == nullptr) return -1;
    param->name_object = key_object(pname.get());
    if (param->name_object == nullptr) return -1;
    if (std::strcmp(param->name, "flags") == 0) param->is_flags_word = 1;
    if (std::strcmp(param->name, "flags2") == 0) param->is_flags_word = 2;

    if (ptype.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "argument of type 'NoneType' is not iterable");
        return -1;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(ptype.get(), &size);
    if (utf8 == nullptr) return -1;
    std::string_view text(utf8, static_cast<size_t>(size));
    param->type_code = parse_type(text);
    param->type_name = copy_cstring(utf8);
    if (param->type_name == nullptr) return -1;
    if (param->type_code == TYPE_VECTOR) {
        VectorElement element;
        if (vector_element(param->type_name, &element) < 0) return -1;
        param->elem_type = element.type;
        param->elem_name = copy_cstring(element.name);
        if (param->elem_name == nullptr) return -1;
    }
    if (text.find('?') != std::string_view::npos) return parse_condition(ptype.get(), param, entry);
    return 0;
}

ConstructorDef* create_constructor_body(SchemaTable* table, PyObject* data, Py_ssize_t index);

// The template of a decoded object: copying it gives the reader a dict
// with every key in place, which only values that are present replace.
PyObject* make_template_dict(ConstructorDef* entry) {
    Ref dict(PyDict_New());
    if (!dict || PyDict_SetItem(dict.get(), module_string(StringId::underscore), entry->name_object) < 0)
        return nullptr;
    for (int32_t j = 0; j < entry->param_count; ++j) {
        ParamDef& param = entry->params[j];
        if (param.is_flags_word) continue;
        // Keys are exact str, so this test runs no Python code.
        int seen = PyDict_Contains(dict.get(), param.name_object);
        if (seen < 0) return nullptr;
        param.key_repeats = seen;
        entry->any_key_repeats |= seen;
        if (seen) {
            param.same_key_as = -1;  // "_", unless an earlier parameter has it
            for (int32_t k = 0; k < j; ++k) {
                if (!entry->params[k].is_flags_word && same_text(entry->params[k].name_object, param.name_object)) {
                    param.same_key_as = k;
                    break;
                }
            }
            continue;
        }
        PyObject* absent = param.is_conditional && param.type_code == TYPE_BOOL ? Py_False : Py_None;
        if (PyDict_SetItem(dict.get(), param.name_object, absent) < 0) return nullptr;
    }
    return dict.release();
}

// Fills the writer's precomputed sets of an entry whose parameters and
// template are built: its key index, the parameters always written and
// whether conditional parameters share bits. On error sets MemoryError and
// returns -1.
int index_params(ConstructorDef* entry) {
    const int32_t count = entry->param_count;
    if (count == 0) return 0;
    uint32_t bits_seen[2][32] = {};  // conditional parameters per word and bit
    size_t keys = 0;
    for (int32_t j = 0; j < count; ++j) {
        const ParamDef& param = entry->params[j];
        if (param.is_flags_word) continue;
        if (param.is_conditional && ++bits_seen[param.flag_field ? 1 : 0][param.flag_bit & 31] > 1)
            entry->shares_bits = 1;
        if (!param.key_repeats) ++keys;
    }
    const size_t words = (static_cast<size_t>(count) + 63) / 64;
    entry->always_written =
        static_cast<uint64_t*>(std::calloc(entry->shares_bits ? 2 * words : words, sizeof(uint64_t)));
    if (entry->always_written == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    for (int32_t j = 0; j < count; ++j) {
        const ParamDef& param = entry->params[j];
        const uint64_t bit = uint64_t{1} << (j % 64);
        if (param.is_flags_word || !param.is_conditional) {
            entry->always_written[j / 64] |= bit;
        } else if (entry->shares_bits && param.type_code != TYPE_BOOL &&
                   bits_seen[param.flag_field ? 1 : 0][param.flag_bit & 31] > 1) {
            entry->always_written[words + j / 64] |= bit;
        }
    }
    if (keys == 0) return 0;
    // At most half full, so a probe ends soon.
    size_t slots = 8;
    while (slots < keys * 2) slots *= 2;
    entry->key_slots = static_cast<uint32_t*>(std::calloc(slots, sizeof(uint32_t)));
    if (entry->key_slots == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    entry->key_mask = static_cast<uint32_t>(slots - 1);
    for (int32_t j = 0; j < count; ++j) {
        const ParamDef& param = entry->params[j];
        if (param.is_flags_word || param.key_repeats) continue;
        Py_hash_t hash = str_hash(param.name_object);
        if (hash == -1) return -1;
        size_t i = static_cast<size_t>(hash) & entry->key_mask;
        while (entry->key_slots[i] != 0) i = (i + 1) & entry->key_mask;
        entry->key_slots[i] = static_cast<uint32_t>(j) + 1;
    }
    return 0;
}

// Fills constructors[index] from one schema entry. On error sets an exception
// and returns null; whatever was filled stays owned by the table.
ConstructorDef* create_constructor(SchemaTable* table, PyObject* data, Py_ssize_t index) {
    ConstructorDef* entry = create_constructor_body(table, data, index);
    if (entry == nullptr) add_traceback(TracebackSite::create_constructor);
    return entry;
}

ConstructorDef* create_constructor_body(SchemaTable* table, PyObject* data, Py_ssize_t index) {
    ConstructorDef* entry = &table->constructors[index];
    if (data == Py_None) {
        raise_none_attribute("get");
        return nullptr;
    }
    PyObject* empty = module_string(StringId::empty);
    Ref type_fallback(dict_get(data, "type", empty));
    if (!type_fallback) return nullptr;
    Ref method(dict_get(data, "method", type_fallback.get()));
    if (!method) return nullptr;
    Ref name(dict_get(data, "predicate", method.get()));
    if (!name || check_exact_or_none(name.get(), &PyUnicode_Type, "str") < 0) return nullptr;
    Ref type_text(dict_get(data, "type", empty));
    if (!type_text || check_exact_or_none(type_text.get(), &PyUnicode_Type, "str") < 0)
        return nullptr;
    Ref no_params(PyList_New(0));
    if (!no_params) return nullptr;
    Ref params(dict_get(data, "params", no_params.get()));
    if (!params || check_exact_or_none(params.get(), &PyList_Type, "list") < 0) return nullptr;

    entry->name = copy_utf8(name.get());
    if (entry->name == nullptr) return nullptr;
    entry->name_object = own_key(PyUnicode_FromString(entry->name));
    if (entry->name_object == nullptr) return nullptr;
    if (type_text.get() != Py_None && PyUnicode_GET_LENGTH(type_text.get()) > 0)
        entry->type_name = copy_utf8(type_text.get());
    else
        entry->type_name = copy_cstring(entry->name);
    if (entry->type_name == nullptr) return nullptr;

    Ref zero(PyLong_FromLong(0));
    if (!zero) return nullptr;
    Ref raw_id(dict_get(data, "id", zero.get()));
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
        entry->params = static_cast<ParamDef*>(std::calloc(static_cast<size_t>(count), sizeof(ParamDef)));
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
        if (!p || fill_param(p.get(), &entry->params[built], entry) < 0) return nullptr;
        ++built;
    }
    entry->param_count = static_cast<int32_t>(built);
    if (built == 0) {
        std::free(entry->params);
        entry->params = nullptr;
    }
    entry->template_dict = make_template_dict(entry);
    if (entry->template_dict == nullptr) return nullptr;
    if (index_params(entry) < 0) return nullptr;
    return entry;
}

void register_entry(SorbSchemaCompiler* compiler, ConstructorDef* entry) {
    (*compiler->id_map)[entry->id] = entry;
    compiler->name_map->assign(entry);
}

int compile_defs(SorbSchemaCompiler* compiler, PyObject* defs) {
    SchemaTable* table = new (std::nothrow) SchemaTable{};
    if (table == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Cannot allocate memory for schema");
        return -1;
    }
    if (memory_error_on_throw([&] {
            if (compiler->schema != nullptr) compiler->retired->emplace_back(compiler->schema);
        }) < 0) {
        delete table;
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

    for (Py_ssize_t i = 0; i < count && i < PyList_GET_SIZE(defs); ++i) {
        Ref entry_data(PyList_GetItemRef(defs, i));
        if (!entry_data || check_exact_or_none(entry_data.get(), &PyDict_Type, "dict") < 0) return -1;
        ConstructorDef* entry = create_constructor(table, entry_data.get(), i);
        if (entry == nullptr ||
            memory_error_on_throw([&] { register_entry(compiler, entry); }) < 0)
            return -1;
    }
    return 0;
}

}  // namespace

void release_table(SchemaTable* table) {
    if (table == nullptr) return;
    if (table->constructors != nullptr) {
        for (int32_t i = 0; i < table->count; ++i) {
            ConstructorDef& entry = table->constructors[i];
            for (int32_t j = 0; j < entry.param_count; ++j) {
                ParamDef& param = entry.params[j];
                std::free(param.name);
                std::free(param.type_name);
                std::free(param.elem_name);
                Py_CLEAR(param.name_object);
            }
            std::free(entry.params);
            std::free(entry.key_slots);
            std::free(entry.always_written);
            std::free(entry.name);
            std::free(entry.type_name);
            Py_CLEAR(entry.name_object);
            Py_CLEAR(entry.template_dict);
        }
        std::free(table->constructors);
    }
    delete table;
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

ConstructorDef* compiler_find_id(SorbSchemaCompiler* compiler, uint32_t id) {
    auto found = compiler->id_map->find(id);
    return found == compiler->id_map->end() ? nullptr : found->second;
}


void NameIndex::grow() {
    std::vector<Slot> old(slots_.empty() ? 16 : slots_.size() * 2, Slot{0, nullptr, nullptr});
    old.swap(slots_);
    size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.key == nullptr) continue;
        size_t i = static_cast<size_t>(slot.hash) & mask;
        while (slots_[i].key != nullptr) i = (i + 1) & mask;
        slots_[i] = slot;
    }
}

void NameIndex::assign(ConstructorDef* entry) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    PyObject* key = entry->name_object;
    Py_hash_t hash = PyObject_Hash(key);  // a str's hash cannot fail
    size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>(hash) & mask;
    while (slots_[i].key != nullptr) {
        if (slots_[i].hash == hash && same_text(slots_[i].key, key)) {
            slots_[i].key = key;
            slots_[i].entry = entry;
            return;
        }
        i = (i + 1) & mask;
    }
    slots_[i] = Slot{hash, key, entry};
    ++used_;
}

ConstructorDef* NameIndex::find(PyObject* name) const {
    if (slots_.empty()) return nullptr;
    Py_hash_t hash = PyObject_Hash(name);
    size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(hash) & mask; slots_[i].key != nullptr; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (slot.key == name || (slot.hash == hash && same_text(slot.key, name))) return slot.entry;
    }
    return nullptr;
}

ConstructorDef* compiler_find_name(SorbSchemaCompiler* compiler, PyObject* name) {
    return compiler->name_map->find(name);
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

    Ref no_constructors(PyList_New(0));
    if (!no_constructors) return -1;
    Ref defs(dict_get(data.get(), "constructors", no_constructors.get()));
    if (!defs || check_exact_or_none(defs.get(), &PyList_Type, "list") < 0) return -1;
    if (defs.get() == Py_None) return raise_none_attribute("extend");
    Ref no_methods(PyList_New(0));
    if (!no_methods) return -1;
    Ref methods(dict_get(data.get(), "methods", no_methods.get()));
    if (!methods || PyList_Extend(defs.get(), methods.get()) < 0) return -1;

    return compile_defs(compiler, defs.get());
}

// Frees the tables of earlier compiles that neither map reaches any more, so
// that compiling the same schema again and again keeps one copy, not all.
void release_unreachable_tables(SorbSchemaCompiler* compiler) {
    auto reachable = [compiler](const TablePtr& table) {
        for (int32_t i = 0; i < table->count; ++i) {
            const ConstructorDef* entry = &table->constructors[i];
            if (compiler_find_id(compiler, entry->id) == entry) return true;
            if (entry->name_object != nullptr && compiler->name_map->find(entry->name_object) == entry)
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
