// The compiled schema: constructor table, type codes and the compiler class.
//
// The compiler does every piece of string work once, so the reader and the
// writer only follow precomputed codes, bits and pointers.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sorb {

// Kind of a parameter value, derived from its type text.
enum TypeCode : int32_t {
    TYPE_INT = 0,
    TYPE_LONG = 1,
    TYPE_DOUBLE = 2,
    TYPE_STRING = 3,
    TYPE_BYTES = 4,
    TYPE_BOOL = 5,
    TYPE_VECTOR = 6,
    TYPE_OBJECT = 7,
};

// One parameter of a constructor. All-zero means "never filled", which
// release_table accepts.
struct ParamDef {
    // What packing and unpacking read for every value comes first.
    PyObject* name_object;  // strong reference: the dict key when unpacking
    int32_t type_code;
    int32_t is_conditional;
    int32_t flag_bit;
    int32_t flag_field;     // 1: guarded by "flags2", 0: by the first word
    int32_t is_flags_word;  // 1: named "flags", 2: named "flags2", else 0
    // 1 when "_" or an earlier parameter has the same key: the template's
    // value no longer stands for it, so the reader stores its own; and the
    // dict has one entry for both, so the writer takes that entry's value.
    int32_t key_repeats;
    // For TYPE_VECTOR: the elements' type and reduced type text (owned),
    // worked out once here instead of for every vector.
    int32_t elem_type;
    int32_t same_key_as;  // with key_repeats: that earlier parameter, or -1 for "_"
    char* elem_name;
    char* name;             // owned, NUL-terminated UTF-8
    char* type_name;        // owned: the whole type text, condition included
};

// The bit of a conditional parameter within its flags word (the bit number
// counts modulo 32, as a shift of the 32-bit word does).
inline uint32_t flag_mask(const ParamDef& param) {
    return 1u << (static_cast<uint32_t>(param.flag_bit) & 31u);
}

// One constructor or method.
struct ConstructorDef {
    uint32_t id;
    char* name;             // owned, NUL-terminated UTF-8
    char* type_name;        // owned; the name when the schema gives no type
    ParamDef* params;       // owned array, null when there are none
    int32_t param_count;
    int32_t has_flags;
    int32_t has_flags2;
    PyObject* name_object;  // cached str of name, the "_" value when unpacking
    // The keys of a decoded object in their final order, "_" holding the
    // name and every other key the value of its parameter when absent
    // (None, or False for a conditional Bool).
    PyObject* template_dict;
    // 1 when some parameter's key_repeats is set.
    int32_t any_key_repeats;
    // 1 when two conditional parameters share a flag bit: one present sets
    // the bit for both.
    int32_t shares_bits;
    // The parameters' names by their hash, for the writer to find the
    // parameter of any key in one probe: each slot holds a parameter's
    // index + 1, 0 when empty, for every distinct name but the flags words'
    // and "_". Null without such parameters.
    uint32_t* key_slots;
    uint32_t key_mask;  // slot count - 1 (a power of two less one)
    // The parameters written whatever an object holds (flags words and
    // unconditional parameters), one bit each, in words of 64; with
    // shares_bits, as many words follow with the conditional parameters
    // (Bools excepted) whose bit another parameter shares. Null without
    // parameters.
    uint64_t* always_written;
};


struct SchemaTable {
    ConstructorDef* constructors;  // zero-filled when allocated
    int32_t count;
};

// Frees every string, array and reference of a table, then the table.
void release_table(SchemaTable* table);

struct TableDeleter {
    void operator()(SchemaTable* table) const { release_table(table); }
};
using TablePtr = std::unique_ptr<SchemaTable, TableDeleter>;

// Classifies a type text (as UTF-8). A condition prefix "X.N?" is dropped
// first; an unknown text is a nested object, never an error.
int32_t parse_type(std::string_view type_text);

