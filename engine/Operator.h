#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace engine {

// What a message box shows: an icon and the buttons the operator answers with.
enum class BoxIcon {
    None,  // no icon named: the box shows the exclamation icon all the same
    Stop,
    Question,
    Exclamation,
    Information,
};
enum class BoxButtons { Ok, OkCancel };

// The button that closed a box.
enum class BoxAnswer { Ok, Cancel };

struct BoxStyle {
    // Not explicit: most messages are a box with one icon and an OK button,
    // and name just the icon.
    constexpr BoxStyle(BoxIcon shown, BoxButtons offered = BoxButtons::Ok)
        : icon(shown), buttons(offered) {}
    BoxIcon icon;
    BoxButtons buttons;
    friend constexpr bool operator==(const BoxStyle&, const BoxStyle&) = default;
};

// The question of a command that asks before it acts.
inline constexpr BoxStyle kOkCancelQuestion{BoxIcon::Question, BoxButtons::OkCancel};

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
// the engine knows how messages are shown or progress is drawn. What only a
// window needs (its wait cursor, its events) is WindowHooks.
class Operator {
public:
    virtual ~Operator() = default;

    // A modal message; the answer is Cancel only where the box offers it.
    virtual BoxAnswer messageBox(const std::string& text, BoxStyle style) = 0;

    // Progress of the current image: range 0..total bytes, then positions.
    virtual void setProgressRange(std::uint64_t total) = 0;
    virtual void setProgressPosition(std::uint64_t position) = 0;

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
