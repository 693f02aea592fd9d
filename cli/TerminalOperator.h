#pragma once

#include "engine/Operator.h"
#include "engine/PhaseText.h"

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>

namespace cli {

// The operator on a terminal: messages go to stderr as "fwprog: <text>". When
// stderr is a terminal, one status line is redrawn in place there while a unit
// is programmed: the phase ("entering the boot loader", "waiting for the boot
// loader: probe 3"), the progress bar while the image streams (kept once the
// stream is over), then "waiting for the verdict: N s left", erased when the
// run ends. Nothing of it otherwise, so logs stay clean.
class TerminalOperator : public engine::Operator {
public:
    TerminalOperator(std::ostream& err, bool showProgress);
    ~TerminalOperator() override;

    engine::BoxAnswer messageBox(const std::string& text, engine::BoxStyle style) override;
    void setProgressRange(std::uint64_t total) override;
    void setProgressPosition(std::uint64_t position) override;
    void phaseChanged(engine::UnitPhase phase) override;
    void probeSent() override;
    void phaseTimeLeft(std::chrono::milliseconds left) override;

    // A prefix for the progress line, e.g. "3 of 12 127.0.0.7".
    void setLabel(std::string label) { label_ = std::move(label); }
    // Ends the status line that is still drawn: a progress bar stays on its
    // own line, a phase is erased.
    void finishProgressLine();
    // The text of the last message shown, for a command's JSON report.
    const std::string& lastMessage() const { return lastMessage_; }

private:
    enum class Line { None, Phase, Bar };

    void drawProgress(bool force);
    void drawPhase();
    // Draws text over the status line, from its start to its end.
    void drawLine(const std::string& text, Line kind);

    std::ostream& err_;
    bool showProgress_;
    std::string label_;
    std::string lastMessage_;
    std::uint64_t total_ = 0;
    std::uint64_t position_ = 0;
    Line line_ = Line::None;
    engine::PhaseText phase_;
    std::chrono::steady_clock::time_point streamStart_{};
    std::chrono::steady_clock::time_point lastDraw_{};
};

// "1.5 MiB", "312 KiB/s" and the like.
std::string humanBytes(double bytes);

}  // namespace cli
