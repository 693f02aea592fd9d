// The window against a simulated unit on loopback, with the real engine: what
// its progress bar says while the unit is programmed, and a run refused
// before any unit is touched when the window cannot hear the verdicts.
#include "platform/DatagramSocket.h"
#include "tests/gui/GuiTestSupport.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <QProgressBar>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

using gui_test::FakeSpooler;
using gui_test::TestDlg;
using testing_support::writeFile;

namespace {

using namespace std::chrono_literals;

// Pauses scaled down; at each one, what the progress bar's text says.
class BarWatcher final : public platform::Sleeper {
public:
    QProgressBar* bar = nullptr;
    std::vector<std::string> texts;  // each text once, in the order first shown
    std::function<void()> onPause;   // at the start of every pause

    void sleepFor(std::chrono::milliseconds duration) override {
        if (onPause) {
            onPause();
        }
        if (bar != nullptr && bar->isTextVisible()) {
            const std::string text = bar->text().toStdString();
            if (std::find(texts.begin(), texts.end(), text) == texts.end()) {
                texts.push_back(text);
            }
        }
        scaled_.sleepFor(duration);
    }

private:
    testing_support::ScaledSleeper scaled_{0.02};
};

class ListDlg : public TestDlg {
public:
    using TestDlg::TestDlg;
    std::optional<std::string> list;
    std::vector<std::string> editorOpened;

protected:
    std::optional<std::string> ChooseListFile() override { return list; }
    void OpenLogInEditor(const std::string& path) override { editorOpened.push_back(path); }
};

struct WindowWithUnit : ::testing::Test, testing_support::SimulatedUnits {
    CProgrammerApp app;
    FakeSpooler spooler;
    BarWatcher sleeper;
    testing_support::TempDir dir;
    std::unique_ptr<ListDlg> dlg;

    WindowWithUnit() {
        app.SetAppName(gui_test::uniqueAppName());
        writeFile(dir.file("fw.wq1"), testing_support::makeImage(20 * 1460 + 3));
    }

    ListDlg& open(const std::string& target) {
        dlg = std::make_unique<ListDlg>(app, spooler);
        engine::EngineOptions options;
        options.endpoints = simulatedEndpoints();
        dlg->SetOptions(options);
        dlg->SetSleeper(&sleeper);
        dlg->show();
        sleeper.bar = bar();
        dlg->imagePath()->setText(QString::fromStdString(dir.file("fw.wq1").string()));
        dlg->target()->lineEdit()->setText(QString::fromStdString(target));
        return *dlg;
    }
    QProgressBar* bar() const { return dlg->findChild<QProgressBar*>("IDC_PROGRESS"); }
    void click(const char* id) { QTest::mouseClick(dlg->button(id), Qt::LeftButton); }
    // Every event of these kinds the unit has recorded.
    std::size_t contacts() const {
        return simulator->count("connection") + simulator->count("header") +
               simulator->count("query") + simulator->count("image");
    }
};

}  // namespace

TEST_F(WindowWithUnit, TheProgressBarSaysWhereTheUnitStandsThenShowsNoTextAgain) {
    const auto u = unit(0, 150ms);
    ASSERT_TRUE(startSimulator({u}));
    open(u.address);
    EXPECT_FALSE(bar()->isTextVisible()) << "no text before a run";
    click("IDC_PROGRAM_SINGLE");

    ASSERT_EQ(dlg->messages.size(), 1u);
    EXPECT_EQ(dlg->messages[0].text,
              "1 Unit Updated\r\nIP: " + u.address + " Successfully Programmed");
    const auto shown = [&](const std::string& text) {
        return std::find(sleeper.texts.begin(), sleeper.texts.end(), text) != sleeper.texts.end();
    };
    EXPECT_TRUE(shown("entering the boot loader")) << ::testing::PrintToString(sleeper.texts);
    EXPECT_TRUE(shown("waiting for the boot loader: probe 1"))
        << ::testing::PrintToString(sleeper.texts);
    EXPECT_TRUE(shown("connecting for the image")) << ::testing::PrintToString(sleeper.texts);
    EXPECT_TRUE(shown("waiting for the verdict: 20 s left"))
        << ::testing::PrintToString(sleeper.texts);
    EXPECT_FALSE(bar()->isTextVisible()) << "the run is over";
    EXPECT_EQ(bar()->value(), bar()->maximum()) << "the single command leaves the bar full";
}

TEST_F(WindowWithUnit, AStopAskedWhileAUnitIsProgrammedEndsTheBatchAfterThatUnit) {
    const auto first = unit();
    const auto second = unit();
    ASSERT_TRUE(startSimulator({first, second}));
    ListDlg& w = open(first.address);
    writeFile(dir.file("units.txt"), listOf({first, second}));
    w.list = dir.file("units.txt").string();
    // Queued at the first unit's first pause, during which the window handles
    // nothing: the click runs only where the run lets the window's events run.
    bool queued = false;
    sleeper.onPause = [&] {
        if (!queued) {
            queued = true;
            QMetaObject::invokeMethod(w.button("IDC_STOP"), &QPushButton::click,
                                      Qt::QueuedConnection);
        }
    };
    click("IDC_PROGRAM_MULTIPLE");
    ASSERT_TRUE(queued);
    EXPECT_EQ(simulator->count("image", first.address), 1u);
    EXPECT_EQ(simulator->count("image", second.address), 0u)
        << "the stop was handled while the first unit was programmed";
}

TEST_F(WindowWithUnit, ATakenStatusPortStopsSingleAndMultipleBeforeTheUnitIsContacted) {
    const auto u = unit();
    ASSERT_TRUE(startSimulator({u}));
    ListDlg& w = open(u.address);
    platform::DatagramSocket holder;  // another run on this computer
    ASSERT_TRUE(holder.create(simOptions.statusPort));
    const std::string port = "UDP port " + std::to_string(simOptions.statusPort);

    click("IDC_PROGRAM_SINGLE");
    ASSERT_EQ(w.messages.size(), 1u);
    EXPECT_EQ(w.messages[0].style, engine::BoxIcon::Stop);
    EXPECT_NE(w.messages[0].text.find(port), std::string::npos) << w.messages[0].text;
    EXPECT_NE(w.messages[0].text.find("Another programming run or program on this computer"),
              std::string::npos)
        << w.messages[0].text;
    EXPECT_NE(w.messages[0].text.find("FWPROG_STATUS_PORT"), std::string::npos)
        << w.messages[0].text;

    w.messages.clear();
    writeFile(dir.file("units.txt"), listOf({u}));
    w.list = dir.file("units.txt").string();
    click("IDC_PROGRAM_MULTIPLE");
    ASSERT_EQ(w.messages.size(), 1u);
    EXPECT_NE(w.messages[0].text.find(port), std::string::npos) << w.messages[0].text;
    EXPECT_FALSE(std::filesystem::exists(dir.file("Status.txt"))) << "no log for a refused batch";
    EXPECT_TRUE(w.editorOpened.empty());

    // Both commands ran to their end inside the clicks: a run that had gone
    // on would have sent its header long before its result.
    EXPECT_EQ(contacts(), 0u);
    EXPECT_EQ(simulator->count("header", u.address), 0u);

    // With the port free again, the same window programs the unit.
    holder.close();
    w.messages.clear();
    click("IDC_PROGRAM_SINGLE");
    ASSERT_EQ(w.messages.size(), 1u);
    EXPECT_EQ(w.messages[0].text,
              "1 Unit Updated\r\nIP: " + u.address + " Successfully Programmed");
}
