// The main window: its layout, the data exchange with its controls and the
// commands that the window itself carries out.
#include "app/AboutDlg.h"
#include "app/FileChooser.h"
#include "tests/gui/GuiTestSupport.h"
#include "tests/support/TestEnvironment.h"

#include <qpa/qwindowsysteminterface.h>
#include <QApplication>
#include <QGroupBox>
#include <QMenu>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QToolTip>

#include <gtest/gtest.h>

#include <memory>

using gui_test::FakeSpooler;
using gui_test::TestDlg;

namespace {

struct Window : ::testing::Test {
    CProgrammerApp app;
    FakeSpooler spooler;
    std::unique_ptr<TestDlg> dlg;

    Window() { app.SetAppName(gui_test::uniqueAppName()); }

    TestDlg& open(std::vector<std::string> queues = {}) {
        spooler = FakeSpooler(std::move(queues));
        dlg = std::make_unique<TestDlg>(app, spooler);
        dlg->show();
        return *dlg;
    }
    std::string storedTarget() const {
        return app.GetProfileString(QStringLiteral("Programmer"), QStringLiteral("Printer"),
                                    "<absent>");
    }
    void storeTarget(const std::string& value) {
        app.WriteProfileString(QStringLiteral("Programmer"), QStringLiteral("Printer"), value);
    }
    static void typeInto(QWidget* w, const QString& text) {
        if (auto* combo = qobject_cast<QComboBox*>(w)) {
            combo->lineEdit()->selectAll();
            QTest::keyClicks(combo->lineEdit(), text);
        } else {
            auto* edit = qobject_cast<QLineEdit*>(w);
            edit->selectAll();
            QTest::keyClicks(edit, text);
        }
    }
};

struct DluRect {
    const char* id;
    int x, y, w, h;
};

// The window's template, as drawn in dialog units.
const DluRect kLayout[] = {
    {"IDC_IMAGE_PATH", 14, 70, 295, 12},   {"IDC_BROWSE_IMAGE", 313, 69, 19, 14},
    {"IDC_TARGET", 13, 113, 184, 89},      {"IDC_PROGRAM_SINGLE", 234, 102, 50, 14},
    {"IDC_HELP_BUTTON", 273, 40, 50, 14},  {"IDC_COPYRIGHT", 7, 135, 81, 8},
    {"IDC_FIND_DEVICE", 201, 112, 19, 14}, {"IDC_PROGRAM_MULTIPLE", 288, 102, 50, 14},
    {"IDC_PROGRESS", 91, 136, 135, 7},     {"IDC_UNIT_COUNTER", 233, 135, 53, 8},
    {"IDC_STOP", 275, 15, 50, 14},         {"IDC_TIME_STAMP", 288, 129, 50, 14},
};

}  // namespace

TEST_F(Window, EveryControlSitsWhereItsDialogUnitsSayThroughTheDialogFont) {
    TestDlg& w = open();
    const DialogBaseUnits units = DialogBaseUnits::forFont(w.font());
    EXPECT_EQ(w.size(), QSize(units.toPixelsX(345), units.toPixelsY(150)));
    for (const DluRect& c : kLayout) {
        QWidget* control = w.findChild<QWidget*>(c.id);
        ASSERT_NE(control, nullptr) << c.id;
        const QRect expected(units.toPixelsX(c.x), units.toPixelsY(c.y),
                             units.toPixelsX(c.x + c.w) - units.toPixelsX(c.x),
                             units.toPixelsY(c.y + c.h) - units.toPixelsY(c.y));
        EXPECT_EQ(control->pos(), expected.topLeft()) << c.id;
        EXPECT_EQ(control->width(), expected.width()) << c.id;
        if (std::string(c.id) != "IDC_TARGET") {  // its height includes the dropped list
            EXPECT_EQ(control->height(), expected.height()) << c.id;
        }
    }
    // The group boxes frame the image path and the target.
    QGroupBox* filename = nullptr;
    QGroupBox* printer = nullptr;
    for (QGroupBox* group : w.findChildren<QGroupBox*>()) {
        (group->title() == "Filename" ? filename : printer) = group;
    }
    ASSERT_NE(filename, nullptr);
    ASSERT_NE(printer, nullptr);
    EXPECT_EQ(printer->title().toStdString(), "Printer/IP");
    EXPECT_EQ(filename->geometry(), units.toPixels(7, 56, 329, 35));
    EXPECT_EQ(printer->geometry(), units.toPixels(7, 97, 218, 37));
    EXPECT_TRUE(filename->geometry().contains(w.imagePath()->geometry()));
    EXPECT_TRUE(printer->geometry().contains(w.target()->geometry()));
}

