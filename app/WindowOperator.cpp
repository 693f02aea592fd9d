#include "app/WindowOperator.h"

#include "app/ProgrammerApp.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>

#include <chrono>
#include <climits>
#include <thread>

namespace {

QMessageBox::Icon qtIcon(engine::BoxIcon icon) {
    switch (icon) {
        case engine::BoxIcon::Stop:
            return QMessageBox::Critical;
        case engine::BoxIcon::Question:
            return QMessageBox::Question;
        case engine::BoxIcon::Information:
            return QMessageBox::Information;
        case engine::BoxIcon::None:  // a box that names no icon shows the exclamation
        case engine::BoxIcon::Exclamation:
            break;
    }
    return QMessageBox::Warning;
}

}  // namespace

std::unique_ptr<QMessageBox> makeMessageBox(QWidget* parent, const QString& caption,
                                            const std::string& text, engine::BoxStyle style) {
    auto box = std::make_unique<QMessageBox>(parent);
    box->setWindowTitle(caption);
    box->setText(fromLocal8(text));
    box->setTextFormat(Qt::PlainText);
    box->setIcon(qtIcon(style.icon));
    if (style.buttons == engine::BoxButtons::OkCancel) {
        box->setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box->setEscapeButton(QMessageBox::Cancel);
    } else {
        box->setStandardButtons(QMessageBox::Ok);
        box->setEscapeButton(QMessageBox::Ok);
    }
    box->setDefaultButton(QMessageBox::Ok);
    return box;
}

engine::BoxAnswer showMessageBox(QWidget* parent, const QString& caption, const std::string& text,
                                 engine::BoxStyle style) {
    auto box = makeMessageBox(parent, caption, text, style);
    const int answer = box->exec();
    return answer == QMessageBox::Cancel ? engine::BoxAnswer::Cancel : engine::BoxAnswer::Ok;
}

int progressShift(std::uint64_t total) {
    int shift = 0;
    while ((total >> shift) > static_cast<std::uint64_t>(INT_MAX)) {
        ++shift;
    }
    return shift;
}

int scaledProgress(std::uint64_t value, int shift) {
    const std::uint64_t scaled = value >> shift;
    return scaled > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(scaled);
}

WindowOperator::WindowOperator(QWidget* owner, QString caption, QProgressBar* progress,
                               QLabel* unitCounter)
    : owner_(owner), caption_(std::move(caption)), progress_(progress), unitCounter_(unitCounter) {}

void WindowOperator::attachControls(QProgressBar* progress, QLabel* unitCounter) {
    progress_ = progress;
    unitCounter_ = unitCounter;
}

WindowOperator::~WindowOperator() {
    // A command cut short must not leave the cursor stuck on the hourglass.
    while (waitCursorDepth_ > 0) {
        endWaitCursor();
    }
}

engine::BoxAnswer WindowOperator::messageBox(const std::string& text, engine::BoxStyle style) {
    // Input the window held back while it only painted (a close from the window
    // manager, Escape) is handed to the window now: once the box is up, the
    // window is blocked and such input would be thrown away unseen.
    QCoreApplication::processEvents();
    // The box waits for the operator, so it shows the normal pointer; the busy
    // one comes back when the box is answered and the command goes on.
    struct ArrowWhileAsking {
        bool lifted;
        explicit ArrowWhileAsking(bool busy) : lifted(busy) {
            if (lifted) {
                QGuiApplication::setOverrideCursor(QCursor(Qt::ArrowCursor));
            }
        }
        ~ArrowWhileAsking() {
            if (lifted) {
                QGuiApplication::restoreOverrideCursor();
            }
        }
        ArrowWhileAsking(const ArrowWhileAsking&) = delete;
        ArrowWhileAsking& operator=(const ArrowWhileAsking&) = delete;
    } arrow(waitCursorDepth_ > 0);
    if (messageBoxFn_) {
        return messageBoxFn_(text, style);
    }
    return showMessageBox(owner_, caption_, text, style);
}

void WindowOperator::setProgressRange(std::uint64_t total) {
    progressShift_ = progressShift(total);
    if (progress_) {
        progress_->setRange(0, scaledProgress(total, progressShift_));
        progress_->setValue(0);
    }
}

void WindowOperator::setProgressPosition(std::uint64_t position) {
    if (progress_) {
        progress_->setValue(scaledProgress(position, progressShift_));
    }
}

void WindowOperator::beginWaitCursor() {
    ++waitCursorDepth_;
    QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
}

void WindowOperator::endWaitCursor() {
    if (waitCursorDepth_ == 0) {
        return;  // never restore a cursor someone else set
    }
    --waitCursorDepth_;
    QGuiApplication::restoreOverrideCursor();
}

void WindowOperator::dispatchPendingEvent() {
    QCoreApplication::processEvents();
}

void WindowOperator::keepPainted() {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void WindowOperator::setUnitCounter(const std::string& text) {
    if (unitCounter_) {
        unitCounter_->setText(fromLocal8(text));
    }
}

void WindowOperator::phaseChanged(engine::UnitPhase phase) {
    if (phase_.phaseChanged(phase) || phase == engine::UnitPhase::Finished) {
        showPhase();
    }
}

void WindowOperator::probeSent() {
    if (phase_.probeSent()) {
        showPhase();
    }
}

void WindowOperator::phaseTimeLeft(std::chrono::milliseconds left) {
    if (phase_.timeLeft(left)) {
        showPhase();
    }
}

void WindowOperator::showPhase() {
    if (!progress_) {
        return;
    }
    if (phase_.phase() == engine::UnitPhase::Finished) {
        progress_->setTextVisible(false);
        progress_->resetFormat();
        return;
    }
    // The phase's words hold no '%', which the bar would take for a placeholder.
    QString text = fromLocal8(phase_.text());
    if (phase_.phase() == engine::UnitPhase::Streaming) {
        text += QStringLiteral(": %p%");
    }
    progress_->setFormat(text);
    progress_->setTextVisible(true);
}

void WindowSleeper::sleepFor(std::chrono::milliseconds duration) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + duration;
    constexpr auto kSlice = std::chrono::milliseconds(20);
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        const auto now = Clock::now();
        if (now >= deadline) {
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        std::this_thread::sleep_for(left < kSlice ? left : kSlice);
    }
}
