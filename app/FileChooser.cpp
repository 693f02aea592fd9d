#include "app/FileChooser.h"

#include "app/ProgrammerApp.h"

#include <QFileInfo>
#include <QRegularExpression>

namespace {

bool hasWildcard(const QString& name) {
    return name.contains(QLatin1Char('*')) || name.contains(QLatin1Char('?'));
}

// The patterns of a filter entry: its last parenthesised group, or the whole
// entry when it has none.
QStringList patternsOf(const QString& filter) {
    static const QRegularExpression group(QStringLiteral("\\(([^()]*)\\)\\s*$"));
    const QRegularExpressionMatch match = group.match(filter);
    return (match.hasMatch() ? match.captured(1) : filter)
        .split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

}  // namespace

WildcardFileDialog::WildcardFileDialog(QWidget* owner, const FileChooserSettings& settings)
    : QFileDialog(owner) {
    setAcceptMode(settings.mode);
    setFileMode(QFileDialog::AnyFile);
    setOption(QFileDialog::DontUseNativeDialog);
    setOption(QFileDialog::HideNameFilterDetails);
    setNameFilters(settings.filters);
    if (!settings.defaultSuffix.isEmpty())
        setDefaultSuffix(settings.defaultSuffix);
    if (!settings.initialName.isEmpty())
        selectFile(settings.initialName);
}

void WildcardFileDialog::accept() {
    const QStringList chosen = selectedFiles();
    if (!chosen.isEmpty()) {
        const QString name = QFileInfo(chosen.constFirst()).fileName();
        if (hasWildcard(name)) {
            showOnly(name);
            return;
        }
    }
    QFileDialog::accept();
}

void WildcardFileDialog::showOnly(const QString& pattern) {
    // A pattern one of the entries already holds selects that entry; any other
    // becomes an entry of its own, in front.
    for (const QString& filter : nameFilters()) {
        if (patternsOf(filter).contains(pattern, Qt::CaseInsensitive)) {
            selectNameFilter(filter);
            return;
        }
    }
    const QString entry = pattern + QStringLiteral(" (") + pattern + QLatin1Char(')');
    setNameFilters(QStringList{entry} + nameFilters());
    selectNameFilter(entry);
}

std::optional<std::string> chooseFile(QWidget* owner, const FileChooserSettings& settings) {
    WildcardFileDialog dialog(owner, settings);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return toLocal8(QFileInfo(dialog.selectedFiles().constFirst()).absoluteFilePath());
}

QStringList imageFileFilters() {
    // The shown description keeps its own text; the patterns after it are what
    // the chooser matches. Image names come in either letter case, so every
    // case of the extension is listed rather than relying on the chooser's own
    // case rules. "All Files (*.*)" means every file, with or without a dot.
    return {QStringLiteral("WQ Files (*.WQ) (*.WQ? *.wq? *.Wq? *.wQ?)"),
            QStringLiteral("All Files (*.*) (*)")};
}

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
