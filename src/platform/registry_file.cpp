// The registry tree and its text file format (see registry_file.h).
#include "platform/registry_file.h"

#include <algorithm>
#include <charconv>

namespace glyphary::platform::registry {

namespace {

char16_t Fold(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - (u'a' - u'A')) : c;
}

// ---------------------------------------------------------------------------------------------
// Writing

constexpr char kHex[] = "0123456789abcdef";

void AppendQuoted(std::string& out, std::u16string_view text) {
    out += '"';
    for (char16_t c : text) {
        if (c == u'"' || c == u'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0xF];
        }
    }
    out += '"';
}

struct TypeName {
    DWORD type;
    const char* name;
};
constexpr TypeName kTypeNames[] = {
    {0, "none"},  {1, "sz"},       {2, "expand_sz"}, {3, "binary"},
    {4, "dword"}, {7, "multi_sz"}, {11, "qword"},
};

bool IsStringType(DWORD type) {
    return type == 1 || type == 2 || type == 7;
}

void AppendValue(std::string& out, const Value& value) {
    out += "value ";
    AppendQuoted(out, value.name);
    out += ' ';
    const auto named = std::find_if(std::begin(kTypeNames), std::end(kTypeNames),
                                    [&](const TypeName& t) { return t.type == value.type; });
    out += named != std::end(kTypeNames) ? named->name : std::to_string(value.type);
    out += ' ';
    if (IsStringType(value.type) && value.data.size() % 2 == 0) {
        std::u16string units(value.data.size() / 2, u'\0');
        for (size_t i = 0; i < units.size(); ++i) {
            units[i] =
                static_cast<char16_t>(static_cast<unsigned char>(value.data[2 * i]) |
                                      static_cast<unsigned char>(value.data[2 * i + 1]) << 8);
        }
        AppendQuoted(out, units);
    } else {
        out += "hex:";
        for (size_t i = 0; i < value.data.size(); ++i) {
            if (i) out += ',';
            const auto b = static_cast<unsigned char>(value.data[i]);
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
        }
    }
    out += '\n';
}

void AppendKey(std::string& out, const Key& key, std::string& path) {
    const size_t mark = path.size();
    path += ' ';
    AppendQuoted(path, key.name);
    out += "key";
    out += path;
    out += '\n';
    for (const Value& value : key.values) AppendValue(out, value);
    for (const auto& sub : key.subkeys) AppendKey(out, *sub, path);
    path.resize(mark);
}

// ---------------------------------------------------------------------------------------------
// Reading: a cursor over one line; every step fails softly on anything unexpected.

class LineReader {
  public:
    explicit LineReader(std::string_view line) : m_rest(line) {}

    bool AtEnd() const { return m_rest.empty(); }
    bool Word(std::string_view word) {
        if (!m_rest.starts_with(word)) return false;
        m_rest.remove_prefix(word.size());
        return true;
    }
    bool Space() {
        if (m_rest.empty() || m_rest[0] != ' ') return false;
        while (!m_rest.empty() && m_rest[0] == ' ') m_rest.remove_prefix(1);
        return true;
    }
    std::optional<std::u16string> Quoted() {
        if (!Word("\"")) return std::nullopt;
        std::u16string text;
        while (!m_rest.empty()) {
            const char c = m_rest[0];
            m_rest.remove_prefix(1);
            if (c == '"') return text;
            if (c < 0x20 || c >= 0x7F) return std::nullopt;
            if (c != '\\') {
                text += static_cast<char16_t>(c);
                continue;
            }
            if (m_rest.empty()) return std::nullopt;
            const char e = m_rest[0];
            m_rest.remove_prefix(1);
            if (e == '"' || e == '\\') {
                text += static_cast<char16_t>(e);
            } else if (e == 'u') {
                const auto unit = Hex(4);
                if (!unit) return std::nullopt;
                text += static_cast<char16_t>(*unit);
            } else {
                return std::nullopt;
            }
        }
        return std::nullopt;
    }
    std::optional<DWORD> Type() {
        for (const TypeName& t : kTypeNames) {
            const std::string_view name = t.name;
            if (m_rest.starts_with(name) &&
                (m_rest.size() == name.size() || m_rest[name.size()] == ' ')) {
                m_rest.remove_prefix(name.size());
                return t.type;
            }
        }
        DWORD type = 0;
        const auto [end, ec] = std::from_chars(m_rest.data(), m_rest.data() + m_rest.size(), type);
        if (ec != std::errc() || end == m_rest.data()) return std::nullopt;
        m_rest.remove_prefix(static_cast<size_t>(end - m_rest.data()));
        return type;
    }
    std::optional<std::string> Bytes() {
        if (!Word("hex:")) return std::nullopt;
        std::string bytes;
        while (!m_rest.empty() && m_rest[0] != ' ') {
            if (!bytes.empty() && !Word(",")) return std::nullopt;
            const auto b = Hex(2);
            if (!b) return std::nullopt;
            bytes += static_cast<char>(*b);
        }
        return bytes;
    }

  private:
    std::optional<unsigned> Hex(size_t digits) {
        if (m_rest.size() < digits) return std::nullopt;
        unsigned v = 0;
        for (size_t i = 0; i < digits; ++i) {
            const char c = m_rest[i];
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0) return std::nullopt;
            v = v * 16 + static_cast<unsigned>(d);
        }
        m_rest.remove_prefix(digits);
        return v;
    }

