// Bytes that encoders append to. Unlike std::string's resize, growing does not zero-fill: an
// encoder asks for room for the most a piece can take (three bytes a unit, or a reference a
// character) and writes only what it takes, so filling the room first would cost more than
// the encoding of ASCII itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace glyphary::text {

class ByteBuffer {
  public:
    ByteBuffer() = default;
    ByteBuffer(ByteBuffer&&) noexcept = default;
    ByteBuffer& operator=(ByteBuffer&&) noexcept = default;

    std::string_view view() const noexcept { return {m_data.get(), m_size}; }
    size_t size() const noexcept { return m_size; }
    bool empty() const noexcept { return m_size == 0; }
    void clear() noexcept { m_size = 0; }

    /// Room for `bytes` more bytes at the end, valid until the next call; what is written
    /// there counts once Wrote says so.
    char* Room(size_t bytes) {
        if (m_capacity - m_size < bytes) Grow(bytes);
        return m_data.get() + m_size;
    }
    void Wrote(size_t bytes) noexcept { m_size += bytes; }

  private:
    void Grow(size_t bytes) {
        // Geometric, so that many small needs stay linear.
        const size_t capacity = std::max(m_size + bytes, m_capacity + m_capacity / 2);
        auto data = std::make_unique_for_overwrite<char[]>(capacity);
        if (m_size != 0) std::memcpy(data.get(), m_data.get(), m_size);
        m_data = std::move(data);
        m_capacity = capacity;
    }

    std::unique_ptr<char[]> m_data;
    size_t m_size = 0, m_capacity = 0;
};

}  // namespace glyphary::text
