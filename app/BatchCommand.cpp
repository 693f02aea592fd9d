#include "app/BatchCommand.h"

#include "app/ProgrammerApp.h"
#include "engine/Operator.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <tuple>

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
                       const engine::EngineOptions& options, const fleet::BatchServices& services,
                       fleet::BatchObserver& observer) {
    fleet::BatchSettings settings;
    const std::string list = toLocal8(QFileInfo(fromLocal8(listPath)).absoluteFilePath());
    settings.files = {imagePath, list, logPathFor(listPath)};
    settings.engine = options;
    // A unit's verdict counts only from its own address, as for a single unit.
    settings.anySender = false;
    std::ignore = fleet::Batch(std::move(settings), services, observer).run();
}

void BatchCommand::openLog(const std::string& logPath) {
    // The editor is started and left alone: the batch does not wait for it. Where
    // the desktop has nothing to open a text file with, the operator is told
    // where the log is instead of being left to look for it.
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(fromLocal8(logPath)))) {
        operator_.messageBox(logNotOpenedText(logPath), engine::BoxIcon::Information);
    }
}
