// glyphary detect: the id of each User-Agent, and with --explain the rule that gave it.
#include <unistd.h>

#include <cstdio>
#include <optional>

#include <boost/regex.hpp>

#include "commands.h"
#include "io.h"
#include "settings.h"
#include "text.h"

namespace glyphary::tool {
namespace {

// Which rule of "Glyphary.setting" matched. The interface answers with the id alone, so the
// rules are read from the settings file beside the module and tried in their order, as the
// module tries them (each pattern must match the whole string, one UTF-16 unit per wchar_t).
class Explainer {
  public:
    explicit Explainer(const std::filesystem::path& settingsPath)
        : m_rules(ReadSettings(settingsPath).rules), m_compiled(m_rules.size()) {}

    /// The index of the first rule matching `userAgent`, or none.
    std::optional<size_t> FirstMatch(std::u16string_view userAgent) {
        const std::wstring text(userAgent.begin(), userAgent.end());
        for (size_t i = 0; i < m_rules.size(); ++i) {
            try {
                if (!m_compiled[i]) {
                    const std::u16string& p = m_rules[i].pattern;
                    m_compiled[i].emplace(std::wstring(p.begin(), p.end()),
                                          boost::regex_constants::normal);
                }
                if (boost::regex_match(text, *m_compiled[i])) return i;
            } catch (const std::exception&) {
                // An ill-formed pattern matches nothing here; the module reports it itself.
            }
        }
        return std::nullopt;
    }
    long IdOf(size_t rule) const { return m_rules[rule].id; }

  private:
    std::vector<UserAgentRuleEntry> m_rules;
    std::vector<std::optional<boost::wregex>> m_compiled;
};

}  // namespace

int RunDetect(Session& session, const Arguments& args) {
    const com_ptr<IGlyphary> object = session.module().Create();
    std::optional<Explainer> explainer;
    if (args.Has("explain")) explainer.emplace(session.module().SettingsPath());

    int status = 0;
    const auto classify = [&](const std::string& userAgent, const std::string& where) {
        std::u16string text;
        try {
            text = Utf16FromUtf8(userAgent);
        } catch (const EncodingError& e) {
            Report(where + ": byte " + std::to_string(e.offset()) + ": " + e.what());
            status = 1;
            return;
        }
        unique_bstr in(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
        LONG id = 0;
        Check(object->GetUserAgentID(in.get(), &id), "GetUserAgentID");
        std::string line = std::to_string(id);
        if (explainer) {
            line += "\t" + CarrierName(id) + "\t";
            const std::optional<size_t> rule = explainer->FirstMatch(text);
            if (!rule) {
                line += id == 0 ? "no rule matched" : "rule unknown (Glyphary.setting changed?)";
            } else if (explainer->IdOf(*rule) != id) {
                line += "rule unknown (Glyphary.setting changed?)";
            } else {
                line += "rule " + std::to_string(*rule);
            }
        }
        line += '\n';
        WriteAll(STDOUT_FILENO, line, "standard output");
    };

    if (!args.Operands().empty()) {
        size_t n = 0;
        for (const std::string& userAgent : args.Operands())
            classify(userAgent, "argument " + std::to_string(++n));
        return status;
    }
    // One User-Agent per line; each answer is written at once, so the command also serves
    // interactively and as a co-process.
    char* line = nullptr;
    size_t capacity = 0;
    size_t number = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, stdin)) >= 0) {
        std::string userAgent(line, static_cast<size_t>(length));
        if (!userAgent.empty() && userAgent.back() == '\n') userAgent.pop_back();
        if (!userAgent.empty() && userAgent.back() == '\r') userAgent.pop_back();
        try {
            classify(userAgent, "line " + std::to_string(++number));
        } catch (...) {
            free(line);
            throw;
        }
    }
    free(line);
    if (ferror(stdin)) throw ToolError("cannot read standard input");
    return status;
}

}  // namespace glyphary::tool
