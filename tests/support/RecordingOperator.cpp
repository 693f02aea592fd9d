#include "tests/support/RecordingOperator.h"

namespace testing_support {

engine::BoxAnswer RecordingOperator::messageBox(const std::string& text, engine::BoxStyle style) {
    messages.push_back({text, style});
    return answer;
}
void RecordingOperator::setProgressRange(std::uint64_t total) {
    ranges.push_back(total);
}
void RecordingOperator::setProgressPosition(std::uint64_t position) {
    positions.push_back(position);
}
void RecordingOperator::phaseChanged(engine::UnitPhase phase) {
    phases.push_back(phase);
}
void RecordingOperator::connectionAttempted(bool) {
    ++connectionAttempts;
}
void RecordingOperator::probeSent() {
    ++probes;
}

}  // namespace testing_support
