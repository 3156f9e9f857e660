// Where inside a message pack or unpack failed. The reader and the writer
// record one level at a time while they unwind from a failure, innermost
// first, and the call adds the result to the exception as a note; on
// success nothing is recorded and nothing allocated.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sorb {

class ErrorPath {
public:
    // One object level: the constructor whose parameter failed.
    void object(const char* name) noexcept { record(Kind::object, name, nullptr, 0, 0); }
    // One parameter, with its type text and the offset it began at (reading).
    void param(const char* name, const char* type_name, uint64_t position) noexcept {
        record(Kind::param, name, type_name, 0, position);
    }
    // One vector element, with the element type text and its offset.
    void element(Py_ssize_t index, const char* type_name, uint64_t position) noexcept {
        record(Kind::element, nullptr, type_name, index, position);
    }

    // Adds "while packing <path>" or "while reading <path> (<type>) at
    // position <n>" to the pending exception as a note, when a parameter
    // or an element was recorded. The exception's type and text stay as
    // they are; if the note cannot be made, the exception stays as it was.
    void add_note(bool reading) const;

private:
    enum class Kind : uint8_t { object, param, element };
    struct Level {
        Kind kind;
        std::string name;
        std::string type_name;
        Py_ssize_t index;
        uint64_t position;
    };
    void record(Kind kind, const char* name, const char* type_name, Py_ssize_t index,
                uint64_t position) noexcept;
    std::string describe(bool reading) const;

    std::vector<Level> levels_;  // innermost first
};

}  // namespace sorb
