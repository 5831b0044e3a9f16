// Reading a type library: the resource section of an ELF module file, and the text
// description inside it.
#include "platform/typelib_model.h"

#include <elf.h>

#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

namespace glyphary::platform {

const TypeModel* LibraryModel::Resolve(HREFTYPE ref) const noexcept {
    if (ref & kExternRef) {
        const HREFTYPE index = ref & ~kExternRef;
        return index < externs.size() ? &externs[index] : nullptr;
    }
    return ref < types.size() ? &types[ref] : nullptr;
}

// ---------------------------------------------------------------------------------------------
// The text description

namespace {

std::u16string Widen(std::string_view s) {
    return std::u16string(s.begin(), s.end());
}

class Parser {
  public:
    explicit Parser(std::string_view text) : m_text(text) {}

    std::unique_ptr<LibraryModel> Parse() {
        m_lib = std::make_unique<LibraryModel>();
        IndexNames();
        bool haveLibrary = false;
        while (NextLine()) {
            const std::string_view keyword = Word();
            if (keyword == "library") {
                m_lib->name = Widen(Word());
                m_lib->guid = Guid(Word());
                m_lib->lcid = static_cast<LCID>(Number(Key("lcid")));
                m_lib->syskind = static_cast<SYSKIND>(Number(Key("syskind")));
                Version(Key("version"), m_lib->major, m_lib->minor);
                m_lib->flags = static_cast<WORD>(Number(Key("flags")));
                haveLibrary = true;
            } else if (keyword == "import") {
                // Only the types named by "extern" lines are used; the library is not loaded.
                m_line = {};
            } else if (keyword == "extern") {
                TypeModel& type = m_lib->externs.emplace_back();
                type.kind = Kind(Word());
                type.name = Widen(Word());
                type.guid = Guid(Word());
            } else if (keyword == "type") {
                ParseType();
            } else if (keyword == "impl") {
                TypeModel& type = CurrentType();
                ImplModel& impl = type.impls.emplace_back();
                impl.ref = Reference(Word());
                impl.flags = static_cast<INT>(Number(Key("flags")));
            } else if (keyword == "func") {
                ParseFunc();
            } else if (keyword == "param") {
                if (CurrentType().funcs.empty()) Fail("param outside a func");
                ParamModel& param = CurrentType().funcs.back().params.emplace_back();
                const std::string_view name = Word();
                if (name != "-") param.name = Widen(name);
                param.flags = ParamFlags(Word());
                param.type = Type(Word());
            } else if (keyword == "const" || keyword == "field") {
                ParseVar(keyword == "const");
            } else {
                Fail("unknown keyword");
            }
            if (!m_line.empty()) Fail("unexpected text at the end");
        }
        if (!haveLibrary) throw std::invalid_argument("type library description: no library line");
        return std::move(m_lib);
    }

  private:
    // A first pass gives every description and extern its reference, so that types can be
    // used before the line that describes them.
    void IndexNames() {
        const std::string_view text = m_text;
        HREFTYPE local = 0, imported = 0;
        while (NextLine()) {
            const std::string_view keyword = Word();
            if (keyword != "type" && keyword != "extern") continue;
            Word();
            const std::string name(Word());
            const HREFTYPE ref = keyword == "type" ? local++ : kExternRef | imported++;
            if (!m_refs.emplace(name, ref).second) Fail("type described twice");
        }
        m_text = text;
        m_lineNumber = 0;
    }

    void ParseType() {
        TypeModel& type = m_lib->types.emplace_back();
        type.kind = Kind(Word());
        type.name = Widen(Word());
        type.guid = Guid(Word());
        type.flags = static_cast<WORD>(Number(Key("flags")));
        type.size = static_cast<ULONG>(Number(Key("size")));
        type.alignment = static_cast<WORD>(Number(Key("align")));
        if (type.kind == TKIND_INTERFACE || type.kind == TKIND_DISPATCH)
            type.vftSize = static_cast<WORD>(Number(Key("vft")));
        if (type.kind == TKIND_ALIAS) type.alias = Type(Key("alias"));
    }

