// The module's type library against its source, glyphary.idl: the IDL's IGlyphary block,
// EMapMode and the class are read here (a minimal reading of that one file) and every member
// is compared with what the type information answers, so the two cannot drift apart. The
// whole description is also compared with the canonical dump kept beside this test, which the
// Windows build compares with the dump of the library compiled from the same IDL.
#include <algorithm>
#include <boost/regex.hpp>
#include <fstream>
#include <sstream>

#include "com/module_support.h"
#include "typeinfo-dump/dump.h"

namespace glyphary::testing {
namespace {

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct IdlParam {
    std::string name;  // empty: unnamed
    USHORT flags = 0;
    std::string type;  // in the dump's notation: BSTR, I4, ptr(EMapMode), ...
};

struct IdlMember {
    std::string name;
    INVOKEKIND kind;
    std::vector<IdlParam> params;
};

std::string Trim(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t");
    const size_t last = s.find_last_not_of(" \t");
    return first == std::string::npos ? "" : s.substr(first, last - first + 1);
}

// "[out, retval] EMapMode* p" and the like.
IdlParam ParseParam(const std::string& text) {
    static const boost::regex shape(R"(\s*\[([^\]]*)\]\s*(\w+)\s*(\**)\s*(\w*)\s*)");
    boost::smatch m;
    if (!boost::regex_match(text, m, shape)) ADD_FAILURE() << "cannot read parameter: " << text;
    IdlParam param;
    std::stringstream attributes(m[1].str());
    for (std::string attribute; std::getline(attributes, attribute, ',');) {
        attribute = Trim(attribute);
        if (attribute == "in")
            param.flags |= PARAMFLAG_FIN;
        else if (attribute == "out")
            param.flags |= PARAMFLAG_FOUT;
        else if (attribute == "retval")
            param.flags |= PARAMFLAG_FRETVAL;
        else
            ADD_FAILURE() << "unknown attribute " << attribute;
    }
    std::string type = m[2].str() == "long" ? "I4" : m[2].str();
    for (auto i = m[3].length(); i > 0; --i) type = "ptr(" + type + ")";
    param.type = type;
    param.name = m[4].str();
    return param;
}

std::vector<IdlMember> ReadIGlyphary(const std::string& idl) {
    const size_t start = idl.find("interface IGlyphary : IDispatch");
    const size_t end = idl.find("};", start);
    EXPECT_NE(std::string::npos, start);
    std::stringstream block(idl.substr(start, end - start));
    static const boost::regex member(
        R"(\s*(?:\[(propput|propget)\]\s*)?HRESULT\s+(\w+)\((.*)\);\s*)");
    std::vector<IdlMember> members;
    for (std::string line; std::getline(block, line);) {
        boost::smatch m;
        if (!boost::regex_match(line, m, member)) continue;
        IdlMember current{m[2].str(),
                          m[1] == "propput"   ? INVOKE_PROPERTYPUT
                          : m[1] == "propget" ? INVOKE_PROPERTYGET
                                              : INVOKE_FUNC,
                          {}};
        std::stringstream params(m[3].str());
        for (std::string param; std::getline(params, param, ',');) {
            // "[out, retval]" holds a comma: join until the brackets close.
            while (std::count(param.begin(), param.end(), '[') >
                   std::count(param.begin(), param.end(), ']')) {
                std::string more;
                if (!std::getline(params, more, ',')) break;
                param += "," + more;
            }
            current.params.push_back(ParseParam(param));
        }
        members.push_back(std::move(current));
    }
    return members;
}

std::string TypeText(ITypeInfo* info, const TYPEDESC& td) {
    if (td.vt == VT_PTR) return "ptr(" + TypeText(info, *td.lptdesc) + ")";
    if (td.vt == VT_BSTR) return "BSTR";
    if (td.vt == VT_I4) return "I4";
    if (td.vt != VT_USERDEFINED) return "vt" + std::to_string(td.vt);
    com_ptr<ITypeInfo> ref;
    EXPECT_EQ(S_OK, info->GetRefTypeInfo(td.hreftype, ref.put()));
    unique_bstr name;
    EXPECT_EQ(S_OK, ref->GetDocumentation(-1, name.put(), nullptr, nullptr, nullptr));
    return Narrow(name.get());
}

class TypeLibContract : public ComInitialized {
  protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, LoadTypeLib(Utf16(kModulePath).c_str(), lib.put()));
        ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(IID_IGlyphary, info.put()));
        idl = ReadText(GLYPHARY_IDL_PATH);
        ASSERT_FALSE(idl.empty());
    }
    com_ptr<ITypeLib> lib;
    com_ptr<ITypeInfo> info;
    std::string idl;
};

