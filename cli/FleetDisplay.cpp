#include "cli/FleetDisplay.h"

#include "engine/VisibleText.h"

#include <cstdio>
#include <ostream>

namespace cli {

FleetDisplay::FleetDisplay(std::ostream& err, bool terminal, std::size_t total)
    : err_(err), terminal_(terminal), total_(total) {}

FleetDisplay::~FleetDisplay() {
    finish();
}

void FleetDisplay::clearBlock() {
    // Up one line and erase it, once per line drawn: the program's own
    // controls, which the filter for outside bytes must let through.
    for (int i = 0; i < drawnLines_; ++i)
        engine::writeControl(err_, "\x1b[1A\x1b[2K");
    drawnLines_ = 0;
}

void FleetDisplay::drawBlock(bool force) {
    if (!terminal_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastDraw_ < std::chrono::milliseconds(100))
        return;
    lastDraw_ = now;
    clearBlock();
    char line[512];
    for (const auto& [key, row] : rows_) {
        const double percent =
            row.total ? 100.0 * static_cast<double>(row.position) / static_cast<double>(row.total)
                      : 0.0;
        std::snprintf(line, sizeof line, "  %-16s %-24s %5.1f%%\n", row.target.c_str(),
                      engine::phaseName(row.phase), percent);
        err_ << line;
        ++drawnLines_;
    }
    std::snprintf(line, sizeof line, "%zu of %zu started, %zu finished, %zu in flight\n", started_,
                  total_, finished_, rows_.size());
    err_ << line;
    ++drawnLines_;
    err_.flush();
}

void FleetDisplay::unitStarted(std::size_t slotKey, const std::string& target, std::size_t number,
                               bool retry) {
    std::lock_guard lock(mutex_);
    if (!retry)
        ++started_;
    rows_[slotKey] = Row{target, number, engine::UnitPhase::Preparing, 0, 0};
    drawBlock(true);
}

// Phases and progress are only drawn on a terminal; elsewhere every unit in
// flight would take the one lock for each block it sends, for nothing.
void FleetDisplay::unitPhase(std::size_t slotKey, engine::UnitPhase phase) {
    if (!terminal_)
        return;
    std::lock_guard lock(mutex_);
    if (auto row = rows_.find(slotKey); row != rows_.end())
        row->second.phase = phase;
    drawBlock(false);
}

void FleetDisplay::unitProgress(std::size_t slotKey, std::uint64_t position, std::uint64_t total) {
    if (!terminal_)
        return;
    std::lock_guard lock(mutex_);
    if (auto row = rows_.find(slotKey); row != rows_.end()) {
        row->second.position = position;
        row->second.total = total;
    }
    drawBlock(false);
}

void FleetDisplay::unitFinished(std::size_t slotKey, const std::string& line) {
    std::lock_guard lock(mutex_);
    ++finished_;
    std::size_t number = 0;
    if (auto row = rows_.find(slotKey); row != rows_.end()) {
        number = row->second.number;
        rows_.erase(row);
    }
    clearBlock();
    err_ << number << " of " << total_ << ": " << line << '\n';
    drawBlock(true);
    err_.flush();
}

void FleetDisplay::message(const std::string& target, const std::string& text) {
    std::lock_guard lock(mutex_);
    clearBlock();
    err_ << "fwprog: " << target << ": " << text;
    if (text.empty() || text.back() != '\n')
        err_ << '\n';
    drawBlock(true);
    err_.flush();
}

void FleetDisplay::finish() {
    std::lock_guard lock(mutex_);
    clearBlock();
    err_.flush();
}

engine::BoxAnswer FleetUnitOperator::messageBox(const std::string& text, engine::BoxStyle) {
    display_.message(target_, text);
    return engine::BoxAnswer::Ok;
}

void FleetUnitOperator::setProgressRange(std::uint64_t total) {
    total_ = total;
    display_.unitProgress(slotKey_, 0, total);
}

void FleetUnitOperator::setProgressPosition(std::uint64_t position) {
    display_.unitProgress(slotKey_, position, total_);
}

}  // namespace cli
