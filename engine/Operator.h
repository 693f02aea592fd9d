#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace engine {

// Message box flags as the operator's messages name them.
namespace mb {
inline constexpr unsigned kOk = 0;         // OK button; shown with the exclamation icon
inline constexpr unsigned kIconStop = 16;  // OK button, stop icon
inline constexpr unsigned kOkCancelQuestion = 33;
inline constexpr unsigned kIconExclamation = 48;
inline constexpr unsigned kIconInformation = 64;
inline constexpr int kAnswerOk = 1;
inline constexpr int kAnswerCancel = 2;
}  // namespace mb

// Where a unit's programming stands; front ends show it, tests count it.
enum class UnitPhase {
    Preparing,
    BootLoaderEntry,
    Draining,
    BootLoaderWait,
    ImageConnection,
    Streaming,
    VerdictWait,
    Finished,
};

const char* phaseName(UnitPhase phase);

// The one way the engine and the fleet code reach the person at the controls.
// The window, the command line and the tests each implement it; nothing else in
// the engine knows how messages are shown or progress is drawn.
class Operator {
public:
    virtual ~Operator() = default;

    // A modal message; returns mb::kAnswerOk or mb::kAnswerCancel.
    virtual int messageBox(const std::string& text, unsigned flags) = 0;

    // Progress of the current image: range 0..total bytes, then positions.
    virtual void setProgressRange(std::uint64_t total) = 0;
    virtual void setProgressPosition(std::uint64_t position) = 0;

    // Busy indication; nested, each begin released by exactly one end.
    virtual void beginWaitCursor() = 0;
    virtual void endWaitCursor() = 0;

    // Once per streamed block: let one waiting user-interface event run.
    virtual void dispatchPendingEvent() = 0;
    // While a blocking connect or send waits: keep painting, take no input.
    virtual void keepPainted() = 0;

    // The unit counter ("1 of 1", "n of m").
    virtual void setUnitCounter(const std::string& /*text*/) {}

    // Optional notes for displays and tests.
    virtual void phaseChanged(UnitPhase) {}
    virtual void connectionAttempted(bool /*succeeded*/) {}
    virtual void probeSent() {}
    // How long the current phase may still last, where it has a limit (the
    // verdict wait): noted before each of its pauses.
    virtual void phaseTimeLeft(std::chrono::milliseconds /*left*/) {}
};

}  // namespace engine
