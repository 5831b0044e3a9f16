// glyphary register / unregister against hostile registry paths, under concurrent use, and
// the messages of their failures; the module's path limits.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>

#include <chrono>

#include "tools/fixture.h"

extern char** environ;

namespace glyphary::testing {
namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

const std::string kUnregistered =
    "glyphary-registry 1\n"
    "# HKEY_CLASSES_ROOT. Each key line names a key by its full path; the value lines\n"
    "# after it are its values. Written by libglyphary-platform; edit with care.\n"
    "key \"CLSID\"\n"
    "end\n";

class Registering : public ProgramTest {
  protected:
    std::string Registry() const { return (m_registry / "registry").string(); }

    /// The program as a user without root's power over every file: run as root, it goes
    /// through setpriv with the capabilities that bypass file permissions dropped.
    Outcome RunAsUser(std::vector<std::string> args) {
        args.insert(args.begin(), {"--module", ModulePath()});
        const std::map<std::string, std::string> env{{"GLYPHARY_REGISTRY", Registry()},
                                                     {"GLYPHARY_MODULE", ""}};
        if (geteuid() != 0) return RunProgram(GLYPHARY_CLI, args, {}, env);
        args.insert(args.begin(),
                    {"--bounding-set=-dac_override,-dac_read_search", "--", GLYPHARY_CLI});
        return RunProgram("/usr/bin/setpriv", args, {}, env);
    }

    /// Starts `command` without waiting; its output goes to the files `out` and `err`.
    pid_t Start(const std::string& command, const fs::path& out, const fs::path& err) {
        std::vector<std::string> env = {"GLYPHARY_REGISTRY=" + Registry()};
        for (char** e = environ; *e; ++e)
            if (!std::string_view(*e).starts_with("GLYPHARY_")) env.emplace_back(*e);
        std::vector<char*> envp, argv;
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::vector<std::string> args = {GLYPHARY_CLI, "--module", ModulePath(), command};
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, GLYPHARY_CLI, &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        return rc == 0 ? pid : -1;
    }
};

TEST_F(Registering, WritesNothingThroughPlantedLinksAndKeepsALinkedRegistry) {
    WriteFile(m_registry / "victim", "victim\n");
    fs::create_symlink("victim", m_registry / "registry.tmp");
    fs::create_directory(m_registry / "real");
    fs::create_symlink("victim", m_registry / "real/registry.tmp");
    fs::create_symlink("real/registry", m_registry / "registry");  // not there yet

    const Outcome reg = Run({"register"});
    ASSERT_EQ(reg.status, 0) << reg.err;
    EXPECT_EQ(fs::read_symlink(m_registry / "registry"), "real/registry");
    const std::string registered = ReadFile(m_registry / "real/registry");
    EXPECT_THAT(registered, HasSubstr("key \"CLSID\" \"{D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}\" "
                                      "\"InProcServer32\"\nvalue \"\" sz \"" +
                                      ModulePath() + "\"\n"));
    const Outcome unreg = Run({"unregister"});
    ASSERT_EQ(unreg.status, 0) << unreg.err;
    EXPECT_EQ(fs::read_symlink(m_registry / "registry"), "real/registry");
    EXPECT_EQ(ReadFile(m_registry / "real/registry"), kUnregistered);
    EXPECT_EQ(ReadFile(m_registry / "victim"), "victim\n");

    // Nothing else lies about: no temporary file, and the lock beside the real file only.
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(m_registry.path()))
        names.insert(entry.path().lexically_relative(m_registry.path()).string());
    EXPECT_EQ(names,
              (std::set<std::string>{"registry", "registry.tmp", "victim", "real", "real/registry",
                                     "real/registry.lock", "real/registry.tmp"}));
}

