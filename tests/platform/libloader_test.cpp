#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <thread>

#include "platform/scratch.h"
#include "platform/win.h"
#include "testmodule/test_module.h"

namespace {

using glyphary::testing::ReadLines;
using glyphary::testing::TempDir;
using glyphary::testing::U16;
using glyphary::testing::WriteFile;
using Lines = std::vector<std::string>;

const std::string kModule = GLYPHARY_TEST_MODULE;

// Every test gets its own trace file and starts with the module unloaded.
class Loader : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(IsLoaded()) << "a previous test left the module loaded";
        setenv(glyphary::test::kTraceVariable, trace.c_str(), 1);
        unsetenv(glyphary::test::kFailAttachVariable);
    }
    void TearDown() override {
        unsetenv(glyphary::test::kTraceVariable);
        unsetenv(glyphary::test::kFailAttachVariable);
    }

    static HMODULE Load(const std::string& path = kModule) {
        return LoadLibraryW(U16(path).c_str());
    }
    // Whether the dynamic linker still has the module, however it got there.
    static bool IsLoaded() {
        void* dl = dlopen(kModule.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (dl) dlclose(dl);
        return dl != nullptr;
    }
    Lines Trace() const { return ReadLines(trace); }

    TempDir dir;
    std::string trace = dir.file("trace");
};

TEST_F(Loader, StaticsAreBuiltBeforeAttachAndDestroyedAfterDetach) {
    HMODULE h = Load();
    ASSERT_NE(h, nullptr) << GetLastError();
    EXPECT_TRUE(IsLoaded());
    EXPECT_EQ(Trace(), (Lines{"construct", "attach " + kModule}));
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_EQ(Trace(), (Lines{"construct", "attach " + kModule, "detach", "destroy"}));
    EXPECT_FALSE(IsLoaded());
}

