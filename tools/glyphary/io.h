// Files and standard streams: whole-file reads, complete writes, and replacing a file so that
// a failure or a crash at any moment leaves either the old or the new content, never a mix.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace glyphary::tool {

/// All bytes of the file at `path`, or of stdin for "-". Throws ToolError.
std::string ReadInput(const std::string& path);
/// Writes all of `bytes` to `fd`. Throws ToolError naming `what` on failure.
void WriteAll(int fd, std::string_view bytes, const std::string& what);
/// Replaces the file at `path` with `bytes`: a temporary file beside it, written, flushed to
/// disk and renamed over it; the original's permissions are kept (a new file gets the usual
/// 0666 less the umask). The original is untouched when anything fails. A symbolic link is
/// followed: its target is replaced. Throws ToolError.
void ReplaceFile(const std::filesystem::path& path, std::string_view bytes);
/// Whether `fd` is a terminal.
bool IsTerminal(int fd);

}  // namespace glyphary::tool
