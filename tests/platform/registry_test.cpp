#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <random>
#include <set>
#include <thread>

#include <gmock/gmock.h>

#include "platform/registry.h"
#include "platform/registry_file.h"
#include "platform/scratch.h"
#include "platform/win.h"

namespace {

using glyphary::testing::ReadFile;
using glyphary::testing::TempDir;
using glyphary::testing::WriteFile;
using ::testing::StartsWith;

// Each test has a registry file of its own.
class Registry : public ::testing::Test {
  protected:
    void SetUp() override { UseFile(dir.file("registry")); }
    void TearDown() override {
        for (HKEY h : opened) RegCloseKey(h);
        unsetenv("GLYPHARY_REGISTRY");
    }
    void UseFile(const std::string& f) {
        file = f;
        setenv("GLYPHARY_REGISTRY", file.c_str(), 1);
    }
    // Copies the registry to a new file and uses that: what follows reads a fresh parse of
    // what was written, not what this process remembers.
    void Reopen() {
        const std::string copy = dir.file("registry" + std::to_string(++copies));
        WriteFile(copy, ReadFile(file));
        UseFile(copy);
    }

    HKEY Create(const char16_t* path, HKEY parent = HKEY_CLASSES_ROOT,
                REGSAM access = KEY_READ | KEY_WRITE) {
        HKEY h = nullptr;
        EXPECT_EQ(RegCreateKeyExW(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                  nullptr, &h, nullptr),
                  ERROR_SUCCESS);
        opened.push_back(h);
        return h;
    }
    LSTATUS Open(const char16_t* path, HKEY& h, HKEY parent = HKEY_CLASSES_ROOT,
                 REGSAM access = KEY_READ | KEY_WRITE) {
        const LSTATUS st = RegOpenKeyExW(parent, path, 0, access, &h);
        if (st == ERROR_SUCCESS) opened.push_back(h);
        return st;
    }
    static LSTATUS SetString(HKEY h, const char16_t* name, std::u16string_view text) {
        return RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                              static_cast<DWORD>(text.size() * sizeof(char16_t)));
    }
    // The value's type and bytes; the status when it cannot be read.
    static LSTATUS Query(HKEY h, const char16_t* name, DWORD& type, std::string& data) {
        DWORD size = 0;
        if (LSTATUS st = RegQueryValueExW(h, name, nullptr, &type, nullptr, &size)) return st;
        data.assign(size, '\0');
        LSTATUS st =
            RegQueryValueExW(h, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
        EXPECT_EQ(size, data.size());
        return st;
    }
    static std::vector<std::u16string> Subkeys(HKEY h) {
        std::vector<std::u16string> names;
        for (DWORD i = 0;; ++i) {
            WCHAR name[256];
            DWORD n = 256;
            const LSTATUS st = RegEnumKeyExW(h, i, name, &n, nullptr, nullptr, nullptr, nullptr);
            if (st == ERROR_NO_MORE_ITEMS) break;
            EXPECT_EQ(st, ERROR_SUCCESS);
            if (st != ERROR_SUCCESS) break;
            names.emplace_back(name, n);
        }
        return names;
    }
    // The temporary files beside the registry file.
    std::vector<std::string> Temporaries() const {
        std::vector<std::string> names;
        const std::string prefix = std::filesystem::path(file).filename().string() + ".tmp";
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            if (entry.path().filename().string().starts_with(prefix))
                names.push_back(entry.path().filename().string());
        return names;
    }
    bool Exists(const char16_t* path) {
        HKEY h;
        return Open(path, h) == ERROR_SUCCESS;
    }

    TempDir dir;
    std::string file;
    int copies = 0;
    std::vector<HKEY> opened;
};

std::string Bytes(std::u16string_view units) {
    return std::string(reinterpret_cast<const char*>(units.data()), units.size() * 2);
}

TEST_F(Registry, KeyNamesIgnoreCaseAndKeepTheCaseFirstGiven) {
    Create(u"Glyphary\\CLSID");
    DWORD disposition = 0;
    HKEY h;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"GLYPHARY", 0, nullptr, 0, KEY_READ, nullptr, &h,
                              &disposition),
              ERROR_SUCCESS);
    opened.push_back(h);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    HKEY sub;
    EXPECT_EQ(Open(u"gLyPhArY\\clsid", sub), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(HKEY_CLASSES_ROOT), (std::vector<std::u16string>{u"CLSID", u"Glyphary"}));
    EXPECT_EQ(Subkeys(h), std::vector<std::u16string>{u"CLSID"});

    // Value names too; the value keeps its first name, the data is replaced.
    EXPECT_EQ(SetString(sub, u"ThreadingModel", u"Apartment"), ERROR_SUCCESS);
    EXPECT_EQ(SetString(sub, u"THREADINGMODEL", u"Both"), ERROR_SUCCESS);
    Reopen();
    ASSERT_EQ(Open(u"GLYPHARY\\CLSID", sub), ERROR_SUCCESS);
    DWORD type;
    std::string data;
    EXPECT_EQ(Query(sub, u"threadingmodel", type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, Bytes(u"Both"));
    EXPECT_NE(ReadFile(file).find("\"ThreadingModel\""), std::string::npos);

    // Only ASCII letters fold.
    Create(u"\u00E9t\u00E9");
    EXPECT_FALSE(Exists(u"\u00C9T\u00C9"));
    EXPECT_TRUE(Exists(u"\u00E9T\u00E9"));
}