// Each of the module's calls is a registry change of its own; a process reading the registry
// between two of them, or one that unregisters meanwhile, must still never meet half a
// registration.
TEST_F(Registering, ConcurrentRegisterAndUnregisterLeaveAllOfItOrNone) {
    ASSERT_EQ(Run({"register"}).status, 0);
    const std::string registered = ReadFile(Registry());
    ASSERT_EQ(Run({"unregister"}).status, 0);
    ASSERT_EQ(ReadFile(Registry()), kUnregistered);
    const std::string notRegistered =
        "glyphary: DllUnregisterServer failed: 0x80004005 E_FAIL: HKEY_CLASSES_ROOT\\Glyphary "
        "is not in the registry " +
        Registry() + "; nothing was changed\n";

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int looks = 0, failedUnregisters = 0;
    for (int round = 0; round < 20; ++round) {
        struct Child {
            pid_t pid;
            const char* command;
            fs::path err;
        };
        std::vector<Child> running;
        for (const char* command : {"register", "unregister", "register", "unregister"}) {
            const fs::path err = m_registry / ("err" + std::to_string(running.size()));
            running.push_back(
                {Start(command, m_registry / ("out" + std::to_string(running.size())), err),
                 command, err});
            ASSERT_GT(running.back().pid, 0);
        }
        const auto stop = [&] {
            for (const Child& child : running) kill(child.pid, SIGKILL);
            for (const Child& child : running) waitpid(child.pid, nullptr, 0);
        };
        // Watch the file while they run: every state it passes through is whole.
        while (!running.empty()) {
            const std::string now = ReadFile(Registry());
            ++looks;
            if (now != registered && now != kUnregistered) {
                stop();
                FAIL() << "round " << round << ":\n" << now;
            }
            for (auto it = running.begin(); it != running.end();) {
                int status = 0;
                if (waitpid(it->pid, &status, WNOHANG) == 0) {
                    ++it;
                    continue;
                }
                const std::string err = ReadFile(it->err);
                const bool failed = WIFEXITED(status) && WEXITSTATUS(status) == 1 &&
                                    it->command == std::string("unregister") &&
                                    err == notRegistered;
                EXPECT_TRUE((WIFEXITED(status) && WEXITSTATUS(status) == 0) || failed)
                    << it->command << ": " << err;
                failedUnregisters += failed;
                it = running.erase(it);
            }
            if (std::chrono::steady_clock::now() > deadline) {
                stop();
                FAIL() << "the processes of round " << round << " did not end in time";
            }
            usleep(500);
        }
    }
    RecordProperty("Looks", looks);
    RecordProperty("FailedUnregisters", failedUnregisters);
}

TEST_F(Registering, FailuresNameTheRegistryFileAndTheCause) {
    const std::string registry = Registry(), dir = m_registry.path().string();
    const std::string registeredWithExtra = [&] {
        EXPECT_EQ(Run({"register"}).status, 0);
        std::string text = ReadFile(registry);
        text.insert(text.find("end\n"), "key \"Glyphary\" \"Extra\"\n");
        fs::remove(registry);
        return text;
    }();
    const struct Case {
        const char* name;
        std::string content;  // of the registry file; "-" none, "/" a directory
        const char* command;
        bool asUser;  // without root's power over file permissions
        mode_t fileMode, dirMode;
        std::string message;  // the whole of standard error
    } cases[] = {
        {"damaged", "glyphary-registry 1\nkey \"CLSID\"\nkey \"A\" \"B\"\nend\n", "register", false,
         0644, 0700,
         "cannot register: the registry " + registry +
             " is damaged at line 3: a key whose parent key is not listed before it"},
        {"missing", "-", "unregister", false, 0644, 0700,
         "DllUnregisterServer failed: 0x80004005 E_FAIL: HKEY_CLASSES_ROOT\\Glyphary is not in "
         "the registry " +
             registry + " (the file does not exist); nothing was changed"},
        // The module fails half-way (no HKEY_CLASSES_ROOT\CLSID to register under): what it
        // wrote before is not kept.
        {"half-way", "glyphary-registry 1\nend\n", "register", false, 0644, 0700,
         "DllRegisterServer failed: 0x80004005 E_FAIL: HKEY_CLASSES_ROOT\\CLSID is not in the "
         "registry " +
             registry + "; nothing was changed"},
        {"subkeys", registeredWithExtra, "unregister", false, 0644, 0700,
         "DllUnregisterServer failed: 0x80004005 E_FAIL: HKEY_CLASSES_ROOT\\Glyphary has "
         "subkeys in the registry " +
             registry + ", so it cannot be deleted; nothing was changed"},
        {"directory", "/", "register", false, 0644, 0700,
         "cannot register: the registry " + registry + " is a directory"},
        {"unreadable", kUnregistered, "register", true, 0200, 0700,
         "cannot register: the registry " + registry + " cannot be read (Permission denied)"},
        {"read-only", kUnregistered, "register", true, 0444, 0700,
         "cannot register: the registry " + registry +
             " is not writable (Permission denied); nothing was changed"},
        {"read-only directory", kUnregistered, "unregister", true, 0644, 0500,
         "cannot unregister: the registry " + registry + " is not writable: its lock file " +
             registry + ".lock cannot be made (Permission denied)"},
    };
    for (const Case& c : cases) {
        fs::remove_all(registry);
        fs::remove(registry + ".lock");
        if (c.content == "/") {
            fs::create_directory(registry);
        } else if (c.content != "-") {
            WriteFile(registry, c.content);
            fs::permissions(registry, static_cast<fs::perms>(c.fileMode));
        }
        fs::permissions(dir, static_cast<fs::perms>(c.dirMode));
        const Outcome r = c.asUser ? RunAsUser({c.command}) : Run({c.command});
        fs::permissions(dir, fs::perms::owner_all);
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.err, "glyphary: " + c.message + "\n") << c.name;
        if (c.content == "-") {
            EXPECT_FALSE(fs::exists(registry)) << c.name;
        } else if (c.content != "/") {
            EXPECT_EQ(ReadFile(registry), c.content) << c.name;
        }
    }

    // A program that finds its module through the registry says that it is damaged, rather
    // than that nothing is registered.
    WriteFile(registry, cases[0].content);
    const fs::path lonely = m_registry / "glyphary";
    fs::copy_file(GLYPHARY_CLI, lonely);
    const Outcome info = RunProgram(lonely.string(), {"info"}, {},
                                    {{"GLYPHARY_REGISTRY", registry}, {"GLYPHARY_MODULE", ""}});
    EXPECT_EQ(info.status, 1);
    EXPECT_EQ(info.err, "glyphary: no Glyphary module found: none beside the program, and " +
                            cases[0].message.substr(std::string_view("cannot register: ").size()) +
                            "; name one with --module PATH\n");
}