    void ParseFunc() {
        FuncModel& func = CurrentType().funcs.emplace_back();
        func.name = Widen(Word());
        const std::string_view kind = Word();
        if (kind == "method")
            func.invkind = INVOKE_FUNC;
        else if (kind == "propget")
            func.invkind = INVOKE_PROPERTYGET;
        else if (kind == "propput")
            func.invkind = INVOKE_PROPERTYPUT;
        else if (kind == "propputref")
            func.invkind = INVOKE_PROPERTYPUTREF;
        else
            Fail("unknown function kind");
        func.memid = static_cast<MEMBERID>(Number(Key("memid")));
        func.oVft = static_cast<SHORT>(Number(Key("slot")) * static_cast<long long>(sizeof(void*)));
        func.result = Type(Key("returns"));
    }

    void ParseVar(bool constant) {
        VarModel& var = CurrentType().vars.emplace_back();
        var.name = Widen(Word());
        var.memid = static_cast<MEMBERID>(Number(Key("memid")));
        var.type = Type(Word());
        if (constant) {
            var.varkind = VAR_CONST;
            var.value = static_cast<LONG>(Number(Word()));
        } else {
            var.varkind = VAR_PERINSTANCE;
            var.offset = static_cast<ULONG>(Number(Key("offset")));
        }
    }

    TypeModel& CurrentType() {
        if (m_lib->types.empty()) Fail("member outside a type");
        return m_lib->types.back();
    }

    // A VT name, ptr(T), or a type name resolved once the whole text is read.
    TYPEDESC Type(std::string_view word, int depth = 0) {
        TYPEDESC td{};
        if (word.starts_with("ptr(") && word.ends_with(")")) {
            if (depth >= 8) Fail("pointers nested too deeply");
            td.vt = VT_PTR;
            td.lptdesc =
                &m_lib->pointees.emplace_back(Type(word.substr(4, word.size() - 5), depth + 1));
            return td;
        }
        static const std::map<std::string_view, VARTYPE> vts = {
            {"I2", VT_I2},           {"I4", VT_I4},           {"R4", VT_R4},
            {"R8", VT_R8},           {"BSTR", VT_BSTR},       {"BOOL", VT_BOOL},
            {"VARIANT", VT_VARIANT}, {"UNKNOWN", VT_UNKNOWN}, {"DISPATCH", VT_DISPATCH},
            {"I1", VT_I1},           {"UI1", VT_UI1},         {"UI2", VT_UI2},
            {"UI4", VT_UI4},         {"I8", VT_I8},           {"UI8", VT_UI8},
            {"INT", VT_INT},         {"UINT", VT_UINT},       {"VOID", VT_VOID},
            {"HRESULT", VT_HRESULT}, {"LPSTR", VT_LPSTR},     {"LPWSTR", VT_LPWSTR}};
        if (const auto it = vts.find(word); it != vts.end()) {
            td.vt = it->second;
            return td;
        }
        if (word.empty() || word.find_first_of("()") != std::string_view::npos)
            Fail("malformed type");
        td.vt = VT_USERDEFINED;
        td.hreftype = Reference(word);
        return td;
    }

    HREFTYPE Reference(std::string_view name) {
        const auto it = m_refs.find(std::string(name));
        if (it == m_refs.end()) Fail("unknown type");
        return it->second;
    }

    static TYPEKIND KindOf(std::string_view word) {
        static const std::map<std::string_view, TYPEKIND> kinds = {
            {"enum", TKIND_ENUM},         {"record", TKIND_RECORD},
            {"module", TKIND_MODULE},     {"interface", TKIND_INTERFACE},
            {"dispatch", TKIND_DISPATCH}, {"coclass", TKIND_COCLASS},
            {"alias", TKIND_ALIAS},       {"union", TKIND_UNION}};
        const auto it = kinds.find(word);
        return it == kinds.end() ? TKIND_MAX : it->second;
    }
    TYPEKIND Kind(std::string_view word) {
        const TYPEKIND kind = KindOf(word);
        if (kind == TKIND_MAX) Fail("unknown type kind");
        return kind;
    }

