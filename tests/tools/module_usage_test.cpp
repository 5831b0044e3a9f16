// glyphary info, register, unregister, finding the module, and the command line itself.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tools/fixture.h"

namespace glyphary::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

class Info : public ProgramTest {};

TEST_F(Info, DescribesModuleConfigurationTablesRulesAndInterface) {
    const Outcome r = Run({"info"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Module     " + ModulePath() + " (--module)\n"));
    EXPECT_THAT(r.out, HasSubstr("Settings   " + (Dir() / "Glyphary.setting").string() + "\n"));
    EXPECT_THAT(r.out, HasSubstr("LocalizePattern           \":([a-z0-9_]+):\""));
    // i-mode: three ids; four codes, of which Globalize finds the three of one unit.
    EXPECT_THAT(r.out, HasSubstr("1     imode          3      4                3  imode.xml\n"));
    EXPECT_THAT(r.out, HasSubstr("3     softbank       2      2                2  softbank.xml\n"));
    EXPECT_THAT(r.out, HasSubstr("ezweb-mail.xml: 2 codes"));
    EXPECT_THAT(r.out, HasSubstr("2     2  ezweb      .*UP\\.Browser.*\n"));
    EXPECT_THAT(r.out, HasSubstr("IGlyphary {9D093A48-90B3-4F4B-881E-B49057EA4DEF}, 21 slots"));
    EXPECT_THAT(r.out, HasSubstr("7     0x60020000  put     HRESULT MapMode([in] EMapMode)\n"));
    EXPECT_THAT(r.out, HasSubstr("17    0x6002000A  method  HRESULT Globalize([in] BSTR sInput, "
                                 "[out, retval] BSTR* pOutput)\n"));
    EXPECT_THAT(r.out, HasSubstr("20    0x6002000D  method  HRESULT ConvertEzwebMail([in] "
                                 "IStream* pStmIN, [in] IStream* pStmOUT)\n"));
}

TEST_F(Info, FindsTheModuleBuiltBesideTheProgram) {
    const Outcome r = RunPlain({"info"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Module     " + fs::path(GLYPHARY_MODULE_FILE).string() +
                                 " (beside the program)\n"));
}

TEST_F(Info, AModuleThatIsNotThereIsReported) {
    const Outcome r = RunPlain({"info", "--module", (Dir() / "nowhere.so").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("glyphary: no module at " + (Dir() / "nowhere.so").string()));
    const Outcome env = RunPlain({"info"}, "", {{"GLYPHARY_MODULE", "/nonexistent/glyphary.so"}});
    EXPECT_EQ(env.status, 1);
    EXPECT_THAT(env.err, HasSubstr("no module at /nonexistent/glyphary.so"));
}

TEST_F(Info, AFileThatIsNotAModuleSaysWhatTheLoaderSaid) {
    WriteFile(Dir() / "text.so", std::string(200, 'x'));  // long enough to be read as a header
    const Outcome r = Run({"info", "--module", (Dir() / "text.so").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("cannot load the module " + (Dir() / "text.so").string() + ": "));
    EXPECT_THAT(r.err, HasSubstr("invalid ELF header"));  // dlopen's own words
}

// A module whose Glyphary.setting is missing or not well-formed runs with empty tables: the
// commands that convert say so once, with where the reader stopped; info shows it too.
TEST_F(Info, SettingsThatCannotBeReadAreReported) {
    TempDir dir;
    std::filesystem::copy_file(GLYPHARY_MODULE_FILE, dir / "glyphary.so");
    const std::string module = (dir / "glyphary.so").string();
    const Outcome missing = RunPlain({"--module", module, "globalize", "-c", "imode"}, "x");
    EXPECT_EQ(missing.status, 0);
    EXPECT_EQ(missing.out, "x");
    EXPECT_THAT(missing.err, HasSubstr("warning: " + (dir / "Glyphary.setting").string() +
                                       " is missing or unreadable (No such file or directory)"));
    WriteFile(dir / "Glyphary.setting", "<glyphary>\n  <map mode='1'>\n</glyphary>\n");
    const Outcome illFormed = RunPlain({"--module", module, "detect", "DoCoMo/2.0", "x"});
    EXPECT_EQ(illFormed.out, "0\n0\n");
    EXPECT_THAT(illFormed.err, HasSubstr(" is not well-formed at line 3, column "));
    EXPECT_EQ(illFormed.err.find("warning"), illFormed.err.rfind("warning"));  // once
    const Outcome info = RunPlain({"--module", module, "info"});
    EXPECT_THAT(info.out, HasSubstr("(not well-formed at line 3, column "));
}

// ---------------------------------------------------------------------------------------------

class Registration : public ProgramTest {};

TEST_F(Registration, RegisteredModuleIsFoundByProgIdAndUnregisteredOnce) {
    const Outcome reg = Run({"register"});
    ASSERT_EQ(reg.status, 0) << reg.err;
    EXPECT_THAT(reg.out, HasSubstr("registered " + ModulePath() +
                                   " as \"Glyphary\" {D4218C2F-C1AA-4ada-9953-6A66FECDBD2A}"));
    EXPECT_TRUE(fs::exists(m_registry / "registry"));

    // A copy of the program with no module beside it activates the registered class.
    const fs::path lonely = m_registry / "glyphary";
    fs::copy_file(GLYPHARY_CLI, lonely);
    const auto run = [&](std::vector<std::string> args, std::string_view input = {}) {
        return RunProgram(
            lonely.string(), args, input,
            {{"GLYPHARY_REGISTRY", (m_registry / "registry").string()}, {"GLYPHARY_MODULE", ""}});
    };
    const Outcome local = run({"localize", "-c", "ezweb"}, ":sun:");
    EXPECT_EQ(local.status, 0) << local.err;
    EXPECT_EQ(local.out, kEzwebSun);
    EXPECT_THAT(run({"info"}).out,
                HasSubstr("Module     " + ModulePath() + " (registered as \"Glyphary\")"));

    const Outcome unreg = Run({"unregister"});
    EXPECT_EQ(unreg.status, 0) << unreg.err;
    const Outcome again = Run({"unregister"});
    EXPECT_EQ(again.status, 1);
    EXPECT_THAT(again.err, HasSubstr("DllUnregisterServer failed: 0x80004005 E_FAIL"));

    const Outcome gone = run({"localize", "-c", "ezweb"}, ":sun:");
    EXPECT_EQ(gone.status, 1);
    EXPECT_THAT(gone.err, HasSubstr("no Glyphary module found"));
}

// ---------------------------------------------------------------------------------------------

class Usage : public ProgramTest {};

TEST_F(Usage, MistakesExitWithStatusTwoAndAHint) {
    const struct {
        std::vector<std::string> args;
        const char* message;
        const char* hint;
    } cases[] = {
        {{}, "which command?", "Try 'glyphary --help'."},
        {{"convert"}, "unknown command 'convert'", "Try 'glyphary --help'."},
        {{"--colour", "info"}, "unknown option --colour", "Try 'glyphary --help'."},
        {{"localize"}, "which carrier's emoji?", "Try 'glyphary localize --help'."},
        {{"localize", "-c", "docomo2"}, "unknown carrier 'docomo2'", "localize --help"},
        {{"localize", "-c", "99999999999"}, "unknown carrier", "localize --help"},
        {{"globalize", "-c", "imode", "-e", "latin1"}, "unknown encoding 'latin1'", "globalize"},
        {{"globalize", "-c"}, "-c needs a value", "globalize --help"},
        {{"detect", "--explain=yes"}, "--explain takes no value", "detect --help"},
        {{"mail", "a", "b", "c"}, "mail takes at most IN and OUT", "mail --help"},
        {{"mail", "--in-place"}, "--in-place needs the files", "mail --help"},
        {{"info", "extra"}, "info takes no operands", "info --help"},
        {{"register", "--force"}, "unknown option --force", "register --help"},
    };
    for (const auto& c : cases) {
        const Outcome r = Run(c.args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_THAT(r.err, HasSubstr(std::string("glyphary: ") + c.message));
        EXPECT_THAT(r.err, HasSubstr(c.hint));
        EXPECT_EQ(r.out, "");
    }
}

// Carriers by any of their names, in any case, and options in every usual form.
TEST_F(Usage, CarriersAndOptionsAreTakenInEveryForm) {
    const struct {
        std::vector<std::string> args;
        const std::string& sun;
    } cases[] = {
        {{"-cdocomo"}, kImodeSun},      {{"--carrier=I-MODE"}, kImodeSun},
        {{"-c", "AU"}, kEzwebSun},      {{"--carrier", "kddi"}, kEzwebSun},
        {{"-cVodafone"}, kSoftbankSun}, {{"--carrier=3"}, kSoftbankSun},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"localize"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome r = Run(args, ":sun:");
        EXPECT_EQ(r.status, 0) << c.args[0] << r.err;
        EXPECT_EQ(r.out, c.sun) << c.args[0];
    }
}

TEST_F(Usage, EveryCommandHasHelpWithExamples) {
    for (const char* command :
         {"globalize", "localize", "detect", "mail", "info", "register", "unregister"}) {
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{command, "--help"}, {command, "-h"}, {"help", command}}) {
            // Help needs no module: a broken --module does not stand in its way.
            const Outcome r = RunPlain({"--module", "/nonexistent.so", args[0], args[1]});
            EXPECT_EQ(r.status, 0) << command;
            EXPECT_THAT(r.out, HasSubstr(std::string("Usage: glyphary ") + command));
            EXPECT_THAT(r.out, HasSubstr("Examples:"));
        }
    }
    const Outcome overview = RunPlain({"--help"});
    EXPECT_EQ(overview.status, 0);
    EXPECT_THAT(overview.out, HasSubstr("Commands:"));
    EXPECT_THAT(RunPlain({"--version"}).out, HasSubstr("glyphary "));
}

}  // namespace
}  // namespace glyphary::testing
