// The window as the engine's operator: message boxes, progress, the wait
// cursor and the pauses.
#include "app/WindowOperator.h"
#include "tests/support/BoxNames.h"
#include "tests/support/CpuTime.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <ostream>

struct StyleRow {
    const char* name;
    engine::BoxStyle style;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
};

void PrintTo(const StyleRow& c, std::ostream* out) {
    *out << c.name;
}

class MessageBoxStyles : public ::testing::TestWithParam<StyleRow> {};

TEST_P(MessageBoxStyles, GiveTheCaptionIconAndButtons) {
    const StyleRow& row = GetParam();
    auto box = makeMessageBox(nullptr, QStringLiteral("firmware-programmer"),
                              "IP: 10.0.0.9 Socket Error\r\n", row.style);
    EXPECT_EQ(box->windowTitle(), "firmware-programmer");
    EXPECT_EQ(box->icon(), row.icon);
    EXPECT_EQ(box->standardButtons(), row.buttons);
    EXPECT_EQ(box->text(), "IP: 10.0.0.9 Socket Error\r\n") << "shown as plain text";
}

INSTANTIATE_TEST_SUITE_P(
    MessageBoxes, MessageBoxStyles,
    ::testing::Values(
        StyleRow{"NoIcon", engine::BoxIcon::None, QMessageBox::Warning, QMessageBox::Ok},
        StyleRow{"Stop", engine::BoxIcon::Stop, QMessageBox::Critical, QMessageBox::Ok},
        StyleRow{"Question", engine::BoxIcon::Question, QMessageBox::Question, QMessageBox::Ok},
        StyleRow{"QuestionOkCancel", engine::kOkCancelQuestion, QMessageBox::Question,
                 QMessageBox::Ok | QMessageBox::Cancel},
        StyleRow{"Exclamation", engine::BoxIcon::Exclamation, QMessageBox::Warning,
                 QMessageBox::Ok},
        StyleRow{"Information", engine::BoxIcon::Information, QMessageBox::Information,
                 QMessageBox::Ok},
        StyleRow{"InformationOkCancel",
                 {engine::BoxIcon::Information, engine::BoxButtons::OkCancel},
                 QMessageBox::Information,
                 QMessageBox::Ok | QMessageBox::Cancel}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

class MessageBoxAnswer
    : public ::testing::TestWithParam<std::pair<QMessageBox::StandardButton, engine::BoxAnswer>> {};

TEST_P(MessageBoxAnswer, ComesBackAsOkOrCancel) {
    const QMessageBox::StandardButton button = GetParam().first;
    QTimer::singleShot(0, [button] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        box->button(button)->click();
    });
    EXPECT_EQ(
        showMessageBox(nullptr, QStringLiteral("app"), "Continue?", engine::kOkCancelQuestion),
        GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    MessageBoxes, MessageBoxAnswer,
    ::testing::Values(std::pair{QMessageBox::Ok, engine::BoxAnswer::Ok},
                      std::pair{QMessageBox::Cancel, engine::BoxAnswer::Cancel}),
    [](const auto& testCase) { return testCase.param.first == QMessageBox::Ok ? "Ok" : "Cancel"; });

TEST(Progress, ImagesBeyondTheBarsIntRangeAreScaledConsistently) {
    QProgressBar bar;
    QLabel counter;
    WindowOperator op(nullptr, QStringLiteral("app"), &bar, &counter);

    op.setProgressRange(1460 * 3);
    op.setProgressPosition(1460);
    EXPECT_EQ(bar.maximum(), 4380);
    EXPECT_EQ(bar.value(), 1460) << "small images are shown byte for byte";

    const std::uint64_t huge = (std::uint64_t{1} << 40) + 12345;  // a terabyte image
    op.setProgressRange(huge);
    EXPECT_GT(bar.maximum(), 0);
    EXPECT_LE(bar.maximum(), INT_MAX);
    op.setProgressPosition(huge / 2);
    EXPECT_NEAR(double(bar.value()) / bar.maximum(), 0.5, 1e-6);
    op.setProgressPosition(huge);
    EXPECT_EQ(bar.value(), bar.maximum());

    op.setProgressRange(std::uint64_t{INT_MAX} + 1);
    EXPECT_GT(bar.maximum(), INT_MAX / 4) << "no more scaling than needed";

    op.setUnitCounter("3 of 12");
    EXPECT_EQ(counter.text(), "3 of 12");
}

TEST(WaitCursor, NestedRequestsAreEachReleasedOnceAndNeverOverRelease) {
    QGuiApplication::setOverrideCursor(QCursor(Qt::CrossCursor));  // someone else's
    {
        WindowOperator op(nullptr, QStringLiteral("app"));
        op.beginWaitCursor();
        op.beginWaitCursor();
        op.endWaitCursor();
        ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
        EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
        op.endWaitCursor();
        op.endWaitCursor();  // one too many: ignored
        ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
        EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::CrossCursor);
        op.beginWaitCursor();  // left open: the operator's end releases it
    }
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::CrossCursor);
    QGuiApplication::restoreOverrideCursor();
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST(WindowPauses, TheWindowKeepsRunningItsTimersWhileTheSleeperWaits) {
    WindowSleeper sleeper;
    bool fired = false;
    QTimer::singleShot(10, [&] { fired = true; });
    QElapsedTimer clock;
    clock.start();
    const auto cpuBefore = testing_support::threadCpuTime();
    sleeper.sleepFor(std::chrono::milliseconds(200));
    EXPECT_GE(clock.elapsed(), 200);
    // It sleeps between its looks at the events rather than spinning.
    EXPECT_LT(testing_support::threadCpuTime() - cpuBefore, std::chrono::milliseconds(100));
    EXPECT_TRUE(fired);

    // A zero pause sleeps not at all, yet hands the window what waits.
    bool ranDuringZeroPause = false;
    QTimer::singleShot(0, [&] { ranDuringZeroPause = true; });
    sleeper.sleepFor(std::chrono::milliseconds(0));
    EXPECT_TRUE(ranDuringZeroPause);
}

TEST(WindowPauses, DispatchingOncePerBlockRunsWaitingWork) {
    WindowOperator op(nullptr, QStringLiteral("app"));
    int runs = 0;
    QTimer::singleShot(0, [&] { ++runs; });
    op.dispatchPendingEvent();
    EXPECT_EQ(runs, 1);
    QTimer::singleShot(0, [&] { ++runs; });
    op.keepPainted();
    EXPECT_EQ(runs, 2) << "timers and painting go on while a connection waits";
}
