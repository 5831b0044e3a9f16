// Text that encoders and converters append to, bytes or UTF-16 units. Unlike std::string's
// resize, growing does not zero-fill: an encoder asks for room for the most a piece can take
// (three bytes a unit, or a reference a character) and writes only what it takes, so filling
// the room first would cost more than the encoding of ASCII itself. Appending is a bounds
// check and a copy, with none of std::basic_string's checks for aliasing, its terminator and
// its small-string case: the page path appends a few units at a time, a thousand times a page.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace glyphary::text {

template <class Char>
class Buffer {
  public:
    Buffer() = default;
    Buffer(Buffer&&) noexcept = default;
    Buffer& operator=(Buffer&&) noexcept = default;

    std::basic_string_view<Char> view() const noexcept { return {m_data.get(), m_size}; }
    const Char* data() const noexcept { return m_data.get(); }
    size_t size() const noexcept { return m_size; }
    bool empty() const noexcept { return m_size == 0; }
    Char operator[](size_t i) const noexcept { return m_data[i]; }
    Char back() const noexcept { return m_data[m_size - 1]; }
    void clear() noexcept { m_size = 0; }

    /// Room for `count` more characters at the end, valid until the next call; what is
    /// written there counts once Wrote says so.
    Char* Room(size_t count) {
        if (m_capacity - m_size < count) Grow(count);
        return m_data.get() + m_size;
    }
    void Wrote(size_t count) noexcept { m_size += count; }

    void append(std::basic_string_view<Char> text) {
        const size_t bytes = text.size() * sizeof(Char);
        if (bytes == 0) return;  // memcpy takes no null pointer, even for nothing
        auto* const to = reinterpret_cast<unsigned char*>(Room(text.size()));
        const auto* const from = reinterpret_cast<const unsigned char*>(text.data());
        // Most appends are a few characters: moved in two copies of one fixed size, which may
        // overlap and which the compiler makes plain loads and stores, not a call to memcpy.
        if (bytes <= 16) {
            if (bytes >= 8) {
                CopyFixed<8>(to, from, bytes);
            } else if (bytes >= 4) {
                CopyFixed<4>(to, from, bytes);
            } else if (bytes >= 2) {
                CopyFixed<2>(to, from, bytes);
            } else {
                *to = *from;
            }
        } else if (bytes <= 32) {
            CopyFixed<16>(to, from, bytes);
        } else {
            std::memcpy(to, from, bytes);
        }
        m_size += text.size();
    }
    Buffer& operator+=(std::basic_string_view<Char> text) {
        append(text);
        return *this;
    }
    Buffer& operator+=(Char c) {
        *Room(1) = c;
        ++m_size;
        return *this;
    }
    /// Drops the first `count` characters.
    void RemoveFront(size_t count) noexcept {
        if (count == 0) return;
        std::memmove(m_data.get(), m_data.get() + count, (m_size - count) * sizeof(Char));
        m_size -= count;
    }
    void swap(Buffer& other) noexcept {
        std::swap(m_data, other.m_data);
        std::swap(m_size, other.m_size);
        std::swap(m_capacity, other.m_capacity);
    }

  private:
    // The first and the last `kSize` of `bytes` bytes, kSize <= bytes <= 2 * kSize.
    template <size_t kSize>
    static void CopyFixed(unsigned char* to, const unsigned char* from, size_t bytes) noexcept {
        unsigned char head[kSize], tail[kSize];
        std::memcpy(head, from, kSize);
        std::memcpy(tail, from + bytes - kSize, kSize);
        std::memcpy(to, head, kSize);
        std::memcpy(to + bytes - kSize, tail, kSize);
    }

    void Grow(size_t count) {
        // Geometric, so that many small needs stay linear.
        const size_t capacity = std::max(m_size + count, m_capacity + m_capacity / 2);
        auto data = std::make_unique_for_overwrite<Char[]>(capacity);
        if (m_size != 0) std::memcpy(data.get(), m_data.get(), m_size * sizeof(Char));
        m_data = std::move(data);
        m_capacity = capacity;
    }

    std::unique_ptr<Char[]> m_data;
    size_t m_size = 0, m_capacity = 0;
};

using ByteBuffer = Buffer<char>;
using UnitBuffer = Buffer<char16_t>;

}  // namespace glyphary::text
