// The Single command: what it hands the engine, what it stores and the one
// message that reports every outcome.
#include "tests/gui/GuiTestSupport.h"
#include "tests/support/TestEnvironment.h"

#include <QGuiApplication>
#include <QProgressBar>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

using gui_test::FakeSpooler;
using gui_test::TestDlg;

namespace {

struct Single : ::testing::Test {
    CProgrammerApp app;
    FakeSpooler spooler;
    std::unique_ptr<TestDlg> dlg;

    Single() { app.SetAppName(gui_test::uniqueAppName()); }

    TestDlg& open() {
        dlg = std::make_unique<TestDlg>(app, spooler);
        dlg->show();
        return *dlg;
    }
    static void type(TestDlg& w, const QString& image, const QString& target) {
        w.imagePath()->setText(image);
        w.target()->lineEdit()->selectAll();
        QTest::keyClicks(w.target()->lineEdit(), target);
    }
    void clickSingle() { QTest::mouseClick(dlg->button("IDC_PROGRAM_SINGLE"), Qt::LeftButton); }
    std::string stored() const {
        return app.GetProfileString(QStringLiteral("Programmer"), QStringLiteral("Printer"),
                                    "<absent>");
    }
};

}  // namespace

TEST_F(Single, EveryResultGivesItsOwnInformationMessageAndTheSettingIsWritten) {
    struct Row {
        std::int32_t result;
        std::string message;
    };
    const Row rows[] = {
        {0, "1 Unit Updated\r\nIP: 10.0.0.9 Successfully Programmed"},
        {-1, "1 Unit Update Attempted, 10.0.0.9 Status Unconfirmed"},
        {-2, "1 Unit Update Attempted, 10.0.0.9 Status Unconfirmed"},
        {1, "IP: 10.0.0.9 Socket Error\r\n"},
        {2, "IP: 10.0.0.9 Printer Port Error\r\n"},
        {3, "IP: 10.0.0.9 File Not Found\r\n"},
        {4, "IP: 10.0.0.9 Failed to Program (Error #4)\r\n"},
        {100, "IP: 10.0.0.9 Failed to Program (Error #100)\r\n"},
        {101, "IP: 10.0.0.9 Failed to Program (Error #101)\r\n"},
        {102, "IP: 10.0.0.9 Verify Error\r\n"},
        {103, "IP: 10.0.0.9 Incorrect Model Number\r\n"},
        {104, "IP: 10.0.0.9 Failed to Program (Error #104)\r\n"},
    };
    for (const Row& row : rows) {
        app.SetAppName(gui_test::uniqueAppName());
        TestDlg& w = open();
        type(w, "/fw/unit.wq1", "10.0.0.9");
        std::string seenImage, seenTarget, seenCounter;
        bool waitCursorWhileProgramming = false;
        w.programUnit = [&](TestDlg& d) {
            seenImage = d.App().GetImagePath();
            seenTarget = d.App().GetTarget();
            seenCounter = d.unitCounter()->text().toStdString();
            const QCursor* c = QGuiApplication::overrideCursor();
            waitCursorWhileProgramming = c != nullptr && c->shape() == Qt::WaitCursor;
            return engine::ProgramResult(row.result);
        };
        clickSingle();
        ASSERT_EQ(w.messages.size(), 1u) << row.result;
        EXPECT_EQ(w.messages[0].text, row.message) << row.result;
        EXPECT_EQ(w.messages[0].style, engine::BoxIcon::Information) << row.result;
        EXPECT_FALSE(w.messages[0].waitCursorShown) << "the box waits under the arrow";
        EXPECT_EQ(seenImage, "/fw/unit.wq1");
        EXPECT_EQ(seenTarget, "10.0.0.9");
        EXPECT_EQ(seenCounter, "1 of 1");
        EXPECT_TRUE(waitCursorWhileProgramming);
        EXPECT_EQ(stored(), "10.0.0.9") << "written whatever the result: " << row.result;
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "released at the end";
        dlg.reset();
    }
}

TEST_F(Single, TheMessageNamesTheTargetTheCommandStartedWith) {
    TestDlg& w = open();
    type(w, "/fw/unit.wq1", "192.168.7.20");
    w.programUnit = [](TestDlg& d) {
        // Something during the transfer moves the target elsewhere.
        d.App().SetTarget("10.9.9.9");
        d.target()->setEditText("10.9.9.9");
        return engine::ResultVerifyError;
    };
    clickSingle();
    ASSERT_EQ(w.messages.size(), 1u);
    EXPECT_EQ(w.messages[0].text, "IP: 192.168.7.20 Verify Error\r\n");
    EXPECT_EQ(w.target()->currentText(), "192.168.7.20") << "the box shows the member again";
}

TEST_F(Single, ClicksDuringACommandStartNothingButStopAndCloseStillWork) {
    TestDlg& w = open();
    type(w, "/fw/unit.wq1", "10.0.0.9");
    int nestedCommands = 0;
    w.programUnit = [&](TestDlg& d) {
        EXPECT_TRUE(d.IsCommandRunning());
        // What a click would do while the engine lets waiting events run.
        for (const char* id : {"IDC_PROGRAM_SINGLE", "IDC_BROWSE_IMAGE", "IDC_PROGRAM_MULTIPLE",
                               "IDC_FIND_DEVICE", "IDC_TIME_STAMP"}) {
            d.button(id)->click();
        }
        nestedCommands = static_cast<int>(d.messages.size());
        d.button("IDC_STOP")->click();
        EXPECT_TRUE(d.StopRequested());
        d.reject();  // the operator closes the window mid-transfer
        EXPECT_TRUE(d.isVisible()) << "the window waits for the command to end";
        return engine::ResultProgrammed;
    };
    w.fileChoices.push_back("/should/not/be/used.wq1");
    clickSingle();
    EXPECT_EQ(w.programUnitCalls, 1);
    EXPECT_EQ(nestedCommands, 0);
    EXPECT_EQ(w.fileChoices.size(), 1u) << "Browse did not run inside Single";
    ASSERT_EQ(w.messages.size(), 1u);
    EXPECT_FALSE(w.IsCommandRunning());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.isVisible(); }, 2000));
    EXPECT_EQ(stored(), "10.0.0.9");
    // A command after the first one runs again.
    w.show();
    clickSingle();
    EXPECT_EQ(w.programUnitCalls, 2);
}

TEST_F(Single, RealEngineReportsAMissingImageThroughTheWindow) {
    TestDlg& w = open();
    engine::EngineOptions options;
    options.endpoints.statusPort = testing_support::freeUdpPort();
    options.endpoints.unitTcpPort = testing_support::freeTcpPort();
    options.endpoints.unitUdpPort = testing_support::freeUdpPort();
    w.SetOptions(options);
    testing_support::TempDir dir;
    const std::string missing = dir.file("absent.wq1").string();
    type(w, QString::fromStdString(missing), "127.0.0.1");
    clickSingle();
    ASSERT_FALSE(w.messages.empty());
    EXPECT_EQ(w.messages.back().text, "IP: 127.0.0.1 File Not Found\r\n");
    EXPECT_EQ(w.Operator().waitCursorDepth(), 0);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(w.findChild<QProgressBar*>("IDC_PROGRESS")->value(), 0);
}
