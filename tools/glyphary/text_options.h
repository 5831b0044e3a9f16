// The options that globalize, localize and convert share: the encodings of input and output,
// the error policy, and converting files where they lie.
#pragma once

#include <string>
#include <vector>

#include "cli.h"
#include "com/iglyphary.h"
#include "text/format.h"
#include "text/resolver.h"

namespace glyphary::tool {

/// The option definitions every text command takes, for its list of options.
const std::vector<OptionDef>& TextOptionDefs();

/// --in-place and what goes with it.
struct InPlaceOptions {
    bool enabled = false;  ///< --in-place, or --check
    bool check = false;    ///< a dry run: nothing is written
    bool recursive = false;
    size_t jobs = 1;
    std::string backup;  ///< --backup SUFFIX; empty: no backup
};

/// How a text command reads and writes.
struct TextOptions {
    text::Encoding input = text::Encoding::utf8;
    text::Encoding output = text::Encoding::utf8;
    bool references = false;  ///< --ncr
    /// --forms: the legacy forms input is read in (--ncr adds references).
    text::Forms forms = text::kDefaultInputForms;
    text::Errors errors = text::Errors::strict;
    bool showCodes = false;
    InPlaceOptions inPlace;

    /// The format of input written for map mode `mode` (Shift_JIS follows its carrier's
    /// layout). UsageError when that encoding cannot carry its text.
    text::Format InputFormat(EMapMode mode) const;
    /// The format of input from every carrier at once (convert --from auto).
    text::Format AutoInputFormat() const;
    /// The format of output written for map mode `mode`.
    text::Format OutputFormat(EMapMode mode) const;
};

/// The options of `args` that kTextOptionDefs defines. UsageError for values that make no
/// sense, or in-place options without --in-place.
TextOptions ParseTextOptions(const Arguments& args);

/// -j N: how many files at once; by default as many as there are processors online.
size_t ParseJobs(const Arguments& args);

}  // namespace glyphary::tool
