#include "tests/support/RecordingWindow.h"

#include <algorithm>

namespace testing_support {

void RecordingWindow::beginWaitCursor() {
    ++waitCursorBegins;
    maxWaitCursorDepth = std::max(maxWaitCursorDepth, ++waitCursorDepth);
}

void RecordingWindow::endWaitCursor() {
    --waitCursorDepth;
}

void RecordingWindow::dispatchPendingEvent() {
    ++dispatches;
    if (onDispatch)
        onDispatch();
}

}  // namespace testing_support
