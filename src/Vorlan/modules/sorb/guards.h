// Scope guards shared by the compiler, the reader and the writer.
#pragma once

#include <Python.h>

namespace sorb {

// Balances the host's recursion accounting on every path. Nesting in a
// message or a value is as deep as the input makes it, so each recursive
// step asks the host first and fails with RecursionError instead of
// overflowing the C stack.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) : entered_(Py_EnterRecursiveCall(where) == 0) {}
    // A level that cannot recurse further asks nothing and always enters.
    RecursionGuard(const char* where, bool needed)
        : entered_(!needed || Py_EnterRecursiveCall(where) == 0), counted_(needed) {}
    ~RecursionGuard() {
        if (entered_ && counted_) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    bool entered() const { return entered_; }

private:
    bool entered_;
    bool counted_ = true;
};

// Holds an object's in-use flag for one call. A second call while the first
// runs (another thread, or Python code that the first calls back) finds the
// flag set and is refused, rather than sharing state the first is using.
class BusyGuard {
public:
    explicit BusyGuard(int* flag)
        : flag_(flag), acquired_(__atomic_exchange_n(flag, 1, __ATOMIC_ACQUIRE) == 0) {}
    ~BusyGuard() {
        if (acquired_) __atomic_store_n(flag_, 0, __ATOMIC_RELEASE);
    }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;
    bool acquired() const { return acquired_; }

private:
    int* flag_;
    bool acquired_;
};

}  // namespace sorb
