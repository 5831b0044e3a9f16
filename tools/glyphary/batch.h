// Files worked on by several threads, their results taken in the order of the files, so that
// what the program prints does not depend on how many threads ran.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/win.h"

namespace glyphary::tool {

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
