#include "stream_lock.h"

#include <pthread.h>

#include <cerrno>

namespace vorlan::ciphex {
namespace {

// Guards the list. A plain pthread mutex, not a PyMutex: the fork handlers
// take it inside fork(), where waiting must not involve the interpreter.
// (Not std::mutex, whose lock() may throw into the interpreter.)
pthread_mutex_t g_list_lock = PTHREAD_MUTEX_INITIALIZER;

// Holds the list's lock for one scope.
class ListGuard {
public:
    ListGuard() { pthread_mutex_lock(&g_list_lock); }
    ~ListGuard() { pthread_mutex_unlock(&g_list_lock); }
    ListGuard(const ListGuard&) = delete;
    ListGuard& operator=(const ListGuard&) = delete;
};
StreamMutex* g_list = nullptr;

// Before the fork the list is locked, so no other thread is halfway through
// changing it when the child's copy is made.
void before_fork() { pthread_mutex_lock(&g_list_lock); }

void after_fork_in_parent() { pthread_mutex_unlock(&g_list_lock); }

void after_fork_in_child() {
    for (StreamMutex* lock = g_list; lock != nullptr; lock = lock->next) lock->mutex = PyMutex{};
    pthread_mutex_unlock(&g_list_lock);
}

int install_once() { return pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); }

}  // namespace

int stream_locks_install_fork_handlers() {
    static const int status = install_once();
    if (status == 0) return 0;
    errno = status;
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
}

void stream_lock_register(StreamMutex& lock) {
    ListGuard guard;
    lock.prev = nullptr;
    lock.next = g_list;
    if (g_list != nullptr) g_list->prev = &lock;
    g_list = &lock;
    lock.listed = true;
}

void stream_lock_unregister(StreamMutex& lock) {
    ListGuard guard;
    if (!lock.listed) return;
    if (lock.prev != nullptr) lock.prev->next = lock.next;
    else g_list = lock.next;
    if (lock.next != nullptr) lock.next->prev = lock.prev;
    lock.listed = false;
}

}  // namespace vorlan::ciphex
