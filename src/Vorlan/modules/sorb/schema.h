// The compiled schema: constructor table, type codes and the compiler class.
//
// The compiler does every piece of string work once, so the reader and the
// writer only follow precomputed codes, bits and pointers. A table keeps
// what a schema says in compact form; what packing and unpacking a
// constructor need beyond that (its key index, its parameter sets, the
// template of its decoded dict) is worked out the first time the
// constructor is used, as a program uses few of a large schema's entries.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
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
// release_table accepts. Texts lie in the table's arena.
struct ParamDef {
    PyObject* name_object;  // strong reference: the dict key; one per distinct name in a table
    // The whole type text, condition included; for TYPE_VECTOR followed,
    // after its NUL, by the elements' reduced type text (elem_name), worked
    // out once.
    const char* type_name;
    // With key_repeats: the earlier parameter of the same name, or -1 for
    // "_". Both are set when the constructor is prepared.
    int32_t same_key_as;
    uint8_t type_code;
    uint8_t elem_type;      // TYPE_VECTOR: the elements' type
    uint8_t flag_bit;       // the condition's bit number, modulo 32 as the shift takes it
    uint8_t is_conditional : 1;
    uint8_t flag_field : 1;     // 1: guarded by "flags2", 0: by the first word
    uint8_t is_flags_word : 2;  // 1: named "flags", 2: named "flags2", else 0
    // 1 when "_" or an earlier parameter has the same key: the template's
    // value no longer stands for it, so the reader stores its own; and the
    // dict has one entry for both, so the writer takes that entry's value.
    uint8_t key_repeats : 1;
};

static_assert(sizeof(void*) != 8 || sizeof(ParamDef) == 24, "a table holds thousands");

// The elements' type text of a TYPE_VECTOR parameter, given its type_name.
inline const char* elem_name(const char* type_name) { return type_name + std::strlen(type_name) + 1; }

// The bit of a conditional parameter within its flags word.
inline uint32_t flag_mask(const ParamDef& param) { return 1u << param.flag_bit; }

// The UTF-8 text of a parameter's name, up to a NUL (the compiler made
// sure the str holds it, so this allocates nothing and cannot fail).
const char* param_name(const ParamDef& param);

struct Prepared;

// One constructor or method.
struct ConstructorDef {
    uint32_t id;
    int32_t param_count;
    const char* name;       // NUL-terminated UTF-8, in the table's arena
    const char* type_name;  // likewise; the name when the schema gives no type
    ParamDef* params;       // in the table's arena, null when there are none
    Prepared* prepared;     // owned; null until the constructor is first used
    uint32_t name_size;     // bytes of name
    uint32_t name_hash;     // text_hash of name
};

// What packing and unpacking a constructor need beyond its definition.
// Parameter sets hold one bit per parameter, in words of 64.
struct Prepared {
    // The name as a str: the "_" of decoded objects, and (interned where
    // interned strings are mortal) the object callers' literal names are.
    PyObject* name_object;
    // The keys of a decoded object in their final order, "_" holding the
    // name and every other key the value of its parameter when absent
    // (None, or False for a conditional Bool). Made on the first unpack.
    PyObject* template_dict;
    // The parameters' names by their hash, for the writer to find the
    // parameter of any key in one probe: each slot holds a parameter's
    // index + 1, 0 when empty, for every distinct name but the flags
    // words' and "_". Null without such parameters.
    uint32_t* key_slots;
    uint32_t key_mask;      // slot count - 1
    // For each j up to the parameter count, the first parameter at or
    // after j that the key index holds (the count when none): the key
    // that a dict in schema order holds next once parameter j-1's is met.
    int32_t* next_key;
    uint32_t words;         // words per parameter set
    // The parameters written whatever an object holds: flags words and
    // unconditional parameters.
    uint64_t* always;
    // The conditional parameters (Bools excepted) whose bit another
    // parameter shares: one present sets the bit for all.
    uint64_t* sharing;
    bool any_key_repeats;
    bool shares_bits;
};

// Allocation of many small pieces that live as long as their table.
class Arena {
public:
    Arena() = default;
    ~Arena();
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    // `size` zero-filled bytes aligned for any of the table's records, or
    // null (nothing set: the caller raises).
    void* allocate(size_t size);
    // A NUL-terminated copy of `text`, with `second` after it likewise
    // when `both`; or null.
    char* copy(std::string_view text, std::string_view second = {}, bool both = false);

private:
    struct Block {
        Block* next;
    };
    Block* blocks_ = nullptr;
    char* free_ = nullptr;
    size_t left_ = 0;
};