TEST_F(Registry, ValuesKeepTheirTypeAndExactBytes) {
    struct Case {
        const char16_t* name;
        DWORD type;
        std::string data;
    } cases[] = {
        {u"", REG_SZ, Bytes(u"{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}")},
        {u"terminated", REG_SZ, Bytes(std::u16string_view(u"Glyphary", 9))},
        {u"odd", REG_SZ, std::string("abc")},
        {u"quotes", REG_SZ, Bytes(u"say \"\\x\" \u3042 \U0001F600 \n\t")},
        {u"lone", REG_EXPAND_SZ, Bytes(std::u16string_view(u"\xD800z", 2))},
        {u"empty", REG_SZ, std::string()},
        {u"dword", REG_DWORD, std::string("\x01\x00\x00\x80", 4)},
        {u"binary", REG_BINARY, std::string("\x00\xff\n\"\\ ,", 7)},
        {u"odd type", 0x12345678, std::string("x")},
        {u"name with \\ and \"", REG_NONE, std::string()},
    };
    HKEY h = Create(u"Values");
    for (const Case& c : cases) {
        ASSERT_EQ(RegSetValueExW(h, c.name, 0, c.type, reinterpret_cast<const BYTE*>(c.data.data()),
                                 static_cast<DWORD>(c.data.size())),
                  ERROR_SUCCESS);
    }
    Reopen();
    ASSERT_EQ(Open(u"values", h), ERROR_SUCCESS);
    for (const Case& c : cases) {
        DWORD type = 0;
        std::string data;
        EXPECT_EQ(Query(h, c.name, type, data), ERROR_SUCCESS);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(data, c.data);
    }
    // A default value written with a null name reads back with an empty one.
    EXPECT_EQ(SetString(h, nullptr, u"x"), ERROR_SUCCESS);
    DWORD type;
    std::string data;
    EXPECT_EQ(Query(h, u"", type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, Bytes(u"x"));
}

TEST_F(Registry, QueryReportsSizesAsWindowsDoes) {
    HKEY h = Create(u"Q");
    ASSERT_EQ(SetString(h, u"v", u"Apartment"), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(h, u"v", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 18u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    BYTE small[10] = {};
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(h, u"v", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 18u);
    EXPECT_EQ(RegQueryValueExW(h, u"v", nullptr, nullptr, small, nullptr), ERROR_INVALID_PARAMETER);

    EXPECT_EQ(RegQueryValueExW(h, u"absent", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(h, u"", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegSetValueExW(h, u"v", 0, REG_SZ, nullptr, 4), ERROR_NOACCESS);
}

TEST_F(Registry, OnlyKeysWithoutSubkeysCanBeDeleted) {
    Create(u"A\\B\\C");
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"A\\B"), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Exists(u"A\\B\\C"));
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"a\\b\\c"), ERROR_SUCCESS);
    EXPECT_FALSE(Exists(u"A\\B\\C"));
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"A\\B\\C"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"X\\Y"), ERROR_FILE_NOT_FOUND);
    HKEY a;
    ASSERT_EQ(Open(u"A", a), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(a, u"B"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(a, u""), ERROR_SUCCESS);  // the key itself
    EXPECT_FALSE(Exists(u"A"));
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, nullptr), ERROR_INVALID_PARAMETER);
    Reopen();
    EXPECT_EQ(Subkeys(HKEY_CLASSES_ROOT), std::vector<std::u16string>{u"CLSID"});
}

