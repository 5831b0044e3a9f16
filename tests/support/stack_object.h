// COM doubles that a test owns (on the stack, or as members): ComObject with a count that is
// kept, so the test can check the references its code under test took and gave back, but
// that never frees the object.
#pragma once

#include "platform/com_object.h"

namespace glyphary::testing {

class StackCount {
  public:
    static constexpr bool kDeletes = false;
    ULONG Increment() noexcept { return ++m_count; }
    ULONG Decrement() noexcept { return --m_count; }
    ULONG value() const noexcept { return m_count; }

  private:
    ULONG m_count = 0;
};

/// A double over `Entries` (as for ComObject) that starts with no reference.
template <class Derived, class... Entries>
class StackObject : public ComObject<Derived, StackCount, Entries...> {
  public:
    /// The references held on it now.
    ULONG refs() const noexcept { return this->RefCount().value(); }
};

}  // namespace glyphary::testing
