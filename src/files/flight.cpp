#include "files/flight.h"

#include <fcntl.h>
#include <unistd.h>

#include <mutex>

#include "files/replace.h"

namespace glyphary::files {
namespace detail {
namespace {

// Every flight of the process, oldest first. The mutex is held only to add or drop one, and
// by the clean-up from its start to the end of the process.
struct Flights {
    std::mutex mutex;
    Flight* first = nullptr;
    Flight* last = nullptr;
};

Flights& AllFlights() {
    static Flights* flights = new Flights;  // never destroyed: the clean-up may run to the end
    return *flights;
}

}  // namespace

Flight::Flight(std::string what) : label(std::move(what)) {
    Flights& flights = AllFlights();
    std::lock_guard lock(flights.mutex);
    prev = flights.last;
    (prev ? prev->next : flights.first) = this;
    flights.last = this;
}

Flight::~Flight() {
    Flights& flights = AllFlights();
    std::lock_guard lock(flights.mutex);
    (prev ? prev->next : flights.first) = next;
    (next ? next->prev : flights.last) = prev;
}

void Flight::Enter() noexcept {
    int state = kIdle;
    if (m_state.compare_exchange_strong(state, kBusy, std::memory_order_acquire)) return;
    for (;;) m_state.wait(kTaken);
}

void Flight::Leave() noexcept {
    m_state.store(kIdle, std::memory_order_release);
    m_state.notify_all();
}

void Flight::Take() noexcept {
    int state = m_state.load(std::memory_order_acquire);
    for (;;) {
        if (state == kBusy) {
            m_state.wait(kBusy, std::memory_order_acquire);
            state = m_state.load(std::memory_order_acquire);
        } else if (m_state.compare_exchange_weak(state, kTaken, std::memory_order_acquire)) {
            return;
        }
    }
}

}  // namespace detail

void AbandonAll(const std::function<void(const std::string& label)>& report) {
    detail::Flights& flights = detail::AllFlights();
    flights.mutex.lock();  // kept: no replacement starts or ends any more
    for (detail::Flight* flight = flights.first; flight; flight = flight->next) {
        flight->Take();
        if (flight->finished) continue;
        if (!flight->temp.empty()) unlinkat(flight->dir, flight->temp.c_str(), 0);
        report(flight->label);
    }
}

}  // namespace glyphary::files
