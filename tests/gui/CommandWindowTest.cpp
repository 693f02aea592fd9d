// The window while a command runs, as the operator meets it: a close or Escape
// at any moment, the cursor over the command's message boxes, and command
// buttons that show they are not available.
#include "tests/gui/GuiTestSupport.h"

#include <qpa/qwindowsysteminterface.h>
#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

using gui_test::FakeSpooler;
using gui_test::TestDlg;

namespace {

// A window whose messages are real modal boxes. A timer answers each with OK
// once it is up and notes what the operator saw while it waited.
class BoxDlg : public TestDlg {
public:
    using TestDlg::TestDlg;

    struct Answered {
        std::string text;
        bool windowOpen;
        bool busyCursor;
    };
    std::vector<Answered> answered;

protected:
    engine::BoxAnswer MessageBox(const std::string& text, engine::BoxStyle style) override {
        QTimer answerer;
        answerer.setInterval(10);
        QObject::connect(&answerer, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                return;
            }
            answerer.stop();
            const QCursor* cursor = QGuiApplication::overrideCursor();
            answered.push_back(
                {text, isVisible(), cursor != nullptr && cursor->shape() == Qt::WaitCursor});
            box->button(QMessageBox::Ok)->click();
        });
        answerer.start();
        return CProgrammerDlg::MessageBox(text, style);
    }
};

const char* const kCommandButtons[] = {"IDC_BROWSE_IMAGE", "IDC_PROGRAM_SINGLE", "IDC_FIND_DEVICE",
                                       "IDC_PROGRAM_MULTIPLE", "IDC_TIME_STAMP"};

struct Commands : ::testing::Test {
    CProgrammerApp app;
    FakeSpooler spooler;
    std::unique_ptr<BoxDlg> dlg;

    Commands() { app.SetAppName(gui_test::uniqueAppName()); }

    BoxDlg& open(const QString& target) {
        dlg = std::make_unique<BoxDlg>(app, spooler);
        dlg->show();
        QApplication::setActiveWindow(dlg.get());
        EXPECT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
        dlg->imagePath()->setText(QStringLiteral("/fw/unit.wq1"));
        dlg->target()->lineEdit()->setText(target);
        return *dlg;
    }
    std::string stored() const {
        return app.GetProfileString(QStringLiteral("Programmer"), QStringLiteral("Printer"),
                                    "<absent>");
    }
};

// How the operator asks the window to close. Both go the way the window system
// delivers them: queued, and held back while the window takes no input.
enum class CloseBy { WindowManager, EscapeKey };

void requestClose(QWidget& window, CloseBy how) {
    QWindow* handle = window.windowHandle();
    ASSERT_NE(handle, nullptr);
    using Delivery = QWindowSystemInterface::AsynchronousDelivery;
    if (how == CloseBy::WindowManager) {
        QWindowSystemInterface::handleCloseEvent<Delivery>(handle);
    } else {
        QWindowSystemInterface::handleKeyEvent<Delivery>(handle, QEvent::KeyPress, Qt::Key_Escape,
                                                         Qt::NoModifier);
        QWindowSystemInterface::handleKeyEvent<Delivery>(handle, QEvent::KeyRelease, Qt::Key_Escape,
                                                         Qt::NoModifier);
    }
}

// The engine's waits in which the window only paints: a pause (the boot-loader
// probes, the verdict wait) and a blocking connection.
enum class Wait { Pause, Connection };

