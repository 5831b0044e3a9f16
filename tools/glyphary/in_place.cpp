#include "in_place.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <optional>

#include "files/replace.h"
#include "signals.h"
#include "written_files.h"

namespace glyphary::tool {

// ---------------------------------------------------------------------------------------------
// Progress

// ---------------------------------------------------------------------------------------------
// Listing

namespace {

std::string Join(const std::string& dir, const std::string& name) {
    return dir.ends_with('/') ? dir + name : dir + "/" + name;
}

std::string Why(const std::string& path) {
    return path + ": " + std::strerror(errno);
}

class Lister {
  public:
    Lister(bool recursive, const std::string& backupSuffix)
        : m_recursive(recursive), m_backupSuffix(backupSuffix) {}

    void Operand(const std::string& path) {
        struct stat st {};
        if (path == "-") return Fail(path, "-: --in-place needs files, not standard input");
        // What an operand names is followed, links to directories too: the user named it.
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            if (!m_recursive)
                return Fail(path, path + ": is a directory (--recursive converts the files in it)");
            return Directory(path);
        }
        File(path);  // opening it says what is wrong with it, if anything
    }

    std::vector<ListedFile> Take() { return std::move(m_listed); }

  private:
    void Fail(const std::string& path, std::string why) {
        m_listed.push_back({path, std::move(why), true});
    }
    void Skip(const std::string& path, std::string why) {
        m_listed.push_back({path, std::move(why), false});
    }

    // A file to convert, unless it was listed already under another name.
    void File(const std::string& path) {
        struct stat st {};
        if (stat(path.c_str(), &st) == 0) {
            const auto [it, added] = m_seen.emplace(std::pair{st.st_dev, st.st_ino}, path);
            if (!added)
                return Skip(path, path + ": the same file as " + it->second + "; converted once");
        }
        m_listed.push_back({path, {}, false});
    }

    void Directory(const std::string& dir) {
        DIR* d = opendir(dir.c_str());
        if (!d) return Fail(dir, Why(dir));
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* entry = readdir(d)) {
            const std::string_view name = entry->d_name;
            if (name != "." && name != "..") names.emplace_back(name);
        }
        const int error = errno;
        closedir(d);
        if (error) {
            errno = error;
            return Fail(dir, Why(dir));
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) Entry(Join(dir, name), name);
    }

    void Entry(const std::string& path, const std::string& name) {
        if (!files::kHiddenNaming.PrefixOf(name).empty()) return;  // ours, or a killed run's
        if (!m_backupSuffix.empty() && name.ends_with(m_backupSuffix)) return;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) return Fail(path, Why(path));
        if (S_ISDIR(st.st_mode)) return Directory(path);
        if (S_ISREG(st.st_mode)) return File(path);
        if (!S_ISLNK(st.st_mode)) return Skip(path, path + ": not a regular file; skipped");
        if (stat(path.c_str(), &st) != 0)
            return Skip(path, path + ": a symbolic link that leads nowhere; skipped");
        if (S_ISDIR(st.st_mode))
            return Skip(path, path + ": a symbolic link to a directory; not followed");
        if (!S_ISREG(st.st_mode))
            return Skip(path, path +
                                  ": a symbolic link to something other than a regular file; "
                                  "skipped");
        File(path);
    }

    bool m_recursive;
    const std::string& m_backupSuffix;
    std::vector<ListedFile> m_listed;
    std::map<std::pair<dev_t, ino_t>, std::string> m_seen;
};

}  // namespace

std::vector<ListedFile> ListFiles(const std::vector<std::string>& operands, bool recursive,
                                  const std::string& backupSuffix) {
    Lister lister(recursive, backupSuffix);
    for (const std::string& operand : operands) lister.Operand(operand);
    return lister.Take();
}

// ---------------------------------------------------------------------------------------------
// One file

namespace {

constexpr size_t kReadSize = size_t{1} << 20;

// What became of one file.
struct FileResult {
    enum class Kind { converted, unchanged, skipped, failed } kind = Kind::failed;
    std::string message;       // why it was skipped or failed; with --check, what would change
    bool outOfMemory = false;  // then the message is made when it is reported
    IssueReport issues;
};

// A file's result compared with the file as it comes: the temporary file is made only once
// the two differ, with the part they share copied from the file; never in a dry run.
class ResultWriter {
  public:
    ResultWriter(InPlaceFile& file, bool dryRun, const std::string& path)
        : m_file(file), m_dryRun(dryRun), m_path(path) {}