TEST_F(Registry, HandlesToDeletedKeysAnswerKeyDeleted) {
    HKEY leaf = Create(u"Parent\\Leaf");
    ASSERT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Parent\\Leaf"), ERROR_SUCCESS);
    // Even once a key of the same name exists again, the handle's key is gone.
    Create(u"Parent\\Leaf");
    for (int round = 0; round < 2; ++round) {
        DWORD size = 0;
        WCHAR name[8];
        DWORD n = 8;
        HKEY sub;
        EXPECT_EQ(SetString(leaf, u"v", u"x"), ERROR_KEY_DELETED);
        EXPECT_EQ(RegQueryValueExW(leaf, u"v", nullptr, nullptr, nullptr, &size),
                  ERROR_KEY_DELETED);
        EXPECT_EQ(RegEnumKeyExW(leaf, 0, name, &n, nullptr, nullptr, nullptr, nullptr),
                  ERROR_KEY_DELETED);
        EXPECT_EQ(RegCreateKeyExW(leaf, u"sub", 0, nullptr, 0, KEY_WRITE, nullptr, &sub, nullptr),
                  ERROR_KEY_DELETED);
        EXPECT_EQ(RegOpenKeyExW(leaf, u"", 0, KEY_READ, &sub), ERROR_KEY_DELETED);
        // Deleted by another process: the path is gone from the file.
        HKEY other = Create(u"Other");
        WriteFile(file, "glyphary-registry 1\nkey \"Parent\"\nend\n");
        leaf = other;
    }
}

// Servers register under HKEY_CLASSES_ROOT\CLSID by opening it, as it exists in every Windows
// registry; a new registry must have it too, or registration fails on a fresh machine.
TEST_F(Registry, ANewRegistryHoldsTheClassIdKey) {
    HKEY h;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"CLSID", 0, KEY_READ | KEY_WRITE, &h),
              ERROR_SUCCESS);
    EXPECT_TRUE(Subkeys(h).empty());
    RegCloseKey(h);
    EXPECT_EQ(Subkeys(HKEY_CLASSES_ROOT), std::vector<std::u16string>{u"CLSID"});
}

TEST_F(Registry, SubkeysEnumerateInNameOrderIgnoringCase) {
    for (const char16_t* name : {u"b", u"C", u"a", u"{0}", u"B2"}) Create(name);
    EXPECT_EQ(Subkeys(HKEY_CLASSES_ROOT),
              (std::vector<std::u16string>{u"a", u"b", u"B2", u"C", u"CLSID", u"{0}"}));
    WCHAR name[2];
    DWORD n = 2;
    EXPECT_EQ(RegEnumKeyExW(HKEY_CLASSES_ROOT, 3, name, &n, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"C");
    EXPECT_EQ(n, 1u);
    n = 2;
    EXPECT_EQ(RegEnumKeyExW(HKEY_CLASSES_ROOT, 2, name, &n, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    n = 2;
    EXPECT_EQ(RegEnumKeyExW(HKEY_CLASSES_ROOT, 6, name, &n, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
}

TEST_F(Registry, BadPathsHandlesAndOptionsAreRefused) {
    HKEY h;
    const std::u16string tooLong(256, u'k');
    struct Case {
        std::u16string path;
        LSTATUS status;
    } cases[] = {
        {u"\\Lead", ERROR_BAD_PATHNAME},
        {u"a\\\\b", ERROR_BAD_PATHNAME},
        {tooLong, ERROR_INVALID_PARAMETER},
        {u"trailing\\", ERROR_SUCCESS},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, c.path.c_str(), 0, nullptr, 0, KEY_WRITE,
                                  nullptr, &h, nullptr),
                  c.status);
        if (c.status == ERROR_SUCCESS) {
            EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
        }
    }
    EXPECT_TRUE(Exists(u"trailing"));
    EXPECT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"v", 0, nullptr, REG_OPTION_VOLATILE, KEY_WRITE,
                              nullptr, &h, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"absent", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(h, nullptr);

    HKEY bogus = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1230));
    EXPECT_EQ(RegOpenKeyExW(bogus, u"x", 0, KEY_READ, &h), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetString(bogus, u"x", u"y"), ERROR_INVALID_HANDLE);
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"trailing", 0, KEY_READ, &h), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_CLASSES_ROOT), ERROR_SUCCESS);
}

