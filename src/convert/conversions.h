// The three string operations on module text (std::wstring, one UTF-16 unit per wchar_t),
// without the interface around them. The conversion object calls these; the benchmarks and
// the tests compare them with the word-for-word reference.
#pragma once

#include <bitset>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <boost/regex_fwd.hpp>

#include "convert/format.h"
#include "platform/win.h"
#include "tables/tables.h"

namespace glyphary {

/// What a Globalize call may remember between calls: the output of each carrier unit met so
/// far. It is valid for one table and one pair of formats; the object clears it whenever it
/// changes any of them. Formatting is a pure function of format and argument, so the result
/// is the same as formatting again.
struct GlobalizeCache {
    std::unordered_map<wchar_t, std::wstring> outputs;
    void Clear() { outputs.clear(); }
    std::wstring result;  // the room of the last call's result (see ResultRoom)
};

/// Appends `input` to `out` with every unit found in `codeToId` written through `format`
/// (non-empty id) or `undefinedFormat` (empty id; nothing when that format is empty).
void GlobalizeText(std::wstring_view input, const ModeTable& codeToId, const std::wstring& format,
                   const std::wstring& undefinedFormat, GlobalizeCache& cache, std::wstring& out);

struct SimpleShape;

/// Finds the matches of a pattern of the shape P(C+)S (SimpleShape) without the regex engine.
struct SimpleMatcher {
    explicit SimpleMatcher(const SimpleShape& shape);
    bool Member(wchar_t unit) const {
        const auto u = static_cast<uint32_t>(unit);
        return u <= 0xFFFF && m_members[u];
    }
    std::wstring before, after;
    size_t minRun;

  private:
    std::bitset<0x10000> m_members;
};

/// A compiled LocalizePattern and what is known of it.
struct LocalizeRegex {
    std::wstring pattern;  // the text it was compiled from
    std::shared_ptr<const boost::wregex> regex;
    std::wstring prefix;                          // units every match starts with, when known
    std::shared_ptr<const SimpleMatcher> simple;  // set when the engine is not needed
};

/// Where `units` first begins in `text`, or npos: std::wstring_view::find, with the fastest
/// search this processor has (the search for the units every match starts with).
size_t FindUnits(std::wstring_view text, std::wstring_view units) noexcept;

/// Compiles `pattern` (normal syntax). Throws ConversionError(E_INVALIDARG) when ill-formed.
LocalizeRegex CompileLocalizePattern(const std::wstring& pattern);

/// What a Localize call may remember between calls: the compiled pattern and the prepared
/// undefined format. The object drops each when its property changes; the format is also
/// prepared again for any other text.
struct LocalizeCache {
    std::shared_ptr<const LocalizeRegex> regex;
    std::optional<PreparedFormat> undefinedFormat;
    std::wstring result;  // the room of the last call's result (see ResultRoom)

    /// `format`, prepared once.
    const PreparedFormat& UndefinedFormat(const std::wstring& format) {
        if (!undefinedFormat || undefinedFormat->text() != format) undefinedFormat.emplace(format);
        return *undefinedFormat;
    }
};

/// Appends `input` to `out` with every match of `regex` replaced by the code of its first
/// group's id in `idToCode`, or by `undefinedFormat` applied to the id (nothing when empty).
/// Each search starts a new text at the current position; after an empty match the next unit
/// is copied and the search goes on after it. Throws ConversionError: E_INVALIDARG for a bad
/// format, E_FAIL when the regex engine gives up (complexity or memory).
void LocalizeText(std::wstring_view input, const LocalizeRegex& regex, const ModeTable& idToCode,
                  const PreparedFormat& undefinedFormat, std::wstring& out);
/// The same with the format prepared for this call.
void LocalizeText(std::wstring_view input, const LocalizeRegex& regex, const ModeTable& idToCode,
                  const std::wstring& undefinedFormat, std::wstring& out);

/// The id of the first rule whose pattern matches all of `userAgent`, or 0. Each rule is
/// compiled once, when a call first reaches it. Throws ConversionError: E_INVALIDARG for an
/// ill-formed pattern that is reached, E_FAIL when the regex engine gives up.
int32_t FindUserAgentId(std::wstring_view userAgent, const UserAgentRules& rules);
/// The same for a zero-terminated UTF-16 string (null is empty), not read at all when there
/// are no rules.
int32_t FindUserAgentId(const OLECHAR* userAgent, const UserAgentRules& rules);

}  // namespace glyphary
