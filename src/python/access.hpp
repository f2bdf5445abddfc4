// Access counters: instances that refuse overlapping reads and writes
// ("Already borrowed", "Already mutably borrowed").
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace palisar::py {

// Access counter of instances that refuse overlapping reads and writes.
struct AccessCounter {
    // > 0: that many shared accesses; -1: one exclusive access.
    mutable intptr_t state = 0;
};

class SharedAccess {
public:
    explicit SharedAccess(const AccessCounter& c) : c_(&c) {
        if (c.state < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            c_ = nullptr;
        } else {
            ++c.state;
        }
    }
    ~SharedAccess() {
        if (c_) --c_->state;
    }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;
    bool ok() const { return c_ != nullptr; }

private:
    const AccessCounter* c_;
};

class ExclusiveAccess {
public:
    explicit ExclusiveAccess(const AccessCounter& c) : c_(&c) {
        if (c.state != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            c_ = nullptr;
        } else {
            c.state = -1;
        }
    }
    ~ExclusiveAccess() {
        if (c_) c_->state = 0;
    }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
    bool ok() const { return c_ != nullptr; }

private:
    const AccessCounter* c_;
};

// Records whose instances carry an access counter derive from this.
struct AccessChecked {
    AccessCounter access;
};

}  // namespace palisar::py
