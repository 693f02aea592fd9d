#include "cli/TerminalOperator.h"

#include "cli/VisibleText.h"

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

int TerminalOperator::messageBox(const std::string& text, unsigned flags) {
    finishProgressLine();
    lastMessage_ = text;
    err_ << "fwprog: " << text;
    if (text.empty() || text.back() != '\n')
        err_ << '\n';
    err_.flush();
    // Nothing can be asked back headless: the question box answers OK, which
    // is what the command line's own confirmation has already settled.
    (void)flags;
    return engine::mb::kAnswerOk;
}

void TerminalOperator::setProgressRange(std::uint64_t total) {
    total_ = total;
    position_ = 0;
}

void TerminalOperator::phaseChanged(engine::UnitPhase phase) {
    if (phase == engine::UnitPhase::Streaming) {
        streamStart_ = Clock::now();
        lastDraw_ = {};
    } else if (phase == engine::UnitPhase::VerdictWait && lineOpen_) {
        drawProgress(true);
        finishProgressLine();
    }
}

void TerminalOperator::setProgressPosition(std::uint64_t position) {
    position_ = position;
    if (position > 0)
        drawProgress(position >= total_);
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
    std::snprintf(line, sizeof line, "%s%s[%s] %5.1f%%  %s / %s  %s/s ", label_.c_str(),
                  label_.empty() ? "" : " ", bar.c_str(), percent,
                  humanBytes(static_cast<double>(position_)).c_str(),
                  humanBytes(static_cast<double>(total_)).c_str(),
                  humanBytes(seconds > 0 ? static_cast<double>(position_) / seconds : 0).c_str());
    // Back to the line's start to draw over it: the program's own control.
    writeControl(err_, "\r");
    err_ << line;
    err_.flush();
    lineOpen_ = true;
}

void TerminalOperator::finishProgressLine() {
    if (lineOpen_) {
        err_ << '\n';
        err_.flush();
        lineOpen_ = false;
    }
}

}  // namespace cli