TEST_F(Window, BannerIsPaintedInABandNoVisibleControlReaches) {
    TestDlg& w = open();
    ASSERT_EQ(w.Banner().size(), QSize(494, 75));
    const QRect banner(QPoint(10, 10), w.Banner().size());
    EXPECT_TRUE(w.rect().contains(banner)) << "the banner fits the window";
    for (QWidget* child : w.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->isVisible()) {
            EXPECT_FALSE(child->geometry().intersects(banner)) << child->objectName().toStdString();
        }
    }
    // The banner really reaches the screen: a pixel of the window inside it
    // matches the picture.
    const QImage shot = w.grab().toImage();
    const QImage picture = w.Banner().toImage();
    EXPECT_EQ(shot.pixelColor(10 + 30, 10 + 40), picture.pixelColor(30, 40));
    EXPECT_EQ(shot.pixelColor(10 + 250, 10 + 70), picture.pixelColor(250, 70));
}

TEST_F(Window, TheBannerReachesAcrossTheWindowWithoutABlankStrip) {
    TestDlg& w = open();
    const QImage shot = w.grab().toImage();
    const QImage picture = w.Banner().toImage();
    const QColor background = w.palette().color(QPalette::Window);
    // The banner's own edges stand where the window's margins are, on the left
    // as on the right, and nothing in between shows the bare window.
    const int right = w.width() - 10;
    for (int y : {5, 30, 50, 70}) {
        EXPECT_EQ(shot.pixelColor(10, 10 + y), picture.pixelColor(0, y)) << y;
        EXPECT_EQ(shot.pixelColor(right - 1, 10 + y), picture.pixelColor(493, y)) << y;
        for (int x = 10; x < right; ++x) {
            ASSERT_NE(shot.pixelColor(x, 10 + y), background) << x << "," << 10 + y;
        }
    }
    EXPECT_EQ(shot.pixelColor(right + 1, 40), background) << "a margin like the left one";
    // The version line keeps its place at the banner's right end, undistorted.
    for (int x = 396; x < 460; ++x) {
        ASSERT_EQ(shot.pixelColor(right - (494 - x), 10 + 55), picture.pixelColor(x, 55)) << x;
    }
}

