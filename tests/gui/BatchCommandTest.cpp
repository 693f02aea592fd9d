// The Multiple command through the window: what each unit is programmed with,
// the counter, the summary, the log beside the list and when the editor opens.
#include "tests/gui/GuiTestSupport.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/TestEnvironment.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QProgressBar>
#include <QTest>
#include <QTextBrowser>

#include <gtest/gtest.h>

#include <memory>
#include <regex>

using gui_test::FakeSpooler;
using gui_test::TestDlg;
using testing_support::readFile;
using testing_support::writeFile;

namespace {

class BatchDlg : public TestDlg {
public:
    using TestDlg::TestDlg;

    std::deque<std::optional<std::string>> listChoices;
    std::vector<std::string> editorOpened;
    int listChooserRuns = 0;
    bool desktopEditor = false;  // true: the window's own way of opening the log

protected:
    std::optional<std::string> ChooseListFile() override {
        ++listChooserRuns;
        if (listChoices.empty()) {
            return std::nullopt;
        }
        auto next = listChoices.front();
        listChoices.pop_front();
        return next;
    }
    void OpenLogInEditor(const std::string& logPath) override {
        editorOpened.push_back(logPath);
        if (desktopEditor) {
            CProgrammerDlg::OpenLogInEditor(logPath);
        }
    }
};

// What the window had set up when a unit was handed to the engine.
struct Seen {
    std::string imagePath, appTarget, printer, counter, comboText;
    bool waitCursor;
};

struct Multiple : ::testing::Test {
    CProgrammerApp app;
    FakeSpooler spooler;
    testing_support::ScaledSleeper sleeper{0.0};
    testing_support::TempDir dir;
    std::unique_ptr<BatchDlg> dlg;
    std::vector<Seen> seen;

    Multiple() { app.SetAppName(gui_test::uniqueAppName()); }

    BatchDlg& open(const QString& image, const QString& target) {
        dlg = std::make_unique<BatchDlg>(app, spooler);
        dlg->SetSleeper(&sleeper);
        dlg->show();
        dlg->imagePath()->setText(image);
        dlg->target()->lineEdit()->setText(target);
        return *dlg;
    }
    // Programs each unit with the result the list gives it, noting what it saw.
    void answer(std::vector<engine::ProgramResult> results, std::function<void(int)> during = {}) {
        dlg->programUnit = [this, results, during](TestDlg& d) {
            const QCursor* cursor = QGuiApplication::overrideCursor();
            seen.push_back({d.App().GetImagePath(), d.App().GetTarget(), d.printer(),
                            d.unitCounter()->text().toStdString(),
                            d.target()->currentText().toStdString(),
                            cursor != nullptr && cursor->shape() == Qt::WaitCursor});
            const int index = static_cast<int>(seen.size()) - 1;
            if (during) {
                during(index);
            }
            return results.at(static_cast<std::size_t>(index));
        };
    }
    void clickMultiple() { QTest::mouseClick(dlg->button("IDC_PROGRAM_MULTIPLE"), Qt::LeftButton); }
    std::string log() const { return readFile(dir.file("Status.txt")); }
    int pauses() const {
        int count = 0;
        for (auto pause : sleeper.requested()) {
            count += pause == std::chrono::milliseconds(4000) ? 1 : 0;
        }
        return count;
    }
};

// The two header lines; the date is the computer's, so only its form is checked.
const std::regex kHeader(
    "File Name: /fw/unit one\\.wq1\r\n"
    "Date: (0[1-9]|1[0-2])/(0[1-9]|[12][0-9]|3[01])/[0-9]{2}, Time: ([01][0-9]|2[0-3]):[0-5][0-9]"
    "\r\n");

std::string afterHeader(const std::string& log) {
    std::smatch match;
    if (!std::regex_search(log, match, kHeader) || match.position(0) != 0) {
        return "<no header>" + log;
    }
    return match.suffix().str();
}

}  // namespace

