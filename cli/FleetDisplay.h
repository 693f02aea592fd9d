#pragma once

#include "engine/Operator.h"

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace cli {

// What stderr shows while several units are programmed at once. On a terminal:
// one line per unit in flight (address, phase, percent) under an overall
// "n of m" line, redrawn in place. Elsewhere: one line per finished unit.
// Safe to call from every worker thread.
class FleetDisplay {
public:
    FleetDisplay(std::ostream& err, bool terminal, std::size_t total);
    ~FleetDisplay();

    // The units of the batch, once known (before the first starts).
    void setTotal(std::size_t total) {
        std::lock_guard lock(mutex_);
        total_ = total;
    }
    // retry: a further attempt at a unit already counted as started.
    void unitStarted(std::size_t slotKey, const std::string& target, std::size_t number,
                     bool retry = false);
    void unitPhase(std::size_t slotKey, engine::UnitPhase phase);
    void unitProgress(std::size_t slotKey, std::uint64_t position, std::uint64_t total);
    void unitFinished(std::size_t slotKey, const std::string& line);
    // A message of the programming sequence, kept above the live block.
    void message(const std::string& target, const std::string& text);
    void finish();

private:
    struct Row {
        std::string target;
        std::size_t number = 0;
        engine::UnitPhase phase = engine::UnitPhase::Preparing;
        std::uint64_t position = 0;
        std::uint64_t total = 0;
    };
    void clearBlock();
    void drawBlock(bool force);

    std::ostream& err_;
    const bool terminal_;  // fixed at construction: read without the lock
    std::size_t total_;
    std::size_t finished_ = 0;
    std::size_t started_ = 0;
    std::mutex mutex_;
    std::map<std::size_t, Row> rows_;
    int drawnLines_ = 0;
    std::chrono::steady_clock::time_point lastDraw_{};
};

// The operator each unit's programming run talks to in a parallel batch.
class FleetUnitOperator final : public engine::Operator {
public:
    FleetUnitOperator(FleetDisplay& display, std::size_t slotKey, std::string target)
        : display_(display), slotKey_(slotKey), target_(std::move(target)) {}

    engine::BoxAnswer messageBox(const std::string& text, engine::BoxStyle style) override;
    void setProgressRange(std::uint64_t total) override;
    void setProgressPosition(std::uint64_t position) override;
    void phaseChanged(engine::UnitPhase phase) override { display_.unitPhase(slotKey_, phase); }

private:
    FleetDisplay& display_;
    std::size_t slotKey_;
    std::string target_;
    std::uint64_t total_ = 0;
};

}  // namespace cli