TEST_F(Registry, HandlesCarryTheirAccessRights) {
    // Registration creates keys asking only to set values, and creates subkeys through them.
    HKEY setOnly = Create(u"Glyphary", HKEY_CLASSES_ROOT, KEY_SET_VALUE);
    HKEY sub = Create(u"CLSID", setOnly, KEY_SET_VALUE);
    EXPECT_EQ(SetString(sub, u"", u"x"), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(sub, u"", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
    WCHAR name[8];
    DWORD n = 8;
    EXPECT_EQ(RegEnumKeyExW(setOnly, 0, name, &n, nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
    HKEY readOnly;
    ASSERT_EQ(Open(u"Glyphary\\CLSID", readOnly, HKEY_CLASSES_ROOT, KEY_READ), ERROR_SUCCESS);
    EXPECT_EQ(SetString(readOnly, u"", u"y"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegQueryValueExW(readOnly, u"", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
}

TEST_F(Registry, FileLivesUnderXdgDataHomeUnlessOverridden) {
    unsetenv("GLYPHARY_REGISTRY");
    const char* oldXdg = getenv("XDG_DATA_HOME");
    const std::string savedXdg = oldXdg ? oldXdg : "";
    const std::string savedHome = getenv("HOME") ? getenv("HOME") : "";

    setenv("XDG_DATA_HOME", dir.file("data").c_str(), 1);
    Create(u"InXdg");
    EXPECT_NE(ReadFile(dir.file("data/glyphary/registry")).find("\"InXdg\""), std::string::npos);

    unsetenv("XDG_DATA_HOME");
    setenv("HOME", dir.file("home").c_str(), 1);
    Create(u"InHome");
    EXPECT_NE(ReadFile(dir.file("home/.local/share/glyphary/registry")).find("\"InHome\""),
              std::string::npos);

    setenv("HOME", savedHome.c_str(), 1);
    if (oldXdg) setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
}

TEST_F(Registry, DamagedFilesAreErrorsThatSayWhereAndAreNotOverwritten) {
    const struct {
        std::string text;
        const char* why;
    } damaged[] = {
        {"garbage", "line 1: the last line is cut short"},
        {"garbage\n", "line 1: not a registry file"},
        {"", "line 1: not a registry file"},
        {"glyphary-registry 1\nkey \"A\"\n", "line 3: the closing \"end\" line is missing"},
        {"glyphary-registry 1\nkey \"A\"\nend", "line 3: the last line is cut short"},
        {"glyphary-registry 1\nkey \"A\" \"B\"\nend\n",
         "line 2: a key whose parent key is not listed before it"},
        {"glyphary-registry 1\n# a\nkey \"A\"\nkey \"a\"\nend\n", "line 4: a key listed twice"},
        {"glyphary-registry 1\nvalue \"\" sz \"\\q\"\nend\n", "line 2: a value line"},
        {"glyphary-registry 1\nvalue \"\" sz hex:0\nend\n", "line 2: a value line"},
        {"glyphary-registry 2\nend\n", "line 1: not a registry file"},
        {"glyphary-registry 1\nend\nkey \"A\"\n", "line 3: text after the closing"},
        {"glyphary-registry 1\nkeys\nend\n", "line 2: a key line that is not well-formed"},
        {"glyphary-registry 1\nvalues\nend\n", "line 2: a value line"},
        {"glyphary-registry 1\nbegin\nend\n", "line 2: a line that is neither"},
        {std::string("glyphary-registry 1\nkey \"A\0\"\nend\n", 34), "line 2: a key line"},
    };
    for (const auto& [text, why] : damaged) {
        WriteFile(file, text);
        HKEY h;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"A", 0, KEY_READ, &h), ERROR_BADDB) << text;
        EXPECT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"B", 0, nullptr, 0, KEY_WRITE, nullptr, &h,
                                  nullptr),
                  ERROR_BADDB);
        EXPECT_THAT(glyphary::platform::RegistryFailure(),
                    StartsWith("the registry " + file + " is damaged at " + why))
            << text;
        EXPECT_EQ(ReadFile(file), text);
    }
}

// Children that each add keys: without the file lock, one's write would lose the other's.
TEST_F(Registry, WritersInDifferentProcessesLoseNothing) {
    constexpr int kChildren = 3, kKeys = 40;
    std::vector<pid_t> children;
    for (int c = 0; c < kChildren; ++c) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int k = 0; k < kKeys; ++k) {
                const std::string name = std::string("P")
                                             .append(std::to_string(c))
                                             .append("\\K")
                                             .append(std::to_string(k));
                const std::u16string path(name.begin(), name.end());
                HKEY h;
                if (RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE,
                                    nullptr, &h, nullptr) != ERROR_SUCCESS ||
                    SetString(h, u"v", path) != ERROR_SUCCESS)
                    _exit(1);
                RegCloseKey(h);
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int c = 0; c < kChildren; ++c) {
        HKEY h;
        const std::string name = std::string("P").append(std::to_string(c));
        ASSERT_EQ(Open(std::u16string(name.begin(), name.end()).c_str(), h), ERROR_SUCCESS);
        EXPECT_EQ(Subkeys(h).size(), static_cast<size_t>(kKeys));
    }
}

// Threads share the process's handle table and its picture of the file.
TEST_F(Registry, ThreadsWorkOnTheirOwnKeysSideBySide) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            const std::u16string name = {u'T', static_cast<char16_t>(u'0' + t)};
            for (int i = 0; i < 10; ++i) {
                HKEY h = nullptr;
                DWORD size = 0;
                WCHAR sub[16];
                DWORD n = 16;
                const bool ok =
                    RegCreateKeyExW(HKEY_CLASSES_ROOT, name.c_str(), 0, nullptr, 0,
                                    KEY_READ | KEY_WRITE, nullptr, &h, nullptr) == ERROR_SUCCESS &&
                    SetString(h, u"v", name) == ERROR_SUCCESS &&
                    RegQueryValueExW(h, u"v", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS &&
                    size == 4 &&
                    RegEnumKeyExW(HKEY_CLASSES_ROOT, 0, sub, &n, nullptr, nullptr, nullptr,
                                  nullptr) == ERROR_SUCCESS &&
                    RegCloseKey(h) == ERROR_SUCCESS &&
                    RegDeleteKeyW(HKEY_CLASSES_ROOT, name.c_str()) == ERROR_SUCCESS;
                if (!ok) ++failures;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(Subkeys(HKEY_CLASSES_ROOT), std::vector<std::u16string>{u"CLSID"});
}

// One registration and unregistration, step by step, as the module does them; the path value
// is long so that a write takes a while.
void RegisterAndUnregister(const std::function<void()>& afterEachStep) {
    const std::u16string path = u"/" + std::u16string(4000, u'p') + u"/glyphary.so";
    HKEY a, b;
    auto create = [](HKEY parent, const char16_t* name) {
        HKEY h = nullptr;
        RegCreateKeyExW(parent, name, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr);
        return h;
    };
    auto set = [](HKEY h, const char16_t* name, std::u16string_view text) {
        RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                       static_cast<DWORD>(text.size() * 2));
    };
    a = create(HKEY_CLASSES_ROOT, u"Glyphary\\CLSID");
    afterEachStep();
    set(a, u"", u"{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}");
    afterEachStep();
    b = create(HKEY_CLASSES_ROOT, u"CLSID\\{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}\\InProcServer32");
    afterEachStep();
    set(b, u"", path);
    afterEachStep();
    set(b, u"ThreadingModel", u"Apartment");
    afterEachStep();
    RegCloseKey(a);
    RegCloseKey(b);
    for (const char16_t* key : {u"Glyphary\\CLSID", u"Glyphary",
                                u"CLSID\\{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}\\InProcServer32",
                                u"CLSID\\{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}"}) {
        RegDeleteKeyW(HKEY_CLASSES_ROOT, key);
        afterEachStep();
    }
}

TEST_F(Registry, KilledWritersLeaveAWholeStateBehind) {
    // Every state between two whole steps, as the file holds it, over two cycles of
    // registration and unregistration (a new registry already holds HKEY_CLASSES_ROOT\CLSID,
    // so every cycle passes through the same nine states).
    std::set<std::string> states{""};  // "": the file does not exist yet
    for (int i = 0; i < 2; ++i) RegisterAndUnregister([&] { states.insert(ReadFile(file)); });
    ASSERT_EQ(states.size(), 10u);

    UseFile(dir.file("crash"));
    std::mt19937 random(20261208);
    int killedMidWay = 0;
    std::set<std::string> seen;
    for (int round = 0; round < 90; ++round) {
        // Each child starts from the empty registry, so the states it can leave are known.
        unlink(file.c_str());
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (;;) RegisterAndUnregister([] {});
        }
        // Short waits land in the first writes, often in the middle of one; long ones anywhere in
        // the first two cycles (each write is synced, so a cycle takes a while).
        const useconds_t longest = round % 2 ? 120000 : 3000;
        usleep(std::uniform_int_distribution<useconds_t>(0, longest)(random));
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        const std::string text = ReadFile(file);
        ASSERT_TRUE(states.count(text)) << "round " << round << ":\n" << text;
        seen.insert(text);
        if (!text.empty()) {
            ASSERT_TRUE(glyphary::platform::registry::Parse(text).has_value());
        }
        killedMidWay += !Temporaries().empty();
    }
    // The lock dies with its holder: this process can still write, and the temporary files of
    // killed writers are gone with the next write.
    HKEY h = Create(u"After");
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(Temporaries(), std::vector<std::string>{});
    RecordProperty("KilledWhileATemporaryFileExisted", killedMidWay);
    RecordProperty("StatesSeen", static_cast<int>(seen.size()));
    EXPECT_GE(seen.size(), 3u);  // the kills did land at different steps
}

