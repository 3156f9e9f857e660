// The compiled schema: constructor table, type codes and the compiler class.
//
// The compiler does every piece of string work once, so the reader and the
// writer only follow precomputed codes, bits and pointers.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
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
    char* name;             // owned, NUL-terminated UTF-8
    PyObject* name_object;  // strong reference: the dict key when unpacking
    int32_t type_code;
    char* type_name;        // owned: the whole type text, condition included
    int32_t is_conditional;
    int32_t flag_bit;
    int32_t flag_field;     // 1: guarded by "flags2", 0: by the first word
    int32_t is_flags_word;  // 1: named "flags", 2: named "flags2", else 0
};

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
    PyObject* template_dict;  // "_" and every non-flags parameter, in order
    int32_t repeats_a_key;    // 1 when two parameters (or one and "_") share a key
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

// The elements of a vector parameter: the type text with every "Vector<" and
// every ">" removed (single left-to-right passes, like str.replace), then
// classified. A parameter without type text holds ints.
struct VectorElement {
    int32_t type = TYPE_INT;
    std::string name;  // the reduced type text
    bool named = false;
    // The reduced text, or null without type text. Computed on each call
    // rather than stored, since a short string moves with the object.
    const char* name_ptr() const { return named ? name.c_str() : nullptr; }
};
VectorElement vector_element(const char* type_text);

// The SorbSchemaCompiler object.
struct SorbSchemaCompiler {
    PyObject_HEAD
    SchemaTable* schema;  // the table of the latest compile, or null
    // Tables of earlier compiles on this object. Map entries that a later
    // schema did not redefine still point into them, so they live until
    // the compiler does.
    std::vector<TablePtr>* retired;
    std::unordered_map<uint32_t, ConstructorDef*>* id_map;
    std::unordered_map<std::string_view, ConstructorDef*>* name_map;
    int busy;  // set while compile runs; guards against re-entry
};

// Lookups used by the reader and the writer; null when absent.
ConstructorDef* compiler_find_id(SorbSchemaCompiler* compiler, uint32_t id);
ConstructorDef* compiler_find_name(SorbSchemaCompiler* compiler, std::string_view name);

// The compiler's current table (null if none).
SchemaTable* compiler_get_schema(SorbSchemaCompiler* compiler);

// Builds a table from a JSON text or an already decoded dict. On error sets
// an exception and returns -1.
int compiler_compile(SorbSchemaCompiler* compiler, PyObject* json_data);

}  // namespace sorb
