// Price pairs as a snapshot keeps them: the (price, size) levels of a ladder
// in book order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <utility>
#include <vector>

namespace palisar::py {

// (price, size) levels as the order-book cache lists them.
using PairList = std::vector<std::pair<double, double>>;

// An immutable pair list that successive objects may share. Copies are made
// and dropped only under the interpreter lock, so the count is a plain one
// where there is a lock (a locked add and subtract per runner made and
// released cost more than the rest of its pairs' handling). An empty list is
// no list at all: most runners never have starting-price levels.
class SharedPairs {
public:
    SharedPairs() = default;
    // May throw std::bad_alloc.
    static SharedPairs of(PairList pairs) {
        SharedPairs s;
        if (!pairs.empty()) s.block_ = new Block{std::move(pairs), 1};
        return s;
    }
    SharedPairs(const SharedPairs& other) noexcept : block_(other.block_) {
        if (block_) ++block_->count;
    }
    SharedPairs(SharedPairs&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    SharedPairs& operator=(SharedPairs other) noexcept {
        std::swap(block_, other.block_);
        return *this;
    }
    ~SharedPairs() {
        if (block_ && --block_->count == 0) delete block_;
    }
    const PairList& operator*() const {
        static const PairList none;
        return block_ ? block_->pairs : none;
    }

private:
#ifdef Py_GIL_DISABLED
    using Count = std::atomic<size_t>;
#else
    using Count = size_t;
#endif
    struct Block {
        PairList pairs;
        Count count;
    };
    Block* block_ = nullptr;
};

}  // namespace palisar::py