    void Write(std::string_view bytes) {
        if (!m_differs) {
            const size_t same = Same(bytes);
            m_same += same;
            if (same == bytes.size()) return;
            bytes.remove_prefix(same);
            Diverge();
        }
        if (!m_dryRun) m_file.Append(bytes);
    }

    /// At the end: whether the result differs from the file's `size` bytes.
    bool Differs(size_t size) {
        if (!m_differs && m_same != size) Diverge();
        return m_differs;
    }

  private:
    // How many of `bytes` equal the file's from m_same on.
    size_t Same(std::string_view bytes) {
        char buffer[1 << 14];
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n =
                pread(m_file.fd(), buffer, std::min(sizeof buffer, bytes.size() - done),
                      static_cast<off_t>(m_same + done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) throw ToolError(Why(m_path));
            const size_t got = static_cast<size_t>(n);
            const auto [mine, theirs] =
                std::mismatch(bytes.begin() + static_cast<ptrdiff_t>(done),
                              bytes.begin() + static_cast<ptrdiff_t>(done + got), buffer);
            done = static_cast<size_t>(mine - bytes.begin());
            if (theirs != buffer + got || got == 0) break;
        }
        return done;
    }

    void Diverge() {
        m_differs = true;
        if (m_dryRun) return;
        m_file.Begin();
        std::string copy(std::min<size_t>(m_same, 1 << 16), '\0');
        for (size_t at = 0; at < m_same;) {
            const ssize_t n = pread(m_file.fd(), copy.data(), std::min(copy.size(), m_same - at),
                                    static_cast<off_t>(at));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0)
                throw ToolError(n == 0 ? m_path + ": changed while converting" : Why(m_path));
            m_file.Append({copy.data(), static_cast<size_t>(n)});
            at += static_cast<size_t>(n);
        }
    }

    InPlaceFile& m_file;
    bool m_dryRun;
    const std::string& m_path;
    size_t m_same = 0;  // bytes of the result equal to the file's, while they agree
    bool m_differs = false;
};

// A NUL character in input read in pieces: a zero byte, in UTF-16LE a zero unit.
class NulFinder {
  public:
    explicit NulFinder(bool utf16le) : m_utf16le(utf16le) {}
    /// The stream offset of the first NUL in `bytes`, the next piece; none when there is none.
    std::optional<size_t> Find(std::string_view bytes) {
        const size_t start = m_offset;
        m_offset += bytes.size();
        if (!m_utf16le) {
            const void* zero = std::memchr(bytes.data(), 0, bytes.size());
            if (!zero) return std::nullopt;
            return start + static_cast<size_t>(static_cast<const char*>(zero) - bytes.data());
        }
        size_t i = 0;
        if (start % 2 == 1 && !bytes.empty()) {  // the second byte of a unit cut by the pieces
            if (m_lowZero && bytes[0] == '\0') return start - 1;
            i = 1;
        }
        for (; i + 1 < bytes.size(); i += 2)
            if (bytes[i] == '\0' && bytes[i + 1] == '\0') return start + i;
        m_lowZero = i < bytes.size() && bytes[i] == '\0';
        return std::nullopt;
    }

  private:
    bool m_utf16le;
    size_t m_offset = 0;
    bool m_lowZero = false;
};

std::string Recoded(const TextSettings& settings) {
    if (settings.in.encoding == settings.out.encoding) return {};
    return std::string(", written in ") + text::EncodingName(settings.out.encoding) +
           " instead of " + text::EncodingName(settings.in.encoding);
}

