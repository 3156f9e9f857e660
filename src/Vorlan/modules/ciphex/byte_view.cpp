#include "byte_view.h"

namespace vorlan::ciphex {
namespace {

int acquire_buffer(PyObject* obj, ByteView& view, int flags) {
    if (PyObject_GetBuffer(obj, &view.buffer, flags) < 0) return -1;
    view.has_buffer = true;
    if (view.buffer.buf == nullptr && view.buffer.len > 0) {
        // Nothing could be read or written there; refuse rather than crash.
        release_view(view);
        PyErr_SetString(PyExc_BufferError, "buffer exporter gave no memory for a non-empty buffer");
        return -1;
    }
    view.data = static_cast<std::uint8_t*>(view.buffer.buf);
    view.length = view.buffer.len;
    return 0;
}

}  // namespace

int acquire_read_buffer(PyObject* obj, ByteView& view) {
    return acquire_buffer(obj, view, PyBUF_SIMPLE);
}

int acquire_write_view(PyObject* obj, ByteView& view) {
    return acquire_buffer(obj, view, PyBUF_WRITABLE);
}

void release_buffer(ByteView& view) {
    PyBuffer_Release(&view.buffer);
    view.has_buffer = false;
}

}  // namespace vorlan::ciphex
