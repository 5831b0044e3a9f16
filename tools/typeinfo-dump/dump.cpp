// The dump walks the library in index order and prints each description with its members;
// referenced types print by name (followed through GetRefTypeInfo), so the dump does not
// depend on how either side numbers its references.
#include "typeinfo-dump/dump.h"

#include <cstdio>

#include "platform/owners.h"

namespace glyphary {

namespace {

std::string Hex(unsigned long value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%lX", value);
    return buffer;
}

std::string Error(HRESULT hr) {
    return "error " + Hex(static_cast<unsigned long>(static_cast<ULONG>(hr)));
}

std::string Text(const OLECHAR* s) {
    if (!s) return "-";
    std::string out;
    for (; *s; ++s) {
        const unsigned unit = static_cast<unsigned>(*s) & 0xFFFF;
        if (unit >= 0x20 && unit < 0x7F) {
            out += static_cast<char>(unit);
        } else {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04X", unit);
            out += buffer;
        }
    }
    return out;
}

std::string Name(const OLECHAR* s) {
    std::string name = Text(s);
    return name.rfind("__", 0) == 0 ? "(generated)" : name;
}

std::string Guid(const GUID& g) {
    if (g == GUID_NULL) return "-";
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buffer;
}

const char* KindName(TYPEKIND kind) {
    static const char* const names[] = {"enum",     "record",  "module", "interface",
                                        "dispatch", "coclass", "alias",  "union"};
    return kind >= 0 && kind < TKIND_MAX ? names[kind] : "?";
}

const char* VtName(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
            return "EMPTY";
        case VT_I2:
            return "I2";
        case VT_I4:
            return "I4";
        case VT_R4:
            return "R4";
        case VT_R8:
            return "R8";
        case VT_CY:
            return "CY";
        case VT_DATE:
            return "DATE";
        case VT_BSTR:
            return "BSTR";
        case VT_DISPATCH:
            return "DISPATCH";
        case VT_ERROR:
            return "ERROR";
        case VT_BOOL:
            return "BOOL";
        case VT_VARIANT:
            return "VARIANT";
        case VT_UNKNOWN:
            return "UNKNOWN";
        case VT_I1:
            return "I1";
        case VT_UI1:
            return "UI1";
        case VT_UI2:
            return "UI2";
        case VT_UI4:
            return "UI4";
        case VT_I8:
            return "I8";
        case VT_UI8:
            return "UI8";
        case VT_INT:
            return "INT";
        case VT_UINT:
            return "UINT";
        case VT_VOID:
            return "VOID";
        case VT_HRESULT:
            return "HRESULT";
        case VT_LPSTR:
            return "LPSTR";
        case VT_LPWSTR:
            return "LPWSTR";
        default:
            return nullptr;
    }
}

std::string TypeName(ITypeInfo* info, const TYPEDESC& td) {
    if (td.vt == VT_PTR) return "ptr(" + (td.lptdesc ? TypeName(info, *td.lptdesc) : "?") + ")";
    if (td.vt == VT_USERDEFINED) {
        com_ptr<ITypeInfo> ref;
        HRESULT hr = info->GetRefTypeInfo(td.hreftype, ref.put());
        if (FAILED(hr)) return Error(hr);
        unique_bstr name;
        hr = ref->GetDocumentation(-1, name.put(), nullptr, nullptr, nullptr);
        return FAILED(hr) ? Error(hr) : Name(name.get());
    }
    if (const char* name = VtName(td.vt)) return name;
    return "vt" + std::to_string(td.vt);
}

std::string ParamFlags(USHORT flags) {
    std::string out;
    auto add = [&](USHORT bit, const char* name) {
        if (flags & bit) out += out.empty() ? name : std::string(",") + name;
    };
    add(PARAMFLAG_FIN, "in");
    add(PARAMFLAG_FOUT, "out");
    add(PARAMFLAG_FLCID, "lcid");
    add(PARAMFLAG_FRETVAL, "retval");
    add(PARAMFLAG_FOPT, "optional");
    add(PARAMFLAG_FHASDEFAULT, "default");
    return out.empty() ? "none" : out;
}

const char* InvokeKindName(INVOKEKIND kind) {
    switch (kind) {
        case INVOKE_FUNC:
            return "method";
        case INVOKE_PROPERTYGET:
            return "propget";
        case INVOKE_PROPERTYPUT:
            return "propput";
        case INVOKE_PROPERTYPUTREF:
            return "propputref";
        default:
            return "?";
    }
}

void DumpFunc(ITypeInfo* info, UINT index, std::string& out) {
    FUNCDESC* fd = nullptr;
    HRESULT hr = info->GetFuncDesc(index, &fd);
    if (FAILED(hr)) {
        out += "  func " + std::to_string(index) + " " + Error(hr) + "\n";
        return;
    }
    BSTR names[32] = {};
    UINT count = 0;
    hr = info->GetNames(fd->memid, names, 32, &count);
    // GetNames reports the first member with this id, which for a property is its put; the
    // get's parameter names come from the get itself, so ask by position instead.
    unique_bstr funcName;
    info->GetDocumentation(fd->memid, funcName.put(), nullptr, nullptr, nullptr);
    out += "  func slot " + std::to_string(fd->oVft / static_cast<int>(sizeof(void*))) + " " +
           Name(funcName.get()) + " " + InvokeKindName(fd->invkind) + " memid " +
           Hex(static_cast<ULONG>(fd->memid)) + " funckind " + std::to_string(fd->funckind) +
           " callconv " + std::to_string(fd->callconv) + " flags " + Hex(fd->wFuncFlags) +
           " optional " + std::to_string(fd->cParamsOpt) + " returns " +
           TypeName(info, fd->elemdescFunc.tdesc) + "\n";
    for (SHORT i = 0; i < fd->cParams; ++i) {
        const ELEMDESC& param = fd->lprgelemdescParam[i];
        // Parameter names follow the function's name; a property put's value has none.
        const bool named =
            SUCCEEDED(hr) && static_cast<UINT>(i + 1) < count &&
            !(fd->invkind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF) && i == fd->cParams - 1);
        out += "    param " + std::to_string(i) + " " + (named ? Name(names[i + 1]) : "-") + " [" +
               ParamFlags(param.paramdesc.wParamFlags) + "] " + TypeName(info, param.tdesc) + "\n";
    }
    for (UINT i = 0; i < count && i < 32; ++i) SysFreeString(names[i]);
    info->ReleaseFuncDesc(fd);
}