TEST_F(Loader, RefusedAttachDetachesUnloadsAndFails) {
    setenv(glyphary::test::kFailAttachVariable, "1", 1);
    SetLastError(0);
    EXPECT_EQ(Load(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
    EXPECT_EQ(Trace(), (Lines{"construct", "attach " + kModule, "detach", "destroy"}));
    EXPECT_FALSE(IsLoaded());
}

TEST_F(Loader, LoadingAgainAfterFreeRunsStartUpAgain) {
    for (int i = 0; i < 2; ++i) {
        HMODULE h = Load();
        ASSERT_NE(h, nullptr);
        EXPECT_TRUE(FreeLibrary(h));
    }
    const Lines once{"construct", "attach " + kModule, "detach", "destroy"};
    Lines twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(Trace(), twice);
}

TEST_F(Loader, LoadsAreCountedAndOnlyTheLastFreeUnloads) {
    HMODULE a = Load();
    HMODULE b = Load();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(Trace().size(), 2u);  // one construct, one attach
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_TRUE(IsLoaded());
    EXPECT_EQ(Trace().size(), 2u);
    EXPECT_TRUE(FreeLibrary(b));
    EXPECT_FALSE(IsLoaded());
    EXPECT_EQ(Trace().size(), 4u);

    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(a));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(Loader, ModuleFileNameIsFullAndTruncatesAsWindowsDoes) {
    // Loaded under a relative, unfolded name; the module's name is the full path.
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const std::string dirName = std::filesystem::path(kModule).parent_path().string();
    const std::string base = std::filesystem::path(kModule).filename().string();
    ASSERT_EQ(chdir(dirName.c_str()), 0);
    HMODULE h = Load("./../" + std::filesystem::path(dirName).filename().string() + "/./" + base);
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_NE(h, nullptr);

    const std::u16string full = U16(kModule);
    const DWORD n = static_cast<DWORD>(full.size());
    struct Case {
        DWORD size;
        DWORD result;
        std::u16string text;
        DWORD error;
    } cases[] = {
        {MAX_PATH, n, full, 0},
        {n + 1, n, full, 0},
        {n, n, full.substr(0, n - 1), ERROR_INSUFFICIENT_BUFFER},
        {1, 1, u"", ERROR_INSUFFICIENT_BUFFER},
    };
    for (const Case& c : cases) {
        std::u16string buffer(MAX_PATH, u'#');
        SetLastError(0);
        EXPECT_EQ(GetModuleFileNameW(h, buffer.data(), c.size), c.result) << c.size;
        EXPECT_EQ(std::u16string(buffer.c_str()), c.text) << c.size;
        EXPECT_EQ(GetLastError(), c.error) << c.size;
    }
    WCHAR untouched = u'#';
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(h, &untouched, 0), 0u);
    EXPECT_EQ(untouched, u'#');
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(FreeLibrary(h));

    WCHAR gone[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameW(h, gone, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(Loader, NullModuleIsTheProgram) {
    WCHAR path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    char exe[PATH_MAX];
    const ssize_t len = readlink("/proc/self/exe", exe, sizeof exe);
    ASSERT_GT(len, 0);
    EXPECT_EQ(std::u16string(path, n), U16(std::string(exe, static_cast<size_t>(len))));
}

TEST_F(Loader, LongPathPrefixLoadsTheFileAfterItAndStaysInTheName) {
    const std::string prefixed = "\\\\?\\" + kModule;
    HMODULE h = Load(prefixed);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Trace(), (Lines{"construct", "attach " + prefixed}));
    EXPECT_TRUE(FreeLibrary(h));
}

TEST_F(Loader, ProcAddressFindsOnlyTheModulesOwnExports) {
    HMODULE h = Load();
    ASSERT_NE(h, nullptr);
    EXPECT_NE(GetProcAddress(h, "DllGetClassObject"), nullptr);
    EXPECT_NE(GetProcAddress(h, "DllCanUnloadNow"), nullptr);
    for (const char* name : {"NoSuchFunction", "malloc", "GetModuleFileNameW", "Trace"}) {
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(h, name), nullptr) << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND)) << name;
    }
    EXPECT_EQ(GetProcAddress(h, reinterpret_cast<LPCSTR>(1)), nullptr);  // an ordinal
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_EQ(GetProcAddress(h, "DllGetClassObject"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(Loader, FilesThatAreNotModulesFailWithWindowsCodes) {
    WriteFile(dir.file("text.so"), "not an ELF file");
    struct Case {
        std::string path;
        DWORD error;
    } cases[] = {
        {dir.file("absent.so"), ERROR_MOD_NOT_FOUND},
        {"", ERROR_MOD_NOT_FOUND},
        {dir.file("text.so"), ERROR_BAD_EXE_FORMAT},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(Load(c.path), nullptr) << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
    const char16_t loneSurrogate[] = {u'/', 0xD800, u'x', 0};
    EXPECT_EQ(LoadLibraryW(loneSurrogate), nullptr);
    EXPECT_EQ(LoadLibraryW(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Loader, ConcurrentLoadsAndFreesAttachAndDetachInPairs) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 25; ++i) {
                HMODULE h = Load();
                ASSERT_NE(h, nullptr);
                WCHAR path[MAX_PATH];
                EXPECT_EQ(GetModuleFileNameW(h, path, MAX_PATH), U16(kModule).size());
                EXPECT_TRUE(FreeLibrary(h));
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_FALSE(IsLoaded());
    // Start-up and shutdown never interleave: the trace is whole cycles.
    const Lines lines = Trace();
    ASSERT_FALSE(lines.empty());
    ASSERT_EQ(lines.size() % 4, 0u);
    for (size_t i = 0; i < lines.size(); i += 4) {
        EXPECT_EQ(Lines(lines.begin() + i, lines.begin() + i + 4),
                  (Lines{"construct", "attach " + kModule, "detach", "destroy"}));
    }
}

}  // namespace
