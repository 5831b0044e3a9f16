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
#include "text_options.h"

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
  --globalize-format FMT            override the GlobalizeFormat property
  --globalize-undefined-format FMT  override GlobalizeUndefinedFormat
  --localize-pattern REGEX          override LocalizePattern
  --localize-undefined-format FMT   override LocalizeUndefinedFormat
)";

// The encodings, the error policy and in-place conversion: globalize, localize and convert.
constexpr const char* kTextOptions =
    R"(  -e, --encoding ENC     of input and output: utf-8 (default), utf-16le (units pass
                         through untouched, lone surrogates and zero units included)
                         or sjis (alias cp932: Shift_JIS as the carrier's handsets send
                         it, emoji at their codes; SoftBank's ESC $ web codes are read)
  --input-encoding ENC   of input only, whatever -e says
  --output-encoding ENC  of output only, whatever -e says
  --ncr                  emoji as character references: on output, private-use
                         characters and what the encoding cannot carry become &#xHEX;
                         (input reads &#xE63E; and &#58942; unless --forms leaves
                         references out)
  --errors POLICY        input that does not decode, and characters the output encoding
                         cannot carry: strict (default: the input fails there), replace
                         (U+FFFD in the text, '?' in the output) or keep (the bytes as
                         they were; what the output cannot carry as &#N;). Each item
                         replaced or kept is counted; the first ten are listed on
                         standard error with file, line and byte (or unit of the result)
  --forms LIST           the stored forms input is read in: references, localsrc,
                         webcodes, google (these four: default), sjis-references (&#63647;
                         for docomo's F8 9F) and cp932 (text a cp932 decoder read from the
                         carrier's Shift_JIS); e.g. default,cp932, or none
  --show-codes           write carrier emoji (private-use characters, which terminals
                         cannot draw) as U+XXXX
  --module PATH          use another module and its configuration

In place:
  -i, --in-place         convert each FILE where it lies: the result goes to a temporary
                         file beside it, flushed to disk and put in its place only when
                         complete and when the file is still the one read (permissions
                         kept, a symbolic link stays a link and its target is written).
                         Files whose bytes would not change are not written (their times
                         stay). Binary files (a NUL character) and files that do not
                         decode (--errors strict) are skipped and named; a file changed,
                         moved or removed meanwhile is left so and counted as failed.
                         SIGINT, SIGTERM and SIGHUP remove the temporary files.
  -r, --recursive        with --in-place: the files under each directory FILE, entries in
                         byte order of their names; symbolic links to directories are not
                         followed (and named), links to files are written through, a file
                         reached twice is converted once; unreadable files and directories
                         are named and count as failed
  -j, --jobs N           with --in-place: N files at once (default: one per processor);
                         messages and summary are the same whatever N
  --check                a dry run of --in-place: writes nothing, lists on standard output
                         each file that would change (how many lines, what would be
                         replaced or kept)
  --backup SUFFIX        with --in-place: keep each file replaced beside it as NAME SUFFIX;
                         files named with SUFFIX are left alone by -r

FILE '-', or no FILE, is standard input. Results go to standard output in the order of
the files; with --in-place, a progress bar on a terminal and a summary of the files
converted, unchanged, skipped and failed on standard error.

Exit status: 0 all converted; 1 a failure (the other files go on); 2 a command line that
makes no sense; 3 all converted, but something was replaced or kept (--errors).
)";

constexpr const char* kObjectNotes = R"(
Defaults of the four properties come from Glyphary.setting ('glyphary info'); they and the
options are checked before any input is read. Text is converted and written as it is read,
so input of any size needs little memory (a failure stops the file there).
)";

constexpr const char* kGlobalizeHelp =
    R"(Usage: glyphary globalize --carrier CARRIER [OPTIONS] [FILE...]

Every emoji of the carrier's handsets in the text becomes its neutral id, written through
GlobalizeFormat; everything else passes unchanged.
)";

