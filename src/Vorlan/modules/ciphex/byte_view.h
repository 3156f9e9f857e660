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

// Fills view with obj's bytes for reading. On error sets the host's
// exception (TypeError, BufferError) and returns -1.
int acquire_read_view(PyObject* obj, ByteView& view);

// Fills view with obj's bytes for writing in place. On error sets the
// host's exception (TypeError, or BufferError for read-only exporters such
// as bytes) and returns -1.
int acquire_write_view(PyObject* obj, ByteView& view);

// Releases the held buffer, if any; safe to call more than once.
void release_view(ByteView& view);

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
