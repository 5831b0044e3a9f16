// A module of its own for the program's tests: the built glyphary.so copied into a temporary
// directory beside a small configuration whose every code is known here, and a registry file
// of its own, so that no test depends on the sample data or touches a real registry.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "tools/program.h"

namespace glyphary::testing {

// U+E63E and friends as UTF-8; the i-mode sun in CP932 is F8 9F.
inline const std::string kImodeSun = "\xEE\x98\xBE";     // U+E63E
inline const std::string kImodeCloud = "\xEE\x98\xBF";   // U+E63F
inline const std::string kImodeNoId = "\xEE\x99\x80";    // U+E640, listed without an id
inline const std::string kEzwebSun = "\xEE\x92\x88";     // U+E488
inline const std::string kSoftbankSun = "\xEE\x81\x8A";  // U+E04A
inline const std::string kSmile = "\xF0\x9F\x98\x80";    // U+1F600, two units

class ProgramTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = std::make_unique<TempDir>();
        const auto& dir = *s_dir;
        std::filesystem::copy_file(GLYPHARY_MODULE_FILE, dir / "glyphary.so");
        WriteFile(dir / "Glyphary.setting", R"(<?xml version="1.0" encoding="UTF-8"?>
<glyphary>
  <globalizeFormat>:%1%:</globalizeFormat>
  <globalizeUndefinedFormat></globalizeUndefinedFormat>
  <localizePattern>:([a-z0-9_]+):</localizePattern>
  <localizeUndefinedFormat></localizeUndefinedFormat>
  <map mode="1" src="imode.xml"/>
  <map mode="2" src="ezweb.xml"/>
  <map mode="3" src="softbank.xml"/>
  <userAgent id="1" pattern="DoCoMo/.*"/>
  <userAgent id="2" pattern="KDDI-.*"/>
  <userAgent id="2" pattern=".*UP\.Browser.*"/>
  <userAgent id="3" pattern="(SoftBank|Vodafone|J-PHONE)/.*"/>
  <userAgent id="9" pattern="(x+x+)+y"/>
  <ezwebMailMap src="ezweb-mail.xml"/>
</glyphary>
)");
        WriteFile(dir / "imode.xml", R"(<?xml version="1.0" encoding="UTF-8"?>
<maps>
  <map id="sun" code="&#xE63E;"/>
  <map id="cloud" code="&#xE63F;"/>
  <map id="smile" code="&#x1F600;"/>
  <map code="&#xE640;"/>
</maps>
)");
        WriteFile(dir / "ezweb.xml", R"(<?xml version="1.0" encoding="UTF-8"?>
<maps><map id="sun" code="&#xE488;"/><map id="cloud" code="&#xE48D;"/></maps>
)");
        WriteFile(dir / "softbank.xml", R"(<?xml version="1.0" encoding="UTF-8"?>
<maps><map id="sun" code="&#xE04A;"/><map id="cloud" code="&#xE049;"/></maps>
)");
        WriteFile(dir / "ezweb-mail.xml", R"(<?xml version="1.0" encoding="UTF-8"?>
<maps><map mail="7521" web="F660"/><map mail="7522" web="F693"/></maps>
)");
    }
    static void TearDownTestSuite() { s_dir.reset(); }

    static std::string ModulePath() { return (*s_dir / "glyphary.so").string(); }
    static const TempDir& Dir() { return *s_dir; }

    /// The program with this suite's module and a registry of its own.
    Outcome Run(std::vector<std::string> args, std::string_view input = {},
                std::map<std::string, std::string> env = {}) {
        args.insert(args.begin(), {"--module", ModulePath()});
        return RunPlain(std::move(args), input, std::move(env));
    }
    /// The program as it stands, finding its module by itself.
    Outcome RunPlain(std::vector<std::string> args, std::string_view input = {},
                     std::map<std::string, std::string> env = {}) {
        env.emplace("GLYPHARY_REGISTRY", (m_registry / "registry").string());
        env.emplace("GLYPHARY_MODULE", "");
        return RunProgram(GLYPHARY_CLI, args, input, env);
    }

    TempDir m_registry;

  private:
    static inline std::unique_ptr<TempDir> s_dir;
};

}  // namespace glyphary::testing