void engineWaits(CProgrammerDlg& window, Wait wait) {
    if (wait == Wait::Pause) {
        window.Sleeper().sleepFor(std::chrono::milliseconds(60));
        return;
    }
    for (int i = 0; i < 6; ++i) {
        window.Operator().keepPainted();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void PrintTo(CloseBy how, std::ostream* os) {
    *os << (how == CloseBy::WindowManager ? "window manager's close" : "Escape");
}

void PrintTo(Wait wait, std::ostream* os) {
    *os << (wait == Wait::Pause ? "pause" : "connection wait");
}

struct CloseDuringAWait : Commands, ::testing::WithParamInterface<std::tuple<CloseBy, Wait>> {};

std::string caseName(const ::testing::TestParamInfo<std::tuple<CloseBy, Wait>>& info) {
    return std::string(std::get<0>(info.param) == CloseBy::WindowManager ? "Close" : "Escape") +
           (std::get<1>(info.param) == Wait::Pause ? "DuringAPause" : "DuringAConnection");
}

}  // namespace

TEST_P(CloseDuringAWait, IsCarriedOutAfterTheResultBoxIsAnsweredAndSavesTheTarget) {
    // Plain variables: Clang 14 does not yet let a lambda capture a structured
    // binding (allowed since C++20).
    const CloseBy how = std::get<0>(GetParam());
    const Wait wait = std::get<1>(GetParam());
    BoxDlg& w = open(QStringLiteral("10.0.0.9"));
    bool openAfterWait = false;
    w.programUnit = [&](TestDlg& d) {
        requestClose(d, how);
        engineWaits(d, wait);
        openAfterWait = d.isVisible();
        // A second wait, as the verdict wait follows the stream.
        engineWaits(d, wait);
        return engine::ResultUnconfirmed;
    };
    QTest::mouseClick(w.button("IDC_PROGRAM_SINGLE"), Qt::LeftButton);

    EXPECT_TRUE(openAfterWait) << "the close never runs inside the command";
    ASSERT_EQ(w.answered.size(), 1u);
    EXPECT_EQ(w.answered[0].text, "1 Unit Update Attempted, 10.0.0.9 Status Unconfirmed");
    EXPECT_TRUE(w.answered[0].windowOpen) << "the result box comes first";
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.isVisible(); }, 2000))
        << "closed once the command ended";
    EXPECT_EQ(w.result(), QDialog::Rejected);
    EXPECT_EQ(w.programUnitCalls, 1);
    EXPECT_EQ(stored(), "10.0.0.9");
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Window, CloseDuringAWait,
                         ::testing::Combine(::testing::Values(CloseBy::WindowManager,
                                                              CloseBy::EscapeKey),
                                            ::testing::Values(Wait::Pause, Wait::Connection)),
                         caseName);

TEST_F(Commands, AMessageBoxWaitsUnderTheArrowAndTheBusyCursorComesBackAfterIt) {
    BoxDlg& w = open(QStringLiteral("10.0.0.9"));
    bool busyBefore = false;
    bool busyAfter = false;
    w.programUnit = [&](TestDlg& d) {
        const QCursor* before = QGuiApplication::overrideCursor();
        busyBefore = before != nullptr && before->shape() == Qt::WaitCursor;
        // An engine message in the middle of the command.
        d.Operator().messageBox("Error: IP Address 10.0.0.9\nConnection refused\n",
                                engine::BoxIcon::Stop);
        const QCursor* after = QGuiApplication::overrideCursor();
        busyAfter = after != nullptr && after->shape() == Qt::WaitCursor;
        return engine::ResultSocketError;
    };
    QTest::mouseClick(w.button("IDC_PROGRAM_SINGLE"), Qt::LeftButton);

    EXPECT_TRUE(busyBefore);
    EXPECT_TRUE(busyAfter) << "the command goes on under the busy cursor";
    ASSERT_EQ(w.answered.size(), 2u);
    for (const BoxDlg::Answered& box : w.answered) {
        EXPECT_FALSE(box.busyCursor) << box.text;
    }
    EXPECT_EQ(w.answered[1].text, "IP: 10.0.0.9 Socket Error\r\n");
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "every cursor pushed is popped";
    EXPECT_EQ(w.Operator().waitCursorDepth(), 0);
}

TEST_F(Commands, CommandButtonsAreDisabledWhileOneRunsAndComeBackWithTheFocus) {
    BoxDlg& w = open(QStringLiteral("10.0.0.9"));
    QPushButton* single = w.button("IDC_PROGRAM_SINGLE");
    single->setFocus(Qt::TabFocusReason);
    ASSERT_EQ(QApplication::focusWidget(), single);
    QStringList enabledDuring;
    bool boxesEnabled = false;
    w.programUnit = [&](TestDlg& d) {
        for (const char* id : kCommandButtons) {
            if (d.button(id)->isEnabled()) {
                enabledDuring << id;
            }
        }
        boxesEnabled = d.isEnabled() && d.imagePath()->isEnabled() && d.target()->isEnabled();
        return engine::ResultProgrammed;
    };
    QTest::keyClick(single, Qt::Key_Space);

    EXPECT_EQ(w.programUnitCalls, 1);
    EXPECT_EQ(enabledDuring, QStringList()) << "every command button is shown unavailable";
    EXPECT_TRUE(boxesEnabled) << "the window and its boxes stay live";
    EXPECT_EQ(w.answered.size(), 1u);
    for (const char* id : kCommandButtons) {
        EXPECT_TRUE(w.button(id)->isEnabled()) << id;
    }
    EXPECT_EQ(w.focusWidget(), single) << "the window's focus goes back where it was";
    QApplication::setActiveWindow(&w);
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == single; }, 2000))
        << "the focus goes back where it was";
    EXPECT_TRUE(w.isVisible());
}
