#include "app/ProgrammerDlg.h"

#include "app/AboutDlg.h"
#include "app/Artwork.h"
#include "app/DeviceListDlg.h"
#include "app/FileChooser.h"
#include "app/ProgrammerApp.h"
#include "engine/ResultMessages.h"
#include "fleet/TimeStampBroadcast.h"
#include "platform/ErrorText.h"
#include "platform/Spooler.h"

#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QHelpEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QToolTip>

#include <algorithm>
#include <tuple>

namespace {

// Keeps the status port open for one command, however the command is left.
class StatusPortHold {
public:
    explicit StatusPortHold(platform::DatagramSocket& port) : port_(port) {}
    ~StatusPortHold() { port_.close(); }
    StatusPortHold(const StatusPortHold&) = delete;
    StatusPortHold& operator=(const StatusPortHold&) = delete;

private:
    platform::DatagramSocket& port_;
};

}  // namespace

CProgrammerDlg::CProgrammerDlg(CProgrammerApp& app, platform::Spooler& spooler, QWidget* parent)
    : QDialog(parent),
      m_app(app),
      m_spooler(spooler),
      m_operator(this, app.AppName()),
      m_options{engine::Endpoints::fromEnvironment(), {}, {}} {
    setObjectName(QStringLiteral("IDD_PROGRAMMER_DIALOG"));
    // A window of its own with a task-bar button, a minimize box and no maximize.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("Veltrane"));  // replaced at initialisation
    setFont(dialogFont());
    m_baseUnits = DialogBaseUnits::forFont(font());
    m_hIcon = programIcon();
    CreateControls();
    m_operator.attachControls(m_progress, m_unitCounter);
    m_operator.setMessageBoxFunction([this](const std::string& text, engine::BoxStyle style) {
        return MessageBox(text, style);
    });
}

CProgrammerDlg::~CProgrammerDlg() {
    // Deleting an open window still saves what the operator typed.
    if (m_bInitialised && !m_bDestroyed) {
        DestroyWindow();
    }
}

// The controls of the dialog's template, then how they take focus, then what
// their clicks do: three steps, since each is read and changed on its own.
void CProgrammerDlg::CreateControls() {
    setFixedSize(m_baseUnits.toPixels(QSize(kTemplateWidth, kTemplateHeight)));
    CreateTemplateControls();
    ArrangeLayersAndFocus();
    ConnectButtons();
}