void DumpVar(ITypeInfo* info, UINT index, std::string& out) {
    VARDESC* vd = nullptr;
    HRESULT hr = info->GetVarDesc(index, &vd);
    if (FAILED(hr)) {
        out += "  var " + std::to_string(index) + " " + Error(hr) + "\n";
        return;
    }
    unique_bstr name;
    info->GetDocumentation(vd->memid, name.put(), nullptr, nullptr, nullptr);
    out += "  var " + Name(name.get()) + " memid " + Hex(static_cast<ULONG>(vd->memid)) + " kind " +
           std::to_string(vd->varkind) + " flags " + Hex(vd->wVarFlags) + " type " +
           TypeName(info, vd->elemdescVar.tdesc);
    if (vd->varkind == VAR_CONST && vd->lpvarValue) {
        const VARIANT& v = *vd->lpvarValue;
        const bool integer = V_VT(&v) == VT_I4 || V_VT(&v) == VT_INT;
        out += " value " + (integer ? std::to_string(V_I4(&v)) : "vt" + std::to_string(V_VT(&v)));
    } else {
        out += " offset " + std::to_string(vd->oInst);
    }
    out += "\n";
    info->ReleaseVarDesc(vd);
}

void DumpType(ITypeLib* lib, UINT index, std::string& out) {
    com_ptr<ITypeInfo> info;
    HRESULT hr = lib->GetTypeInfo(index, info.put());
    if (FAILED(hr)) {
        out += "type " + std::to_string(index) + " " + Error(hr) + "\n";
        return;
    }
    unique_bstr name;
    info->GetDocumentation(-1, name.put(), nullptr, nullptr, nullptr);
    TYPEATTR* ta = nullptr;
    hr = info->GetTypeAttr(&ta);
    if (FAILED(hr)) {
        out += "type " + std::to_string(index) + " " + Name(name.get()) + " " + Error(hr) + "\n";
        return;
    }
    out += "type " + std::to_string(index) + " " + KindName(ta->typekind) + " " + Name(name.get()) +
           " " + Guid(ta->guid) + " flags " + Hex(ta->wTypeFlags) + " funcs " +
           std::to_string(ta->cFuncs) + " vars " + std::to_string(ta->cVars) + " impls " +
           std::to_string(ta->cImplTypes) + " vft " + std::to_string(ta->cbSizeVft) + " size " +
           std::to_string(ta->cbSizeInstance) + " align " + std::to_string(ta->cbAlignment);
    if (ta->typekind == TKIND_ALIAS) out += " alias " + TypeName(info.get(), ta->tdescAlias);
    out += "\n";
    for (UINT i = 0; i < ta->cImplTypes; ++i) {
        HREFTYPE ref = 0;
        com_ptr<ITypeInfo> base;
        INT flags = 0;
        hr = info->GetRefTypeOfImplType(i, &ref);
        if (SUCCEEDED(hr)) hr = info->GetRefTypeInfo(ref, base.put());
        if (SUCCEEDED(hr)) hr = info->GetImplTypeFlags(i, &flags);
        unique_bstr baseName;
        if (SUCCEEDED(hr))
            hr = base->GetDocumentation(-1, baseName.put(), nullptr, nullptr, nullptr);
        out += "  impl " + std::to_string(i) + " " +
               (SUCCEEDED(hr) ? Name(baseName.get()) + " flags " + Hex(static_cast<ULONG>(flags))
                              : Error(hr)) +
               "\n";
    }
    for (UINT i = 0; i < ta->cFuncs; ++i) DumpFunc(info.get(), i, out);
    for (UINT i = 0; i < ta->cVars; ++i) DumpVar(info.get(), i, out);
    info->ReleaseTypeAttr(ta);
}

}  // namespace

std::string DumpTypeLib(ITypeLib* lib) {
    std::string out;
    unique_bstr name;
    lib->GetDocumentation(-1, name.put(), nullptr, nullptr, nullptr);
    TLIBATTR* attr = nullptr;
    HRESULT hr = lib->GetLibAttr(&attr);
    if (FAILED(hr)) return "library " + Text(name.get()) + " " + Error(hr) + "\n";
    out += "library " + Text(name.get()) + " " + Guid(attr->guid) + " lcid " +
           std::to_string(attr->lcid) + " syskind " + std::to_string(attr->syskind) + " version " +
           std::to_string(attr->wMajorVerNum) + "." + std::to_string(attr->wMinorVerNum) +
           " flags " + Hex(attr->wLibFlags) + "\n";
    lib->ReleaseTLibAttr(attr);
    const UINT count = lib->GetTypeInfoCount();
    for (UINT i = 0; i < count; ++i) DumpType(lib, i, out);
    return out;
}

}  // namespace glyphary
