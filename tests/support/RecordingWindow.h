#pragma once

#include "engine/WindowHooks.h"

#include <functional>

namespace testing_support {

// Window hooks that count what a run asked of the window: its wait cursor
// levels and the events it let run (the paints are not counted).
class RecordingWindow : public engine::WindowHooks {
public:
    void beginWaitCursor() override;
    void endWaitCursor() override;
    void dispatchPendingEvent() override;
    void keepPainted() override {}

    // Called at each dispatch, as an event the window ran there would be.
    std::function<void()> onDispatch;

    int waitCursorDepth = 0;
    int maxWaitCursorDepth = 0;
    int waitCursorBegins = 0;
    int dispatches = 0;
};

}  // namespace testing_support
