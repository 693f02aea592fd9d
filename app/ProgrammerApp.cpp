#include "app/ProgrammerApp.h"

#include "app/CommandLine.h"
#include "app/ProgrammerDlg.h"
#include "app/WindowOperator.h"
#include "engine/Operator.h"
#include "platform/Networking.h"
#include "platform/SystemSpooler.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>

QString fromLocal8(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

std::string toLocal8(const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

bool CProgrammerApp::InitInstance(int argc, char** argv) {
    if (m_strAppName.isEmpty() && argc > 0 && argv != nullptr && argv[0] != nullptr) {
        m_strAppName = QFileInfo(QString::fromLocal8Bit(argv[0])).completeBaseName();
    }
    if (!m_strAppName.isEmpty()) {
        QCoreApplication::setApplicationName(m_strAppName);
    }
    QCoreApplication::setOrganizationName(QString::fromLatin1(kCompanyKey));

    m_strImagePath = app::imagePathFromArguments(argc, argv);

    if (!InitSockets()) {
        MessageBox(kSocketsInitFailed, engine::BoxIcon::None);
        return false;
    }

    const auto spooler = platform::systemSpooler();
    CProgrammerDlg dialog(*this, *spooler);
    RunMainWindow(dialog);
    return false;
}

bool CProgrammerApp::InitSockets() {
    return platform::startNetworking();
}

int CProgrammerApp::RunMainWindow(CProgrammerDlg& dialog) {
    return dialog.exec();
}

engine::BoxAnswer CProgrammerApp::MessageBox(const std::string& text, engine::BoxStyle style) {
    return showMessageBox(nullptr, m_strAppName, text, style);
}

std::string CProgrammerApp::GetProfileString(const QString& section, const QString& entry,
                                             const std::string& defaultValue) const {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromLatin1(kCompanyKey), m_strAppName);
    settings.beginGroup(section);
    const QVariant value = settings.value(entry);
    if (!value.isValid() || settings.status() != QSettings::NoError) {
        return defaultValue;
    }
    return toLocal8(value.toString());
}

void CProgrammerApp::WriteProfileString(const QString& section, const QString& entry,
                                        const std::string& value) const {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromLatin1(kCompanyKey), m_strAppName);
    settings.beginGroup(section);
    settings.setValue(entry, fromLocal8(value));
    settings.endGroup();
    settings.sync();  // a failure here goes unreported on purpose
}
