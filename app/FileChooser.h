#pragma once

#include <QFileDialog>
#include <QString>
#include <QStringList>

#include <optional>
#include <string>

class QWidget;

// What one of the window's file choosers offers.
struct FileChooserSettings {
    QFileDialog::AcceptMode mode = QFileDialog::AcceptOpen;
    QStringList filters;  // the first one is selected
    QString initialName;  // shown in the name box, e.g. "*.txt"
    QString defaultSuffix;
};

// Qt's own chooser, set up the way the window's choosers all are: names that do
// not exist yet are accepted and the filter patterns stay out of sight. A name
// with wildcards in it ("*.txt", the preset one included) never comes back as a
// file name: it filters the view and the chooser stays open, which is what the
// operator meant by it.
class WildcardFileDialog : public QFileDialog {
public:
    WildcardFileDialog(QWidget* owner, const FileChooserSettings& settings);

    void accept() override;

private:
    void showOnly(const QString& pattern);
};

// Runs the chooser; the chosen file's absolute path, or nothing when cancelled.
std::optional<std::string> chooseFile(QWidget* owner, const FileChooserSettings& settings);

// The Open dialog's filters for the image file.
QStringList imageFileFilters();
// The Open dialog's filters for a batch list.
QStringList listFileFilters();

// The chooser for list files, to open a batch list or to save the device list
// (a save asks before replacing a file). The full path, or nothing on Cancel.
std::optional<std::string> chooseListFile(QWidget* owner, bool forSaving);