TEST_F(Multiple, EachRecordBecomesTheTargetWhileTheComboBoxKeepsItsTextAndTheLogOpensAtTheEnd) {
    BatchDlg& w = open("/fw/unit one.wq1", "10.0.0.99");
    writeFile(dir.file("units.txt"), "10.0.0.1\r\n\r\n 10.0.0.2\r\n10.0.0.3");
    w.listChoices.push_back(dir.file("units.txt").string());
    answer({engine::ResultProgrammed, engine::ResultVerifyError, engine::ResultProgrammed});
    clickMultiple();

    ASSERT_EQ(seen.size(), 3u);
    const char* records[] = {"10.0.0.1", " 10.0.0.2", "10.0.0.3"};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(seen[i].imagePath, "/fw/unit one.wq1");
        EXPECT_EQ(seen[i].appTarget, records[i]);
        EXPECT_EQ(seen[i].printer, records[i]) << "the boot-loader probes go to m_strPrinter";
        EXPECT_EQ(seen[i].counter, std::to_string(i + 1) + " of 3");
        EXPECT_EQ(seen[i].comboText, "10.0.0.99");
        EXPECT_TRUE(seen[i].waitCursor);
    }
    ASSERT_EQ(w.messages.size(), 1u);
    // Three units tried, and the line below says how they ended; one was not
    // programmed, so the box warns.
    EXPECT_EQ(w.messages[0].text, "3 Units Updated\n2 programmed, 1 failed, 0 unconfirmed");
    EXPECT_EQ(w.messages[0].style, engine::BoxIcon::Exclamation);
    EXPECT_FALSE(w.messages[0].waitCursorShown) << "the box waits under the arrow";
    EXPECT_EQ(pauses(), 2) << "after the first and the third unit only";

    EXPECT_EQ(afterHeader(log()),
              "IP: 10.0.0.1 Successfully Programmed\r\n"
              "IP:  10.0.0.2 Verify Error\r\n"
              "IP: 10.0.0.3 Successfully Programmed\r\n"
              "3 Units Updated\r\n");
    ASSERT_EQ(w.editorOpened.size(), 1u);
    EXPECT_EQ(w.editorOpened[0], dir.file("Status.txt").string());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(w.Operator().waitCursorDepth(), 0);
    EXPECT_EQ(w.unitCounter()->text(), QStringLiteral("3 of 3"));
    EXPECT_EQ(w.target()->currentText(), QStringLiteral("10.0.0.99"));
    EXPECT_EQ(app.GetTarget(), "10.0.0.3");
}

