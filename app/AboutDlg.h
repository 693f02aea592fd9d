#pragma once

#include "generated/Version.h"

#include <QDialog>

// The About box: icon, version line, copyright line and OK.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    static constexpr const char* kCaption = "About Veltrane";
    static constexpr const char* kVersionText = kProductVersionText;
};
