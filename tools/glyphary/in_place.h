// Files converted where they lie, many at once: worker threads each with a Conversion of their
// own, results reported in the order of the files whatever the number of threads, a progress
// bar on a terminal and a summary at the end. The replacement itself is written_files.h's.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/win.h"
#include "text_io.h"
#include "text_options.h"

namespace glyphary::tool {

/// A one-line bar on stderr, redrawn in place; only when `shown` (stderr is a terminal).
class Progress {
  public:
    Progress(size_t total, bool shown) : m_total(total), m_shown(shown) {}
    ~Progress() { Clear(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    /// `done` of the total, working on `name`.
    void Show(size_t done, const std::string& name);
    /// Wipes the bar, so that a message can take its line.
    void Clear();

  private:
    size_t m_total;
    bool m_shown;
    bool m_drawn = false;
};

/// Items worked on by threads, each with a worker of its own made on that thread (which joins
/// COM first: the module's objects live in single-threaded apartments). Results are taken in
/// the order of the items.
template <class Result>
class Batch {
  public:
    /// Works on item `index`; never throws.
    using Worker = std::function<Result(size_t index)>;
    /// Makes a thread's worker; may throw, and the thread then does nothing.
    using MakeWorker = std::function<Worker()>;

    Batch(size_t count, MakeWorker make) : m_make(std::move(make)), m_results(count) {}
    ~Batch() {
        m_next = m_results.size();  // an early end: no new items
        for (std::thread& thread : m_threads) thread.join();
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    /// Starts up to `count` threads; fewer when the system refuses more.
    void Start(size_t count) {
        m_threads.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            std::lock_guard lock(m_mutex);
            try {
                m_threads.emplace_back([this] { Work(); });
                ++m_running;
            } catch (const std::system_error&) {
                break;
            }
        }
    }

    /// The result of item `i`, once a thread is done with it; worked on here by `worker` when
    /// no thread is left to do it.
    Result Take(size_t i, const Worker& worker) {
        std::unique_lock lock(m_mutex);
        m_done.wait(lock, [&] { return m_results[i].has_value() || m_running == 0; });
        if (m_results[i]) return std::move(*m_results[i]);
        // Every item a thread took has its result: this one was never taken.
        lock.unlock();
        return worker(i);
    }

  private:
    void Work() {
        const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        try {
            const Worker worker = m_make();
            for (size_t i; (i = m_next.fetch_add(1)) < m_results.size();) {
                Result result = worker(i);
                {
                    std::lock_guard lock(m_mutex);
                    m_results[i] = std::move(result);
                }
                m_done.notify_all();
            }
        } catch (...) {
            // No worker on this thread: the other threads, or the main one, do the items.
        }
        if (SUCCEEDED(init)) CoUninitialize();
        {
            std::lock_guard lock(m_mutex);
            --m_running;
        }
        m_done.notify_all();
    }

    MakeWorker m_make;
    std::vector<std::optional<Result>> m_results;
    std::atomic<size_t> m_next{0};
    std::mutex m_mutex;
    std::condition_variable m_done;
    size_t m_running = 0;
    std::vector<std::thread> m_threads;
};

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