// The module keeps its path, and that of the Glyphary.setting beside it, in buffers of 260
// UTF-16 units: a directory too long for them is named as the cause.
TEST_F(Registering, ModuleDirectoriesTooLongForTheModulesPathsAreNamed) {
    const auto place = [&](size_t units) {
        // Directories of up to 100 characters below the suite's own, to `units` in all.
        fs::path dir = Dir().path();
        while (dir.string().size() < units) {
            const size_t more = std::min<size_t>(100, units - dir.string().size() - 1);
            dir /= std::string(more, 'd');
        }
        fs::create_directories(dir);
        for (const char* file : {"Glyphary.setting", "imode.xml"})
            fs::copy_file(Dir() / file, dir / file, fs::copy_options::overwrite_existing);
        fs::create_symlink(ModulePath(), dir / "glyphary.so");
        return dir;
    };
    // 242 units leave room for "/Glyphary.setting": the sun is found.
    const fs::path fits = place(242);
    const Outcome found =
        RunPlain({"--module", (fits / "glyphary.so").string(), "localize", "-c", "imode"}, ":sun:");
    EXPECT_EQ(found.out, kImodeSun);
    EXPECT_EQ(found.err, "");

    const fs::path settingsTooLong = place(243);
    const std::string why =
        "the module directory is too long: 243 UTF-16 units, where the module's 260-unit path "
        "buffers leave room for 242 before /Glyphary.setting; the module cannot find its "
        "settings and runs with empty tables";
    const std::string module = (settingsTooLong / "glyphary.so").string();
    const Outcome empty = RunPlain({"--module", module, "localize", "-c", "imode"}, ":sun:");
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, ":sun:");
    EXPECT_EQ(empty.err, "glyphary: warning: " + why + "\n");
    EXPECT_THAT(RunPlain({"--module", module, "info"}).out,
                HasSubstr("Settings   " + (settingsTooLong / "Glyphary.setting").string() +
                          " (not read: " + why + ")\n"));

    const std::string tooLong = (place(248) / "glyphary.so").string();  // 260 units
    const Outcome refused = RunPlain({"--module", tooLong, "info"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "glyphary: cannot load the module " + tooLong +
                               ": the module path is too long: 260 UTF-16 units, where the "
                               "module's 260-unit path buffers hold 259\n");
}

}  // namespace
}  // namespace glyphary::testing
