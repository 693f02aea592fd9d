#include "cli/TerminalOperator.h"

#include "engine/VisibleText.h"

#include <cstdio>
#include <ostream>

namespace cli {

using Clock = std::chrono::steady_clock;

std::string humanBytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 4) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

TerminalOperator::TerminalOperator(std::ostream& err, bool showProgress)
    : err_(err), showProgress_(showProgress) {}

TerminalOperator::~TerminalOperator() {
    finishProgressLine();
}

engine::BoxAnswer TerminalOperator::messageBox(const std::string& text, engine::BoxStyle style) {
    const bool phaseShown = line_ == Line::Phase;
    finishProgressLine();
    lastMessage_ = text;
    err_ << "fwprog: " << text;
    if (text.empty() || text.back() != '\n')
        err_ << '\n';
    err_.flush();
    // The phase goes on below the message.
    if (phaseShown)
        drawPhase();
    // Nothing can be asked back headless: the question box answers OK, which
    // is what the command line's own confirmation has already settled.
    (void)style;
    return engine::BoxAnswer::Ok;
}

void TerminalOperator::setProgressRange(std::uint64_t total) {
    total_ = total;
    position_ = 0;
}

void TerminalOperator::phaseChanged(engine::UnitPhase phase) {
    const bool changed = phase_.phaseChanged(phase);
    switch (phase) {
        case engine::UnitPhase::Preparing:
            // Too short to show; a line left from an earlier unit ends here.
            finishProgressLine();
            break;
        case engine::UnitPhase::Streaming:
            // The bar takes the line over with its first block.
            streamStart_ = Clock::now();
            lastDraw_ = {};
            break;
        case engine::UnitPhase::VerdictWait:
            // The whole bar stays on its own line; the countdown goes below.
            if (line_ == Line::Bar) {
                drawProgress(true);
                finishProgressLine();
            }
            drawPhase();
            break;
        case engine::UnitPhase::Finished:
            finishProgressLine();
            break;
        default:
            if (changed)
                drawPhase();
            break;
    }
}

void TerminalOperator::probeSent() {
    if (phase_.probeSent())
        drawPhase();
}

void TerminalOperator::phaseTimeLeft(std::chrono::milliseconds left) {
    if (phase_.timeLeft(left) && phase_.phase() == engine::UnitPhase::VerdictWait)
        drawPhase();
}

void TerminalOperator::setProgressPosition(std::uint64_t position) {
    position_ = position;
    if (position > 0)
        drawProgress(position >= total_);
}

void TerminalOperator::drawLine(const std::string& text, Line kind) {
    if (!showProgress_)
        return;
    // Back to the line's start, the text, and the rest of the line erased:
    // the program's own controls.
    engine::writeControl(err_, "\r");
    err_ << label_ << (label_.empty() ? "" : " ") << text;
    engine::writeControl(err_, "\x1b[K");
    err_.flush();
    line_ = kind;
}

void TerminalOperator::drawPhase() {
    drawLine(phase_.text(), Line::Phase);
}

void TerminalOperator::drawProgress(bool force) {
    if (!showProgress_)
        return;
    const auto now = Clock::now();
    if (!force && now - lastDraw_ < std::chrono::milliseconds(100))
        return;
    lastDraw_ = now;
    const double seconds = std::chrono::duration<double>(now - streamStart_).count();
    const double percent =
        total_ ? 100.0 * static_cast<double>(position_) / static_cast<double>(total_) : 100.0;
    const int width = 30;
    const int filled = static_cast<int>(percent / 100.0 * width);
    std::string bar(static_cast<std::size_t>(std::min(filled, width)), '#');
    bar.resize(width, '-');
    char line[256];
    std::snprintf(line, sizeof line, "[%s] %5.1f%%  %s / %s  %s/s", bar.c_str(), percent,
                  humanBytes(static_cast<double>(position_)).c_str(),
                  humanBytes(static_cast<double>(total_)).c_str(),
                  humanBytes(seconds > 0 ? static_cast<double>(position_) / seconds : 0).c_str());
    drawLine(line, Line::Bar);
}

void TerminalOperator::finishProgressLine() {
    if (line_ == Line::Bar) {
        err_ << '\n';
        err_.flush();
    } else if (line_ == Line::Phase) {
        engine::writeControl(err_, "\r\x1b[K");
        err_.flush();
    }
    line_ = Line::None;
}

}  // namespace cli