struct SchemaTable {
    ConstructorDef* constructors;  // zero-filled when allocated
    int32_t count;
    Arena arena;  // parameters and texts
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
#ifndef Py_GIL_DISABLED
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
// (flags words and "_" excepted), or -1. `entry` is prepared. Runs no
// Python code.
inline int32_t find_param(const ConstructorDef* entry, PyObject* key) {
    const uint32_t* slots = entry->prepared->key_slots;
    if (slots == nullptr) return -1;
    const uint32_t mask = entry->prepared->key_mask;
    for (uint32_t i = static_cast<uint32_t>(str_hash(key)) & mask;; i = (i + 1) & mask) {
        uint32_t slot = slots[i];
        if (slot == 0) return -1;
        PyObject* name = entry->params[slot - 1].name_object;
        if (name == key || same_text(name, key)) return static_cast<int32_t>(slot - 1);
    }
}

// find_param for a key that is the table's own name object (interned
// names, literal keys): no text compared, no call. -1 for any other key,
// which find_param then decides on.
inline int32_t find_param_by_identity(const ConstructorDef* entry, PyObject* key) {
#ifdef Py_GIL_DISABLED
    (void)entry;
    (void)key;
    return -1;  // hashes are read atomically there: find_param does it
#else
    const Prepared* prepared = entry->prepared;
    if (!PyUnicode_CheckExact(key) || prepared->key_slots == nullptr) return -1;
    const uint32_t mask = prepared->key_mask;
    uint32_t i = static_cast<uint32_t>(reinterpret_cast<PyASCIIObject*>(key)->hash) & mask;
    for (uint32_t slot; (slot = prepared->key_slots[i]) != 0; i = (i + 1) & mask)
        if (entry->params[slot - 1].name_object == key) return static_cast<int32_t>(slot - 1);
    return -1;
#endif
}

// Works out entry->prepared for packing: everything but the template.
// Allocates with malloc only, so no Python code can run (the collector
// included). On error sets MemoryError and returns -1; the entry stays
// unprepared.
int prepare_keys(ConstructorDef* entry);
inline int prepare_to_pack(ConstructorDef* entry) { return entry->prepared ? 0 : prepare_keys(entry); }
// Adds the template for unpacking. On error sets an exception and returns -1.
int prepare_template(ConstructorDef* entry);
inline int prepare_to_unpack(ConstructorDef* entry) {
    return entry->prepared && entry->prepared->template_dict ? 0 : prepare_template(entry);
}

// The hash of a UTF-8 text that the name index files it under.
uint32_t text_hash(const char* text, size_t size);

// Constructors by id. Entries live as long as their tables, and those as
// long as the compiler.
class IdIndex {
public:
    // Maps the entry's id to it, replacing an entry of equal id. On error
    // sets MemoryError and returns -1.
    int assign(ConstructorDef* entry);
    ConstructorDef* find(uint32_t id) const;

private:
    int grow();
    std::unique_ptr<ConstructorDef*[]> slots_;
    uint32_t mask_ = 0;  // slot count - 1, when there are slots
    uint32_t used_ = 0;
};

// Constructors by the UTF-8 text of their name.
class NameIndex {
public:
    // Maps the entry's name to it, replacing an entry of equal name. On
    // error sets MemoryError and returns -1.
    int assign(ConstructorDef* entry);
    ConstructorDef* find(const char* name, size_t size, uint32_t hash) const;

private:
    int grow();
    std::unique_ptr<ConstructorDef*[]> slots_;
    uint32_t mask_ = 0;
    uint32_t used_ = 0;
};

// The SorbSchemaCompiler object.
struct SorbSchemaCompiler {
    PyObject_HEAD
    SchemaTable* schema;  // the table of the latest compile, or null
    // Tables of earlier compiles on this object. Map entries that a later
    // schema did not redefine still point into them; each compile frees
    // those that no map entry points into any more.
    std::vector<TablePtr>* retired;
    IdIndex* id_map;
    NameIndex* name_map;
    int busy;  // set while compile runs; guards against re-entry
    // Set for a SorbParser's own compiler before it compiles: its packs and
    // unpacks walk the table, which a second compile could free under them
    // (from a hook, or from a finalizer the collector runs), so it refuses.
    int owned_by_parser;
};

// Lookups used by the reader and the writer; null when absent.
inline ConstructorDef* compiler_find_id(SorbSchemaCompiler* compiler, uint32_t id) {
    return compiler->id_map->find(id);
}
// By name: `name` is an exact str; runs no Python code and never fails (a
// name without a UTF-8 form is not found).
ConstructorDef* compiler_find_name(SorbSchemaCompiler* compiler, PyObject* name);

// Builds a table from a JSON text or an already decoded dict. On error sets
// an exception and returns -1.
int compiler_compile(SorbSchemaCompiler* compiler, PyObject* json_data);

}  // namespace sorb
