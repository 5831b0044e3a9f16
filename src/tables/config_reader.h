// The configuration reader: "Glyphary.setting", the code map files it names and the EZweb
// mail map file, read through the MSXML DOM interfaces alone (the real MSXML on Windows). Pure
// code linked into the module, whose loaders fill the shared tables from it, and into the
// client, which shows what the same files say; so the format is read in this one place.
//
// Every DOM call records its status in a running status: the module's loaders return the one
// recorded last, the client ignores it.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "platform/owners.h"

namespace glyphary::config {

// ---------------------------------------------------------------------------------------------
// Files

/// Why a file did not load, as the document's parseError tells it.
struct LoadFailure {
    bool missing = false;  ///< missing or unreadable, rather than not well-formed
    LONG line = 0;         ///< where the text stopped being XML, 1-based; 0 when not known
    LONG column = 0;
    std::wstring reason;  ///< the XML reader's own words
};

/// A configuration file loaded into a DOMDocument, kept with its root element.
class ConfigFile {
  public:
    /// Creates the document and loads the file at `path`, recording each step (creation, load,
    /// root element) in `status`.
    static ConfigFile Open(LPCWSTR path, HRESULT& status);

    /// The root element; null when a step failed or nothing was loaded: read nothing then.
    IXMLDOMElement* root() const noexcept { return m_root.get(); }
    /// Why nothing was loaded; none when the file loaded, no document could be created or its
    /// parseError does not answer.
    std::optional<LoadFailure> Failure() const;

  private:
    com_ptr<IXMLDOMDocument> m_document;
    com_ptr<IXMLDOMElement> m_root;
    bool m_loaded = false;
};

// ---------------------------------------------------------------------------------------------
// Entries of each kind of file. Only child elements of the root count, by exact name and in
// document order; an entry that cannot be obtained or is not an element is skipped. An
// attribute that is missing, empty or cannot be read keeps its default (empty text, 0); a
// number is read as wcstol reads it (leading white space, a sign, the digits up to the first
// other character), saturated to 32 bits. Each function takes a file that has a root
// (E_UNEXPECTED otherwise).

/// The four default strings, in the order they are read.
enum class DefaultString {
    globalizeFormat,
    globalizeUndefinedFormat,
    localizePattern,
    localizeUndefinedFormat
};

/// What a settings file holds, handed over in the order it is read: the default strings, the
/// code maps, the user-agent rules, the mail map. A file path is `src` resolved against the
/// settings file's directory in a MAX_PATH buffer, null when it does not fit (no file that
/// could be loaded).
struct SettingsHandlers {
    /// The first element of each default string that has one: its text, possibly empty.
    std::function<void(DefaultString, std::wstring&& text)> defaultString;
    /// Each <map>: its mode and file. Returns the status of loading it; a failure leaves the
    /// remaining maps unread.
    std::function<HRESULT(int32_t mode, LPCWSTR path)> codeMap;
    /// Each <userAgent>, whether or not its attributes are there.
    std::function<void(int32_t id, std::wstring&& pattern)> userAgent;
    /// The first <ezwebMailMap>'s file. Returns the status of loading it.
    std::function<HRESULT(LPCWSTR path)> mailMap;
};

/// Reads the settings `file`, found at `path`. Returns the status recorded last: that of
/// mailMap, or S_FALSE when the file names no mail map.
HRESULT ReadSettings(const ConfigFile& file, LPCWSTR path, const SettingsHandlers& handlers);

/// One <map> of a code map file.
struct CodeMapEntry {
    std::wstring id;                  ///< empty when missing
    std::wstring code;                ///< empty when missing
    std::vector<std::wstring> extra;  ///< the attributes asked for beside them, in order
};

/// Hands each <map> of the code map `file` to `each`, with the attributes named in `extra`
/// (which do not touch the status). Returns the status of the last step of the last entry
/// (reading its code), S_OK when there is none.
HRESULT ReadCodeMap(const ConfigFile& file, const std::function<void(CodeMapEntry&)>& each,
                    std::initializer_list<const OLECHAR*> extra = {});

/// One <map> of the EZweb mail map file: the mail code and the web code written in its place,
/// each byte two hexadecimal units read as wcstol reads them ("F6" 0xF6, "G1" 0, "1G" 0x01,
/// "-1" 0xFF: the low 8 bits).
struct MailMapEntry {
    uint8_t mail[2];
    uint8_t web[2];
};

/// Hands each <map> of the mail map `file` whose mail and web codes are both four units long
/// (whatever the units) to `each`. Returns the status of the last step of the last entry
/// (reading its web code), S_OK when there is none.
HRESULT ReadMailMap(const ConfigFile& file, const std::function<void(const MailMapEntry&)>& each);

}  // namespace glyphary::config
