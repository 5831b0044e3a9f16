// The files the program writes: replaced whole, or converted where they lie, through the
// file-replacement unit (src/files), with the program's messages.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace glyphary::tool {

/// Replaces the file at `path` with `bytes`, or creates it (0666 less the umask): a temporary
/// file beside it, written, flushed to disk and renamed over it; the original's permissions
/// are kept. The original is untouched when anything fails. A symbolic link stays a link:
/// the file it leads to is written. Throws ToolError.
void ReplaceFile(const std::string& path, std::string_view bytes);

/// A regular file converted where it lies: read whole, then replaced by the result only if it
/// is still the file that was read.
class InPlaceFile {
  public:
    /// Opens the file at `path` (a symbolic link leads to the file it names) without waiting;
    /// anything but a regular file is refused. Throws ToolError.
    explicit InPlaceFile(const std::string& path);
    ~InPlaceFile();
    InPlaceFile(const InPlaceFile&) = delete;
    InPlaceFile& operator=(const InPlaceFile&) = delete;

    /// Its size when it was opened.
    size_t size() const noexcept;
    /// All its bytes. Throws ToolError, also when the file changes while it is read.
    std::string Read();
    /// Puts `bytes` in its place as ReplaceFile does, unless the file changed, moved or went
    /// since it was opened: then it is left as it is, nothing of ours stays, and ToolError
    /// says "changed while converting". With `renameTo`, the result takes that name beside
    /// the file and the file's own name goes (refused when the name is taken).
    void Replace(std::string_view bytes, const std::string& renameTo = {});

    // A result written as it comes, for files read in pieces: Begin, Append..., Commit, as
    // Replace does in one go. Until Commit the file is untouched; the temporary file goes with
    // this object when Commit is not reached.

    /// The file opened, for reading (pread leaves the place Read reads from).
    int fd() const noexcept;
    /// Whether the file is still as it was opened.
    bool Unchanged() const;
    /// Makes the temporary file for the result. Throws ToolError.
    void Begin();
    /// Appends to the result. Throws ToolError.
    void Append(std::string_view bytes);
    /// Puts the result in the file's place, unless it changed meanwhile (as Replace). With a
    /// `backupSuffix`, the file replaced stays beside it under its name and that suffix (the
    /// name of the file a link leads to). Throws ToolError.
    void Commit(const std::string& backupSuffix = {});

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace glyphary::tool
