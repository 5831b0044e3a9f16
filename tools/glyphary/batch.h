// Files worked on by several threads, their results taken in the order of the files, so that
// what the program prints does not depend on how many threads ran; and the progress bar of
// such a run.
#pragma once

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/win.h"

namespace glyphary::tool {

/// A one-line bar on stderr, redrawn in place; only when `shown` (stderr is a terminal).
class Progress {
  public:
    Progress(size_t total, bool shown) : m_total(total), m_shown(shown) {}
    ~Progress() { Clear(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    /// `done` of the total, working on `name`.
    void Show(size_t done, const std::string& name) {
        if (!m_shown) return;
        struct winsize ws {};
        const size_t columns =
            ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
        constexpr size_t width = 24;
        const size_t filled = m_total ? std::min(done, m_total) * width / m_total : width;
        std::string line = "\r[" + std::string(filled, '#') + std::string(width - filled, ' ') +
                           "] " + std::to_string(done) + "/" + std::to_string(m_total) + " " + name;
        if (line.size() > columns) line.resize(columns);
        std::fputs(line.c_str(), stderr);
        std::fputs("\033[K", stderr);
        std::fflush(stderr);
        m_drawn = true;
    }
    /// Wipes the bar, so that a message can take its line.
    void Clear() {
        if (!m_drawn) return;
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        m_drawn = false;
    }

  private:
    size_t m_total;
    bool m_shown;
    bool m_drawn = false;
};

/// Work on `count` items by index on worker threads. Each worker makes its own `State` on
/// its thread first (the module's objects live in single-threaded apartments, so a thread
/// joins COM and makes its own). Workers run at most `window` items ahead of the one taken
/// last, so no more than that many results wait in memory.
template <class State, class Result>
class Batch {
  public:
    using MakeState = std::function<std::unique_ptr<State>()>;
    using Work = std::function<Result(State&, size_t)>;

    Batch(size_t count, MakeState make, Work work, size_t window)
        : m_count(count),
          m_make(std::move(make)),
          m_work(std::move(work)),
          m_window(std::max<size_t>(window, 1)),
          m_results(count) {}
    ~Batch() {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;  // an early end: no new items
        }
        m_room.notify_all();
        for (std::thread& thread : m_threads) thread.join();
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    /// Starts up to `threads` workers; fewer when the system refuses more threads.
    void Start(size_t threads) {
        m_threads.reserve(threads);
        for (size_t i = 0; i < threads; ++i) {
            std::lock_guard lock(m_mutex);
            try {
                m_threads.emplace_back([this] { Run(); });
                ++m_running;
            } catch (const std::system_error&) {
                break;
            }
        }
    }

    /// The result of item `i` (taken in order, each once), once a worker is done with it;
    /// worked on here with `state` when no worker is left to do it.
    Result Take(size_t i, State& state) {
        std::unique_lock lock(m_mutex);
        m_taken = i + 1;
        m_room.notify_all();
        m_done.wait(lock, [&] { return m_results[i].has_value() || m_running == 0; });
        if (m_results[i]) {
            Result result = std::move(*m_results[i]);
            m_results[i].reset();
            return result;
        }
        // Every item a worker took has its result: this one was never taken.
        lock.unlock();
        return m_work(state, i);
    }

  private:
    void Run() {
        const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        try {
            const std::unique_ptr<State> state = m_make();
            for (;;) {
                size_t i;
                {
                    std::unique_lock lock(m_mutex);
                    m_room.wait(lock, [&] { return m_stopping || m_next < m_taken + m_window; });
                    if (m_stopping || m_next >= m_count) break;
                    i = m_next++;
                }
                Result result = m_work(*state, i);
                {
                    std::lock_guard lock(m_mutex);
                    m_results[i] = std::move(result);
                }
                m_done.notify_all();
            }
        } catch (...) {
            // No state on this thread: the other threads, or the taking one, do the items.
        }
        if (SUCCEEDED(init)) CoUninitialize();
        {
            std::lock_guard lock(m_mutex);
            --m_running;
        }
        m_done.notify_all();
    }

    const size_t m_count;
    MakeState m_make;
    Work m_work;
    const size_t m_window;
    std::vector<std::optional<Result>> m_results;
    std::mutex m_mutex;
    std::condition_variable m_done, m_room;
    size_t m_next = 0;   // the next item for a worker
    size_t m_taken = 0;  // items taken so far, in order
    size_t m_running = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

}  // namespace glyphary::tool
