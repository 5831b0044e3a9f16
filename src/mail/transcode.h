// au (EZweb) mail's emoji codes and their rewriting inside the ISO-2022-JP runs of a line: pure
// byte code, linked into the module (ConvertEzwebMail) and into its clients (the program's own
// reading of a mail's structure), so both rewrite by the same rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace glyphary {

/// EZweb mail emoji code (two bytes) -> EZweb web code (two bytes).
class EzwebMailCodeMap {
  public:
    /// Stores `mail` -> `web`, replacing the web code of an existing mail code.
    void Set(uint8_t mail0, uint8_t mail1, uint8_t web0, uint8_t web1);
    /// The web code of the mail code (`first`, `second`), written to `web`; false if unknown.
    bool Find(uint8_t first, uint8_t second, uint8_t web[2]) const noexcept {
        if (!m_slots) return false;
        const uint32_t slot = m_slots[(static_cast<uint32_t>(first) << 8) | second];
        if (!(slot & kPresent)) return false;
        web[0] = static_cast<uint8_t>(slot >> 8);
        web[1] = static_cast<uint8_t>(slot);
        return true;
    }
    /// What replaces the mail code `code` (first byte in the high eight bits): its web code
    /// if the map knows it, else `code` itself. Only on a map that is not empty. No branch:
    /// the transcoder calls it for every two-byte character of a run.
    uint16_t Translate(uint16_t code) const noexcept {
        return static_cast<uint16_t>(m_slots[code]);
    }
    /// The lowest and the highest first byte of the mail codes the map knows (a map that is
    /// not empty): no other code can change.
    uint8_t FirstLow() const noexcept { return m_firstLow; }
    uint8_t FirstHigh() const noexcept { return m_firstHigh; }
    size_t size() const noexcept { return m_size; }
    bool empty() const noexcept { return m_size == 0; }
    /// Drops every entry (tests).
    void Clear();

  private:
    static constexpr uint32_t kPresent = 0x10000;
    // A direct table over all 65536 mail codes, allocated with the first entry: kPresent and
    // the web code for a known code, the code itself for any other.
    std::unique_ptr<uint32_t[]> m_slots;
    size_t m_size = 0;
    uint8_t m_firstLow = 0xFF, m_firstHigh = 0;
};

/// Overwrites, in place, every two-byte code inside the ISO-2022-JP runs of `line` (ESC $ ..
/// ESC ( on the same line) that `map` knows with its replacement. The length never changes.
/// Returns whether a byte changed.
bool TranscodeEmojiLine(char* line, size_t size, const EzwebMailCodeMap& map) noexcept;

}  // namespace glyphary
