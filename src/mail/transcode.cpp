// The emoji codes inside the ISO-2022-JP runs of one mail line.
#include <cstring>

#include "mail/mail.h"

namespace glyphary {

namespace {

constexpr char kEsc = 0x1B;
constexpr char kOpener = 0x24;  // ESC $ opens a two-byte run (ESC $ B, ESC $ @)
constexpr char kCloser = 0x28;  // ESC ( closes it (ESC ( B, ESC ( J)
// Escape sequences are known by their first two bytes; the third is skipped unexamined.
constexpr size_t kEscapeLength = 3;

// The position of the first ESC `second` at or after `from`, or `size` when there is none.
// ESC is rare in mail text, so memchr skips the bulk of a line.
size_t FindEscape(const char* data, size_t size, size_t from, char second) {
    while (from + 1 < size) {
        const void* hit = std::memchr(data + from, kEsc, size - 1 - from);
        if (!hit) break;
        const size_t at = static_cast<size_t>(static_cast<const char*>(hit) - data);
        if (data[at + 1] == second) return at;
        from = at + 1;
    }
    return size;
}

}  // namespace

void TranscodeEmojiLine(std::string& line, const EzwebMailCodeMap& map) {
    char* data = line.data();
    const size_t size = line.size();
    size_t cursor = 0;
    for (;;) {
        const size_t opener = FindEscape(data, size, cursor, kOpener);
        if (opener == size) return;
        // A run whose closer is not on this line is left as it is, and so is all after it.
        const size_t closer = FindEscape(data, size, opener + kEscapeLength, kCloser);
        if (closer == size) return;
        // Pairs count from the first byte after the opener; an odd last byte stays.
        for (cursor = opener + kEscapeLength; cursor + 2 <= closer; cursor += 2) {
            uint8_t web[2];
            if (map.Find(static_cast<uint8_t>(data[cursor]), static_cast<uint8_t>(data[cursor + 1]),
                         web)) {
                data[cursor] = static_cast<char>(web[0]);
                data[cursor + 1] = static_cast<char>(web[1]);
            }
        }
        cursor = closer + kEscapeLength;
    }
}

}  // namespace glyphary