    USHORT ParamFlags(std::string_view word) {
        USHORT flags = 0;
        while (!word.empty()) {
            const size_t comma = word.find(',');
            const std::string_view flag = word.substr(0, comma);
            if (flag == "in")
                flags |= PARAMFLAG_FIN;
            else if (flag == "out")
                flags |= PARAMFLAG_FOUT;
            else if (flag == "retval")
                flags |= PARAMFLAG_FRETVAL;
            else if (flag == "lcid")
                flags |= PARAMFLAG_FLCID;
            else if (flag == "optional")
                flags |= PARAMFLAG_FOPT;
            else if (flag != "none")
                Fail("unknown parameter flag");
            word = comma == std::string_view::npos ? std::string_view() : word.substr(comma + 1);
        }
        return flags;
    }

    GUID Guid(std::string_view word) {
        GUID g = GUID_NULL;
        if (word == "-") return g;
        // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
        if (word.size() != 38 || word.front() != '{' || word.back() != '}') Fail("malformed GUID");
        auto hex = [&](size_t at, size_t digits) {
            unsigned long long value = 0;
            const auto [end, ec] =
                std::from_chars(word.data() + at, word.data() + at + digits, value, 16);
            if (ec != std::errc() || end != word.data() + at + digits) Fail("malformed GUID");
            return value;
        };
        if (word[9] != '-' || word[14] != '-' || word[19] != '-' || word[24] != '-')
            Fail("malformed GUID");
        g.Data1 = static_cast<DWORD>(hex(1, 8));
        g.Data2 = static_cast<WORD>(hex(10, 4));
        g.Data3 = static_cast<WORD>(hex(15, 4));
        g.Data4[0] = static_cast<BYTE>(hex(20, 2));
        g.Data4[1] = static_cast<BYTE>(hex(22, 2));
        for (int i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<BYTE>(hex(25 + 2 * i, 2));
        return g;
    }

    long long Number(std::string_view word) {
        int base = 10;
        bool negative = false;
        if (word.starts_with('-')) {
            negative = true;
            word.remove_prefix(1);
        }
        if (word.starts_with("0x")) {
            base = 16;
            word.remove_prefix(2);
        }
        unsigned long long value = 0;
        const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value, base);
        if (word.empty() || ec != std::errc() || end != word.data() + word.size() ||
            value > 0xFFFFFFFFull)
            Fail("malformed number");
        return negative ? -static_cast<long long>(value) : static_cast<long long>(value);
    }

    void Version(std::string_view word, WORD& major, WORD& minor) {
        const size_t dot = word.find('.');
        if (dot == std::string_view::npos) Fail("malformed version");
        major = static_cast<WORD>(Number(word.substr(0, dot)));
        minor = static_cast<WORD>(Number(word.substr(dot + 1)));
    }

    // The word after `key`, which must come next.
    std::string_view Key(std::string_view key) {
        if (Word() != key) Fail(("expected " + std::string(key)).c_str());
        return Word();
    }

    std::string_view Word() {
        const size_t start = m_line.find_first_not_of(" \t");
        if (start == std::string_view::npos) Fail("line ends too early");
        m_line.remove_prefix(start);
        const size_t end = m_line.find_first_of(" \t");
        const std::string_view word = m_line.substr(0, end);
        m_line = end == std::string_view::npos ? std::string_view() : m_line.substr(end);
        const size_t rest = m_line.find_first_not_of(" \t\r");
        m_line = rest == std::string_view::npos ? std::string_view() : m_line.substr(rest);
        return word;
    }

