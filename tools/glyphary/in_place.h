// Files converted where they lie, many at once: worker threads each with a Conversion of their
// own, results reported in the order of the files whatever the number of threads, a progress
// bar on a terminal and a summary at the end. The replacement itself is written_files.h's.
#pragma once

#include <string>
#include <vector>

#include "batch.h"
#include "text_io.h"
#include "text_options.h"

namespace glyphary::tool {

/// One of the paths an in-place run goes over.
struct ListedFile {
    std::string path;
    /// Not empty: the path is not converted, and this says why (in its place in the report).
    std::string note;
    bool failed = false;  ///< the note is a failure, not a file skipped
};

/// The files `operands` name, in order: files as they are; with `recursive`, the regular files
/// under directories, each directory's entries in byte order of their names, symbolic links
/// to files written through, symbolic links to directories not followed. A file reached twice
/// (by links, or named twice) is converted once. Temporary files of ours, and with a
/// `backupSuffix` files named with it, are passed over without a word.
std::vector<ListedFile> ListFiles(const std::vector<std::string>& operands, bool recursive,
                                  const std::string& backupSuffix);

/// The files `operands` name converted where they lie (--in-place), or, with `options.check`,
/// what would change in each listed on stdout. Returns the exit status: 1 when any failed,
/// else 3 when anything was replaced or kept, else 0.
int ConvertInPlace(const std::vector<std::string>& operands, const InPlaceOptions& options,
                   const MakeConversion& make, const TextSettings& settings);

}  // namespace glyphary::tool