void CProgrammerDlg::CreateTemplateControls() {
    const DialogBaseUnits& u = m_baseUnits;
    // Created in template order, which Qt also takes as the tab order and the
    // stacking order (a later control lies on top of an earlier one).
    m_imagePath = new QLineEdit(this);
    m_imagePath->setObjectName(QStringLiteral("IDC_IMAGE_PATH"));
    placeControl(m_imagePath, u, 14, 70, 295, 12);

    m_browseImage = TemplateButton(QStringLiteral("Find"), QStringLiteral("IDC_BROWSE_IMAGE"),
                                   QRect(313, 69, 19, 14));

    m_target = new QComboBox(this);
    m_target->setObjectName(QStringLiteral("IDC_TARGET"));
    m_target->setEditable(true);
    m_target->setInsertPolicy(QComboBox::NoInsert);  // typing never adds to the list
    m_target->setDuplicatesEnabled(true);
    {
        // The template's height includes the dropped list; the closed box is as
        // tall as its font needs.
        const QRect r = u.toPixels(13, 113, 184, 89);
        m_target->setGeometry(r.x(), r.y(), r.width(), m_target->sizeHint().height());
    }

    m_programSingle = TemplateButton(QStringLiteral("Single"), QStringLiteral("IDC_PROGRAM_SINGLE"),
                                     QRect(234, 102, 50, 14));
    m_programSingle->setDefault(true);
    m_helpButton = TemplateButton(QStringLiteral("Help"), QStringLiteral("IDC_HELP_BUTTON"),
                                  QRect(273, 40, 50, 14));

    m_filenameGroup = new QGroupBox(QStringLiteral("Filename"), this);
    placeControl(m_filenameGroup, u, 7, 56, 329, 35);

    m_copyright = new QLabel(this);
    m_copyright->setObjectName(QStringLiteral("IDC_COPYRIGHT"));
    m_copyright->setText(QStringLiteral("Static"));  // replaced at initialisation
    m_copyright->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_copyright->setTextFormat(Qt::PlainText);
    placeControl(m_copyright, u, 7, 135, 81, 8);

    m_printerGroup = new QGroupBox(QStringLiteral("Printer/IP"), this);
    placeControl(m_printerGroup, u, 7, 97, 218, 37);

    m_findDevice = TemplateButton(QStringLiteral("Find"), QStringLiteral("IDC_FIND_DEVICE"),
                                  QRect(201, 112, 19, 14));
    m_programMultiple =
        TemplateButton(QStringLiteral("Multiple"), QStringLiteral("IDC_PROGRAM_MULTIPLE"),
                       QRect(288, 102, 50, 14));

    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("IDC_PROGRESS"));
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_progress->setTextVisible(false);
    placeControl(m_progress, u, 91, 136, 135, 7);

    m_unitCounter = new QLabel(this);
    m_unitCounter->setObjectName(QStringLiteral("IDC_UNIT_COUNTER"));
    m_unitCounter->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_unitCounter->setTextFormat(Qt::PlainText);
    // The template's 30 units clip "100 of 150"; the space up to "Time Stamp"
    // is free, and with it "9999 of 9999" shows whole.
    placeControl(m_unitCounter, u, 233, 135, kUnitCounterWidth, 8);

    m_stop =
        TemplateButton(QStringLiteral("Exit"), QStringLiteral("IDC_STOP"), QRect(275, 15, 50, 14));
    m_timeStamp = TemplateButton(QStringLiteral("Time Stamp"), QStringLiteral("IDC_TIME_STAMP"),
                                 QRect(288, 129, 50, 14));
}

QPushButton* CProgrammerDlg::TemplateButton(const QString& text, const QString& id,
                                            const QRect& place) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(id);
    placeControl(button, m_baseUnits, place.x(), place.y(), place.width(), place.height());
    return button;
}

void CProgrammerDlg::ArrangeLayersAndFocus() {
    // Group boxes only frame the controls inside them; kept underneath so the
    // clicks reach those controls.
    m_filenameGroup->lower();
    m_printerGroup->lower();

    // "Help" and "Exit" sit where the banner is painted and are never shown or
    // focused; "Exit" stays reachable as the stop command.
    for (QPushButton* hidden : {m_helpButton, m_stop}) {
        hidden->setFocusPolicy(Qt::NoFocus);
        hidden->setAutoDefault(false);
        hidden->setVisible(false);
    }

    QWidget* tabOrder[] = {m_imagePath,  m_browseImage,     m_target,   m_programSingle,
                           m_findDevice, m_programMultiple, m_timeStamp};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i) {
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    }
}

void CProgrammerDlg::ConnectButtons() {
    connect(m_browseImage, &QPushButton::clicked, this,
            [this] { RunCommand(&CProgrammerDlg::OnBrowseImage); });
    connect(m_programSingle, &QPushButton::clicked, this,
            [this] { RunCommand(&CProgrammerDlg::OnProgramSingle); });
    connect(m_findDevice, &QPushButton::clicked, this,
            [this] { RunCommand(&CProgrammerDlg::OnFindDevice); });
    connect(m_programMultiple, &QPushButton::clicked, this,
            [this] { RunCommand(&CProgrammerDlg::OnProgramMultiple); });
    connect(m_timeStamp, &QPushButton::clicked, this,
            [this] { RunCommand(&CProgrammerDlg::OnTimeStamp); });
    // Stop must work while a command runs, so it bypasses the command guard.
    connect(m_stop, &QPushButton::clicked, this, [this] { OnStop(); });
}

