#pragma once

#include "engine/Operator.h"

#include <QString>

#include <string>

class CProgrammerDlg;

// The application object: runs start-up, holds the state every command reads
// and writes (the image path and the target), and owns where the one persisted
// setting lives. main() creates the QApplication before calling InitInstance.
class CProgrammerApp {
public:
    CProgrammerApp() = default;
    virtual ~CProgrammerApp() = default;
    CProgrammerApp(const CProgrammerApp&) = delete;
    CProgrammerApp& operator=(const CProgrammerApp&) = delete;

    // Start-up: command line, socket layer, main window run modally. Always
    // returns false: there is no message loop beyond the main window's own.
    virtual bool InitInstance(int argc, char** argv);

    std::string GetImagePath() const { return m_strImagePath; }
    void SetImagePath(std::string path) { m_strImagePath = std::move(path); }
    std::string GetTarget() const { return m_strTarget; }
    void SetTarget(std::string target) { m_strTarget = std::move(target); }

    // The executable's file name without directory and extension: the caption of
    // every message box and the settings' application name.
    QString AppName() const { return m_strAppName; }
    void SetAppName(const QString& name) { m_strAppName = name; }

    // The per-user setting under company "Brindell", this application's name and
    // the given section. A value that cannot be read yields the default; a
    // failed write is not reported.
    std::string GetProfileString(const QString& section, const QString& entry,
                                 const std::string& defaultValue) const;
    void WriteProfileString(const QString& section, const QString& entry,
                            const std::string& value) const;

    // The message box of start-up (no window exists yet).
    virtual engine::BoxAnswer MessageBox(const std::string& text, engine::BoxStyle style);

    static constexpr const char* kCompanyKey = "Brindell";
    static constexpr const char* kSocketsInitFailed = "Windows sockets initialization failed.";

protected:
    // POSIX sockets need no start-up; a platform that does plugs in here.
    virtual bool InitSockets();
    // Runs the main window modally until it closes.
    virtual int RunMainWindow(CProgrammerDlg& dialog);

private:
    std::string m_strImagePath;
    std::string m_strTarget;
    QString m_strAppName;
};

// Text crosses into Qt in the local 8-bit encoding and comes back the same way.
QString fromLocal8(const std::string& text);
std::string toLocal8(const QString& text);
