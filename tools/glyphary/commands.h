// The commands of the glyphary program. Each takes its parsed arguments and returns the exit
// status; failures are thrown (UsageError: status 2; ComError, ToolError: status 1).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "cli.h"
#include "module.h"

namespace glyphary::tool {

/// Prints "glyphary: `message`" on stderr.
void Report(const std::string& message);

/// What every command shares: the module, loaded the first time a command needs it.
class Session {
  public:
    explicit Session(std::optional<std::filesystem::path> modulePath)
        : m_modulePath(std::move(modulePath)) {}
    Module& module() {
        if (!m_module) {
            m_module = std::make_unique<Module>(ChooseModule(m_modulePath));
            // Nothing else would tell why every conversion then leaves the text as it was.
            if (const std::string why = SettingsPathTooLong(m_module->path()); !why.empty())
                Report("warning: " + why);
        }
        return *m_module;
    }

  private:
    std::optional<std::filesystem::path> m_modulePath;
    std::unique_ptr<Module> m_module;
};

/// The map mode named by `text`: imode, ezweb, softbank, none, or any 32-bit integer.
EMapMode ParseCarrier(const std::string& text);
/// "imode", "ezweb", "softbank", "none", or "mode N" for other values.
std::string CarrierName(long mode);

int RunGlobalize(Session& session, const Arguments& args);
int RunLocalize(Session& session, const Arguments& args);
int RunDetect(Session& session, const Arguments& args);
int RunMail(Session& session, const Arguments& args);
int RunRegister(Session& session, const Arguments& args);
int RunUnregister(Session& session, const Arguments& args);
int RunInfo(Session& session, const Arguments& args);

}  // namespace glyphary::tool
