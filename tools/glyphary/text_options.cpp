#include "text_options.h"

#include <unistd.h>

#include <algorithm>

#include "client/carriers.h"
#include "client/errors.h"

namespace glyphary::tool {

const std::vector<OptionDef>& TextOptionDefs() {
    static const std::vector<OptionDef> defs = {
        {"encoding", 'e', true},  {"input-encoding", 0, true}, {"output-encoding", 0, true},
        {"ncr", 0, false},        {"errors", 0, true},         {"show-codes", 0, false},
        {"in-place", 'i', false}, {"recursive", 'r', false},   {"jobs", 'j', true},
        {"check", 0, false},      {"backup", 0, true},         {"forms", 0, true},
    };
    return defs;
}

namespace {

// --input-encoding and --output-encoding each win over --encoding, whatever their order.
text::Encoding EncodingOf(const Arguments& args, const char* option) {
    const char* name = args.Has(option) ? option : "encoding";
    if (!args.Has(name)) return text::Encoding::utf8;
    const std::string& value = args.Value(name);
    const std::optional<text::Encoding> encoding = text::ParseEncoding(value);
    if (!encoding)
        throw UsageError("unknown encoding '" + value + "' (--" + name +
                         "): use utf-8, utf-16le or sjis");
    return *encoding;
}

text::Errors ErrorsOf(const Arguments& args) {
    if (!args.Has("errors")) return text::Errors::strict;
    const std::string& value = args.Value("errors");
    if (value == "strict") return text::Errors::strict;
    if (value == "replace") return text::Errors::replace;
    if (value == "keep") return text::Errors::keep;
    throw UsageError("--errors " + value + ": use strict, replace or keep");
}

text::Format FormatOf(text::Encoding encoding, EMapMode mode, bool references) {
    try {
        return client::TextFormat(encoding, mode, references);
    } catch (const client::ClientError& e) {
        throw UsageError(e.what());
    }
}

}  // namespace

text::Format TextOptions::InputFormat(EMapMode mode) const {
    text::Format format = FormatOf(input, mode, references);
    format.forms = format.forms | forms;
    return format;
}

text::Format TextOptions::AutoInputFormat() const {
    return {input, text::Carrier::automatic, references ? forms | text::Form::references : forms};
}

text::Format TextOptions::OutputFormat(EMapMode mode) const {
    return FormatOf(output, mode, references);
}

TextOptions ParseTextOptions(const Arguments& args) {
    TextOptions options;
    options.input = EncodingOf(args, "input-encoding");
    options.output = EncodingOf(args, "output-encoding");
    options.references = args.Has("ncr");
    options.errors = ErrorsOf(args);
    if (args.Has("forms")) {
        std::string unknown;
        const std::optional<text::Forms> forms = text::ParseForms(args.Value("forms"), &unknown);
        if (!forms)
            throw UsageError("--forms: unknown form '" + unknown +
                             "': use default, none or a list of references, sjis-references, "
                             "localsrc, webcodes, google, cp932");
        options.forms = *forms;
    }
    options.showCodes = args.Has("show-codes");

    InPlaceOptions& place = options.inPlace;
    place.check = args.Has("check");
    place.enabled = args.Has("in-place") || place.check;
    if (!place.enabled) {
        for (const char* option : {"recursive", "jobs", "backup"})
            if (args.Has(option))
                throw UsageError(std::string("--") + option + " goes with --in-place or --check");
        return options;
    }
    if (options.showCodes) throw UsageError("--show-codes is for terminals, not for --in-place");
    if (args.Operands().empty()) throw UsageError("--in-place needs the files to convert");
    place.recursive = args.Has("recursive");
    place.jobs = ParseJobs(args);
    if (args.Has("backup")) {
        place.backup = args.Value("backup");
        if (place.backup.empty() || place.backup.find('/') != std::string::npos)
            throw UsageError("--backup takes a suffix for the names of the backups, such as .orig");
        if (place.check) throw UsageError("--check writes nothing: --backup goes with --in-place");
    }
    return options;
}

size_t ParseJobs(const Arguments& args) {
    if (!args.Has("jobs")) return static_cast<size_t>(std::max(sysconf(_SC_NPROCESSORS_ONLN), 1L));
    const std::string& text = args.Value("jobs");
    const bool number =
        !text.empty() && text.size() <= 4 &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!number || std::stoul(text) == 0)
        throw UsageError("--jobs takes how many files to convert at once (1 to 9999), not '" +
                         text + "'");
    return std::stoul(text);
}

}  // namespace glyphary::tool