std::vector<QPushButton*> CProgrammerDlg::CommandButtons() const {
    return {m_browseImage, m_programSingle, m_findDevice, m_programMultiple, m_timeStamp};
}

// For the length of one command: the command buttons are shown unavailable and
// afterwards come back as they were, the keyboard focus with them.
class CProgrammerDlg::CommandScope {
public:
    explicit CommandScope(CProgrammerDlg& dlg) : dlg_(dlg), focus_(dlg.focusWidget()) {
        dlg_.m_bCommandRunning = true;
        const std::vector<QPushButton*> buttons = dlg_.CommandButtons();
        // A disabled button hands its focus on along the tab order, which would
        // select the image path's text; the window itself holds it meanwhile,
        // where Escape still reaches it.
        if (std::find(buttons.begin(), buttons.end(), focus_.data()) != buttons.end()) {
            dlg_.setFocus(Qt::OtherFocusReason);
        }
        for (QPushButton* button : buttons) {
            if (button->isEnabled()) {
                button->setEnabled(false);
                disabled_.emplace_back(button);
            }
        }
    }
    ~CommandScope() {
        for (const QPointer<QPushButton>& button : disabled_) {
            if (button) {
                button->setEnabled(true);
            }
        }
        if (focus_ && focus_->isEnabled() && focus_->isVisible()) {
            focus_->setFocus(Qt::OtherFocusReason);
        }
        dlg_.m_bCommandRunning = false;
    }
    CommandScope(const CommandScope&) = delete;
    CommandScope& operator=(const CommandScope&) = delete;

private:
    CProgrammerDlg& dlg_;
    QPointer<QWidget> focus_;
    std::vector<QPointer<QPushButton>> disabled_;
};

void CProgrammerDlg::RunCommand(void (CProgrammerDlg::*handler)()) {
    // The engine lets waiting clicks run once per streamed block. A second
    // command started there would share the block buffer, the progress bar and
    // the application state with the running one, so such clicks are dropped
    // (the buttons are disabled as well, so they look it).
    if (m_bCommandRunning) {
        return;
    }
    {
        CommandScope scope(*this);
        (this->*handler)();
    }
    if (m_bCloseRequested) {
        m_bCloseRequested = false;
        QMetaObject::invokeMethod(
            this, [this, result = m_closeResult] { done(result); }, Qt::QueuedConnection);
    }
}

void CProgrammerDlg::InitDialog() {
    if (!m_bInitialised) {
        m_bInitialised = true;
        OnInitDialog();
    }
}

bool CProgrammerDlg::OnInitDialog() {
    const QString aboutText = QString::fromLatin1(kAboutMenuText);
    if (!aboutText.isEmpty()) {
        // Where no system menu can be reached, the window's context menu carries the item.
        auto* separator = new QAction(this);
        separator->setSeparator(true);
        auto* about = new QAction(aboutText, this);
        about->setObjectName(QStringLiteral("IDM_ABOUTBOX"));
        // F1, where Linux users look for a program's help and About.
        about->setShortcut(QKeySequence::HelpContents);
        about->setShortcutContext(Qt::WindowShortcut);
        connect(about, &QAction::triggered, this, [this] { OnSysCommand(kIdmAboutBox); });
        addAction(separator);
        addAction(about);
        setContextMenuPolicy(Qt::ActionsContextMenu);
    }

    setWindowTitle(QString::fromLatin1(kCaption));
    m_bmpBanner = bannerPixmap();
    m_strCopyright = kCopyrightText;
    setWindowIcon(m_hIcon);
    m_strFileName = m_app.GetImagePath();

    for (const std::string& queue : m_spooler.queueNames()) {
        m_target->addItem(fromLocal8(queue));
    }

    m_strPrinter = ReadPrinterSetting();
    UpdateData(false);
    m_imagePath->setFocus(Qt::OtherFocusReason);
    return true;
}

bool CProgrammerDlg::UpdateData(bool bSaveAndValidate) {
    DoDataExchange(bSaveAndValidate);
    return true;
}

