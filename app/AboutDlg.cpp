#include "app/AboutDlg.h"

#include "app/Artwork.h"
#include "app/DialogUnits.h"
#include "app/ProgrammerDlg.h"

#include <QLabel>
#include <QPushButton>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("IDD_ABOUTBOX"));
    setFont(dialogFont());
    setWindowTitle(QString::fromLatin1(kCaption));
    const DialogBaseUnits units = DialogBaseUnits::forFont(font());
    setFixedSize(units.toPixels(QSize(235, 55)));

    auto* icon = new QLabel(this);
    icon->setPixmap(programIcon().pixmap(32, 32));
    placeControl(icon, units, 11, 17, 20, 20);

    auto* version = new QLabel(QString::fromLatin1(kVersionText), this);
    version->setObjectName(QStringLiteral("IDC_VERSION"));
    version->setTextFormat(Qt::PlainText);
    placeControl(version, units, 40, 10, 119, 8);

    auto* copyright = new QLabel(QString::fromLatin1(CProgrammerDlg::kCopyrightText), this);
    copyright->setObjectName(QStringLiteral("IDC_ABOUT_COPYRIGHT"));
    copyright->setTextFormat(Qt::PlainText);
    placeControl(copyright, units, 40, 25, 119, 8);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("IDOK"));
    ok->setDefault(true);
    placeControl(ok, units, 178, 7, 50, 14);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
