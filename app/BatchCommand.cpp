#include "app/BatchCommand.h"

#include "app/ProgrammerApp.h"
#include "engine/Operator.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

std::string BatchCommand::logPathFor(const std::string& listPath) {
    // The chooser does not move the process's current directory here, so the
    // log goes where the operator will look for it: beside the list it chose.
    const QFileInfo listInfo(fromLocal8(listPath));
    return toLocal8(QDir(listInfo.absolutePath()).filePath(QStringLiteral("Status.txt")));
}

std::string BatchCommand::logNotOpenedText(const std::string& logPath) {
    return "No text editor could be opened for the status log.\nIt is saved as " + logPath;
}

void BatchCommand::run(const std::string& imagePath, const std::string& listPath,
                       platform::Sleeper& sleeper, const fleet::BatchHooks& hooks) {
    const std::string list = toLocal8(QFileInfo(fromLocal8(listPath)).absoluteFilePath());
    fleet::runBatch({imagePath, list, logPathFor(listPath)}, operator_, sleeper, hooks);
}

void BatchCommand::openLog(const std::string& logPath) {
    // The editor is started and left alone: the batch does not wait for it. Where
    // the desktop has nothing to open a text file with, the operator is told
    // where the log is instead of being left to look for it.
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(fromLocal8(logPath)))) {
        operator_.messageBox(logNotOpenedText(logPath), engine::BoxIcon::Information);
    }
}
