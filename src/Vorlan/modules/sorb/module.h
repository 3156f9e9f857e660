// What the module itself provides to its parts: interned string constants
// made at import, and access to its global names.
#pragma once

#include <Python.h>

namespace sorb {

enum class StringId {
    empty,       // ""
    loads,       // "loads"
    underscore,  // "_"
    get,         // "get"
    predicate,   // "predicate": the keys of a schema's entries and parameters
    method,      // "method"
    type,        // "type"
    params,      // "params"
    id,          // "id"
    name,        // "name"
    count_,      // number of constants
};

// A borrowed reference to one of the constants; valid once the module ran.
PyObject* module_string(StringId id);

// The module's namespace (borrowed), or null before the module ran.
PyObject* module_dict();

// A new reference to a global name of the module (such as "json"), or null
// with NameError set.
PyObject* module_global(const char* name);

}  // namespace sorb
