// The registry's tree and its file format. Internal to the platform library (registry.cpp),
// and compiled into the format's tests and fuzzer.
//
// The file is text, one record per line, meant to be read (and in a pinch mended) by people:
//
//     glyphary-registry 1
//     key "CLSID"
//     key "CLSID" "{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}"
//     value "" sz "Glyphary"
//     key "CLSID" "{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}" "InProcServer32"
//     value "" sz "/opt/glyphary/glyphary.so"
//     value "ThreadingModel" sz "Apartment"
//     end
//
// A "key" line names a key by its full path below HKEY_CLASSES_ROOT, after its parent; the
// "value" lines after it are that key's values (before the first key: the root's). A value
// has a name ("" is the default value), a type (a name below, or a decimal number) and its
// exact bytes: a quoted string of UTF-16 units (little-endian, for string types of an even
// byte count) or "hex:" and comma-separated bytes. Quoted text holds printable ASCII; '"' and
// '\' are escaped with '\', any other unit is written \uXXXX. "end" closes the file, so a
// truncated file is recognisably incomplete. Lines starting with '#' are comments.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wintypes.h"

namespace glyphary::platform::registry {

// Windows' limits, enforced on what is stored and on what is read.
inline constexpr size_t kMaxKeyName = 255;
inline constexpr size_t kMaxValueName = 16383;
inline constexpr size_t kMaxDepth = 512;
inline constexpr size_t kMaxFileSize = 64u << 20;

/// Key and value names compare as Windows compares them, ignoring case. Only ASCII letters
/// fold; every other UTF-16 unit must match exactly.
bool SameName(std::u16string_view a, std::u16string_view b);
/// Ordering by the folded names: the order in which subkeys are kept and enumerated.
bool NameLess(std::u16string_view a, std::u16string_view b);

struct Value {
    std::u16string name;  // as first stored
    DWORD type;
    std::string data;  // the exact bytes given
};

struct Key {
    std::u16string name;                        // as first stored
    std::vector<std::unique_ptr<Key>> subkeys;  // ordered by NameLess
    std::vector<Value> values;  // in the order of creation, as Windows enumerates them

    Key* FindSubkey(std::u16string_view name) const;
    /// Inserts a new, empty subkey at its place in the order (the name must be new).
    Key& AddSubkey(std::u16string_view name);
    /// Removes the subkey `name`, if any.
    void RemoveSubkey(std::u16string_view name);
    Value* FindValue(std::u16string_view name);
};

/// Where and why a text is not a registry file, for people to mend it.
struct ParseError {
    size_t line = 0;  ///< 1-based; 0 when the fault lies in no one line (the file is too large)
    std::string what;
};

/// The tree held by `text`; nullopt for anything that is not a complete, well-formed file,
/// with the first fault in `*error` if given.
std::optional<Key> Parse(std::string_view text, ParseError* error = nullptr);
/// The file text of `root`.
std::string Serialize(const Key& root);

}  // namespace glyphary::platform::registry