// The elements of a vector: the type text with every "Vector<" and every ">"
// removed (single left-to-right passes, like str.replace), then classified.
// Without type text the elements are ints.
struct VectorElement {
    int32_t type = TYPE_INT;
    const char* name = nullptr;  // the reduced text: `owned`, or the type text itself
    char* owned = nullptr;       // malloc'd when the reduction changed the text
    VectorElement() = default;
    VectorElement(const VectorElement&) = delete;
    VectorElement& operator=(const VectorElement&) = delete;
    ~VectorElement() { std::free(owned); }
};
// Fills *element from type_text (null: ints). A text the reduction leaves as
// it is, such as every element text already reduced once, is used in place
// and costs no allocation. Throws nothing: on allocation failure sets
// MemoryError and returns -1.
int vector_element(const char* type_text, VectorElement* element);

// The hash of an exact str, cached in it after the first time. Runs no
// Python code.
inline Py_hash_t str_hash(PyObject* text) {
#ifndef Py_GIL_DISABLED  // there, hashes are cached with atomic stores
    Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(text)->hash;
    if (hash != -1) return hash;
#endif
    return PyObject_Hash(text);
}

// Equal exact str objects: a str has one canonical form, so equal texts
// have equal kinds and equal data. Runs no Python code.
inline bool same_text(PyObject* a, PyObject* b) {
#ifndef Py_GIL_DISABLED  // there, hashes are cached with atomic stores
    // Dict keys and interned names have theirs cached; unequal ones settle
    // most unequal texts without comparing them.
    Py_hash_t hash_a = reinterpret_cast<PyASCIIObject*>(a)->hash;
    Py_hash_t hash_b = reinterpret_cast<PyASCIIObject*>(b)->hash;
    if (hash_a != hash_b && hash_a != -1 && hash_b != -1) return false;
#endif
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// The index of the first parameter whose name is the exact str `key`
// (flags words and "_" excepted), or -1. Runs no Python code.
inline int32_t find_param(const ConstructorDef* entry, PyObject* key) {
    const uint32_t* slots = entry->key_slots;
    if (slots == nullptr) return -1;
    const uint32_t mask = entry->key_mask;
    for (uint32_t i = static_cast<uint32_t>(str_hash(key)) & mask;; i = (i + 1) & mask) {
        uint32_t slot = slots[i];
        if (slot == 0) return -1;
        PyObject* name = entry->params[slot - 1].name_object;
        if (name == key || same_text(name, key)) return static_cast<int32_t>(slot - 1);
    }
}

// Constructors by the host str of their name. A lookup uses the str's
// cached hash, and the identity of the interned names that callers' literals
// are, so packing neither encodes nor hashes nor compares UTF-8 per object.
// Keys are the entries' own name_object references, which live as long as
// their tables, and those as long as the compiler.
class NameIndex {
public:
    // Maps the entry's name to it, replacing an entry of equal name.
    // Throws std::bad_alloc.
    void assign(ConstructorDef* entry);
    // The entry for an exact str, or null. Runs no Python code; never fails.
    ConstructorDef* find(PyObject* name) const;

private:
    struct Slot {
        Py_hash_t hash;
        PyObject* key;  // null: empty slot
        ConstructorDef* entry;
    };
    void grow();
    std::vector<Slot> slots_;  // a power of two in size, or empty
    size_t used_ = 0;
};

// The SorbSchemaCompiler object.
struct SorbSchemaCompiler {
    PyObject_HEAD
    SchemaTable* schema;  // the table of the latest compile, or null
    // Tables of earlier compiles on this object. Map entries that a later
    // schema did not redefine still point into them; each compile frees
    // those that no map entry points into any more.
    std::vector<TablePtr>* retired;
    std::unordered_map<uint32_t, ConstructorDef*>* id_map;
    NameIndex* name_map;
    int busy;  // set while compile runs; guards against re-entry
    // Set for a SorbParser's own compiler before it compiles: its packs and
    // unpacks walk the table, which a second compile could free under them
    // (from a hook, or from a finalizer the collector runs), so it refuses.
    int owned_by_parser;
};

// Lookups used by the reader and the writer; null when absent.
ConstructorDef* compiler_find_id(SorbSchemaCompiler* compiler, uint32_t id);
// By name: `name` is an exact str; runs no Python code and never fails.
ConstructorDef* compiler_find_name(SorbSchemaCompiler* compiler, PyObject* name);

// Builds a table from a JSON text or an already decoded dict. On error sets
// an exception and returns -1.
int compiler_compile(SorbSchemaCompiler* compiler, PyObject* json_data);

}  // namespace sorb
