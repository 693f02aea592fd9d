#pragma once

#include "app/BatchCommand.h"
#include "app/DialogUnits.h"
#include "app/WindowOperator.h"
#include "engine/ProgramResult.h"
#include "engine/UnitProgrammer.h"
#include "platform/DatagramSocket.h"

#include <QDialog>
#include <QIcon>
#include <QPixmap>

#include <optional>
#include <string>
#include <vector>

class CProgrammerApp;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace platform {
class Spooler;
}

// The main window: image path, target, banner, progress bar, unit counter and
// every command. Commands copy the controls into the application state before
// the engine reads it.
class CProgrammerDlg : public QDialog {
    Q_OBJECT
public:
    CProgrammerDlg(CProgrammerApp& app, platform::Spooler& spooler, QWidget* parent = nullptr);
    ~CProgrammerDlg() override;

    // Dialog template, in dialog units.
    static constexpr int kTemplateWidth = 345;
    static constexpr int kTemplateHeight = 150;
    static constexpr int kBannerX = 10;
    static constexpr int kBannerY = 10;
    // Dialog units kept free between the banner and the image path's frame.
    static constexpr int kBannerGap = 2;
    // The banner's first column of the plain stretch between the product's
    // name and the version line; it is widened to fill a wider window.
    static constexpr int kBannerStretchColumn = 320;
    static constexpr int kUnitCounterWidth = 53;
    static constexpr const char* kBannerToolTip =
        "Right-click anywhere in the window, or press F1, for About Firmware Programmer";
    static constexpr unsigned kIdmAboutBox = 0x0010;
    static constexpr const char* kCaption = "BRINDELL Firmware Programmer";
    static constexpr const char* kAboutMenuText = "&About Firmware Programmer...";
    static constexpr const char* kCopyrightText = "(C) 2024 Brindell";
    static constexpr const char* kSection = "Programmer";
    static constexpr const char* kEntry = "Printer";

    // Runs the initialisation once; showing the window does it too.
    void InitDialog();

    // Controls <-> members. true: the controls into the members; false: the
    // members into the controls. Never fails.
    bool UpdateData(bool bSaveAndValidate = true);

    // The programming sequence for the application state's image and target;
    // drives the progress bar. Tests and the batch may override it. While a
    // command holds the status port, the run reads its unit's verdict there.
    [[nodiscard]] virtual engine::ProgramResult ProgramUnit();

    // What the operator is told when the status port cannot be opened: the
    // port, what probably holds it, what to do, and that no unit was contacted.
    static std::string StatusPortUnavailableText(std::uint16_t port, int error);

    // The system-menu command; IDM_ABOUTBOX opens the About box.
    void OnSysCommand(unsigned nID);

    CProgrammerApp& App() const { return m_app; }
    platform::Spooler& Spooler() const { return m_spooler; }
    WindowOperator& Operator() { return m_operator; }
    platform::Sleeper& Sleeper() { return *m_sleeper; }
    const engine::EngineOptions& Options() const { return m_options; }
    void SetOptions(engine::EngineOptions options) { m_options = std::move(options); }
    // Replaces the window's sleeper (tests scale time); the window keeps the default.
    void SetSleeper(platform::Sleeper* sleeper) {
        m_sleeper = sleeper ? sleeper : &m_windowSleeper;
    }

    // True while a command handler runs; command buttons then ignore clicks.
    bool IsCommandRunning() const { return m_bCommandRunning; }
    const DialogBaseUnits& BaseUnits() const { return m_baseUnits; }
    const QPixmap& Banner() const { return m_bmpBanner; }
    bool StopRequested() const { return m_bStopRequested; }

    void done(int result) override;

protected:
    // Runs once, before the window is first shown.
    virtual bool OnInitDialog();
    virtual void DoDataExchange(bool bSaveAndValidate);

    // Command handlers, each run through RunCommand.
    virtual void OnBrowseImage();
    virtual void OnProgramSingle();
    virtual void OnStop();
    // Hooks filled by the batch, the device list and the time-stamp broadcast.
    // Each runs as a command: the wait-cursor and the ignore-nested-click rule
    // apply, and closing the window waits until it returns.
    virtual void OnProgramMultiple();
    class WindowBatchObserver;
    virtual void OnFindDevice();
    virtual void OnTimeStamp();

    // The window's only ways to ask the operator, overridable so tests can
    // answer without a modal loop.
    virtual engine::BoxAnswer MessageBox(const std::string& text, engine::BoxStyle style);
    // The Open dialog for the image; nothing when the operator cancels.
    virtual std::optional<std::string> ChooseImageFile();
    // The Open dialog for a batch list; nothing when the operator cancels.
    virtual std::optional<std::string> ChooseListFile();
    // Shows a finished batch's status log in the desktop's text editor.
    virtual void OpenLogInEditor(const std::string& logPath);
    virtual void RunAboutBox();

    // The setting as the window reads and writes it.
    std::string ReadPrinterSetting();
    void WritePrinterSetting();

    // Takes the controls into the members, saves the setting, refreshes the controls.
    void DestroyWindow();

    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

    // Where the banner is painted: the band above the controls, margin to margin.
    QRect BannerRect() const;

    // Members, in the order of the window's data.
    QProgressBar* m_progress = nullptr;
    std::string m_strPrinter;
    std::string m_strFileName;
    std::string m_strCopyright;
    QPixmap m_bmpBanner;
    QIcon m_hIcon;
    bool m_bStopRequested = false;

    // Controls, in template (and tab) order.
    QLineEdit* m_imagePath = nullptr;
    QPushButton* m_browseImage = nullptr;
    QComboBox* m_target = nullptr;
    QPushButton* m_programSingle = nullptr;
    QPushButton* m_helpButton = nullptr;
    QGroupBox* m_filenameGroup = nullptr;
    QLabel* m_copyright = nullptr;
    QGroupBox* m_printerGroup = nullptr;
    QPushButton* m_findDevice = nullptr;
    QPushButton* m_programMultiple = nullptr;
    QLabel* m_unitCounter = nullptr;
    QPushButton* m_stop = nullptr;
    QPushButton* m_timeStamp = nullptr;

private:
    class CommandScope;

    void CreateControls();
    // The steps of CreateControls.
    void CreateTemplateControls();
    void ArrangeLayersAndFocus();
    void ConnectButtons();
    // A push button of the template, its control id as its object name,
    // placed in dialog units.
    QPushButton* TemplateButton(const QString& text, const QString& id, const QRect& place);
    // The buttons that start a command: disabled while one runs.
    std::vector<QPushButton*> CommandButtons() const;
    void RunCommand(void (CProgrammerDlg::*handler)());
    // Opens the status port for a command that programs units over the
    // network, before any unit is contacted: a run that cannot hear its units'
    // verdicts must not put them into their boot loaders. False after telling
    // the operator why. The port stays open until ReleaseStatusPort().
    bool HoldStatusPort();
    void ReleaseStatusPort() { m_statusPort.close(); }
    void SelectTarget(const std::string& text);

    CProgrammerApp& m_app;
    platform::Spooler& m_spooler;
    DialogBaseUnits m_baseUnits;
    WindowOperator m_operator;
    BatchCommand m_batchCommand{m_operator};
    WindowSleeper m_windowSleeper;
    platform::Sleeper* m_sleeper = &m_windowSleeper;
    engine::EngineOptions m_options;
    platform::DatagramSocket m_statusPort;
    bool m_bInitialised = false;
    bool m_bDestroyed = false;
    bool m_bCommandRunning = false;
    bool m_bCloseRequested = false;
    int m_closeResult = QDialog::Rejected;
};
