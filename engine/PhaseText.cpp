#include "engine/PhaseText.h"

namespace engine {

bool PhaseText::phaseChanged(UnitPhase phase) {
    const std::string before = text();
    if (phase != phase_) {
        // Each wait counts afresh: a run's probes and its countdown start
        // with the phase that has them.
        if (phase == UnitPhase::BootLoaderWait || phase == UnitPhase::Preparing)
            probes_ = 0;
        secondsLeft_ = -1;
    }
    phase_ = phase;
    return text() != before;
}

bool PhaseText::probeSent() {
    // The sequence probes only while it waits for the boot loader.
    if (phase_ != UnitPhase::BootLoaderWait)
        return false;
    ++probes_;
    return true;
}

bool PhaseText::timeLeft(std::chrono::milliseconds left) {
    // Whole seconds, rounded up: "1 s left" until the wait is over.
    const std::int64_t seconds = left.count() <= 0 ? 0 : (left.count() + 999) / 1000;
    if (seconds == secondsLeft_)
        return false;
    secondsLeft_ = seconds;
    return true;
}

std::string PhaseText::text() const {
    switch (phase_) {
        case UnitPhase::Preparing:
            return "preparing";
        case UnitPhase::BootLoaderEntry:
        case UnitPhase::Draining:
            return "entering the boot loader";
        case UnitPhase::BootLoaderWait:
            return probes_ > 0 ? "waiting for the boot loader: probe " + std::to_string(probes_)
                               : "waiting for the boot loader";
        case UnitPhase::ImageConnection:
            return "connecting for the image";
        case UnitPhase::Streaming:
            return "streaming the image";
        case UnitPhase::VerdictWait:
            return secondsLeft_ >= 0
                       ? "waiting for the verdict: " + std::to_string(secondsLeft_) + " s left"
                       : "waiting for the verdict";
        case UnitPhase::Finished:
            return "finished";
    }
    return {};
}

}  // namespace engine