void CProgrammerDlg::DoDataExchange(bool bSaveAndValidate) {
    // The progress bar is bound when the controls are made; nothing to exchange.
    if (bSaveAndValidate) {
        m_strPrinter = toLocal8(m_target->currentText());
        m_strFileName = toLocal8(m_imagePath->text());
        m_strCopyright = toLocal8(m_copyright->text());
    } else {
        SelectTarget(m_strPrinter);
        m_imagePath->setText(fromLocal8(m_strFileName));
        m_copyright->setText(fromLocal8(m_strCopyright));
    }
}

void CProgrammerDlg::SelectTarget(const std::string& text) {
    // The first list entry that begins with the text, in either letter case,
    // becomes the selection and shows in full; otherwise the text itself shows.
    // An empty text is no prefix at all: the combo box's prefix search finds
    // nothing for it, so a first run (or a cleared box) stays empty instead of
    // quietly pointing the next Single at whichever print queue is listed first.
    const QString wanted = fromLocal8(text);
    for (int i = 0; !wanted.isEmpty() && i < m_target->count(); ++i) {
        if (m_target->itemText(i).startsWith(wanted, Qt::CaseInsensitive)) {
            m_target->setCurrentIndex(i);
            m_target->setEditText(m_target->itemText(i));
            return;
        }
    }
    // No entry stays selected: adding the queues selected the first one.
    m_target->setCurrentIndex(-1);
    m_target->setEditText(wanted);
}

std::string CProgrammerDlg::ReadPrinterSetting() {
    return m_app.GetProfileString(QString::fromLatin1(kSection), QString::fromLatin1(kEntry),
                                  m_strPrinter);
}

void CProgrammerDlg::WritePrinterSetting() {
    m_app.WriteProfileString(QString::fromLatin1(kSection), QString::fromLatin1(kEntry),
                             m_strPrinter);
}

void CProgrammerDlg::OnSysCommand(unsigned nID) {
    if ((nID & 0xFFF0u) == kIdmAboutBox) {
        RunAboutBox();
    }
}

void CProgrammerDlg::RunAboutBox() {
    CAboutDlg about(this);
    about.exec();
}

void CProgrammerDlg::OnBrowseImage() {
    const std::optional<std::string> chosen = ChooseImageFile();
    if (!chosen) {
        return;
    }
    UpdateData(true);  // keeps a target typed since the last exchange
    m_strFileName = *chosen;
    m_app.SetImagePath(m_strFileName);
    UpdateData(false);
}

std::optional<std::string> CProgrammerDlg::ChooseImageFile() {
    // A name that does not exist yet is accepted; the image step reports it.
    return chooseFile(
        this, {QFileDialog::AcceptOpen, imageFileFilters(), QStringLiteral("*.WQ?"), QString()});
}

void CProgrammerDlg::OnProgramSingle() {
    engine::WaitCursor wait(m_operator);
    UpdateData(true);
    m_app.SetImagePath(m_strFileName);
    m_app.SetTarget(m_strPrinter);
    // The message names the target this command ran against, even if something
    // run during the transfer has changed the application state since.
    const std::string target = m_app.GetTarget();
    // A unit is heard only on the status port; a print queue never answers.
    StatusPortHold hold(m_statusPort);
    if (engine::readsAsDottedAddress(target) && !HoldStatusPort()) {
        return;
    }
    m_operator.setUnitCounter("1 of 1");
    const engine::ProgramResult result = ProgramUnit();
    WritePrinterSetting();
    UpdateData(false);
    m_operator.messageBox(engine::singleResultMessage(result, target),
                          engine::BoxIcon::Information);
}

// What the window shows of a batch: its own operator (counter, progress,
// wait cursor, message boxes), the target box following the list, the Stop
// button, and the log opened in an editor at the end.
class CProgrammerDlg::WindowBatchObserver final : public fleet::BatchObserver {
public:
    explicit WindowBatchObserver(CProgrammerDlg& dlg) : m_dlg(dlg) {}

