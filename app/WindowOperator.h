#pragma once

#include "engine/Operator.h"
#include "engine/PhaseText.h"
#include "engine/WindowHooks.h"
#include "platform/Sleeper.h"

#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class QLabel;
class QMessageBox;
class QProgressBar;
class QWidget;

// A message box of the given style, captioned with the application name, built
// but not yet shown: the stop icon as Qt's critical one, a box that names no
// icon with the warning icon, as the exclamation; OK, or OK and Cancel.
std::unique_ptr<QMessageBox> makeMessageBox(QWidget* parent, const QString& caption,
                                            const std::string& text, engine::BoxStyle style);

// Shows that box modally and tells which button closed it.
engine::BoxAnswer showMessageBox(QWidget* parent, const QString& caption, const std::string& text,
                                 engine::BoxStyle style);

// A progress bar holds an int; a byte count beyond that range is shifted down
// by the returned number of bits, the same shift for the range and every position.
int progressShift(std::uint64_t total);
int scaledProgress(std::uint64_t value, int shift);

// The window as the engine's Operator (message boxes, the progress bar, the unit
// counter) and as its WindowHooks (the wait cursor and the event processing the
// engine asks for). While
// a unit is programmed, the progress bar's text says where it stands ("entering
// the boot loader", "waiting for the verdict: 17 s left"); once it is over the
// bar shows no text again.
class WindowOperator : public engine::Operator, public engine::WindowHooks {
public:
    using MessageBoxFn =
        std::function<engine::BoxAnswer(const std::string& text, engine::BoxStyle style)>;

    WindowOperator(QWidget* owner, QString caption, QProgressBar* progress = nullptr,
                   QLabel* unitCounter = nullptr);
    ~WindowOperator() override;

    // The controls it drives, once the window has created them.
    void attachControls(QProgressBar* progress, QLabel* unitCounter);

    // Replaces the real modal box (tests record instead of blocking).
    void setMessageBoxFunction(MessageBoxFn fn) { messageBoxFn_ = std::move(fn); }

    engine::BoxAnswer messageBox(const std::string& text, engine::BoxStyle style) override;
    void setProgressRange(std::uint64_t total) override;
    void setProgressPosition(std::uint64_t position) override;
    void beginWaitCursor() override;
    void endWaitCursor() override;
    void dispatchPendingEvent() override;
    void keepPainted() override;
    void setUnitCounter(const std::string& text) override;
    void phaseChanged(engine::UnitPhase phase) override;
    void probeSent() override;
    void phaseTimeLeft(std::chrono::milliseconds left) override;

    int waitCursorDepth() const { return waitCursorDepth_; }

private:
    void showPhase();

    QPointer<QWidget> owner_;
    QString caption_;
    QPointer<QProgressBar> progress_;
    QPointer<QLabel> unitCounter_;
    MessageBoxFn messageBoxFn_;
    int progressShift_ = 0;
    int waitCursorDepth_ = 0;
    engine::PhaseText phase_;
};

// The window's pauses: the window keeps painting and handling timers while it
// waits, but takes no input until the pause is over.
class WindowSleeper final : public platform::Sleeper {
public:
    void sleepFor(std::chrono::milliseconds duration) override;
};
