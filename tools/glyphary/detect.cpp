// glyphary detect: the id of each User-Agent, and with --explain the rule that gave it.
#include <unistd.h>

#include <charconv>
#include <memory>

#include "commands.h"
#include "convert/rules.h"
#include "io.h"
#include "text/utf.h"

namespace glyphary::tool {
namespace {

// What a line that could not be answered gets in place of its id, so that output lines stay
// aligned with input lines.
constexpr std::string_view kNoAnswer = "?";

// Which rule of "Glyphary.setting" matched. The interface answers with the id alone, so the
// rules are read from the settings file beside the module and matched by the module's own
// rule matching (glyphary-rules); the id it gives must agree with the module's answer.
class Explainer {
  public:
    explicit Explainer(const std::filesystem::path& settingsPath) {
        for (const client::UserAgentRuleEntry& rule : client::ReadSettings(settingsPath).rules)
            m_rules.Append(static_cast<int32_t>(rule.id),
                           std::wstring(rule.pattern.begin(), rule.pattern.end()));
    }

    /// "rule N", or why no rule can be named, for a User-Agent the module answered `id`.
    std::string Explain(std::u16string_view userAgent, long id) const {
        try {
            const std::optional<size_t> rule =
                FirstMatchingRule(std::wstring(userAgent.begin(), userAgent.end()), m_rules);
            if (!rule) return id == 0 ? "no rule matched" : kUnknown;
            if (m_rules[*rule].id != id) return kUnknown;
            return "rule " + std::to_string(*rule);
        } catch (const RuleError&) {
            return kUnknown;
        }
    }

  private:
    static constexpr const char* kUnknown = "rule unknown (Glyphary.setting changed?)";
    UserAgentRules m_rules;
};

// Answers User-Agents one at a time into an output buffer.
class Detector {
  public:
    Detector(client::Glyphary& object, const Explainer* explainer)
        : m_object(object), m_explainer(explainer) {}

    /// Appends the answer for `userAgent` (UTF-8) to `out`; a line that cannot be answered
    /// gets kNoAnswer and its reason on stderr, naming it as `kind` `number`.
    void Answer(std::string_view userAgent, const char* kind, size_t number, std::string& out) {
        const auto where = [&] { return kind + std::to_string(number); };
        m_units.resize(userAgent.size());
        const text::UtfResult r =
            text::Utf16FromUtf8(userAgent, m_units.data(), true, text::Errors::strict);
        if (!r.ok) {
            Fail(where() + ": byte " + std::to_string(r.read) + ": not UTF-8", out);
            return;
        }
        const std::u16string_view text(m_units.data(), r.written);
        long id = 0;
        try {
            id = m_object.UserAgentId(text);
        } catch (const ComError& e) {
            Fail(where() + ": " + e.what(), out);
            return;
        }
        char digits[16];
        out.append(digits, std::to_chars(digits, digits + sizeof digits, id).ptr);
        if (m_explainer) {
            out += '\t';
            out += CarrierName(id);
            out += '\t';
            out += m_explainer->Explain(text, id);
        }
        out += '\n';
    }

    bool failed() const noexcept { return m_failed; }

  private:
    void Fail(const std::string& why, std::string& out) {
        Report(why);
        out += kNoAnswer;
        out += '\n';
        m_failed = true;
    }

    client::Glyphary& m_object;
    const Explainer* m_explainer;
    std::u16string m_units;
    bool m_failed = false;
};

}  // namespace

int RunDetect(Session& session, const Arguments& args) {
    client::Glyphary object(session.module().Create());
    session.WarnIfUnconfigured();
    std::optional<Explainer> explainer;
    if (args.Has("explain")) explainer.emplace(session.module().SettingsPath());
    Detector detector(object, explainer ? &*explainer : nullptr);
    std::string out;

    if (!args.Operands().empty()) {
        size_t n = 0;
        for (const std::string& userAgent : args.Operands())
            detector.Answer(userAgent, "argument ", ++n, out);
        WriteAll(STDOUT_FILENO, out, "standard output");
        return detector.failed() ? 1 : 0;
    }

    // One User-Agent per line. Answers go out as soon as no more input is waiting, so the
    // command serves interactively and as a co-process, without a write per line when
    // input comes faster than that.
    constexpr size_t kReadSize = 1 << 16;
    InputStream input("-");
    std::string pending;
    const auto buffer = std::make_unique_for_overwrite<char[]>(kReadSize);
    size_t number = 0;
    for (;;) {
        if (!out.empty() && (out.size() >= kReadSize || input.WouldWait())) {
            WriteAll(STDOUT_FILENO, out, "standard output");
            out.clear();
        }
        const size_t n = input.Read(buffer.get(), kReadSize);
        if (n == 0) break;
        // Only the new bytes can hold a line end: what was pending had none.
        const size_t scanned = pending.size();
        pending.append(buffer.get(), n);
        if (pending.find('\n', scanned) == std::string::npos) continue;
        size_t start = 0;
        for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string_view line(pending.data() + start, end - start);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            detector.Answer(line, "line ", ++number, out);
        }
        pending.erase(0, start);
    }
    if (!pending.empty()) detector.Answer(pending, "line ", ++number, out);
    WriteAll(STDOUT_FILENO, out, "standard output");
    return detector.failed() ? 1 : 0;
}

}  // namespace glyphary::tool
