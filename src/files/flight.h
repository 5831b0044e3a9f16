// Replacements in progress as the clean-up at the process's end sees them (internal to
// glyphary-files). Each has a state word instead of one lock over all of them: a replacement
// marks the steps that create, move or remove names, and the clean-up waits out such a step
// before it takes the replacement over for good.
#pragma once

#include <atomic>
#include <string>

namespace glyphary::files::detail {

class Flight {
  public:
    /// Listed from now on.
    explicit Flight(std::string label);
    /// Listed no more.
    ~Flight();
    Flight(const Flight&) = delete;
    Flight& operator=(const Flight&) = delete;

    /// Starts a step that creates, moves or removes names. Once the clean-up has taken over it
    /// never returns: the process is ending.
    void Enter() noexcept;
    /// Ends the step.
    void Leave() noexcept;
    /// For the clean-up: waits out a step in progress, then takes over for good.
    void Take() noexcept;

    const std::string label;
    // Changed by the replacement only inside a step; read by the clean-up once it took over.
    int dir = -1;           // the directory of the temporary file
    std::string temp;       // the temporary file, while it is ours to remove
    bool finished = false;  // the result is in place: nothing to undo

    // The list of flights, under its mutex.
    Flight* prev = nullptr;
    Flight* next = nullptr;

  private:
    enum : int { kIdle, kBusy, kTaken };
    std::atomic<int> m_state{kIdle};
};

}  // namespace glyphary::files::detail
