// The in-memory form of a type library: what LoadTypeLib reads from a module's "TYPELIB" 1
// resource (or from a type library description file), and what ITypeLib and ITypeInfo
// answer from. Internal to the platform library.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/oleauto.h"

namespace glyphary::platform {

/// References to imported types carry this bit; the rest is their index among the imports.
inline constexpr HREFTYPE kExternRef = 0x80000000u;

struct ParamModel {
    std::u16string name;  // empty: unnamed
    USHORT flags = 0;     // PARAMFLAG_*
    TYPEDESC type{};
};

struct FuncModel {
    std::u16string name;
    MEMBERID memid = 0;
    INVOKEKIND invkind = INVOKE_FUNC;
    FUNCKIND funckind = FUNC_PUREVIRTUAL;
    CALLCONV callconv = CC_STDCALL;
    SHORT oVft = 0;
    WORD flags = 0;
    TYPEDESC result{};
    std::vector<ParamModel> params;
};

struct VarModel {
    std::u16string name;
    MEMBERID memid = 0;
    VARKIND varkind = VAR_PERINSTANCE;
    WORD flags = 0;
    TYPEDESC type{};
    ULONG offset = 0;  // VAR_PERINSTANCE
    LONG value = 0;    // VAR_CONST, held as the variant type of `type`
};

struct ImplModel {
    HREFTYPE ref = 0;
    INT flags = 0;
};

struct TypeModel {
    std::u16string name;
    GUID guid = GUID_NULL;
    TYPEKIND kind = TKIND_RECORD;
    WORD flags = 0;
    ULONG size = 0;
    WORD alignment = 0;
    WORD vftSize = 0;
    TYPEDESC alias{};  // TKIND_ALIAS
    std::vector<ImplModel> impls;
    std::vector<FuncModel> funcs;
    std::vector<VarModel> vars;
};

struct LibraryModel {
    std::u16string name;
    GUID guid = GUID_NULL;
    LCID lcid = 0;
    SYSKIND syskind = SYS_WIN64;
    WORD major = 0;
    WORD minor = 0;
    WORD flags = 0;
    std::vector<TypeModel> types;
    std::vector<TypeModel> externs;  // types of imported libraries that this one refers to
    std::deque<TYPEDESC> pointees;   // targets of VT_PTR type descriptions (stable addresses)

    /// The description a reference names (local or imported), or null.
    const TypeModel* Resolve(HREFTYPE ref) const noexcept;
};

/// Parses a type library description (the text format of src/com/glyphary_typelib.txt).
/// Throws std::invalid_argument naming the line at fault.
std::unique_ptr<LibraryModel> ParseTypeLibrary(std::string_view text);

/// Whether `file` (its bytes) is an ELF file.
bool IsElfFile(std::string_view file) noexcept;

/// The bytes of resource `type`/`id` of the module file whose bytes are `file` (an ELF section
/// named ".rsrc.<type>.<id>"); empty when there is no such resource. Throws std::runtime_error
/// when the file is not a well-formed 64-bit ELF file.
std::string ReadModuleResource(const std::string& file, std::string_view type, int id);

/// The type library description in the file `path`: a module's resource "TYPELIB" 1, or the
/// whole file when it is not a module. Throws std::runtime_error when there is none.
std::string ReadTypeLibraryText(const std::string& path);

}  // namespace glyphary::platform