    // Moves to the next line with content; comments start with '#'.
    bool NextLine() {
        while (!m_text.empty()) {
            const size_t end = m_text.find('\n');
            m_line = m_text.substr(0, end);
            m_text = end == std::string_view::npos ? std::string_view() : m_text.substr(end + 1);
            ++m_lineNumber;
            const size_t start = m_line.find_first_not_of(" \t\r");
            if (start == std::string_view::npos || m_line[start] == '#') continue;
            m_line.remove_prefix(start);
            return true;
        }
        return false;
    }

    [[noreturn]] void Fail(const char* what) const {
        throw std::invalid_argument("type library description, line " +
                                    std::to_string(m_lineNumber) + ": " + what);
    }

    std::string_view m_text;
    std::string_view m_line;
    int m_lineNumber = 0;
    std::unique_ptr<LibraryModel> m_lib;
    std::map<std::string, HREFTYPE> m_refs;
};

}  // namespace

std::unique_ptr<LibraryModel> ParseTypeLibrary(std::string_view text) {
    return Parser(text).Parse();
}

// ---------------------------------------------------------------------------------------------
// Resources of an ELF module: the section ".rsrc.<type>.<id>". Read from the file, as Windows
// reads resources, so no code of the module runs; every offset is checked against the file.

namespace {

template <class T>
T ReadAt(const std::string& file, uint64_t offset) {
    if (offset > file.size() || file.size() - offset < sizeof(T))
        throw std::runtime_error("truncated ELF file");
    T value;
    std::memcpy(&value, file.data() + offset, sizeof(T));
    return value;
}

std::string_view SectionBytes(const std::string& file, uint64_t offset, uint64_t size) {
    if (offset > file.size() || file.size() - offset < size)
        throw std::runtime_error("ELF section outside the file");
    return std::string_view(file).substr(offset, size);
}

}  // namespace

bool IsElfFile(std::string_view file) noexcept {
    return file.size() >= SELFMAG && std::memcmp(file.data(), ELFMAG, SELFMAG) == 0;
}

std::string ReadModuleResource(const std::string& file, std::string_view type, int id) {
    const auto header = ReadAt<Elf64_Ehdr>(file, 0);
    if (!IsElfFile(file) || header.e_ident[EI_CLASS] != ELFCLASS64)
        throw std::runtime_error("not a 64-bit ELF file");
    if (header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shstrndx >= header.e_shnum)
        throw std::runtime_error("malformed ELF section table");

    const std::string wanted = ".rsrc." + std::string(type) + "." + std::to_string(id);
    auto section = [&](unsigned index) {
        return ReadAt<Elf64_Shdr>(file, header.e_shoff + uint64_t{index} * sizeof(Elf64_Shdr));
    };
    const Elf64_Shdr names = section(header.e_shstrndx);
    const std::string_view nameTable = SectionBytes(file, names.sh_offset, names.sh_size);
    for (unsigned i = 0; i < header.e_shnum; ++i) {
        const Elf64_Shdr s = section(i);
        if (s.sh_name >= nameTable.size()) continue;
        const std::string_view rest = nameTable.substr(s.sh_name);
        if (rest.substr(0, rest.find('\0')) != wanted) continue;
        if (s.sh_type == SHT_NOBITS) return {};
        return std::string(SectionBytes(file, s.sh_offset, s.sh_size));
    }
    return {};
}

}  // namespace glyphary::platform

namespace glyphary::platform {

std::string ReadTypeLibraryText(const std::string& path) {
    // Read in one go: the module file is megabytes, and it is read at every start-up.
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) throw std::runtime_error("cannot open " + path);
    const std::streamoff size = in.tellg();
    if (size < 0 || !in.seekg(0)) throw std::runtime_error("cannot read " + path);
    std::string file(static_cast<size_t>(size), '\0');
    if (!in.read(file.data(), size)) throw std::runtime_error("cannot read " + path);
    if (!IsElfFile(file)) return file;
    std::string text = ReadModuleResource(file, "TYPELIB", 1);
    // A resource made from a string literal ends with its terminator.
    while (!text.empty() && text.back() == '\0') text.pop_back();
    if (text.empty()) throw std::runtime_error(path + " has no type library");
    return text;
}

}  // namespace glyphary::platform
