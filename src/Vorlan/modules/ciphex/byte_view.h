// Holding one bytes-like argument for the length of a call.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vorlan::ciphex {

// One argument's bytes while a call runs. Exact bytes are read in place;
// everything else, bytearray included, is held through a buffer export, so
// the memory cannot be resized or freed (another thread resizing a
// bytearray gets BufferError) while the cipher works on it without the
// interpreter lock.
struct ByteView {
    std::uint8_t* data = nullptr;
    Py_ssize_t length = 0;
    Py_buffer buffer{};
    bool has_buffer = false;
};

// The buffer export behind acquire_read_view, for everything but exact
// bytes. On error sets the host's exception and returns -1.
int acquire_read_buffer(PyObject* obj, ByteView& view);

// Fills view with obj's bytes for reading. On error sets the host's
// exception (TypeError, BufferError) and returns -1. Inline, like
// release_view, so that the common case (exact bytes, nothing held) costs
// no call: GCC 10, which builds the wheels, saves registers before it tests
// for that case in a function of its own.
inline int acquire_read_view(PyObject* obj, ByteView& view) {
    if (PyBytes_CheckExact(obj)) {
        view.data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(obj));
        view.length = PyBytes_GET_SIZE(obj);
        return 0;
    }
    return acquire_read_buffer(obj, view);
}

// Fills view with obj's bytes for writing in place. On error sets the
// host's exception (TypeError, or BufferError for read-only exporters such
// as bytes) and returns -1.
int acquire_write_view(PyObject* obj, ByteView& view);

// Releases view's buffer export; view.has_buffer must be set.
void release_buffer(ByteView& view);

// Releases the held buffer, if any; safe to call more than once.
inline void release_view(ByteView& view) {
    if (view.has_buffer) release_buffer(view);
    view.data = nullptr;
    view.length = 0;
}

// The views of one call, released in the order they were acquired on
// every path out of the call.
template <int N>
class CallViews {
public:
    CallViews() = default;
    CallViews(const CallViews&) = delete;
    CallViews& operator=(const CallViews&) = delete;
    ~CallViews() {
        for (ByteView& view : views_) release_view(view);
    }
    ByteView& operator[](int i) { return views_[i]; }

private:
    ByteView views_[N];
};

}  // namespace vorlan::ciphex
