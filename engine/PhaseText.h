#pragma once

#include "engine/Operator.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace engine {

// What a display tells the operator of a unit's programming while it runs, on
// one line: the phase in words, the boot-loader probe the sequence is at and
// the seconds left of the verdict wait. Fed from an Operator's notes; each note
// says whether the text changed, so a display redraws only then. The command
// line's status line and the window's progress bar show the same words.
class PhaseText {
public:
    // Each returns true when text() changed.
    bool phaseChanged(UnitPhase phase);
    bool probeSent();
    bool timeLeft(std::chrono::milliseconds left);

    UnitPhase phase() const { return phase_; }
    // "entering the boot loader", "waiting for the boot loader: probe 3",
    // "connecting for the image", "streaming the image",
    // "waiting for the verdict: 17 s left", ...
    std::string text() const;

private:
    UnitPhase phase_ = UnitPhase::Preparing;
    int probes_ = 0;
    std::int64_t secondsLeft_ = -1;  // not told yet
};

}  // namespace engine
