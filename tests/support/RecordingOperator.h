#pragma once

#include "engine/Operator.h"
#include "tests/support/BoxNames.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace testing_support {

// An operator that answers every message with a fixed button and remembers
// what the engine asked it to show.
class RecordingOperator : public engine::Operator {
public:
    struct Message {
        std::string text;
        engine::BoxStyle style;
    };

    engine::BoxAnswer messageBox(const std::string& text, engine::BoxStyle style) override;
    void setProgressRange(std::uint64_t total) override;
    void setProgressPosition(std::uint64_t position) override;
    void phaseChanged(engine::UnitPhase phase) override;
    void connectionAttempted(bool succeeded) override;
    void probeSent() override;
    void setUnitCounter(const std::string& text) override { counters.push_back(text); }

    engine::BoxAnswer answer = engine::BoxAnswer::Ok;

    // Everything below is read by tests after the run.
    std::vector<Message> messages;
    std::vector<std::uint64_t> positions;
    std::vector<std::uint64_t> ranges;
    std::vector<engine::UnitPhase> phases;
    std::vector<std::string> counters;
    int connectionAttempts = 0;
    int probes = 0;
};

// A recording operator that can act when the sequence reaches a phase: a
// test stops, floods or breaks things at the moment it means to.
class PhaseHookOperator : public RecordingOperator {
public:
    std::function<void(engine::UnitPhase)> onPhase;
    void phaseChanged(engine::UnitPhase phase) override {
        RecordingOperator::phaseChanged(phase);
        if (onPhase)
            onPhase(phase);
    }
};

}  // namespace testing_support
