#include <gtest/gtest.h>

#include <random>

#include "platform/registry_file.h"

namespace {

namespace reg = glyphary::platform::registry;

reg::Key Sample() {
    reg::Key root;
    root.values.push_back({u"", 1, std::string("r\0", 2)});
    reg::Key& clsid = root.AddSubkey(u"CLSID");
    reg::Key& cls = clsid.AddSubkey(u"{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}");
    cls.values.push_back({u"", 1, std::string("G\0l\0", 4)});
    reg::Key& server = cls.AddSubkey(u"InProcServer32");
    server.values.push_back({u"ThreadingModel", 1, std::string("A\0", 2)});
    server.values.push_back({u"Blob \"\\\u3042", 3, std::string("\x00\xff", 2)});
    root.AddSubkey(u"Glyphary").AddSubkey(u"CLSID");
    return root;
}

TEST(RegistryFile, SerializedTreesParseBackToTheSameText) {
    const std::string text = reg::Serialize(Sample());
    const auto parsed = reg::Parse(text);
    ASSERT_TRUE(parsed.has_value()) << text;
    EXPECT_EQ(reg::Serialize(*parsed), text);
    EXPECT_NE(text.find("key \"CLSID\" \"{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}\"\n"
                        "value \"\" sz \"Gl\"\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("value \"Blob \\\"\\\\\\u3042\" binary hex:00,ff\n"), std::string::npos)
        << text;
}

TEST(RegistryFile, EveryTruncationOfAFileIsRefused) {
    const std::string text = reg::Serialize(Sample());
    for (size_t n = 0; n < text.size(); ++n) {
        // A cut right after a comment line still lacks "end".
        EXPECT_FALSE(reg::Parse(text.substr(0, n)).has_value()) << n;
    }
}

TEST(RegistryFile, RandomDamageNeverCrashes) {
    const std::string text = reg::Serialize(Sample());
    std::mt19937 random(7);
    int accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string damaged = text;
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            damaged[random() % damaged.size()] = static_cast<char>(random() % 256);
        }
        if (auto parsed = reg::Parse(damaged)) {
            ++accepted;
            // Whatever is accepted is a tree that writes out and reads back the same.
            const std::string again = reg::Serialize(*parsed);
            EXPECT_EQ(reg::Serialize(*reg::Parse(again)), again);
        }
    }
    EXPECT_LT(accepted, 20000);
}

TEST(RegistryFile, LimitsHoldAgainstHostileFiles) {
    std::string deep = "glyphary-registry 1\n", path;
    for (size_t i = 0; i < reg::kMaxDepth + 1; ++i) {
        path += " \"k\"";
        deep += "key" + path + "\n";
    }
    EXPECT_FALSE(reg::Parse(deep + "end\n").has_value());
    const std::string longName =
        "glyphary-registry 1\nkey \"" + std::string(256, 'n') + "\"\nend\n";
    EXPECT_FALSE(reg::Parse(longName).has_value());
    EXPECT_TRUE(reg::Parse("glyphary-registry 1\n# comment\n\nend\n# after\n").has_value());
    EXPECT_FALSE(reg::Parse("glyphary-registry 1\nend\nend\n").has_value());
    EXPECT_FALSE(
        reg::Parse("glyphary-registry 1\nvalue \"a\" sz \"x\"\nvalue \"A\" sz \"y\"\nend\n")
            .has_value());
    EXPECT_FALSE(reg::Parse("glyphary-registry 1\nkey\nend\n").has_value());
    EXPECT_FALSE(reg::Parse("glyphary-registry 1\nkey \"a\\\\b\"\nend\n").has_value());
    EXPECT_FALSE(reg::Parse("glyphary-registry 1\nvalue \"\" 99999999999 hex:\nend\n").has_value());
}

}  // namespace
