#include <string>

#include <gtest/gtest.h>

#include "platform/win.h"

namespace {

std::u16string RemoveFileSpec(std::u16string path, BOOL expected) {
    path.push_back(0);
    EXPECT_EQ(PathRemoveFileSpecW(path.data()), expected) << std::string(path.begin(), path.end());
    return std::u16string(path.c_str());
}

TEST(PathRemoveFileSpec, DropsTheLastComponent) {
    EXPECT_EQ(RemoveFileSpec(u"/opt/glyphary/Glyphary.setting", TRUE), u"/opt/glyphary");
    EXPECT_EQ(RemoveFileSpec(u"/opt/glyphary/", TRUE), u"/opt/glyphary");
    EXPECT_EQ(RemoveFileSpec(u"/Glyphary.setting", TRUE), u"/");
    EXPECT_EQ(RemoveFileSpec(u"/", FALSE), u"/");
    EXPECT_EQ(RemoveFileSpec(u"Glyphary.setting", TRUE), u"");
    EXPECT_EQ(RemoveFileSpec(u"", FALSE), u"");
    EXPECT_EQ(PathRemoveFileSpecW(nullptr), FALSE);
}

TEST(PathCombine, JoinsAndResolves) {
    struct Case {
        const char16_t* dir;
        const char16_t* file;
        std::u16string_view expected;
    };
    const Case cases[] = {
        {u"/opt/g", u"imode.map", u"/opt/g/imode.map"},
        {u"/opt/g/", u"maps/imode.map", u"/opt/g/maps/imode.map"},
        {u"/opt/g", u"/etc/glyphary/imode.map", u"/etc/glyphary/imode.map"},
        {u"/opt/g", u"", u"/opt/g"},
        {u"/opt/g", nullptr, u"/opt/g"},
        {nullptr, u"imode.map", u"imode.map"},
        {u"/opt/g", u"./maps/../imode.map", u"/opt/g/imode.map"},
        {u"/opt/g", u"../../../imode.map", u"/imode.map"},
        {u"/opt/./g//sub/..", u"x", u"/opt/g/x"},
        {u"rel/dir", u"../x", u"rel/x"},
        {u"rel", u"../../x", u"../x"},
        {u"", u"x", u"x"},
    };
    for (const Case& c : cases) {
        WCHAR out[MAX_PATH];
        ASSERT_EQ(PathCombineW(out, c.dir, c.file), out);
        EXPECT_EQ(std::u16string_view(out), c.expected);
    }
}

TEST(PathCombine, FailsWithoutWritingBeyondTheBuffer) {
    struct Guarded {
        WCHAR buffer[MAX_PATH];
        WCHAR guard[8];
    } out;
    for (WCHAR& g : out.guard) g = u'#';
    const std::u16string dir = u"/" + std::u16string(200, u'd');
    const std::u16string file(100, u'f');
    EXPECT_EQ(PathCombineW(out.buffer, dir.c_str(), file.c_str()), nullptr);
    EXPECT_EQ(out.buffer[0], 0);
    for (WCHAR g : out.guard) EXPECT_EQ(g, u'#');

    // 259 units fit, 260 do not.
    const std::u16string fits = u"/" + std::u16string(258, u'x');
    ASSERT_EQ(PathCombineW(out.buffer, fits.c_str(), nullptr), out.buffer);
    EXPECT_EQ(std::u16string_view(out.buffer), fits);
    const std::u16string tooLong = fits + u"y";
    EXPECT_EQ(PathCombineW(out.buffer, tooLong.c_str(), nullptr), nullptr);
    // Long inputs are fine while the result fits.
    const std::u16string longDir = u"/a/" + std::u16string(400, u'b') + u"/..";
    ASSERT_EQ(PathCombineW(out.buffer, longDir.c_str(), u"c"), out.buffer);
    EXPECT_EQ(std::u16string_view(out.buffer), u"/a/c");
    EXPECT_EQ(PathCombineW(out.buffer, nullptr, nullptr), nullptr);
}

}  // namespace