    engine::Operator& batchOperator() override { return m_dlg.m_operator; }
    engine::WindowHooks* window() override { return &m_dlg.m_operator; }
    void statusPortUnavailable(std::uint16_t port, int error) override {
        m_dlg.m_operator.messageBox(StatusPortUnavailableText(port, error), engine::BoxIcon::Stop);
    }
    void unitStarted(const fleet::ParallelScheduler::Unit& unit) override {
        // The combo box keeps the operator's text; only the members follow the list.
        m_dlg.m_app.SetTarget(unit.target);
        m_dlg.m_strPrinter = unit.target;
    }
    bool stopRequested() override { return m_dlg.m_bStopRequested; }
    void logClosed(const std::string& path) override { m_dlg.OpenLogInEditor(path); }

private:
    CProgrammerDlg& m_dlg;
};

void CProgrammerDlg::OnProgramMultiple() {
    UpdateData(true);
    m_bStopRequested = false;
    m_app.SetImagePath(m_strFileName);
    const std::optional<std::string> list = ChooseListFile();
    if (!list) {
        return;
    }
    // One status port for the whole batch, lent to each unit's run in turn;
    // without it the batch ends before its log is written.
    StatusPortHold hold(m_statusPort);
    if (!HoldStatusPort()) {
        return;
    }
    WindowBatchObserver observer(*this);
    fleet::BatchServices services{*m_sleeper, m_spooler, &m_statusPort,
                                  [this](const fleet::ParallelScheduler::Unit&, engine::Operator&,
                                         engine::UnitRun&) { return ProgramUnit(); }};
    m_batchCommand.run(m_app.GetImagePath(), *list, m_options, services, observer);
    // The last unit's bar is no news once the batch is over.
    m_operator.setProgressPosition(0);
}

std::optional<std::string> CProgrammerDlg::ChooseListFile() {
    return chooseListFile(this, /*forSaving=*/false);
}

void CProgrammerDlg::OpenLogInEditor(const std::string& logPath) {
    m_batchCommand.openLog(logPath);
}

// Only a chosen address changes the window: every control is then set from its
// member, so the target box shows the address.
void CProgrammerDlg::OnFindDevice() {
    CDeviceListDlg dialog(m_app, m_options.endpoints, *m_sleeper, this);
    dialog.InitDialog();
    if (dialog.exec() == QDialog::Accepted && !m_app.GetTarget().empty()) {
        m_strPrinter = m_app.GetTarget();
        UpdateData(false);
    }
}

void CProgrammerDlg::OnTimeStamp() {
    // The question, the broadcast and any failure's message; a success shows
    // nothing, so the window has nothing left to do with the outcome.
    fleet::TimeStampBroadcast broadcast(m_operator, m_options.endpoints);
    std::ignore = broadcast.run();
}

bool CProgrammerDlg::HoldStatusPort() {
    if (m_statusPort.isOpen() || m_statusPort.create(m_options.endpoints.statusPort)) {
        return true;
    }
    m_operator.messageBox(
        StatusPortUnavailableText(m_options.endpoints.statusPort, m_statusPort.lastError()),
        engine::BoxIcon::Stop);
    return false;
}

std::string CProgrammerDlg::StatusPortUnavailableText(std::uint16_t port, int error) {
    const std::string portText = "UDP port " + std::to_string(port);
    std::string text = "Cannot program: " + portText +
                       ", where units send their verdicts, cannot be opened on this computer.\n" +
                       platform::systemErrorText(error);
    if (!text.empty() && text.back() != '\n') {
        text += '\n';
    }
    if (error == platform::errors::kAddressInUse) {
        text +=
            "Another programming run or program on this computer probably holds it: another "
            "window of this program, or fwprog.\nClose it, or wait until it has finished, "
            "and try again. Units that send their verdicts to another port: start this "
            "program with FWPROG_STATUS_PORT set to that port.\n";
    }
    return text + "No unit was contacted.";
}

