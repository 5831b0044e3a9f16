// The replaced operator new and delete of a test program, over malloc and free. In a file of
// their own, so that the compiler never sees a delete inlined next to its new.
#include "mail/failing_allocator.h"

#include <cstdlib>
#include <new>

std::atomic<bool> glyphary::testing::g_failNextAllocation{false};

void* operator new(std::size_t size) {
    if (glyphary::testing::g_failNextAllocation.exchange(false)) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