TEST_F(Multiple, CancellingTheChooserWritesNothingButRefreshesTheImagePath) {
    BatchDlg& w = open("/fw/unit one.wq1", "10.0.0.99");
    app.SetImagePath("/old/image");
    answer({});
    clickMultiple();
    EXPECT_EQ(w.listChooserRuns, 1);
    EXPECT_EQ(app.GetImagePath(), "/fw/unit one.wq1");
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(w.messages.empty());
    EXPECT_TRUE(w.editorOpened.empty());
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(Multiple, StopDuringAUnitLetsItFinishAndTheNextBatchStartsAfresh) {
    BatchDlg& w = open("/fw/unit one.wq1", "");
    writeFile(dir.file("units.txt"), "10.0.0.1\r\n10.0.0.2\r\n10.0.0.3\r\n");
    w.listChoices.push_back(dir.file("units.txt").string());
    answer({engine::ResultProgrammed, engine::ResultUnconfirmed, engine::ResultProgrammed},
           [this](int index) {
               if (index == 1) {
                   QTest::mouseClick(dlg->button("IDC_STOP"), Qt::LeftButton);
               }
           });
    clickMultiple();
    ASSERT_EQ(seen.size(), 2u);
    ASSERT_EQ(w.messages.size(), 1u);
    EXPECT_EQ(w.messages[0].text, "2 Units Updated\n1 programmed, 0 failed, 1 unconfirmed");
    EXPECT_EQ(afterHeader(log()),
              "IP: 10.0.0.1 Successfully Programmed\r\n"
              "IP: 10.0.0.2 Status Unconfirmed\r\n"
              "2 Units Updated\r\n");
    EXPECT_EQ(w.editorOpened.size(), 1u);
    EXPECT_TRUE(w.StopRequested()) << "only the next batch clears the request";

    seen.clear();
    w.messages.clear();
    w.listChoices.push_back(dir.file("units.txt").string());
    answer({engine::ResultProgrammed, engine::ResultProgrammed, engine::ResultProgrammed});
    clickMultiple();
    EXPECT_EQ(seen.size(), 3u);
    ASSERT_EQ(w.messages.size(), 1u);
    EXPECT_EQ(w.messages[0].text, "3 Units Updated\n3 programmed, 0 failed, 0 unconfirmed");
    EXPECT_EQ(w.messages[0].style, engine::BoxIcon::Information) << "every unit programmed";
}

TEST_F(Multiple, AHostFailureEndsTheBatchWithoutSummaryYetTheLogStillOpens) {
    BatchDlg& w = open("/fw/unit one.wq1", "");
    writeFile(dir.file("units.txt"), "10.0.0.1\r10.0.0.2\r10.0.0.3\r");
    w.listChoices.push_back(dir.file("units.txt").string());
    answer({engine::ResultProgrammed, engine::ResultSocketError, engine::ResultProgrammed});
    clickMultiple();
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_TRUE(w.messages.empty());
    EXPECT_EQ(w.unitCounter()->text(), QStringLiteral("2 of 3"));
    EXPECT_EQ(afterHeader(log()),
              "IP: 10.0.0.1 Successfully Programmed\r\n"
              "IP: 10.0.0.2 Socket Error\r\n");
    EXPECT_EQ(w.editorOpened.size(), 1u);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(Multiple, AListThatIsNotThereLeavesThePreviousLogQuietlyAndAnUnwritableLogIsReported) {
    BatchDlg& w = open("/fw/unit one.wq1", "");
    // The log of an earlier batch, the record a later one may resume from.
    writeFile(dir.file("Status.txt"), "the previous log\r\n");
    w.listChoices.push_back(dir.file("typed-name.txt").string());
    answer({});
    clickMultiple();
    EXPECT_TRUE(w.messages.empty());
    EXPECT_TRUE(w.editorOpened.empty());
    EXPECT_EQ(log(), "the previous log\r\n");

    // A folder named like the log stands in for a log that cannot be created.
    std::filesystem::remove(dir.file("Status.txt"));
    std::filesystem::create_directory(dir.file("Status.txt"));
    writeFile(dir.file("units.txt"), "10.0.0.1\r\n");
    w.listChoices.push_back(dir.file("units.txt").string());
    clickMultiple();
    EXPECT_TRUE(seen.empty()) << "no unit is programmed without a log";
    ASSERT_EQ(w.messages.size(), 1u);
    EXPECT_EQ(w.messages[0].style, engine::BoxIcon::Stop);
    EXPECT_NE(w.messages[0].text.find(dir.file("Status.txt").string()), std::string::npos)
        << w.messages[0].text;
    EXPECT_TRUE(w.editorOpened.empty());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(Multiple, WithoutATextEditorTheOperatorIsToldWhereTheLogIs) {
    BatchDlg& w = open("/fw/unit one.wq1", "");
    w.desktopEditor = true;
    writeFile(dir.file("units.txt"), "10.0.0.1\r\n");
    answer({engine::ResultVerifyError, engine::ResultVerifyError});

    // The offscreen desktop has no handler for documents.
    w.listChoices.push_back(dir.file("units.txt").string());
    clickMultiple();
    ASSERT_EQ(w.messages.size(), 2u);
    EXPECT_EQ(w.messages[0].text, "1 Units Updated\n0 programmed, 1 failed, 0 unconfirmed");
    EXPECT_EQ(w.messages[1].style, engine::BoxIcon::Information);
    EXPECT_NE(w.messages[1].text.find(dir.file("Status.txt").string()), std::string::npos)
        << w.messages[1].text;

    // Where the desktop opens the log, nothing more is said.
    QTextBrowser viewer;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &viewer, "setSource");
    w.messages.clear();
    w.listChoices.push_back(dir.file("units.txt").string());
    clickMultiple();
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    ASSERT_EQ(w.messages.size(), 1u);
    EXPECT_EQ(w.messages[0].text, "1 Units Updated\n0 programmed, 1 failed, 0 unconfirmed");
    EXPECT_EQ(viewer.source().toLocalFile().toStdString(), dir.file("Status.txt").string());
}

TEST_F(Multiple, AfterTheBatchTheProgressBarIsEmptyAgain) {
    BatchDlg& w = open("/fw/unit one.wq1", "");
    writeFile(dir.file("units.txt"), "10.0.0.1\r\n10.0.0.2\r\n");
    w.listChoices.push_back(dir.file("units.txt").string());
    // Each unit's image streams to its end.
    answer({engine::ResultProgrammed, engine::ResultVerifyError}, [&w](int) {
        w.Operator().setProgressRange(5000);
        w.Operator().setProgressPosition(5000);
    });
    QProgressBar* bar = w.findChild<QProgressBar*>("IDC_PROGRESS");
    clickMultiple();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(bar->value(), bar->minimum());
}
