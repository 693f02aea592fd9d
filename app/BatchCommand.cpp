// The "Multiple" command: every unit of a list file, one after the other, with
// the status log beside the list.
#include "app/FileChooser.h"
#include "app/ProgrammerApp.h"
#include "app/ProgrammerDlg.h"
#include "fleet/BatchRun.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

QStringList listFileFilters() {
    // The descriptions are shown as they are; the patterns after them are what
    // the chooser matches. List names come in either letter case, so every case
    // of the extension is listed. "All Files (*.*)" means every file, with or
    // without a dot.
    return {QStringLiteral("Text Files (*.txt) (*.txt *.txT *.tXt *.tXT *.Txt *.TxT *.TXt *.TXT)"),
            QStringLiteral(" All Files (*.*) (*)")};
}

std::optional<std::string> chooseListFile(QWidget* owner, bool forSaving) {
    // A typed name that does not exist is accepted: a list to be written, or,
    // when opening, one the batch then ends on quietly with the log's two
    // header lines as its trace.
    return chooseFile(owner, {forSaving ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen,
                              listFileFilters(), QStringLiteral("*.txt"), QStringLiteral("txt")});
}

std::string logNotOpenedText(const std::string& logPath) {
    return "No text editor could be opened for the status log.\nIt is saved as " + logPath;
}

std::optional<std::string> CProgrammerDlg::ChooseListFile() {
    return chooseListFile(this, /*forSaving=*/false);
}

void CProgrammerDlg::OpenLogInEditor(const std::string& logPath) {
    // The editor is started and left alone: the batch does not wait for it. Where
    // the desktop has nothing to open a text file with, the operator is told
    // where the log is instead of being left to look for it.
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(fromLocal8(logPath)))) {
        m_operator.messageBox(logNotOpenedText(logPath), mb::kIconInformation);
    }
}

void CProgrammerDlg::OnProgramMultiple() {
    UpdateData(true);
    m_bStopRequested = false;
    m_app.SetImagePath(m_strFileName);
    const std::optional<std::string> list = ChooseListFile();
    if (!list) {
        return;
    }
    // The chooser does not move the process's current directory here, so the
    // log goes where the operator will look for it: beside the list it chose.
    const QFileInfo listInfo(fromLocal8(*list));
    const std::string logPath =
        toLocal8(QDir(listInfo.absolutePath()).filePath(QStringLiteral("Status.txt")));

    BatchHooks hooks;
    hooks.programUnit = [this](const std::string& target) {
        // The combo box keeps the operator's text; only the members follow the list.
        m_app.SetTarget(target);
        m_strPrinter = target;
        return ProgramUnit();
    };
    hooks.stopRequested = [this] { return m_bStopRequested; };
    hooks.logClosed = [this](const std::string& path) { OpenLogInEditor(path); };
    runBatch({m_app.GetImagePath(), toLocal8(listInfo.absoluteFilePath()), logPath}, m_operator,
             *m_sleeper, hooks);
}
