// An owning PyObject reference that is released on every path.
#pragma once

#include <Python.h>

#include <utility>

namespace sorb {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (null is allowed and means "failed").
    explicit Ref(PyObject* owned) : obj_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::move(*this));
        obj_ = std::exchange(other.obj_, nullptr);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    static Ref borrow(PyObject* borrowed) { return Ref(Py_XNewRef(borrowed)); }

    PyObject* get() const { return obj_; }
    PyObject* release() { return std::exchange(obj_, nullptr); }
    // For APIs that return a new reference through an out-parameter.
    PyObject** out() {
        Py_CLEAR(obj_);
        return &obj_;
    }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

}  // namespace sorb
