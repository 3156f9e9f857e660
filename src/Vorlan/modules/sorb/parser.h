// The SorbParser object: state shared by the reader and the writer.
#pragma once

#include <Python.h>

#include <cstdint>

#include "schema.h"

namespace sorb {

// A constructor that pack found for a "_" value, filed by the value's
// address (see Writer::find_constructor).
struct RecentName {
    PyObject* name;  // never read through: the object may be gone
    ConstructorDef* entry;
};

struct SorbParser {
    PyObject_HEAD
    PyObject* compiler;  // its own SorbSchemaCompiler; None only once cleared
    uint8_t* buffer;     // reused by every pack and unpack; only grows
    uint64_t capacity;
    uint64_t length;     // valid input bytes while unpacking
    uint64_t position;   // next byte to read or write
    int32_t error_flag;  // sticky end-of-data flag of the reader
    int busy;            // set while a pack or unpack runs on this parser
    int constructed;     // set once the schema compiled; a failed construction
                         // can leave the object alive (a subclass's __del__)
    int pure_skips;      // packs left that skip the writer's pure attempt
    // Messages name the same few constructors over and over; two ways of
    // 64 sets, zero-filled with the object, and valid while its schema is
    // (compiled once).
    RecentName recent_names[128];
};

extern PyTypeObject* SorbParser_Type;

// Turns one wire message (an exact bytes object) into a dict.
// On error sets an exception and returns null.
PyObject* parser_unpack(SorbParser* self, SorbSchemaCompiler* compiler, PyObject* data);

// Turns one dict into a wire message (a new bytes object).
// On error sets an exception and returns null.
PyObject* parser_pack(SorbParser* self, SorbSchemaCompiler* compiler, PyObject* value);

}  // namespace sorb
