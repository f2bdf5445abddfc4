// Fails one chosen C++ allocation, for the out-of-memory tests. Preloaded
// (LD_PRELOAD), it replaces the global operator new; Python arms it through
// ctypes: oom_fail_at(n) makes the n-th allocation from then on (0: the next)
// fail, by throwing std::bad_alloc (or returning null for the nothrow forms);
// oom_count() gives the number of allocations since the last arming.
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

long g_count = 0;
long g_fail_at = -1;

bool fail_now() { return g_count++ == g_fail_at; }

void* allocate(std::size_t n, std::size_t align) {
    if (n == 0) n = 1;
    if (align <= alignof(std::max_align_t)) return std::malloc(n);
    return std::aligned_alloc(align, (n + align - 1) / align * align);
}

void* allocate_or_throw(std::size_t n, std::size_t align) {
    if (fail_now()) throw std::bad_alloc();
    if (void* p = allocate(n, align)) return p;
    throw std::bad_alloc();
}

void* allocate_or_null(std::size_t n, std::size_t align) noexcept {
    return fail_now() ? nullptr : allocate(n, align);
}

}  // namespace

extern "C" void oom_fail_at(long n) {
    g_count = 0;
    g_fail_at = n;
}
extern "C" long oom_count() { return g_count; }

constexpr std::size_t kPlain = alignof(std::max_align_t);

void* operator new(std::size_t n) { return allocate_or_throw(n, kPlain); }
void* operator new[](std::size_t n) { return allocate_or_throw(n, kPlain); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate_or_throw(n, std::size_t(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate_or_throw(n, std::size_t(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate_or_null(n, kPlain); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate_or_null(n, kPlain); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate_or_null(n, std::size_t(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate_or_null(n, std::size_t(a));
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
