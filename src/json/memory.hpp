// Large buffers outside malloc: mappings aligned for huge pages, and a few
// buffers kept for the next one who needs one (an arena's first block, a
// bzip2 decoder's scratch).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <sys/mman.h>

namespace palisar::json {

// `size` bytes (a multiple of `align`, a power of two) mapped at an address
// that is a multiple of `align`, or null; given back with munmap(p, size).
inline void* map_aligned(size_t size, size_t align) {
    void* p = mmap(nullptr, size + align, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(p);
    const uintptr_t aligned = (start + align - 1) & ~uintptr_t(align - 1);
    if (aligned > start) munmap(p, aligned - start);
    const uintptr_t end = aligned + size, mapped_end = start + size + align;
    if (mapped_end > end) munmap(reinterpret_cast<void*>(end), mapped_end - end);
    return reinterpret_cast<void*>(aligned);
}

// Up to N owned pointers kept for whoever asks next. Slots rather than a
// lock: a process forked while another thread held a lock here would find it
// held forever. Declared constinit, a set is constant-initialized and
// trivially destroyed: usable at any time, at exit too.
template <class T, size_t N = 2>
class SpareSlots {
public:
    // A kept pointer, or null.
    T* take() noexcept {
        for (std::atomic<T*>& slot : slots_)
            if (T* p = slot.exchange(nullptr)) return p;
        return nullptr;
    }
    // False when every slot is taken: `p` stays the caller's.
    bool keep(T* p) noexcept {
        for (std::atomic<T*>& slot : slots_) {
            T* empty = nullptr;
            if (slot.compare_exchange_strong(empty, p)) return true;
        }
        return false;
    }

private:
    std::atomic<T*> slots_[N] = {};
};

}  // namespace palisar::json
