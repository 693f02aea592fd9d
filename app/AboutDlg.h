#pragma once

#include <QDialog>

// The About box: icon, version line, copyright line and OK.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    static constexpr const char* kCaption = "About Veltrane";
    static constexpr const char* kVersionText = "Firmware Programmer Version 2.9";
};