engine::ProgramResult CProgrammerDlg::ProgramUnit() {
    engine::UnitProgrammer programmer(m_operator, *m_sleeper, m_spooler, m_options);
    programmer.setWindow(m_operator);
    if (m_statusPort.isOpen()) {
        // The command opened the port before it contacted any unit; only the
        // unit's own verdict counts there.
        programmer.setStatusInboxFactory([this](const std::string& unit) {
            return std::make_unique<engine::SocketStatusInbox>(m_statusPort,
                                                               engine::StatusSenders::unitAt(unit));
        });
    }
    // Every command has just set the target box's text (m_strPrinter) and the
    // application state's target to the same text, which the probes go to.
    return programmer.ProgramUnit(m_app.GetImagePath(), m_app.GetTarget());
}

void CProgrammerDlg::OnStop() {
    m_bStopRequested = true;
}

engine::BoxAnswer CProgrammerDlg::MessageBox(const std::string& text, engine::BoxStyle style) {
    return showMessageBox(this, m_app.AppName(), text, style);
}

void CProgrammerDlg::DestroyWindow() {
    m_bDestroyed = true;
    UpdateData(true);
    WritePrinterSetting();
    UpdateData(false);
}

void CProgrammerDlg::done(int result) {
    if (m_bCommandRunning) {
        // Closed from inside a running command (its events are serviced while
        // it streams): the window ends once the command has returned.
        m_bCloseRequested = true;
        m_closeResult = result;
        return;
    }
    if (m_bInitialised && !m_bDestroyed) {
        DestroyWindow();
    }
    QDialog::done(result);
}

void CProgrammerDlg::showEvent(QShowEvent* event) {
    InitDialog();
    m_bDestroyed = false;
    QDialog::showEvent(event);
}

QRect CProgrammerDlg::BannerRect() const {
    // The band above the image path's frame, with the same margin on the right
    // as on the left and a little room above the frame's title.
    const int right = width() - kBannerX;
    const int bottom = m_filenameGroup->y() - m_baseUnits.toPixelsY(kBannerGap);
    return QRect(QPoint(kBannerX, kBannerY), QPoint(right - 1, bottom - 1));
}

void CProgrammerDlg::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    if (m_bmpBanner.isNull()) {
        return;
    }
    // The banner spans the band from margin to margin whatever the font makes
    // of the window's width: its plain stretch between the name and the version
    // line is widened, so nothing is distorted. Only a band too small for the
    // picture shrinks it as a whole.
    const QRect band = BannerRect();
    const QSize picture = m_bmpBanner.size();
    const double scale = std::min(
        {1.0, double(band.width()) / picture.width(), double(band.height()) / picture.height()});
    const int split = std::min(kBannerStretchColumn, picture.width() - 1);
    const int height = qRound(picture.height() * scale);
    const int leftWidth = qRound(split * scale);
    const int rightWidth = qRound((picture.width() - split) * scale);
    const int middleWidth = std::max(0, band.width() - leftWidth - rightWidth);
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, scale < 1.0);
    const int x = band.x();
    const int y = band.y();
    painter.drawPixmap(QRect(x, y, leftWidth, height), m_bmpBanner,
                       QRect(0, 0, split, picture.height()));
    painter.drawPixmap(QRect(x + leftWidth, y, middleWidth, height), m_bmpBanner,
                       QRect(split, 0, 1, picture.height()));
    painter.drawPixmap(QRect(x + leftWidth + middleWidth, y, rightWidth, height), m_bmpBanner,
                       QRect(split, 0, picture.width() - split, picture.height()));
}

bool CProgrammerDlg::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        // The banner tells how to reach the About box, which has no button.
        auto* help = static_cast<QHelpEvent*>(event);
        const QRect banner = BannerRect();
        if (banner.contains(help->pos())) {
            QToolTip::showText(help->globalPos(), QString::fromLatin1(kBannerToolTip), this,
                               banner);
            return true;
        }
    }
    return QDialog::event(event);
}
