// The lock of one AesCtr256 stream, safe across fork.
//
// A thread that holds a stream's lock when another thread forks does not
// exist in the child, so the child's copy of the lock would stay held
// forever. Every live stream lock is therefore on one list, and the child
// frees them all right after the fork, while it still has a single thread.
#pragma once

#include <Python.h>

namespace vorlan::ciphex {

struct StreamMutex {
    PyMutex mutex{};
    StreamMutex* prev = nullptr;
    StreamMutex* next = nullptr;
    bool listed = false;
};

// Installs the fork handlers, once per process. On error sets OSError and
// returns -1.
int stream_locks_install_fork_handlers();

// Puts a stream's lock on the list, or takes it off (only if it is there).
void stream_lock_register(StreamMutex& lock);
void stream_lock_unregister(StreamMutex& lock);

// Holds a stream's lock for one scope. A thread that must wait is detached
// from the interpreter meanwhile.
class StreamLock {
public:
    explicit StreamLock(StreamMutex& lock) : mutex_(&lock.mutex) { PyMutex_Lock(mutex_); }
    ~StreamLock() { PyMutex_Unlock(mutex_); }
    StreamLock(const StreamLock&) = delete;
    StreamLock& operator=(const StreamLock&) = delete;

private:
    PyMutex* mutex_;
};

}  // namespace vorlan::ciphex
