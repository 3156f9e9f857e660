#include "error_path.h"

#include <new>

#include "pyref.h"

namespace sorb {
namespace {

// Nesting as deep as the recursion limit allows would make a note of
// thousands of names; its two ends say where the failure is.
constexpr size_t kShownLevels = 24;

}  // namespace

void ErrorPath::record(Kind kind, const char* name, const char* type_name, Py_ssize_t index,
                       uint64_t position) noexcept {
    try {
        levels_.push_back(Level{kind, name ? name : "", type_name ? type_name : "", index, position});
    } catch (const std::bad_alloc&) {
        // The note is a courtesy; the exception itself is what matters.
    }
}

std::string ErrorPath::describe(bool reading) const {
    // The innermost parameter or element; an object level alone names no field.
    size_t inner = 0;
    while (inner < levels_.size() && levels_[inner].kind == Kind::object) ++inner;
    if (inner == levels_.size()) return {};
    const Level& failed = levels_[inner];

    // Outermost first: the top constructor's name, then parameter names and
    // element indexes; nested constructors are implied by their parameters.
    std::vector<std::string> steps;
    size_t outer = levels_.size();
    if (levels_.back().kind == Kind::object) steps.push_back(levels_.back().name);
    for (size_t i = outer; i-- > inner + (failed.kind == Kind::element ? 1 : 0);) {
        const Level& level = levels_[i];
        // A parameter joins what comes before it with a dot.
        if (level.kind == Kind::param) steps.push_back((steps.empty() ? "" : ".") + level.name);
        if (level.kind == Kind::element) steps.push_back("[" + std::to_string(level.index) + "]");
    }
    std::string path;
    if (steps.size() > kShownLevels) {
        for (size_t i = 0; i < kShownLevels / 2; ++i) path += steps[i];
        path += "...";
        for (size_t i = steps.size() - kShownLevels / 2; i < steps.size(); ++i) path += steps[i];
    } else {
        for (const std::string& step : steps) path += step;
    }

    std::string text = reading ? "while reading " : "while packing ";
    std::string type_name = failed.type_name;
    if (failed.kind == Kind::element) {
        text += "element " + std::to_string(failed.index) + " of ";
        // The vector's own type: its parameter's, or the outer vector's element type.
        type_name = inner + 1 < levels_.size() ? levels_[inner + 1].type_name : "";
    }
    text += path;
    if (reading || failed.kind == Kind::element) text += " (" + type_name + ")";
    if (reading) text += " at position " + std::to_string(failed.position);
    return text;
}

void ErrorPath::add_note(bool reading) const {
    if (levels_.empty() || !PyErr_Occurred()) return;
    std::string text;
    try {
        text = describe(reading);
    } catch (const std::bad_alloc&) {
        return;
    }
    if (text.empty()) return;
    PyObject* exception = PyErr_GetRaisedException();
    Ref note(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    Ref added;
    if (note) added = Ref(PyObject_CallMethod(exception, "add_note", "O", note.get()));
    if (!added) PyErr_Clear();
    PyErr_SetRaisedException(exception);
}

}  // namespace sorb