// A registry reached through symbolic links is written where they lead, and they stay links;
// a link planted where a temporary file might go is never written through.
TEST_F(Registry, WritesGoWhereTheLinksLeadAndNeverThroughAPlantedOne) {
    namespace fs = std::filesystem;
    fs::create_directories(dir.path() / "real");
    fs::create_symlink("real/registry", dir.path() / "hop");  // not there yet
    fs::create_symlink("hop", dir.path() / "registry");
    WriteFile(dir.file("victim"), "victim\n");
    for (const char* planted :
         {"registry.tmp", "hop.tmp", "real/registry.tmp", "registry.tmp-00000000"})
        fs::create_symlink(dir.path() / "victim", dir.path() / planted);

    Create(u"First");
    Create(u"Second");
    EXPECT_EQ(fs::read_symlink(dir.path() / "registry"), "hop");
    EXPECT_EQ(fs::read_symlink(dir.path() / "hop"), "real/registry");
    EXPECT_EQ(ReadFile(dir.file("victim")), "victim\n");
    const std::string text = ReadFile(dir.file("real/registry"));
    EXPECT_NE(text.find("key \"Second\"\n"), std::string::npos) << text;
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "real/registry.lock"));
    EXPECT_FALSE(fs::exists(dir.path() / "registry.lock"));
    // Nothing else was left anywhere: no temporary file, no lock beside the links.
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::recursive_directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 10u);  // real, its registry and lock, two links, victim, four planted

    // A loop of links is an error that says so.
    fs::create_symlink("loop", dir.path() / "loop");
    UseFile(dir.file("loop"));
    HKEY h;
    EXPECT_NE(
        RegCreateKeyExW(HKEY_CLASSES_ROOT, u"X", 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr),
        ERROR_SUCCESS);
    EXPECT_THAT(glyphary::platform::RegistryFailure(),
                StartsWith("the registry " + file + " cannot be read (Too many levels"));
}