TEST_F(TypeLibContract, IGlypharyFollowsTheIdlMemberForMember) {
    const std::vector<IdlMember> members = ReadIGlyphary(idl);
    ASSERT_EQ(14u, members.size());
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    ASSERT_EQ(members.size(), attr->cFuncs);
    EXPECT_EQ((7 + members.size()) * sizeof(void*), attr->cbSizeVft);
    info->ReleaseTypeAttr(attr);

    // The compiler's numbering: 0x60020000 plus the member's running index, except that a
    // property's get keeps the id of the put before it.
    MEMBERID memid = 0;
    for (size_t i = 0; i < members.size(); ++i) {
        const IdlMember& member = members[i];
        const bool sharesId = i > 0 && member.kind == INVOKE_PROPERTYGET &&
                              members[i - 1].kind == INVOKE_PROPERTYPUT &&
                              members[i - 1].name == member.name;
        if (!sharesId) memid = 0x60020000 + static_cast<MEMBERID>(i);
        SCOPED_TRACE(member.name);

        FUNCDESC* fd = nullptr;
        ASSERT_EQ(S_OK, info->GetFuncDesc(static_cast<UINT>(i), &fd));
        EXPECT_EQ(memid, fd->memid);
        EXPECT_EQ(member.kind, fd->invkind);
        EXPECT_EQ(static_cast<SHORT>((7 + i) * sizeof(void*)), fd->oVft);
        EXPECT_EQ(FUNC_PUREVIRTUAL, fd->funckind);
        EXPECT_EQ(CC_STDCALL, fd->callconv);
        EXPECT_EQ(0, fd->wFuncFlags);
        EXPECT_EQ(0, fd->cParamsOpt);
        EXPECT_EQ(VT_HRESULT, fd->elemdescFunc.tdesc.vt);
        ASSERT_EQ(member.params.size(), static_cast<size_t>(fd->cParams));
        unique_bstr name;
        ASSERT_EQ(S_OK, info->GetDocumentation(memid, name.put(), nullptr, nullptr, nullptr));
        EXPECT_EQ(member.name, Narrow(name.get()));
        for (size_t p = 0; p < member.params.size(); ++p) {
            const IdlParam& param = member.params[p];
            EXPECT_EQ(param.flags, fd->lprgelemdescParam[p].paramdesc.wParamFlags) << p;
            EXPECT_EQ(param.type, TypeText(info.get(), fd->lprgelemdescParam[p].tdesc)) << p;
            if (param.name.empty()) continue;
            // Parameter names, through the lookup that late-binding callers use.
            const std::u16string memberName = Utf16(member.name), paramName = Utf16(param.name);
            LPOLESTR names[] = {const_cast<LPOLESTR>(memberName.c_str()),
                                const_cast<LPOLESTR>(paramName.c_str())};
            MEMBERID ids[2] = {};
            EXPECT_EQ(S_OK, info->GetIDsOfNames(names, 2, ids)) << param.name;
            EXPECT_EQ(static_cast<MEMBERID>(p), ids[1]) << param.name;
        }
        info->ReleaseFuncDesc(fd);
    }
}

TEST_F(TypeLibContract, EnumerationAndClassFollowTheIdl) {
    // typedef [uuid(...)] enum { MPM_x = n, ... } EMapMode;
    const boost::regex enumerator(R"((MPM_\w+)\s*=\s*(\d+))");
    std::vector<std::pair<std::string, LONG>> expected;
    for (auto it = boost::sregex_iterator(idl.begin(), idl.end(), enumerator);
         it != boost::sregex_iterator(); ++it)
        expected.emplace_back((*it)[1].str(), std::stol((*it)[2].str()));
    ASSERT_EQ(4u, expected.size());

    com_ptr<ITypeInfo> alias, enumeration, coclass;
    ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(GUID_EMapMode, alias.put()));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, alias->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_ALIAS, attr->typekind);
    ASSERT_EQ(VT_USERDEFINED, attr->tdescAlias.vt);
    ASSERT_EQ(S_OK, alias->GetRefTypeInfo(attr->tdescAlias.hreftype, enumeration.put()));
    alias->ReleaseTypeAttr(attr);
    for (size_t i = 0; i < expected.size(); ++i) {
        VARDESC* vd = nullptr;
        ASSERT_EQ(S_OK, enumeration->GetVarDesc(static_cast<UINT>(i), &vd));
        unique_bstr name;
        EXPECT_EQ(S_OK,
                  enumeration->GetDocumentation(vd->memid, name.put(), nullptr, nullptr, nullptr));
        EXPECT_EQ(expected[i].first, Narrow(name.get()));
        EXPECT_EQ(expected[i].second, vd->lpvarValue->lVal);
        enumeration->ReleaseVarDesc(vd);
    }

    EXPECT_NE(std::string::npos, idl.find("uuid(D4218C2F-C1AA-4ADA-9953-6A66FECDBD2A)"));
    EXPECT_NE(std::string::npos, idl.find("[default] interface IGlyphary;"));
    ASSERT_EQ(S_OK, lib->GetTypeInfoOfGuid(CLSID_Glyphary, coclass.put()));
    ASSERT_EQ(S_OK, coclass->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_COCLASS, attr->typekind);
    EXPECT_EQ(TYPEFLAG_FCANCREATE, attr->wTypeFlags);
    coclass->ReleaseTypeAttr(attr);
    INT flags = 0;
    EXPECT_EQ(S_OK, coclass->GetImplTypeFlags(0, &flags));
    EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, flags);
}

TEST_F(TypeLibContract, WholeLibraryMatchesTheCanonicalDump) {
    const std::string expected = ReadText(GLYPHARY_TYPELIB_DUMP_PATH);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(expected, DumpTypeLib(lib.get()));
}

}  // namespace
}  // namespace glyphary::testing
