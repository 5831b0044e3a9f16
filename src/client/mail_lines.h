// The lines of a raw mail as the module reads them: a line ends at CR, and the byte after a
// CR is the LF of a CR LF pair or else the first byte of the next line. The program adds one
// rule of its own: an LF alone ends a line too (mail as Linux stores it), which the module
// would otherwise read as part of one long line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace glyphary::client {

/// How a line of a mail ends.
enum class LineEnd : uint8_t {
    crlf,  ///< CR LF
    cr,    ///< CR followed by anything but LF, or by the end of the input
    lf,    ///< LF alone
    none,  ///< the input ends: the last line
};

/// One line of a mail: its bytes are [begin, end) without the line end; the next line starts
/// at `next` (end + the length of the line end).
struct MailLine {
    size_t begin = 0;
    size_t end = 0;
    size_t next = 0;
    LineEnd ending = LineEnd::none;
};

/// Reads `message` line by line. The last line has LineEnd::none and may be empty: "a\r\n"
/// is the line "a" and an empty last line, as the module reads it.
class MailLines {
  public:
    explicit MailLines(std::string_view message) noexcept : m_text(message) {}
    /// The lines from `from` on, which must be where a line begins.
    MailLines(std::string_view message, size_t from) noexcept : m_text(message), m_at(from) {}

    /// The next line into `line`; false once the last line has been given.
    bool Next(MailLine& line) noexcept;

  private:
    size_t Find(char c, size_t from, size_t& cache) const noexcept;

    std::string_view m_text;
    size_t m_at = 0;
    bool m_done = false;
    // Where the next CR and LF at or after m_at are (or the end), found once each: a line
    // never searches past what an earlier search saw.
    size_t m_cr = 0, m_lf = 0;
    bool m_searched = false;
};

/// The bytes of `ending` as the input had them.
std::string_view LineEndBytes(LineEnd ending) noexcept;

}  // namespace glyphary::client
