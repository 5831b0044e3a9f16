// glyphary info / register / unregister.
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <set>

#include <boost/format.hpp>

#include "commands.h"
#include "io.h"
#include "platform/registry.h"

namespace glyphary::tool {
namespace {

using namespace client;  // the settings file's contents

constexpr const char* kClsidText = "{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}";

std::string Quoted(std::u16string_view text) {
    return "\"" + Utf8ForDisplay(text) + "\"";
}

std::string Text(BSTR s) {
    return s ? Utf8ForDisplay(std::u16string_view(s, SysStringLen(s))) : "";
}

std::string GuidText(const GUID& g) {
    return str(boost::format("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}") % g.Data1 %
               g.Data2 % g.Data3 % unsigned(g.Data4[0]) % unsigned(g.Data4[1]) %
               unsigned(g.Data4[2]) % unsigned(g.Data4[3]) % unsigned(g.Data4[4]) %
               unsigned(g.Data4[5]) % unsigned(g.Data4[6]) % unsigned(g.Data4[7]));
}

// ---------------------------------------------------------------------------------------------
// The interface, as its own type information describes it

std::string TypeName(ITypeInfo* info, const TYPEDESC& type) {
    switch (type.vt) {
        case VT_PTR:
            return TypeName(info, *type.lptdesc) + "*";
        case VT_BSTR:
            return "BSTR";
        case VT_I4:
            return "long";
        case VT_INT:
            return "int";
        case VT_UI4:
            return "unsigned long";
        case VT_HRESULT:
            return "HRESULT";
        case VT_VOID:
            return "void";
        case VT_BOOL:
            return "VARIANT_BOOL";
        case VT_VARIANT:
            return "VARIANT";
        case VT_UNKNOWN:
            return "IUnknown*";
        case VT_DISPATCH:
            return "IDispatch*";
        case VT_USERDEFINED: {
            com_ptr<ITypeInfo> ref;
            unique_bstr name;
            if (SUCCEEDED(info->GetRefTypeInfo(type.hreftype, ref.put())) &&
                SUCCEEDED(ref->GetDocumentation(-1, name.put(), nullptr, nullptr, nullptr)))
                return Text(name.get());
            return "?";
        }
    }
    return "vt " + std::to_string(type.vt);
}

std::string ParamFlags(USHORT flags) {
    std::string text;
    const auto add = [&](USHORT bit, const char* name) {
        if (!(flags & bit)) return;
        text += text.empty() ? "[" : ", ";
        text += name;
    };
    add(PARAMFLAG_FIN, "in");
    add(PARAMFLAG_FOUT, "out");
    add(PARAMFLAG_FRETVAL, "retval");
    add(PARAMFLAG_FOPT, "optional");
    return text.empty() ? text : text + "] ";
}

const char* KindName(INVOKEKIND kind) {
    switch (kind) {
        case INVOKE_FUNC:
            return "method";
        case INVOKE_PROPERTYGET:
            return "get";
        case INVOKE_PROPERTYPUT:
            return "put";
        case INVOKE_PROPERTYPUTREF:
            return "putref";
    }
    return "?";
}

std::string DescribeInterface(IGlyphary* object) {
    com_ptr<ITypeInfo> info;
    Check(object->GetTypeInfo(0, 0, info.put()), "IDispatch::GetTypeInfo");
    if (!info) throw ToolError("IDispatch::GetTypeInfo gave no type information");
    TYPEATTR* attr = nullptr;
    Check(info->GetTypeAttr(&attr), "ITypeInfo::GetTypeAttr");
    const GUID guid = attr->guid;
    const WORD functions = attr->cFuncs;
    const size_t slots = attr->cbSizeVft / sizeof(void*);
    info->ReleaseTypeAttr(attr);
    unique_bstr name;
    Check(info->GetDocumentation(-1, name.put(), nullptr, nullptr, nullptr),
          "ITypeInfo::GetDocumentation");

    std::string out = str(boost::format("Interface  %1% %2%, %3% slots\n") % Text(name.get()) %
                          GuidText(guid) % slots);
    out += "           slot  dispid      kind    member\n";
    for (UINT i = 0; i < functions; ++i) {
        FUNCDESC* desc = nullptr;
        Check(info->GetFuncDesc(i, &desc), "ITypeInfo::GetFuncDesc");
        BSTR names[16] = {};
        UINT count = 0;
        const HRESULT hr = info->GetNames(desc->memid, names, 16, &count);
        std::string line = str(boost::format("           %-4d  0x%08X  %-6s  %s %s(") %
                               (desc->oVft / static_cast<int>(sizeof(void*))) %
                               static_cast<uint32_t>(desc->memid) % KindName(desc->invkind) %
                               TypeName(info.get(), desc->elemdescFunc.tdesc) %
                               (SUCCEEDED(hr) && count ? Text(names[0]) : "?"));
        for (SHORT p = 0; p < desc->cParams; ++p) {
            const ELEMDESC& param = desc->lprgelemdescParam[p];
            if (p) line += ", ";
            line += ParamFlags(param.paramdesc.wParamFlags) + TypeName(info.get(), param.tdesc);
            // A property put's value has no name of its own.
            if (SUCCEEDED(hr) && UINT(p + 1) < count) line += " " + Text(names[p + 1]);
        }
        line += ")\n";
        for (UINT k = 0; k < count && k < 16; ++k) SysFreeString(names[k]);
        info->ReleaseFuncDesc(desc);
        out += line;
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Tables and rules

// How many carrier codes the loaded module's Globalize recognises in `mode`: with both
// globalize formats empty every recognised unit vanishes, so one call over every non-zero
// UTF-16 unit counts them. This asks the module itself, not the files.
size_t CodesGlobalizeFinds(IGlyphary* object, EMapMode mode) {
    std::u16string all;
    for (char32_t u = 1; u <= 0xFFFF; ++u) all += static_cast<char16_t>(u);
    unique_bstr in(SysAllocStringLen(all.data(), static_cast<UINT>(all.size())));
    unique_bstr empty(SysAllocString(u""));
    Check(object->put_MapMode(mode), "put MapMode");
    Check(object->put_GlobalizeFormat(empty.get()), "put GlobalizeFormat");
    Check(object->put_GlobalizeUndefinedFormat(empty.get()), "put GlobalizeUndefinedFormat");
    unique_bstr out;
    Check(object->Globalize(in.get(), out.put()), "Globalize");
    return all.size() - SysStringLen(out.get());
}

std::string Defaults(IGlyphary* object) {
    using Getter = HRESULT (STDMETHODCALLTYPE IGlyphary::*)(BSTR*);
    const std::pair<const char*, Getter> properties[] = {
        {"GlobalizeFormat", &IGlyphary::get_GlobalizeFormat},
        {"GlobalizeUndefinedFormat", &IGlyphary::get_GlobalizeUndefinedFormat},
        {"LocalizePattern", &IGlyphary::get_LocalizePattern},
        {"LocalizeUndefinedFormat", &IGlyphary::get_LocalizeUndefinedFormat},
    };
    std::string out;
    const char* label = "Defaults";
    for (const auto& [name, get] : properties) {
        unique_bstr value;
        Check((object->*get)(value.put()), std::string("get ") + name);
        out += str(boost::format("%-10s %-25s %s\n") % label % name %
                   Quoted(std::u16string_view(value.get(), SysStringLen(value.get()))));
        label = "";
    }
    return out;
}

std::string Tables(IGlyphary* object, const SettingsFile& settings) {
    struct Mode {
        std::set<std::u16string> ids, codes;
        std::string files;
    };
    std::map<int, Mode> modes;
    for (const CodeMapEntry& map : settings.maps) {
        Mode& mode = modes[map.mode];
        const bool loaded = ReadCodeMapKeys(map.path, mode.ids, mode.codes);
        if (!mode.files.empty()) mode.files += ", ";
        mode.files += map.path.filename().string() + (loaded ? "" : " (missing or ill-formed)");
    }
    if (modes.empty()) return "Tables     none: Glyphary.setting names no map file\n";
    std::string out = "Tables     mode  carrier    ids    codes  Globalize finds  file\n";
    for (const auto& [number, mode] : modes)
        out += str(boost::format("           %-4d  %-9s  %5d  %5d  %15d  %s\n") % number %
                   CarrierName(number) % mode.ids.size() % mode.codes.size() %
                   CodesGlobalizeFinds(object, static_cast<EMapMode>(number)) % mode.files);
    return out;
}

std::string Rules(const SettingsFile& settings) {
    if (settings.rules.empty()) return "Rules      none: every User-Agent gets the id 0\n";
    std::string out = "Rules      #    id  carrier    pattern\n";
    for (size_t i = 0; i < settings.rules.size(); ++i)
        out += str(boost::format("           %-3d  %2d  %-9s  %s\n") % i % settings.rules[i].id %
                   CarrierName(settings.rules[i].id) % Utf8ForDisplay(settings.rules[i].pattern));
    return out;
}

std::string MailMap(const SettingsFile& settings) {
    if (settings.mailMap.empty()) return "Mail map   none: mail passes through unchanged\n";
    const MailMapSize size = ReadMailMapSize(settings.mailMap);
    return "Mail map   " + settings.mailMap.string() + ": " +
           (size.loaded ? std::to_string(size.codes) + " codes" : "missing or ill-formed") + "\n";
}

// Where the platform keeps the registry, for the message only: $GLYPHARY_REGISTRY, else
// $XDG_DATA_HOME/glyphary/registry, else ~/.local/share/glyphary/registry.
std::string RegistryLocation() {
    if (const char* file = std::getenv("GLYPHARY_REGISTRY"); file && *file)
        return std::string(" in ") + file;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/')
        return std::string(" in ") + data + "/glyphary/registry";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::string(" in ") + home + "/.local/share/glyphary/registry";
    return {};
}

// Runs `call` (the module's DllRegisterServer or DllUnregisterServer) as one change of the
// registry: what it writes lands at once when it succeeds, and nothing of it when it fails,
// so that no process ever sees half a registration. The module still makes its separate
// calls; the platform holds them back until the commit.
void AsOneChange(const std::string& verb, Module& module, void (Module::*call)()) {
    if (platform::BeginRegistryTransaction() != ERROR_SUCCESS)
        throw ToolError("cannot " + verb + ": " + platform::RegistryFailure());
    try {
        (module.*call)();
    } catch (const ComError& e) {
        const std::string why = platform::RegistryFailure();
        platform::AbortRegistryTransaction();
        throw ToolError(e.what() + (why.empty() ? "" : ": " + why) + "; nothing was changed");
    } catch (...) {
        platform::AbortRegistryTransaction();
        throw;
    }
    if (platform::CommitRegistryTransaction() != ERROR_SUCCESS)
        throw ToolError("cannot " + verb + ": " + platform::RegistryFailure() +
                        "; nothing was changed");
}

}  // namespace

int RunInfo(Session& session, const Arguments& args) {
    if (!args.Operands().empty()) throw UsageError("info takes no operands");
    Module& module = session.module();
    const std::filesystem::path settingsPath = module.SettingsPath();
    const SettingsFile settings = ReadSettings(settingsPath);

    std::string out = "Module     " + module.path().string() + " (" + module.origin() + ")\n";
    // The program reads the file itself; the module may not have been able to.
    const std::string tooLong = client::SettingsPathTooLong(module.path());
    out += "Settings   " + settingsPath.string() +
           (!tooLong.empty()  ? " (not read: " + tooLong + ")"
            : settings.loaded ? ""
                              : " (" + settings.problem + ": the module runs with empty tables)") +
           "\n";
    const com_ptr<IGlyphary> object = module.Create();
    out += Defaults(object.get());
    out += Tables(object.get(), settings);
    out += MailMap(settings);
    out += Rules(settings);
    out += DescribeInterface(object.get());
    WriteAll(STDOUT_FILENO, out, "standard output");
    return 0;
}

int RunRegister(Session& session, const Arguments& args) {
    if (!args.Operands().empty()) throw UsageError("register takes no operands");
    Module& module = session.module();
    AsOneChange("register", module, &Module::Register);
    WriteAll(STDOUT_FILENO,
             "registered " + module.path().string() + " as \"Glyphary\" " + kClsidText +
                 RegistryLocation() + "\n",
             "standard output");
    return 0;
}

int RunUnregister(Session& session, const Arguments& args) {
    if (!args.Operands().empty()) throw UsageError("unregister takes no operands");
    Module& module = session.module();
    AsOneChange("unregister", module, &Module::Unregister);
    WriteAll(STDOUT_FILENO,
             "unregistered \"Glyphary\" " + std::string(kClsidText) + RegistryLocation() + "\n",
             "standard output");
    return 0;
}

}  // namespace glyphary::tool
