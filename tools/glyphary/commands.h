// The commands of the glyphary program. Each takes its parsed arguments and returns the exit
// status; failures are thrown (UsageError: status 2; ComError, ToolError: status 1).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "cli.h"
#include "client/carriers.h"
#include "client/errors.h"
#include "client/module.h"
#include "client/object.h"
#include "client/settings.h"
#include "text/utf.h"

namespace glyphary::tool {

using client::CarrierName;
using client::Check;
using client::ComError;
using client::Module;
using text::Utf8ForDisplay;
/// A failure that is no HRESULT: a file that cannot be read, a module that is not there.
using ToolError = client::ClientError;

/// Prints "glyphary: `message`" on stderr.
void Report(const std::string& message);

/// Where this program looks for the module: installed beside it, then in the build tree.
std::vector<std::filesystem::path> ModulesBesideTheProgram();

/// What every command shares: the module, loaded the first time a command needs it.
class Session {
  public:
    explicit Session(std::optional<std::filesystem::path> modulePath)
        : m_modulePath(std::move(modulePath)) {}
    Module& module() {
        if (!m_module) {
            m_module = std::make_unique<Module>(
                client::ChooseModule(m_modulePath, ModulesBesideTheProgram()));
            // Nothing else would tell why every conversion then leaves the text as it was.
            if (const std::string why = client::SettingsPathTooLong(m_module->path()); !why.empty())
                Report("warning: " + why);
        }
        return *m_module;
    }
    /// Warns once on stderr when the module's Glyphary.setting was not read (missing or not
    /// well-formed, with the reader's line and column): the module then runs with empty tables
    /// and every conversion would silently leave the text as it was.
    void WarnIfUnconfigured() {
        if (m_warned) return;
        m_warned = true;
        const std::filesystem::path path = module().SettingsPath();
        const client::SettingsFile settings = client::ReadSettings(path);
        if (!settings.loaded)
            Report("warning: " + path.string() + " is " + settings.problem +
                   "; the module runs with empty tables");
    }

  private:
    std::optional<std::filesystem::path> m_modulePath;
    std::unique_ptr<Module> m_module;
    bool m_warned = false;
};

/// The map mode named by --carrier's `text` (client::ParseCarrier); UsageError otherwise.
EMapMode ParseCarrier(const std::string& text);

/// -j N: how many files to work on at once; by default one per processor online. UsageError
/// for anything but 1 to 9999.
size_t Jobs(const Arguments& args);

int RunGlobalize(Session& session, const Arguments& args);
int RunLocalize(Session& session, const Arguments& args);
int RunDetect(Session& session, const Arguments& args);
int RunMail(Session& session, const Arguments& args);
/// glyphary mail --decode: a mail as UTF-8 text, emoji as neutral notation or --to's.
int RunMailDecode(Session& session, const Arguments& args);
int RunMailToMime(Session& session, const Arguments& args);
int RunRegister(Session& session, const Arguments& args);
int RunUnregister(Session& session, const Arguments& args);
int RunInfo(Session& session, const Arguments& args);
int RunConvert(Session& session, const Arguments& args);
int RunList(Session& session, const Arguments& args);

}  // namespace glyphary::tool
