#pragma once

#include "engine/Operator.h"

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>

namespace cli {

// The operator on a terminal: messages go to stderr as "fwprog: <text>", and
// while an image streams a progress line is redrawn in place when stderr is a
// terminal (nothing of it otherwise, so logs stay clean).
class TerminalOperator : public engine::Operator {
public:
    TerminalOperator(std::ostream& err, bool showProgress);
    ~TerminalOperator() override;

    int messageBox(const std::string& text, unsigned flags) override;
    void setProgressRange(std::uint64_t total) override;
    void setProgressPosition(std::uint64_t position) override;
    void beginWaitCursor() override {}
    void endWaitCursor() override {}
    void dispatchPendingEvent() override {}
    void keepPainted() override {}
    void phaseChanged(engine::UnitPhase phase) override;

    // A prefix for the progress line, e.g. "3 of 12 127.0.0.7".
    void setLabel(std::string label) { label_ = std::move(label); }
    // Ends a progress line that is still drawn.
    void finishProgressLine();
    // The text of the last message shown, for a command's JSON report.
    const std::string& lastMessage() const { return lastMessage_; }

private:
    void drawProgress(bool force);

    std::ostream& err_;
    bool showProgress_;
    std::string label_;
    std::string lastMessage_;
    std::uint64_t total_ = 0;
    std::uint64_t position_ = 0;
    bool lineOpen_ = false;
    std::chrono::steady_clock::time_point streamStart_{};
    std::chrono::steady_clock::time_point lastDraw_{};
};

// "1.5 MiB", "312 KiB/s" and the like.
std::string humanBytes(double bytes);

}  // namespace cli