constexpr const char* kGlobalizeExamples = R"(
Examples:
  glyphary globalize --carrier softbank --encoding sjis posted.txt
  glyphary globalize -c imode --input-encoding sjis --errors keep posts.sjis > posts.txt
  printf 'Fine \xee\x98\xbe\n' | glyphary globalize -c docomo
  glyphary globalize -c softbank --globalize-format '[%1%]' message.txt
  glyphary globalize -c ezweb --in-place -r --backup .orig site/
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
  glyphary localize -c imode --output-encoding sjis page.txt > page.sjis
  glyphary localize -c unicode --output-encoding sjis --ncr page.txt > page-refs.sjis
  glyphary localize -c softbank --localize-undefined-format '(%1%?)' note.txt
)";

constexpr const char* kConvertHelp =
    R"(Usage: glyphary convert --from TABLE --to TABLE [OPTIONS] [FILE...]

Text written for one table shown on another: each emoji of the --from table becomes what
the --to table shows for it (its own emoji, a substitute, or text); everything else,
neutral notation such as :sunny: included, passes unchanged. TABLE is imode, ezweb,
softbank or unicode (the standard emoji, however written: with or without U+FE0F, flags,
keycaps; a longer sequence such as a skin tone or a ZWJ sequence stays whole). --from auto
reads every carrier's emoji at once; --to notation writes neutral notation (the configured
GlobalizeFormat), for standard emoji too.

The text goes through the interface twice: Globalize in the --from carrier's mode (or
Localize in mode 5, the standard emoji as written, for --from unicode) into a notation of
its own that no text holds, then Localize in the --to table's mode. U+FDD0 units of the
input (that notation's mark) and zero units pass through.

Options:
  -f, --from TABLE       the table the text is written for (required), or auto: each
                         emoji's carrier found from its code, record by record; a code
                         several carriers have goes to the carrier the record's other
                         emoji show, else to the first of --prefer, and is counted
  -t, --to TABLE         the table to show it on (required), or notation
  --record KIND          with auto: line (default), paragraph (up to a blank line) or whole
  --prefer LIST          with auto: carriers in order for codes a record does not decide
                         (default imode,ezweb,softbank; those left out come last)
  --explain              with auto: each guess on standard error, with file and line
)";

constexpr const char* kConvertNotes = R"(
In Shift_JIS the --from carrier's emoji layout is read and the --to carrier's written; the
unicode table in Shift_JIS needs --ncr. Text is converted and written as it is read, in
bounded memory.

Examples:
  glyphary convert --from imode --to softbank posted.txt
  glyphary convert -f ezweb -t unicode --input-encoding sjis from-au.sjis > from-au.txt
  printf '\xe2\x98\x80\xef\xb8\x8f \xf0\x9f\x87\xaf\xf0\x9f\x87\xb5\n' | glyphary convert -f unicode -t imode
  glyphary convert -f imode -t unicode --input-encoding sjis --check -r site/
  glyphary convert -f imode -t unicode --input-encoding sjis --errors keep -i -r site/
  glyphary convert -f auto -t unicode --input-encoding sjis --explain guestbook.sjis
  glyphary convert -f ezweb -t notation --forms default,cp932 export.csv
)";

constexpr const char* kListHelp = R"(Usage: glyphary list [--carrier TABLE] [PATTERN]

One row per emoji of the configuration: its id, its aliases, the code of each carrier as
U+XXXX with its Shift_JIS code in hex ('~' marks a substitute made of the carrier's own
emoji, text shows as text, '-' none), au's emoji number (the N of <img localsrc="N">)
and Google's private-use code when a carrier has the emoji as its own, the standard
emoji's code points and the emoji
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
       glyphary mail --to-mime [-c CARRIER] [--notation] [-j N] [-o OUT] [FILE]
       glyphary mail --to-mime [-c CARRIER] [--notation] [-j N] [-r] --output-dir DIR FILE...
       glyphary mail --to-mime [-c CARRIER] [--notation] [-j N] [-r] --in-place FILE...

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

With --to-mime each mail becomes a standard MIME message in UTF-8, for mail systems that
read no carrier's charsets: every text part --decode shows is decoded the same way and
written anew in UTF-8 (charset=utf-8, a transfer encoding GMime chooses, lines ended by LF),
header fields with encoded words in another charset (Subject, names) anew in UTF-8; its
emoji become standard emoji, or neutral notation with --notation. Attachments, attached
messages, other header fields and the structure stay. One mail goes to standard output or
OUT; many to --output-dir DIR (under its own name, or its path below a directory given with
-r), or --in-place, with the same care as mail --in-place. A Maildir name that carries the
size (",S=1234", ",W=1260") is renamed to the new size; a taken name is refused. With -r a
directory stands for every file below it, but for hidden files and those in a tmp directory
(mail still being delivered); files that are no mail are skipped. A mail that a limit leaves
in part unread is not re-encoded (a failure).

