// The Open dialogs the Multiple command asks for its list with, and the image
// chooser: the filter entries the operator reads, the patterns behind them,
// and what a typed name becomes.
#include "app/FileChooser.h"
#include "tests/gui/GuiTestSupport.h"
#include "tests/support/TestEnvironment.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

using gui_test::FakeSpooler;
using gui_test::TestDlg;

namespace {

class ChooserDlg : public TestDlg {
public:
    using TestDlg::TestDlg;
    std::optional<std::string> chooseList() { return ChooseListFile(); }
    std::optional<std::string> chooseImage() { return CProgrammerDlg::ChooseImageFile(); }
};

// Runs a chooser and acts on it once it is up; returns what it gave back.
std::optional<std::string> withChooser(ChooserDlg& w, std::function<void(QFileDialog&)> act,
                                       bool image = false) {
    bool acted = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) {
            ADD_FAILURE() << "no file chooser came up";
            return;
        }
        acted = true;
        act(*dialog);
    });
    auto chosen = image ? w.chooseImage() : w.chooseList();
    EXPECT_TRUE(acted);
    return chosen;
}

// The program with a name of its own, ready before any window takes it.
struct NamedApp {
    CProgrammerApp app;
    NamedApp() { app.SetAppName(gui_test::uniqueAppName()); }
};

// A window to run the choosers from, and a folder to point them at.
struct ListChooser : ::testing::Test, NamedApp {
    FakeSpooler spooler;
    ChooserDlg w{app, spooler};
    testing_support::TempDir dir;
};

// The filter entry the operator sees selected.
QString shownFilter(QFileDialog& dialog) {
    auto* types = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    return types ? types->currentText() : QString();
}

}  // namespace

TEST_F(ListChooser, ShowsBothFilterEntriesAndStartsOnTxtNames) {
    QStringList shown;
    QString initialName, suffix;
    const auto cancelled = withChooser(w, [&](QFileDialog& dialog) {
        if (auto* types = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo")))
            for (int i = 0; i < types->count(); ++i)
                shown << types->itemText(i);
        if (auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            initialName = name->text();
        suffix = dialog.defaultSuffix();
        dialog.reject();
    });
    EXPECT_FALSE(cancelled.has_value());
    // The chooser simplifies white space round each entry, so the spaces at the
    // descriptions' ends (checked in the filters themselves below) are not drawn.
    EXPECT_EQ(shown, (QStringList{QStringLiteral("Text Files (*.txt)"),
                                  QStringLiteral("All Files (*.*)")}));
    EXPECT_EQ(initialName, QStringLiteral("*.txt"));
    EXPECT_EQ(suffix, QStringLiteral("txt"));
}

TEST_F(ListChooser, ATypedNameThatDoesNotExistIsAcceptedWithTheDefaultExtension) {
    const auto chosen = withChooser(w, [&](QFileDialog& dialog) {
        dialog.setDirectory(QString::fromStdString(dir.path().string()));
        auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(name, nullptr);
        name->setText(QStringLiteral("units of line 4"));
        static_cast<QDialog&>(dialog).accept();  // as the Open button does
    });
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(*chosen, dir.file("units of line 4.txt").string());
}

TEST_F(ListChooser, DescriptionsAreWrittenWholeAndTxtMatchesEitherLetterCase) {
    // As the chooser reads a filter: the last parenthesised group holds the
    // patterns, the text before it is what the operator sees.
    const QRegularExpression split(QStringLiteral("^(.*)\\(([^()]*)\\)$"));
    const QStringList filters = listFileFilters();
    ASSERT_EQ(filters.size(), 2);
    auto matches = [&](int which, const QString& name) {
        const auto m = split.match(filters[which]);
        for (const QString& pattern : m.captured(2).split(' ', Qt::SkipEmptyParts)) {
            const QRegularExpression re(QRegularExpression::wildcardToRegularExpression(pattern));
            if (re.match(name).hasMatch())
                return true;
        }
        return false;
    };
    EXPECT_EQ(split.match(filters[0]).captured(1), QStringLiteral("Text Files (*.txt) "));
    EXPECT_EQ(split.match(filters[1]).captured(1), QStringLiteral(" All Files (*.*) "));
    for (const char* name : {"units.txt", "UNITS.TXT", "Units.Txt", "a.tXt"})
        EXPECT_TRUE(matches(0, name)) << name;
    for (const char* name : {"units.txt.bak", "units.csv", "txt"})
        EXPECT_FALSE(matches(0, name)) << name;
    for (const char* name : {"units.csv", "UNITS", "units.txt"})
        EXPECT_TRUE(matches(1, name)) << name;
}

TEST_F(ListChooser, OpenOnAWildcardNameFiltersTheViewAndNeverReturnsIt) {
    testing_support::writeFile(dir.file("units.txt"), "127.0.0.7\r\n");

    QStringList filtersAfterTyping;
    const auto chosen = withChooser(w, [&](QFileDialog& dialog) {
        dialog.setDirectory(QString::fromStdString(dir.path().string()));
        auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(name, nullptr);
        // The preset "*.txt" as it stands: the Text Files entry, still open.
        dialog.selectNameFilter(dialog.nameFilters().last());
        static_cast<QDialog&>(dialog).accept();
        EXPECT_EQ(dialog.result(), QDialog::Rejected) << "a wildcard name was taken as a file";
        EXPECT_EQ(shownFilter(dialog), QStringLiteral("Text Files (*.txt)"));
        // A pattern of the operator's own becomes an entry in front.
        name->setText(QStringLiteral("unit*"));
        static_cast<QDialog&>(dialog).accept();
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
        filtersAfterTyping = dialog.nameFilters();
        EXPECT_EQ(shownFilter(dialog), QStringLiteral("unit*.txt"));
        name->setText(QStringLiteral("units.txt"));
        static_cast<QDialog&>(dialog).accept();
    });
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(*chosen, dir.file("units.txt").string());
    ASSERT_EQ(filtersAfterTyping.size(), 3);
    EXPECT_EQ(filtersAfterTyping.first(), QStringLiteral("unit*.txt (unit*.txt)"));
}

TEST_F(ListChooser, TheImageChooserStartsOnWqNamesAndTreatsThemAsAFilter) {
    QString initialName;
    const auto chosen = withChooser(
        w,
        [&](QFileDialog& dialog) {
            dialog.setDirectory(QString::fromStdString(dir.path().string()));
            if (auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                initialName = name->text();
            static_cast<QDialog&>(dialog).accept();
            EXPECT_EQ(dialog.result(), QDialog::Rejected) << "\"*.WQ?\" was taken as a file";
            dialog.reject();
        },
        /*image=*/true);
    EXPECT_EQ(initialName, QStringLiteral("*.WQ?"));
    EXPECT_FALSE(chosen.has_value());
}
