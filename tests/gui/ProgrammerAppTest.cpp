// Start-up and the one persisted setting.
#include "tests/gui/GuiTestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <gtest/gtest.h>

using gui_test::FakeSpooler;
using gui_test::TestDlg;

namespace {

// Start-up with the socket layer and the modal run under the test's control.
class TestApp : public CProgrammerApp {
public:
    bool socketsOk = true;
    std::vector<std::string> messages;
    std::vector<engine::BoxStyle> styles;
    int windowRuns = 0;
    QString imageBoxAtStart;
    QString captionAtStart;

    engine::BoxAnswer MessageBox(const std::string& text, engine::BoxStyle f) override {
        messages.push_back(text);
        styles.push_back(f);
        return engine::BoxAnswer::Ok;
    }

protected:
    bool InitSockets() override { return socketsOk; }
    int RunMainWindow(CProgrammerDlg& dialog) override {
        ++windowRuns;
        dialog.show();
        imageBoxAtStart = dialog.findChild<QLineEdit*>("IDC_IMAGE_PATH")->text();
        captionAtStart = dialog.windowTitle();
        dialog.reject();
        return QDialog::Rejected;
    }
};

QString settingsFile(const QString& appName) {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Brindell/") + appName + QStringLiteral(".conf");
}

}  // namespace

TEST(Setting, FirstRunReadsTheDefaultAndAnyTextComesBackUnchanged) {
    CProgrammerApp app;
    app.SetAppName(gui_test::uniqueAppName());
    const QString section = QStringLiteral("Programmer");
    const QString entry = QStringLiteral("Printer");
    EXPECT_EQ(app.GetProfileString(section, entry, ""), "");
    EXPECT_EQ(app.GetProfileString(section, entry, "fallback"), "fallback");

    // Texts that a settings file could mistake for lists, types or escapes.
    for (const std::string& value :
         {std::string("10.0.0.9"), std::string("Office Laser, 2nd floor"),
          std::string("@Invalid()"), std::string("  padded  "), std::string("a=b;c#d"),
          std::string("\\\\server\\queue"), std::string("[Programmer]"), std::string("true"),
          std::string(500, 'q'), std::string()}) {
        app.WriteProfileString(section, entry, value);
        EXPECT_EQ(app.GetProfileString(section, entry, "<absent>"), value);
    }
    EXPECT_TRUE(QFileInfo::exists(settingsFile(app.AppName())))
        << "kept per user under the company's name";
}

TEST(Setting, AWindowRestoresWhatThePreviousWindowStored) {
    CProgrammerApp app;
    app.SetAppName(gui_test::uniqueAppName());
    FakeSpooler spooler;
    {
        TestDlg first(app, spooler);
        first.show();
        first.target()->setEditText(QStringLiteral("not a queue, not an address"));
        first.reject();
    }
    TestDlg second(app, spooler);
    second.show();
    EXPECT_EQ(second.target()->currentText(), "not a queue, not an address");
}

TEST(StartUp, TakesTheImageFromTheCommandLineAndNamesItselfAfterTheExecutable) {
    TestApp app;
    const QString oldName = QCoreApplication::applicationName();
    const QString name = QStringLiteral("fw-prog-") + gui_test::uniqueAppName();
    const std::string program = "/opt/brindell/bin/" + name.toStdString() + ".bin";
    std::vector<std::string> args = {program, "-pt", "/p", "first image.wq1", "second.wq1"};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    EXPECT_FALSE(app.InitInstance(int(argv.size()), argv.data()));
    EXPECT_EQ(app.AppName(), name) << "no directory, no extension";
    EXPECT_EQ(QCoreApplication::applicationName(), name);
    EXPECT_EQ(app.GetImagePath(), "first image.wq1");
    EXPECT_EQ(app.windowRuns, 1);
    EXPECT_EQ(app.imageBoxAtStart, "first image.wq1");
    EXPECT_EQ(app.captionAtStart, "BRINDELL Firmware Programmer");
    EXPECT_TRUE(app.messages.empty());
    QCoreApplication::setApplicationName(oldName);
}

TEST(StartUp, ASocketLayerFailureShowsOneMessageAndNoWindow) {
    TestApp app;
    app.socketsOk = false;
    const QString oldName = QCoreApplication::applicationName();
    std::string program = "/usr/bin/" + gui_test::uniqueAppName().toStdString();
    char* argv[] = {program.data(), nullptr};
    EXPECT_FALSE(app.InitInstance(1, argv));
    ASSERT_EQ(app.messages.size(), 1u);
    EXPECT_EQ(app.messages[0], "Windows sockets initialization failed.");
    EXPECT_EQ(app.styles[0], engine::BoxIcon::None)
        << "a plain OK box, which shows the exclamation icon";
    EXPECT_EQ(app.windowRuns, 0);
    EXPECT_FALSE(QFileInfo::exists(settingsFile(app.AppName()))) << "settings never touched";
    QCoreApplication::setApplicationName(oldName);
}

TEST(Setting, AnUnwritableSettingsFileIsSilentAndTheWindowWorksOn) {
    CProgrammerApp app;
    app.SetAppName(gui_test::uniqueAppName());
    // A directory where the settings file should be: it can be neither
    // written nor read as settings, even by root.
    const QString path = settingsFile(app.AppName());
    ASSERT_TRUE(QDir().mkpath(path));
    FakeSpooler spooler;
    {
        TestDlg window(app, spooler);
        window.show();
        window.target()->setEditText(QStringLiteral("10.0.0.42"));
        window.reject();  // saving on the way out fails without a word
    }
    EXPECT_EQ(app.GetProfileString(QStringLiteral("Programmer"), QStringLiteral("Printer"), ""),
              "");
    TestDlg again(app, spooler);
    again.show();
    EXPECT_EQ(again.target()->currentText(), "") << "nothing remembered, nothing broken";
    QDir(path).removeRecursively();
}
