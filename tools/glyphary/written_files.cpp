#include "written_files.h"

#include <cerrno>
#include <cstring>

#include "commands.h"
#include "files/replace.h"

namespace glyphary::tool {
namespace {

// Leftovers of killed runs, found once per directory for the whole run.
files::Leftovers& TheLeftovers() {
    static files::Leftovers leftovers;
    return leftovers;
}

// Throws the ToolError for `status`, unless it is ok.
void Check(const files::Status& status, const std::string& path,
           const files::Replacement& replacement) {
    const auto why = [&] { return std::string(": ") + std::strerror(status.error); };
    switch (status.fault) {
        case files::Fault::none:
            return;
        case files::Fault::directory:
            throw ToolError(path + ": is a directory");
        case files::Fault::irregular:
            throw ToolError(path + ": not a regular file");
        case files::Fault::create:
            throw ToolError("cannot create a temporary file beside " + path + why());
        case files::Fault::write:
            throw ToolError(path + " (writing " + replacement.temporaryName() + ")" + why());
        case files::Fault::changed:
            throw ToolError(path + ": changed while converting");
        case files::Fault::stranded:
            throw ToolError(path + ": changed while converting; what was there then is kept as " +
                            replacement.temporaryName() + " beside it");
        case files::Fault::locate:
        case files::Fault::open:
        case files::Fault::replace:
            break;
    }
    throw ToolError(path + why());
}

}  // namespace

void ReplaceFile(const std::string& path, std::string_view bytes) {
    files::Replacement out(TheLeftovers(), "writing " + path);
    Check(out.Target(path), path, out);
    Check(out.Create(), path, out);
    Check(out.Write(bytes), path, out);
    Check(out.Commit(), path, out);
}

struct InPlaceFile::State {
    explicit State(const std::string& p) : path(p), file(TheLeftovers(), "converting " + p) {}
    std::string path;
    files::Replacement file;
};

InPlaceFile::InPlaceFile(const std::string& path) : m_state(std::make_unique<State>(path)) {
    Check(m_state->file.Open(path), path, m_state->file);
}

InPlaceFile::~InPlaceFile() = default;

size_t InPlaceFile::size() const noexcept {
    return static_cast<size_t>(m_state->file.found().st_size);
}

std::string InPlaceFile::Read() {
    State& s = *m_state;
    std::string bytes;
    if (!files::ReadAll(s.file.original(), bytes))
        throw ToolError(s.path + ": " + std::strerror(errno));
    if (bytes.size() != size() || !s.file.Unchanged())
        throw ToolError(s.path + ": changed while converting");
    return bytes;
}

void InPlaceFile::Replace(std::string_view bytes, const std::string& renameTo) {
    State& s = *m_state;
    Check(s.file.Create(), s.path, s.file);
    Check(s.file.Write(bytes), s.path, s.file);
    files::CommitOptions options;
    options.renameTo = renameTo;
    Check(s.file.Commit(options), s.path, s.file);
}

int InPlaceFile::fd() const noexcept {
    return m_state->file.original();
}

bool InPlaceFile::Unchanged() const {
    return m_state->file.Unchanged();
}

void InPlaceFile::Begin() {
    Check(m_state->file.Create(), m_state->path, m_state->file);
}

void InPlaceFile::Append(std::string_view bytes) {
    Check(m_state->file.Write(bytes), m_state->path, m_state->file);
}

void InPlaceFile::Commit(const std::string& backupSuffix) {
    State& s = *m_state;
    files::CommitOptions options;
    if (!backupSuffix.empty()) {
        // Beside the file the links lead to, where the result goes.
        std::string target;
        if (!files::FollowLinks(s.path, target))
            throw ToolError(s.path + ": " + std::strerror(errno));
        const size_t slash = target.rfind('/');
        options.backup =
            (slash == std::string::npos ? target : target.substr(slash + 1)) + backupSuffix;
    }
    Check(s.file.Commit(options), s.path, s.file);
}

}  // namespace glyphary::tool
