// glyphary: the command-line face of the Glyphary module. It reaches the module as any COM
// client does (the module file's DllGetClassObject, or the class registered as "Glyphary")
// and calls it through IGlyphary only.
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"

namespace glyphary::tool {
namespace {

constexpr const char* kOverview = R"(Usage: glyphary [--module PATH] COMMAND [OPTIONS] [ARGS...]

Emoji of Japanese mobile handsets (i-mode, EZweb, SoftBank) to neutral text and back.

Commands:
  globalize   carrier emoji in text become neutral notation such as :sunny:
  localize    neutral notation becomes a carrier's emoji
  convert     one carrier's emoji shown on another, or as standard emoji, and back
  list        the emoji: ids, aliases, each carrier's codes, standard emoji, names
  detect      which handset a User-Agent names
  mail        rewrite the emoji codes of EZweb (au) mail
  info        the module, its configuration, tables, rules and interface
  register    register the module as the COM class "Glyphary"
  unregister  remove that registration

Options for every command:
  --module PATH   use this glyphary.so (and the Glyphary.setting beside it); default:
                  $GLYPHARY_MODULE, else the module installed or built beside this program,
                  else the registered class
  -h, --help      help for the command, with examples

Examples:
  echo 'Good morning :sunny:' | glyphary localize --carrier softbank --show-codes
  glyphary detect 'KDDI-CA39 UP.Browser/6.2.0.13.1.5 (GUI) MMP/2.0'
  glyphary mail --in-place ~/Maildir/new/*

Run 'glyphary COMMAND --help' for more.
)";

constexpr const char* kConvertOptions = R"(
Options:
  -c, --carrier CARRIER  imode (docomo), ezweb (au, kddi), softbank (vodafone), unicode,
                         none, or any mode number (required; letter case is free)
  -e, --encoding ENC     of input and output: utf-8 (default), utf-16le (units pass
                         through untouched, lone surrogates and zero units included)
                         or sjis (alias cp932: Shift_JIS as the carrier's handsets send
                         it, emoji at their codes; SoftBank's ESC $ web codes are read)
  --ncr                  emoji as character references: &#xE63E; and &#58942; are read
                         as those private-use characters; on output, private-use
                         characters and what the encoding cannot carry become &#xHEX;
  --globalize-format FMT            override the GlobalizeFormat property
  --globalize-undefined-format FMT  override GlobalizeUndefinedFormat
  --localize-pattern REGEX          override LocalizePattern
  --localize-undefined-format FMT   override LocalizeUndefinedFormat
  --show-codes           write carrier emoji (private-use characters, which terminals
                         cannot draw) as U+XXXX
  --module PATH          use another module and its configuration

FILE '-', or no FILE, is standard input. Results go to standard output in the order of
the files. Defaults of the four properties come from Glyphary.setting ('glyphary info');
they and the options are checked before any input is read. Text is converted and written
as it is read, so input of any size needs little memory (a failure stops the file there).
)";

constexpr const char* kGlobalizeHelp =
    R"(Usage: glyphary globalize --carrier CARRIER [OPTIONS] [FILE...]

Every emoji of the carrier's handsets in the text becomes its neutral id, written through
GlobalizeFormat; everything else passes unchanged.
)";

constexpr const char* kGlobalizeExamples = R"(
Examples:
  glyphary globalize --carrier softbank --encoding sjis posted.txt
  printf 'Fine \xee\x98\xbe\n' | glyphary globalize -c docomo
  glyphary globalize -c softbank --globalize-format '[%1%]' message.txt
)";

constexpr const char* kLocalizeHelp =
    R"(Usage: glyphary localize --carrier CARRIER [OPTIONS] [FILE...]

Every piece of neutral notation that LocalizePattern finds becomes the carrier's emoji;
everything else passes unchanged.

Text goes to the module line by line when LocalizePattern can neither match across a line
end nor look past one (the default pattern cannot); otherwise the whole input is read and
converted in one call (at most 2,147,483,632 UTF-16 units between zero units).
)";

constexpr const char* kLocalizeExamples = R"(
Examples:
  echo 'Good morning :sunny:' | glyphary localize --carrier ezweb --show-codes
  glyphary localize -c imode -e sjis page.txt > page.sjis
  glyphary localize -c unicode -e sjis --ncr page.txt > page-with-references.sjis
  glyphary localize -c softbank --localize-undefined-format '(%1%?)' note.txt
)";

constexpr const char* kConvertHelp =
    R"(Usage: glyphary convert --from TABLE --to TABLE [OPTIONS] [FILE...]

Text written for one table shown on another: each emoji of the --from table becomes what
the --to table shows for it (its own emoji, a substitute, or text); everything else,
neutral notation such as :sunny: included, passes unchanged. TABLE is imode, ezweb,
softbank or unicode (the standard emoji, however written: with or without U+FE0F, flags,
keycaps; a longer sequence such as a skin tone or a ZWJ sequence stays whole).

The text goes through the interface twice: Globalize in the --from carrier's mode (or
Localize in mode 5, the standard emoji as written, for --from unicode) into a notation of
its own that no text holds, then Localize in the --to table's mode. U+FDD0 units of the
input (that notation's mark) and zero units pass through.

Options:
  -f, --from TABLE       the table the text is written for (required)
  -t, --to TABLE         the table to show it on (required)
  -e, --encoding ENC     of input and output: utf-8 (default), utf-16le or sjis (Shift_JIS:
                         the --from carrier's emoji layout on input, the --to carrier's on
                         output)
  --ncr                  emoji as character references on input and output (as for
                         localize); unicode in sjis needs it
  --show-codes           write carrier emoji as U+XXXX
  --module PATH          use another module and its configuration

FILE '-', or no FILE, is standard input. Results go to standard output in the order of
the files; text is converted and written as it is read, in bounded memory.

Examples:
  glyphary convert --from imode --to softbank posted.txt
  glyphary convert -f ezweb -t unicode < from-au.txt
  printf '\xe2\x98\x80\xef\xb8\x8f \xf0\x9f\x87\xaf\xf0\x9f\x87\xb5\n' | glyphary convert -f unicode -t imode
)";

constexpr const char* kListHelp = R"(Usage: glyphary list [--carrier TABLE] [PATTERN]

One row per emoji of the configuration: its id, its aliases, the code of each carrier as
U+XXXX with its Shift_JIS code in hex ('~' marks a substitute made of the carrier's own
emoji, text shows as text, '-' none), the standard emoji's code points and the emoji
itself (or the text shown in its place), its English and its Japanese name.

PATTERN is a regular expression (Perl syntax), matched without regard to letter case
anywhere in the id, the aliases and the names; a plain word finds itself. Exit status 1
when no emoji matches.

Options:
  -c, --carrier TABLE  only the emoji that imode, ezweb or softbank has as its own, or
                       that have a standard emoji (unicode)
  --module PATH        list the configuration beside another module

Examples:
  glyphary list sun
  glyphary list --carrier imode '^heart|ハート'
)";

constexpr const char* kDetectHelp = R"(Usage: glyphary detect [--explain] [USER-AGENT...]

Prints, one per line, the id that the module's user-agent rules give each User-Agent
(0: no rule matched). Without arguments, reads one User-Agent per line of standard input
and answers as soon as no more input is waiting. A line that cannot be answered (not
UTF-8, or a rule the regex engine gives up on) gets '?' in its place and its reason on
standard error with its line number; the exit status is then 1.

Options:
  --explain      add the carrier's name and the index of the matching rule, tab-separated
                 (the rules are read from the Glyphary.setting beside the module)
  --module PATH  use another module and its configuration

Examples:
  glyphary detect 'DoCoMo/2.0 P903i(c100;TB;W24H12)'
  glyphary detect --explain < user-agents.txt
)";

constexpr const char* kMailHelp = R"(Usage: glyphary mail [-v] [--keep-headers] [IN [OUT]]
       glyphary mail --in-place [-j N] [-v] [--keep-headers] FILE...
       glyphary mail --decode [-c CARRIER] [--to TABLE] [--show-codes] [-j N] [-o OUT] [FILE...]

Rewrites the emoji codes of raw EZweb (au) mail as ConvertEzwebMail does: from IN (default:
standard input) to OUT (default: standard output; '-' for either). Where the module refuses a
mail or cannot see its structure (no preamble before the first part, a folded Content-Type
or one with more parameters, nested multiparts, attached messages), the program finds its
ISO-2022-JP text parts through their MIME structure and rewrites the same codes with the
module's mail map, every other byte left as it was. ISO-2022-JP encoded words in the header
(the Subject, names) get their codes rewritten too, unless --keep-headers is given. Lines
ended by LF alone keep their LF. A file that is no mail message (it does not begin with a
header field, or has NUL in its header) is never rewritten. Nothing is written when the
conversion fails; OUT is replaced only by a complete result.

With --in-place each FILE is converted where it lies: the result goes to a temporary file
beside it, is flushed to disk and put in the file's place only when the conversion
succeeded, so a failure or a crash never loses a message. A file that changed, moved or
went while it was converted is left alone and counted as failed; on SIGINT, SIGTERM or
SIGHUP the temporary files are removed, and a later run removes those a killed run left.
Only regular files are converted; a symbolic link stays a link and its target is written.
A progress bar shows on a terminal; a summary ends the run: converted (and how many through
their structure), unchanged, failed, and files that are no mail (skipped). With -v each file
is named with what became of it: converted by the module, converted by the module with its
header rewritten by the program, converted through its structure, unchanged, skipped.

With --decode each mail (FILE..., default standard input) becomes UTF-8 text on standard
output, or in OUT: From, To, Date and Subject (control characters shown as '?'), each text
part decoded (ISO-2022-JP with au's emoji, each carrier's Shift_JIS, UTF-8), its emoji as
neutral notation; other parts are listed by type, name and size. Several mails are shown
one after the other, each under "==> FILE <==". A mail is read within limits (32 levels of
nested parts, 10,000 parts, 10,000 header lines, header fields GMime interprets up to 64 KiB
each and 512 KiB in all): what a limit leaves unread is named at the end of its text, as
"[not shown: ...]", and on standard error.

Exit status: 0 success; 1 a mail failed (not converted, or not decoded); 2 a command line
that makes no sense; with --decode, 3 a mail shown in part (a limit), 4 text that did not
decode in its charset (each such byte shown as U+FFFD, counted on standard error: often a
wrong --carrier). The first of 1, 3, 4 that applies to any mail is the status.

Options:
  -i, --in-place     convert the files where they are
  -j, --jobs N       with --in-place or --decode: N files at once (default: one per
                     processor)
  -v, --verbose      name each file with what became of it
  --keep-headers     leave the header as it is: rewrite no encoded words
  --decode           show the mail as text
  -c, --carrier C    with --decode: whose emoji the mail holds (default: by the sender's
                     domain, else as the charset tells)
  --to TABLE         with --decode: emoji as another table's (unicode: standard emoji)
                     instead of notation
  --show-codes       with --decode: write carrier emoji as U+XXXX
  -o, --output OUT   with --decode: write the text to OUT (never one of the mails)
  --module PATH      use another module and its configuration

Examples:
  glyphary mail incoming.eml converted.eml
  glyphary mail --in-place ~/Maildir/new/*
  glyphary mail -i -j 4 -v ~/Maildir/cur/*
  glyphary mail --decode --to unicode ~/Maildir/new/1700000000.1.host
  glyphary mail --decode -j 4 -o archive.txt ~/Maildir/cur/*
)";

constexpr const char* kInfoHelp = R"(Usage: glyphary info

Shows the module in use and its settings file, the default property values, the size of
each mode's tables (as the map files give them, and as many codes as the loaded module's
Globalize recognises), the mail map, the user-agent rules in order, and the members of
IGlyphary as the object's own type information describes them.

Options:
  --module PATH  describe another module

Examples:
  glyphary info
  glyphary info --module /opt/glyphary/lib/glyphary/glyphary.so
)";

constexpr const char* kRegisterHelp = R"(Usage: glyphary register [--module PATH]

Calls the module's own DllRegisterServer: the COM class "Glyphary" then names this module
file, and clients can create it by ProgID or CLSID. The registry is a file: by default under
$XDG_DATA_HOME; $GLYPHARY_REGISTRY names another.

Examples:
  glyphary register
  GLYPHARY_REGISTRY=/tmp/test.reg glyphary register --module build/module/glyphary.so
)";

constexpr const char* kUnregisterHelp = R"(Usage: glyphary unregister [--module PATH]

Calls the module's own DllUnregisterServer, which removes the entries of the class
"Glyphary". Fails when they are not there.

Examples:
  glyphary unregister
  GLYPHARY_REGISTRY=/tmp/test.reg glyphary unregister
)";

constexpr OptionDef kModule{"module", 0, true};
constexpr OptionDef kHelp{"help", 'h', false};

struct Command {
    const char* name;
    std::vector<std::string> help;
    std::vector<OptionDef> options;
    int (*run)(Session&, const Arguments&);
};

const std::vector<OptionDef> kConvertSpecs = {
    kModule,
    kHelp,
    {"carrier", 'c', true},
    {"encoding", 'e', true},
    {"ncr", 0, false},
    {"globalize-format", 0, true},
    {"globalize-undefined-format", 0, true},
    {"localize-pattern", 0, true},
    {"localize-undefined-format", 0, true},
    {"show-codes", 0, false},
};

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"globalize",
         {kGlobalizeHelp, kConvertOptions, kGlobalizeExamples},
         kConvertSpecs,
         RunGlobalize},
        {"localize",
         {kLocalizeHelp, kConvertOptions, kLocalizeExamples},
         kConvertSpecs,
         RunLocalize},
        {"convert",
         {kConvertHelp},
         {kModule,
          kHelp,
          {"from", 'f', true},
          {"to", 't', true},
          {"encoding", 'e', true},
          {"ncr", 0, false},
          {"show-codes", 0, false}},
         RunConvert},
        {"list", {kListHelp}, {kModule, kHelp, {"carrier", 'c', true}}, RunList},
        {"detect", {kDetectHelp}, {kModule, kHelp, {"explain", 0, false}}, RunDetect},
        {"mail",
         {kMailHelp},
         {kModule,
          kHelp,
          {"in-place", 'i', false},
          {"jobs", 'j', true},
          {"decode", 0, false},
          {"carrier", 'c', true},
          {"to", 0, true},
          {"show-codes", 0, false},
          {"output", 'o', true},
          {"verbose", 'v', false},
          {"keep-headers", 0, false}},
         RunMail},
        {"info", {kInfoHelp}, {kModule, kHelp}, RunInfo},
        {"register", {kRegisterHelp}, {kModule, kHelp}, RunRegister},
        {"unregister", {kUnregisterHelp}, {kModule, kHelp}, RunUnregister},
    };
    return commands;
}

const Command* FindCommand(const std::string& name) {
    for (const Command& command : Commands())
        if (name == command.name) return &command;
    return nullptr;
}

void Print(const std::vector<std::string>& parts) {
    for (const std::string& part : parts) std::fputs(part.c_str(), stdout);
}

int UsageFailure(const std::string& message, const std::string& command) {
    std::fprintf(stderr, "glyphary: %s\nTry 'glyphary %s--help'.\n", message.c_str(),
                 command.empty() ? "" : (command + " ").c_str());
    return 2;
}

int Main(std::vector<std::string> args) {
    // Options before the command: --module, --help, --version.
    std::optional<std::string> modulePath;
    size_t i = 0;
    for (; i < args.size() && args[i].size() > 1 && args[i][0] == '-'; ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kOverview, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("glyphary %s\n", GLYPHARY_VERSION);
            return 0;
        }
        if (arg == "--module" && i + 1 < args.size()) {
            modulePath = args[++i];
        } else if (arg.rfind("--module=", 0) == 0) {
            modulePath = arg.substr(9);
        } else {
            return UsageFailure(
                arg == "--module" ? "--module needs a value" : "unknown option " + arg, "");
        }
    }
    if (i == args.size()) return UsageFailure("which command?", "");
    std::string name = args[i++];
    if (name == "help") {
        if (i == args.size()) {
            std::fputs(kOverview, stdout);
            return 0;
        }
        name = args[i];
        args = {"--help"};
        i = 0;
    }
    const Command* command = FindCommand(name);
    if (!command) return UsageFailure("unknown command '" + name + "'", "");

    try {
        const Arguments parsed(std::vector<std::string>(args.begin() + i, args.end()),
                               command->options);
        if (parsed.Has("help")) {
            Print(command->help);
            return 0;
        }
        if (parsed.Has("module")) modulePath = parsed.Value("module");
        Session session(modulePath ? std::optional<std::filesystem::path>(*modulePath)
                                   : std::nullopt);
        return command->run(session, parsed);
    } catch (const UsageError& e) {
        return UsageFailure(e.what(), name);
    } catch (const std::bad_alloc&) {
        // Where a command knows what it was doing, its own message says so.
        Report("out of memory while running " + name);
        return 1;
    } catch (const std::exception& e) {
        Report(e.what());
        return 1;
    }
}

}  // namespace

std::vector<std::filesystem::path> ModulesBesideTheProgram() {
    // The program's own directory, from the kernel: the module is found relative to it,
    // wherever the build tree or the installation lies. An installed program first, then the
    // build tree's layout.
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return {self.parent_path() / GLYPHARY_INSTALLED_MODULE_DIR / "glyphary.so",
            self.parent_path() / GLYPHARY_BUILT_MODULE_DIR / "glyphary.so"};
}

void Report(const std::string& message) {
    std::fprintf(stderr, "glyphary: %s\n", message.c_str());
}

}  // namespace glyphary::tool

int main(int argc, char** argv) {
#ifdef M_MMAP_THRESHOLD
    // Each piece of text makes strings of a few hundred kilobytes (the interface's and the
    // module's own). By default glibc gives blocks that large pages of their own, or hands the
    // top of the heap back when they are freed, so every piece faulted in fresh pages: more
    // than half the time of a conversion. They stay in the heap instead, which may keep up to
    // 16 MiB of it free for the next piece.
    mallopt(M_MMAP_THRESHOLD, 16 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
#endif
    // The module's start-up creates COM objects (its XML reader) on the loading thread, so COM
    // comes first, as in any COM client.
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int status;
    try {
        status = glyphary::tool::Main(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::bad_alloc&) {
        glyphary::tool::Report("out of memory");
        status = 1;
    } catch (const std::exception& e) {
        glyphary::tool::Report(e.what());
        status = 1;
    }
    if (SUCCEEDED(init)) CoUninitialize();
    return status;
}