// Whatever is not a registry's damage is named too: the file, and what is wrong with it.
TEST_F(Registry, FailuresSayWhichFileAndWhy) {
    using glyphary::platform::RegistryFailure;
    HKEY h;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Glyphary\\CLSID", 0, KEY_READ, &h),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegistryFailure(), "HKEY_CLASSES_ROOT\\Glyphary\\CLSID is not in the registry " +
                                     file + " (the file does not exist)");
    HKEY parent = Create(u"Parent\\Child");
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Parent"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegistryFailure(), "HKEY_CLASSES_ROOT\\Parent has subkeys in the registry " + file +
                                     ", so it cannot be deleted");
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(parent, u"v", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegistryFailure(),
              "the value \"v\" of HKEY_CLASSES_ROOT\\Parent\\Child is not in "
              "the registry " +
                  file);
    EXPECT_EQ(RegCloseKey(parent), ERROR_SUCCESS);
    EXPECT_EQ(SetString(parent, u"v", u"x"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegistryFailure(), "RegSetValueExW failed: not an open key handle (6)");
    opened.erase(std::find(opened.begin(), opened.end(), parent));

    // Not a file to read: a directory, a FIFO (which must not hang the open).
    std::filesystem::create_directory(dir.path() / "directory");
    UseFile(dir.file("directory"));
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"CLSID", 0, KEY_READ, &h), ERROR_CANTREAD);
    EXPECT_EQ(RegistryFailure(), "the registry " + file + " is a directory");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    UseFile(dir.file("fifo"));
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"CLSID", 0, KEY_READ, &h), ERROR_CANTREAD);
    EXPECT_EQ(RegistryFailure(), "the registry " + file + " is not a regular file");
    // Nowhere to put one: its directory would be below a file.
    UseFile(dir.file("fifo/registry"));
    EXPECT_EQ(glyphary::platform::BeginRegistryTransaction(), ERROR_CANTWRITE);
    EXPECT_EQ(RegistryFailure(), "the registry " + file + " cannot be written: no directory " +
                                     dir.file("fifo") + " (Not a directory)");
}

