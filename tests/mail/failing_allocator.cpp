// The replaced operator new and delete of a test program, over malloc and free. Every form
// is replaced, so that nothing allocated by one allocator is freed by the other. In a file of
// their own, so that the compiler never sees a delete inlined next to its new.
#include "mail/failing_allocator.h"

#include <cstdlib>
#include <new>

std::atomic<bool> glyphary::testing::g_failNextAllocation{false};

namespace {

void* Allocate(std::size_t size) noexcept {
    if (glyphary::testing::g_failNextAllocation.exchange(false)) return nullptr;
    return std::malloc(size ? size : 1);
}

void* AllocateOrThrow(std::size_t size) {
    if (void* p = Allocate(size)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
    return AllocateOrThrow(size);
}
void* operator new[](std::size_t size) {
    return AllocateOrThrow(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
