// glyphary mail --decode: any handset's mail as UTF-8 text, its emoji as neutral notation (the
// module's Globalize for the sender's carrier) or, with --to, as another table's emoji.
#include <unistd.h>

#include <map>
#include <memory>

#include "client/mail_decode.h"
#include "commands.h"
#include "io.h"
#include "written_files.h"

namespace glyphary::tool {
namespace {

using client::Operation;
using client::Property;

// Carrier text through the module. Without a target, Globalize in the carrier's mode. With
// one, Globalize into a notation of noncharacters no text holds, then Localize in the
// target's mode.
class Renderer {
  public:
    Renderer(Session& session, std::optional<EMapMode> to) : m_session(session), m_to(to) {}

    std::u16string operator()(std::u16string_view text, EMapMode carrier) {
        if (carrier == MPM_none || (m_to && *m_to == carrier)) return std::u16string(text);
        client::Glyphary& from = Object(m_from, carrier, [&](client::Glyphary& object) {
            if (m_to) object.Put(Property::globalizeFormat, u"\xFDD0%1%\xFDD1");
        });
        if (!m_to) return from.Convert(Operation::globalize, text);
        std::u16string clean(text);
        for (char16_t& u : clean)
            if (u == u'\xFDD0' || u == u'\xFDD1') u = u'\xFFFD';
        const std::u16string notation = from.Convert(Operation::globalize, clean);
        client::Glyphary& target = Object(m_target, *m_to, [](client::Glyphary& object) {
            object.Put(Property::localizePattern, u"\xFDD0([^\xFDD0\xFDD1]+)\xFDD1");
            object.Put(Property::localizeUndefinedFormat, u":%1%:");
        });
        return target.Convert(Operation::localize, notation);
    }

  private:
    using Objects = std::map<EMapMode, std::unique_ptr<client::Glyphary>>;
    template <class Setup>
    client::Glyphary& Object(Objects& objects, EMapMode mode, Setup setup) {
        std::unique_ptr<client::Glyphary>& object = objects[mode];
        if (!object) {
            object = std::make_unique<client::Glyphary>(m_session.module().Create());
            object->SetMapMode(mode);
            setup(*object);
        }
        return *object;
    }

    Session& m_session;
    std::optional<EMapMode> m_to;
    Objects m_from, m_target;
};

}  // namespace

int RunMailDecode(Session& session, const Arguments& args) {
    const std::vector<std::string>& operands = args.Operands();
    if (args.Has("in-place"))
        throw UsageError("--decode shows a mail; it changes no file in place");
    if (operands.size() > 2) throw UsageError("mail --decode takes at most IN and OUT");
    const std::string in = operands.empty() ? "-" : operands[0];
    const std::string out = operands.size() < 2 ? "-" : operands[1];
    std::optional<EMapMode> carrier, to;
    if (args.Has("carrier")) carrier = ParseCarrier(args.Value("carrier"));
    if (args.Has("to")) to = ParseCarrier(args.Value("to"));

    const std::string message = ReadInput(in);
    client::DecodedMail mail;
    try {
        mail = client::DecodeMail(message, carrier);
    } catch (const ToolError& e) {
        throw ToolError((in == "-" ? "standard input" : in) + ": " + e.what());
    }
    Renderer renderer(session, to);
    const std::string text = client::MailText(mail, std::ref(renderer));
    if (out == "-") {
        WriteAll(STDOUT_FILENO, text, "standard output");
    } else {
        ReplaceFile(out, text);
    }
    return 0;
}

}  // namespace glyphary::tool