A FILE whose first line begins "From " is an mbox: each mail in it (from one line beginning
"From " to the next) is re-encoded alone, within the same limits, and the mbox is written
anew, each mail after its own "From " line and an empty line after it. A line of a mail that
would begin "From " is written as ">From " (mboxo; a ">From " read in stays as it is), and
text with such lines goes quoted-printable with the F encoded, so no reader takes it for the
next mail. When one mail of an mbox cannot be re-encoded, the error names its number and
nothing of that mbox is written.

Exit status: 0 success; 1 a mail failed (not converted, or not decoded); 2 a command line
that makes no sense; with --decode or --to-mime, 3 a mail shown in part (a limit), 4 text that did not
decode in its charset (each such byte shown as U+FFFD, counted on standard error: often a
wrong --carrier). The first of 1, 3, 4 that applies to any mail is the status.

Options:
  -i, --in-place     convert the files where they are
  -j, --jobs N       with --in-place, --decode or --to-mime: N files at once (default: one per
                     processor)
  -v, --verbose      name each file with what became of it
  --keep-headers     leave the header as it is: rewrite no encoded words
  --decode           show the mail as text
  -c, --carrier C    with --decode or --to-mime: whose emoji the mail holds (default: by the sender's
                     domain, else as the charset tells)
  --to TABLE         with --decode: emoji as another table's (unicode: standard emoji)
                     instead of notation
  --show-codes       with --decode or --to-mime: write carrier emoji as U+XXXX
  -o, --output OUT   with --decode: write the text to OUT (never one of the mails);
                     with --to-mime: write the mail to OUT
  --to-mime          re-encode the mail as standard MIME in UTF-8
  --output-dir DIR   with --to-mime: write each mail into DIR
  -r, --recursive    with --to-mime: every mail below each directory given
  --notation         with --to-mime: emoji as neutral notation, not standard emoji
  --module PATH      use another module and its configuration

Examples:
  glyphary mail incoming.eml converted.eml
  glyphary mail --in-place ~/Maildir/new/*
  glyphary mail -i -j 4 -v ~/Maildir/cur/*
  glyphary mail --decode --to unicode ~/Maildir/new/1700000000.1.host
  glyphary mail --decode -j 4 -o archive.txt ~/Maildir/cur/*
  glyphary mail --to-mime -r --output-dir ~/utf8-mail ~/Maildir
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

// The options of a text command: its own, then those they all share.
std::vector<OptionDef> TextCommandOptions(std::vector<OptionDef> own) {
    own.insert(own.begin(), {kModule, kHelp});
    own.insert(own.end(), TextOptionDefs().begin(), TextOptionDefs().end());
    return own;
}

const std::vector<OptionDef> kObjectOptions = {
    {"carrier", 'c', true},
    {"globalize-format", 0, true},
    {"globalize-undefined-format", 0, true},
    {"localize-pattern", 0, true},
    {"localize-undefined-format", 0, true},
};

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"globalize",
         {kGlobalizeHelp, kConvertOptions, kTextOptions, kObjectNotes, kGlobalizeExamples},
         TextCommandOptions(kObjectOptions),
         RunGlobalize},
        {"localize",
         {kLocalizeHelp, kConvertOptions, kTextOptions, kObjectNotes, kLocalizeExamples},
         TextCommandOptions(kObjectOptions),
         RunLocalize},
        {"convert",
         {kConvertHelp, kTextOptions, kConvertNotes},
         TextCommandOptions({{"from", 'f', true},
                             {"to", 't', true},
                             {"record", 0, true},
                             {"prefer", 0, true},
                             {"explain", 0, false}}),
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
          {"keep-headers", 0, false},
          {"to-mime", 0, false},
          {"output-dir", 0, true},
          {"recursive", 'r', false},
          {"notation", 0, false}},
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