TEST_F(Window, TabVisitsTheVisibleControlsInTemplateOrderAndNeverTheHiddenButtons) {
    TestDlg& w = open();
    QApplication::setActiveWindow(&w);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    EXPECT_EQ(QApplication::focusWidget(), w.imagePath()) << "focus starts on the image path";
    EXPECT_TRUE(w.button("IDC_PROGRAM_SINGLE")->isDefault());
    // Enter in a box runs the default command.
    w.programUnit = [](TestDlg&) { return engine::ResultProgrammed; };
    QTest::keyClick(w.imagePath(), Qt::Key_Return);
    EXPECT_EQ(w.programUnitCalls, 1);
    EXPECT_EQ(w.messages.size(), 1u);
    ASSERT_TRUE(w.isVisible());
    w.imagePath()->setFocus();
    QStringList visited;
    for (int i = 0; i < 8; ++i) {
        QWidget* focus = QApplication::focusWidget();
        // The combo box's editable field stands for the combo box.
        while (focus != nullptr && focus->objectName().isEmpty()) {
            focus = focus->parentWidget();
        }
        visited << (focus ? focus->objectName() : QStringLiteral("<none>"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    EXPECT_EQ(visited, QStringList({"IDC_IMAGE_PATH", "IDC_BROWSE_IMAGE", "IDC_TARGET",
                                    "IDC_PROGRAM_SINGLE", "IDC_FIND_DEVICE", "IDC_PROGRAM_MULTIPLE",
                                    "IDC_TIME_STAMP", "IDC_IMAGE_PATH"}));
    for (const char* id : {"IDC_HELP_BUTTON", "IDC_STOP"}) {
        QPushButton* hidden = w.button(id);
        EXPECT_FALSE(hidden->isVisible()) << id;
        EXPECT_EQ(hidden->focusPolicy(), Qt::NoFocus) << id;
    }
    EXPECT_EQ(w.windowTitle(), "BRINDELL Firmware Programmer");
}

TEST_F(Window, StartsWithTheStoredTargetSelectingTheFirstQueueThatBeginsWithIt) {
    struct Row {
        std::string stored;
        QString shown;
        int index;
    };
    const Row rows[] = {
        {"office", "Office-Laser", 0},  // letter case ignored, first match wins
        {"OFFICE-C", "office-copier", 1},
        {"Lab", "Lab", 2},
        {"10.0.0.5", "10.0.0.5", -1},  // no queue begins so: the text itself
        {"Office-Laser-2", "Office-Laser-2", -1},
        // Nothing stored (first run): the empty text matches no entry, so the
        // box stays empty rather than naming a queue the operator never chose.
        {"", "", -1},
    };
    for (const Row& row : rows) {
        app.SetAppName(gui_test::uniqueAppName());
        storeTarget(row.stored);
        TestDlg& w = open({"Office-Laser", "office-copier", "Lab"});
        EXPECT_EQ(w.target()->currentText(), row.shown) << row.stored;
        if (row.index >= 0) {
            EXPECT_EQ(w.target()->currentIndex(), row.index) << row.stored;
        }
        EXPECT_EQ(w.target()->count(), 3) << "the stored text is never added to the list";
        dlg.reset();
    }
}

TEST_F(Window, AClearedTargetStaysEmptyThroughACommandAndIsSavedEmpty) {
    storeTarget("Lab");
    TestDlg& w = open({"Office-Laser", "Lab"});
    ASSERT_EQ(w.target()->currentText(), "Lab");
    w.target()->lineEdit()->selectAll();
    QTest::keyClick(w.target()->lineEdit(), Qt::Key_Delete);
    std::string ranAgainst = "<not run>";
    w.programUnit = [&](TestDlg& d) {
        ranAgainst = d.App().GetTarget();
        return engine::ResultPrinterPortError;
    };
    QTest::mouseClick(w.button("IDC_PROGRAM_SINGLE"), Qt::LeftButton);
    EXPECT_EQ(ranAgainst, "");
    EXPECT_EQ(w.target()->currentText(), "") << "the refresh must not pick a queue";
    EXPECT_EQ(storedTarget(), "");
    w.reject();
    EXPECT_EQ(storedTarget(), "") << "closing keeps it empty too";
}

TEST_F(Window, FirstRunWithoutQueuesStartsEmptyAndShowsTheCommandLineImage) {
    app.SetImagePath("/images/unit one.wq1");
    TestDlg& w = open();
    EXPECT_EQ(w.target()->currentText(), "");
    EXPECT_EQ(w.target()->count(), 0);
    EXPECT_EQ(w.imagePath()->text(), "/images/unit one.wq1");
    EXPECT_FALSE(w.findChild<QLabel*>("IDC_COPYRIGHT")->text().isEmpty());
    EXPECT_EQ(w.findChild<QProgressBar*>("IDC_PROGRESS")->maximum(), 100);
}

TEST_F(Window, BrowseCancelledChangesNothingAndConfirmedKeepsATypedTarget) {
    TestDlg& w = open({"Lab"});
    typeInto(w.imagePath(), "typed.wq1");
    typeInto(w.target(), "10.1.2.3");

    w.fileChoices.push_back(std::nullopt);
    QTest::mouseClick(w.button("IDC_BROWSE_IMAGE"), Qt::LeftButton);
    EXPECT_EQ(w.imagePath()->text(), "typed.wq1");
    EXPECT_EQ(w.target()->currentText(), "10.1.2.3");
    EXPECT_EQ(app.GetImagePath(), "");

    w.fileChoices.push_back("/srv/fw/UNIT.WQA");
    QTest::mouseClick(w.button("IDC_BROWSE_IMAGE"), Qt::LeftButton);
    EXPECT_EQ(w.imagePath()->text(), "/srv/fw/UNIT.WQA");
    EXPECT_EQ(app.GetImagePath(), "/srv/fw/UNIT.WQA");
    EXPECT_EQ(w.target()->currentText(), "10.1.2.3");
    EXPECT_EQ(storedTarget(), "<absent>") << "browsing never writes the setting";
}

TEST_F(Window, ClosingRightAfterTypingATargetSavesIt) {
    for (const bool byEscape : {true, false}) {
        app.SetAppName(gui_test::uniqueAppName());
        TestDlg& w = open({"Lab"});
        typeInto(w.target(), "Lab annex 7");
        if (byEscape) {
            QTest::keyClick(&w, Qt::Key_Escape);
        } else {
            w.close();
        }
        EXPECT_FALSE(w.isVisible());
        EXPECT_EQ(w.result(), QDialog::Rejected);
        EXPECT_EQ(storedTarget(), "Lab annex 7") << (byEscape ? "Escape" : "close");
        EXPECT_EQ(w.printer(), "Lab annex 7");
        dlg.reset();
    }
}

TEST_F(Window, TheAboutItemOfTheContextMenuOpensTheAboutBox) {
    TestDlg& w = open();
    QAction* about = nullptr;
    for (QAction* action : w.actions()) {
        if (action->text() == "&About Firmware Programmer...") {
            about = action;
        }
    }
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(w.contextMenuPolicy(), Qt::ActionsContextMenu);
    about->trigger();
    EXPECT_EQ(w.aboutBoxRuns, 1);
    w.OnSysCommand(0x0010 | 0x3);  // the low four bits are the system's own
    EXPECT_EQ(w.aboutBoxRuns, 2);
    w.OnSysCommand(0xF060);  // close and the like are not the About box
    EXPECT_EQ(w.aboutBoxRuns, 2);

    CAboutDlg box;
    EXPECT_EQ(box.windowTitle(), "About Veltrane");
    QStringList texts;
    for (QLabel* label : box.findChildren<QLabel*>()) {
        texts << label->text();
    }
    EXPECT_TRUE(texts.contains(QString::fromLatin1(kProductVersionText)));
    QPushButton* ok = box.findChild<QPushButton*>("IDOK");
    ASSERT_NE(ok, nullptr);
    EXPECT_TRUE(ok->isDefault());
}

TEST_F(Window, TheUnitCounterShowsTheBiggestBatchWholeInSpaceNoControlUses) {
    TestDlg& w = open();
    w.Operator().setUnitCounter("9999 of 9999");
    QLabel* counter = w.unitCounter();
    EXPECT_LE(counter->sizeHint().width(), counter->width());
    EXPECT_LE(counter->sizeHint().height(), counter->height());
    EXPECT_TRUE(w.rect().contains(counter->geometry()));
    for (QWidget* other : w.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (other != counter && other->isVisible()) {
            EXPECT_FALSE(counter->geometry().intersects(other->geometry()))
                << other->objectName().toStdString();
        }
    }
}

TEST_F(Window, AboutOpensWithF1AndFromTheMenuOverEveryPartWithoutAMenuOfItsOwn) {
    TestDlg& w = open();
    QApplication::setActiveWindow(&w);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1);
    EXPECT_EQ(w.aboutBoxRuns, 1) << "F1";

    // The banner says how to reach it.
    const QPoint onBanner(w.width() / 2, 10 + 37);
    QHelpEvent tip(QEvent::ToolTip, onBanner, w.mapToGlobal(onBanner));
    QApplication::sendEvent(&w, &tip);
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_TRUE(QToolTip::text().contains(QStringLiteral("F1"))) << QToolTip::text().toStdString();
    EXPECT_TRUE(QToolTip::text().contains(QStringLiteral("right-click"), Qt::CaseInsensitive));
    QToolTip::hideText();

    // A right click, as the window system delivers it, on each part that has no
    // menu of its own; the About item of the menu that comes up is chosen.
    std::vector<std::pair<std::string, QPoint>> parts = {{"banner", onBanner}};
    for (const char* id : {"IDC_COPYRIGHT", "IDC_UNIT_COUNTER", "IDC_PROGRESS"}) {
        parts.emplace_back(id, w.findChild<QWidget*>(id)->geometry().center());
    }
    for (QGroupBox* group : w.findChildren<QGroupBox*>()) {
        parts.emplace_back(group->title().toStdString() + " title",
                           group->geometry().topLeft() + QPoint(8, 3));
        parts.emplace_back(group->title().toStdString() + " frame",
                           QPoint(group->x() + 3, group->geometry().center().y()));
    }
    for (const auto& [part, at] : parts) {
        const int before = w.aboutBoxRuns;
        QTimer chooser;
        chooser.setInterval(10);
        QObject::connect(&chooser, &QTimer::timeout, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (menu == nullptr) {
                return;
            }
            chooser.stop();
            for (QAction* action : menu->actions()) {
                if (action->text() == "&About Firmware Programmer...") {
                    menu->setActiveAction(action);
                }
            }
            QTest::keyClick(menu, Qt::Key_Return);
        });
        chooser.start();
        using Sync = QWindowSystemInterface::SynchronousDelivery;
        const QPointF global = w.mapToGlobal(QPointF(at));
        QWindowSystemInterface::handleMouseEvent<Sync>(w.windowHandle(), QPointF(at), global,
                                                       Qt::RightButton, Qt::RightButton,
                                                       QEvent::MouseButtonPress);
        QWindowSystemInterface::handleMouseEvent<Sync>(w.windowHandle(), QPointF(at), global,
                                                       Qt::NoButton, Qt::RightButton,
                                                       QEvent::MouseButtonRelease);
        EXPECT_TRUE(QTest::qWaitFor([&] { return w.aboutBoxRuns > before; }, 1000)) << part;
        chooser.stop();
        if (QWidget* stray = QApplication::activePopupWidget()) {
            stray->close();
        }
    }
}

TEST(ImageFilters, WqPatternMatchesEitherLetterCaseAndAllFilesMatchesEverything) {
    // Read the filters as the file chooser does: the last parenthesised group
    // holds the patterns, the text before it is what the operator sees.
    const QRegularExpression split(QStringLiteral("^(.*)\\(([^()]*)\\)$"));
    const QStringList filters = imageFileFilters();
    ASSERT_EQ(filters.size(), 2);
    auto matches = [&](int which, const QString& name) {
        const auto m = split.match(filters[which]);
        for (const QString& pattern : m.captured(2).split(' ', Qt::SkipEmptyParts)) {
            const QRegularExpression re(QRegularExpression::wildcardToRegularExpression(pattern));
            if (re.match(name).hasMatch()) {
                return true;
            }
        }
        return false;
    };
    EXPECT_EQ(split.match(filters[0]).captured(1).trimmed(), "WQ Files (*.WQ)");
    EXPECT_EQ(split.match(filters[1]).captured(1).trimmed(), "All Files (*.*)");
    for (const char* name : {"unit.WQ1", "unit.wqa", "unit.Wq7", "UNIT.wQz"}) {
        EXPECT_TRUE(matches(0, name)) << name;
    }
    for (const char* name : {"unit.wq", "unit.wq12", "unit.bin", "wq1"}) {
        EXPECT_FALSE(matches(0, name)) << name;
    }
    for (const char* name : {"unit.bin", "README", "unit.wq1"}) {
        EXPECT_TRUE(matches(1, name)) << name;
    }
}