    std::string_view m_rest;
};

bool ValidKeyName(std::u16string_view name) {
    return !name.empty() && name.size() <= kMaxKeyName && name.find(u'\\') == name.npos;
}

// One "key" line: the key it declares, which must be new and whose parent must exist; null
// with the reason in `why` otherwise.
Key* ParseKey(LineReader& line, Key& root, const char*& why) {
    Key* parent = nullptr;
    Key* key = &root;
    size_t depth = 0;
    why = "a key line that is not well-formed";
    while (!line.AtEnd()) {
        if (!line.Space()) return nullptr;
        auto name = line.Quoted();
        if (!name || !ValidKeyName(*name) || ++depth > kMaxDepth) return nullptr;
        if (!key) {
            why = "a key whose parent key is not listed before it";
            return nullptr;
        }
        parent = key;
        key = parent->FindSubkey(*name);
        if (line.AtEnd()) {
            if (key) {
                why = "a key listed twice";
                return nullptr;
            }
            return &parent->AddSubkey(*name);
        }
    }
    return nullptr;  // "key" with no name
}

bool ParseValue(LineReader& line, Key& key) {
    if (!line.Space()) return false;
    auto name = line.Quoted();
    if (!name || name->size() > kMaxValueName || key.FindValue(*name) || !line.Space())
        return false;
    const auto type = line.Type();
    if (!type || !line.Space()) return false;
    std::string data;
    if (auto units = line.Quoted()) {
        for (char16_t u : *units) {
            data += static_cast<char>(u & 0xFF);
            data += static_cast<char>(u >> 8);
        }
    } else if (auto bytes = line.Bytes()) {
        data = std::move(*bytes);
    } else {
        return false;
    }
    if (!line.AtEnd()) return false;
    key.values.push_back({std::move(*name), *type, std::move(data)});
    return true;
}

}  // namespace

bool SameName(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char16_t x, char16_t y) { return Fold(x) == Fold(y); });
}

bool NameLess(std::u16string_view a, std::u16string_view b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char16_t x, char16_t y) { return Fold(x) < Fold(y); });
}

Key* Key::FindSubkey(std::u16string_view name) const {
    auto it =
        std::lower_bound(subkeys.begin(), subkeys.end(), name,
                         [](const auto& k, std::u16string_view n) { return NameLess(k->name, n); });
    return it != subkeys.end() && SameName((*it)->name, name) ? it->get() : nullptr;
}

Key& Key::AddSubkey(std::u16string_view name) {
    auto it =
        std::lower_bound(subkeys.begin(), subkeys.end(), name,
                         [](const auto& k, std::u16string_view n) { return NameLess(k->name, n); });
    auto key = std::make_unique<Key>();
    key->name = name;
    return **subkeys.insert(it, std::move(key));
}

void Key::RemoveSubkey(std::u16string_view name) {
    std::erase_if(subkeys, [&](const auto& k) { return SameName(k->name, name); });
}

Value* Key::FindValue(std::u16string_view name) {
    auto it = std::find_if(values.begin(), values.end(),
                           [&](const Value& v) { return SameName(v.name, name); });
    return it != values.end() ? &*it : nullptr;
}

std::optional<Key> Parse(std::string_view text, ParseError* error) {
    size_t number = 0;
    const auto fail = [&](size_t line, const char* what) -> std::optional<Key> {
        if (error) *error = {line, what};
        return std::nullopt;
    };
    if (text.size() > kMaxFileSize) return fail(0, "the file is larger than 64 MiB");
    Key root;
    Key* current = &root;
    bool header = false, ended = false;
    while (!text.empty()) {
        ++number;
        const size_t eol = text.find('\n');
        // Every line ends, the last one too.
        if (eol == text.npos) return fail(number, "the last line is cut short");
        const std::string_view raw = text.substr(0, eol);
        text.remove_prefix(eol + 1);
        if (raw.empty() || raw[0] == '#') continue;
        if (ended) return fail(number, "text after the closing \"end\" line");
        LineReader line(raw);
        if (!header) {
            if (!line.Word("glyphary-registry 1") || !line.AtEnd())
                return fail(number, "not a registry file: \"glyphary-registry 1\" must come first");
            header = true;
        } else if (line.Word("key")) {
            const char* why;
            current = ParseKey(line, root, why);
            if (!current) return fail(number, why);
        } else if (line.Word("value")) {
            if (!ParseValue(line, *current))
                return fail(number, "a value line that is not well-formed or repeats a name");
        } else if (line.Word("end") && line.AtEnd()) {
            ended = true;
        } else {
            return fail(number, "a line that is neither key, value nor end");
        }
    }
    if (!header) return fail(number + 1, "not a registry file: \"glyphary-registry 1\" is missing");
    if (!ended)
        return fail(number + 1, "the closing \"end\" line is missing (the file is cut short)");
    return root;
}

std::string Serialize(const Key& root) {
    std::string out =
        "glyphary-registry 1\n"
        "# HKEY_CLASSES_ROOT. Each key line names a key by its full path; the value lines\n"
        "# after it are its values. Written by libglyphary-platform; edit with care.\n";
    for (const Value& value : root.values) AppendValue(out, value);
    std::string path;
    for (const auto& sub : root.subkeys) AppendKey(out, *sub, path);
    out += "end\n";
    return out;
}

}  // namespace glyphary::platform::registry
