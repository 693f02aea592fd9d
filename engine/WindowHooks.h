#pragma once

namespace engine {

// What only a window needs from work that runs on its one thread: the wait
// cursor while the work goes on, and the moments the work lets the window's
// events run. The window implements it; where there is no window (the command
// line, a batch of units at a time, the tests), NoWindow does nothing.
class WindowHooks {
public:
    virtual ~WindowHooks() = default;

    // Busy indication; nested, each begin released by exactly one end.
    virtual void beginWaitCursor() = 0;
    virtual void endWaitCursor() = 0;

    // Once per streamed block: let one waiting user-interface event run.
    virtual void dispatchPendingEvent() = 0;
    // While a blocking connect or send waits: keep painting, take no input.
    virtual void keepPainted() = 0;
};

// The hooks of work that has no window.
class NoWindow final : public WindowHooks {
public:
    void beginWaitCursor() override {}
    void endWaitCursor() override {}
    void dispatchPendingEvent() override {}
    void keepPainted() override {}
};

// Holds the wait cursor for one scope, however the scope is left.
class WaitCursor {
public:
    explicit WaitCursor(WindowHooks& window) : window_(window) { window_.beginWaitCursor(); }
    ~WaitCursor() { window_.endWaitCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    WindowHooks& window_;
};

}  // namespace engine