FileResult ConvertFile(Conversion& conversion, const std::string& path,
                       const InPlaceOptions& options, const TextSettings& settings,
                       char* buffer) noexcept {
    FileResult result;
    try {
        try {
            InPlaceFile file(path);
            ResultWriter writer(file, options.check, path);
            InputConversion converting(
                conversion, settings, path,
                [&writer](std::string_view bytes) { writer.Write(bytes); }, result.issues,
                options.check);
            NulFinder nul(settings.in.encoding == text::Encoding::utf16le);
            size_t size = 0;
            for (;;) {
                const ssize_t n = read(file.fd(), buffer, kReadSize);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) throw ToolError(Why(path));
                if (n == 0) break;
                const std::string_view bytes(buffer, static_cast<size_t>(n));
                if (const std::optional<size_t> at = nul.Find(bytes)) {
                    result.kind = FileResult::Kind::skipped;
                    result.message = path + ": binary (a NUL character at byte " +
                                     std::to_string(*at) + "); skipped";
                    result.issues = {};
                    return result;
                }
                converting.Feed(bytes);
                size += bytes.size();
            }
            converting.Finish();
            if (size != static_cast<size_t>(file.size()) || !file.Unchanged())
                throw ToolError(path + ": changed while converting");
            if (!writer.Differs(size)) {
                result.kind = FileResult::Kind::unchanged;  // it keeps its time stamps
                return result;
            }
            if (options.check) {
                const size_t lines = converting.changedLines();
                result.message = path + ": " +
                                 (lines ? std::to_string(lines) +
                                              (lines == 1 ? " line" : " lines") + " would change"
                                        : std::string("the same text in other bytes")) +
                                 Recoded(settings);
                if (result.issues.total())
                    result.message +=
                        "; " + result.issues.Counts() +
                        (settings.errors == text::Errors::keep ? " kept" : " replaced");
            } else {
                file.Commit(options.backup);
            }
            result.kind = FileResult::Kind::converted;
            return result;
        } catch (const UndecodableInput& e) {
            result.kind = FileResult::Kind::skipped;
            result.message = std::string(e.what()) + "; skipped";
        } catch (const ComError& e) {
            if (e.hr() == E_OUTOFMEMORY) throw std::bad_alloc();
            result.message = path + ": " + e.what();
        } catch (const ToolError& e) {
            result.message = e.what();
        }
        result.issues = {};
        return result;
    } catch (const std::bad_alloc&) {
        result.outOfMemory = true;
    } catch (const std::exception& e) {
        result.message.clear();
        result.message.append(path).append(": ").append(e.what());
    }
    result.kind = FileResult::Kind::failed;
    result.issues = {};
    return result;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The run

int ConvertInPlace(const std::vector<std::string>& operands, const InPlaceOptions& options,
                   const MakeConversion& make, const TextSettings& settings) {
    if (!options.check) CleanUpOnSignals();  // before any thread starts
    const std::vector<ListedFile> listed = ListFiles(operands, options.recursive, options.backup);

    // Each thread's worker has a conversion and a read buffer of its own.
    using Worker = std::function<FileResult(size_t)>;
    const auto makeWorker = [&]() -> Worker {
        std::shared_ptr<Conversion> conversion = make();
        std::shared_ptr<char[]> buffer(new char[kReadSize]);
        return [&, conversion, buffer](size_t i) {
            const ListedFile& file = listed[i];
            if (!file.note.empty()) {
                FileResult noted;
                noted.kind = file.failed ? FileResult::Kind::failed : FileResult::Kind::skipped;
                noted.message = file.note;
                return noted;
            }
            return ConvertFile(*conversion, file.path, options, settings, buffer.get());
        };
    };
    Worker here = makeWorker();  // fails here, before any file, when it cannot be made
    std::optional<Batch<Worker, FileResult>> batch;
    if (const size_t threads = std::min(options.jobs, listed.size()); threads > 1) {
        batch.emplace(
            listed.size(), [&] { return std::make_unique<Worker>(makeWorker()); },
            [](Worker& worker, size_t i) { return worker(i); }, listed.size());
        batch->Start(threads);
    }

    size_t counts[4] = {};
    size_t withIssues = 0;
    IssueReport issues;
    Progress progress(listed.size(), IsTerminal(STDERR_FILENO));
    for (size_t i = 0; i < listed.size(); ++i) {
        const std::string& path = listed[i].path;
        progress.Show(i, path);
        const FileResult result = batch ? batch->Take(i, here) : here(i);
        ++counts[static_cast<int>(result.kind)];
        if (result.issues.total()) ++withIssues;
        issues.Merge(result.issues);
        switch (result.kind) {
            case FileResult::Kind::converted:
                if (options.check) {
                    progress.Clear();
                    WriteAll(STDOUT_FILENO, result.message + "\n", "standard output");
                }
                break;
            case FileResult::Kind::unchanged:
                break;
            case FileResult::Kind::skipped:
                progress.Clear();
                Report(result.message);
                break;
            case FileResult::Kind::failed:
                progress.Clear();
                Report((result.outOfMemory ? "out of memory while converting " + path
                                           : result.message) +
                       " (left unchanged)");
                break;
        }
    }
    progress.Show(listed.size(), "");
    progress.Clear();
    issues.Print(settings.errors, withIssues);
    const std::string summary =
        std::to_string(counts[0]) + (options.check ? " would change, " : " converted, ") +
        std::to_string(counts[1]) + " unchanged, " + std::to_string(counts[2]) + " skipped, " +
        std::to_string(counts[3]) + " failed\n";
    std::fputs(summary.c_str(), stderr);
    if (counts[3]) return 1;
    return issues.total() ? 3 : 0;
}

}  // namespace glyphary::tool