// A transaction's changes reach the file at its commit, all at once, and never otherwise.
TEST_F(Registry, TransactionsLandWholeOrNotAtAll) {
    using namespace glyphary::platform;
    HKEY kept = Create(u"Kept");
    const std::string before = ReadFile(file);

    ASSERT_EQ(BeginRegistryTransaction(), ERROR_SUCCESS);
    EXPECT_EQ(BeginRegistryTransaction(), ERROR_BUSY);
    HKEY h = Create(u"Glyphary\\CLSID");
    EXPECT_EQ(SetString(h, u"", u"{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Kept"), ERROR_SUCCESS);
    EXPECT_TRUE(Exists(u"Glyphary\\CLSID"));  // the transaction sees its own changes
    EXPECT_EQ(ReadFile(file), before);        // the file does not, yet
    // Another thread waits for the commit, then sees all of it.
    std::atomic<LSTATUS> other{-1};
    std::thread reader([&] {
        HKEY r;
        other = RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Glyphary\\CLSID", 0, KEY_READ, &r);
        if (other == ERROR_SUCCESS) RegCloseKey(r);
    });
    usleep(20000);
    EXPECT_EQ(other.load(), -1);
    ASSERT_EQ(CommitRegistryTransaction(), ERROR_SUCCESS);
    reader.join();
    EXPECT_EQ(other.load(), ERROR_SUCCESS);
    const std::string committed = ReadFile(file);
    EXPECT_NE(committed.find("key \"Glyphary\" \"CLSID\"\nvalue \"\" sz \"{D4218C2F"),
              std::string::npos);
    EXPECT_EQ(committed.find("\"Kept\""), std::string::npos);
    EXPECT_EQ(CommitRegistryTransaction(), ERROR_INVALID_FUNCTION);

    // An aborted one leaves the file and this process's picture of it as they were, and
    // handles to keys it deleted work again.
    kept = Create(u"Kept");
    const std::string again = ReadFile(file);
    ASSERT_EQ(BeginRegistryTransaction(), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"Kept"), ERROR_SUCCESS);
    Create(u"Dropped");
    AbortRegistryTransaction();
    EXPECT_EQ(ReadFile(file), again);
    EXPECT_FALSE(Exists(u"Dropped"));
    EXPECT_EQ(SetString(kept, u"v", u"x"), ERROR_SUCCESS);

    // So does one whose process dies: the kernel drops the lock, the file is untouched.
    const std::string beforeKill = ReadFile(file);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        HKEY c;
        if (BeginRegistryTransaction() == ERROR_SUCCESS &&
            RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Half", 0, nullptr, 0, KEY_WRITE, nullptr, &c,
                            nullptr) == ERROR_SUCCESS)
            (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(ReadFile(file), beforeKill);
    ASSERT_EQ(BeginRegistryTransaction(), ERROR_SUCCESS);
    Create(u"Whole");
    EXPECT_EQ(CommitRegistryTransaction(), ERROR_SUCCESS);
    EXPECT_NE(ReadFile(file).find("key \"Whole\""), std::string::npos);
}

}  // namespace
