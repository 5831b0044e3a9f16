// An allocator for a test program that fails on request: operator new is replaced for the
// whole program (failing_allocator.cpp).
#pragma once

#include <atomic>

namespace glyphary::testing {

/// When set, the next operator new throws std::bad_alloc (and clears it).
extern std::atomic<bool> g_failNextAllocation;

}  // namespace glyphary::testing
