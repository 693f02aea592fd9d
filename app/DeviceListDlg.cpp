#include "app/DeviceListDlg.h"

#include "app/FileChooser.h"
#include "app/ProgrammerApp.h"
#include "engine/Protocol.h"
#include "fleet/DeviceDiscovery.h"
#include "fleet/DeviceList.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>

#include <algorithm>

namespace {

// The line exactly as the unit sent it; the shown text is only its rendering.
constexpr int kLineRole = Qt::UserRole;

}  // namespace

QList<TabbedPiece> layOutTabs(const QString& line, const QFontMetrics& metrics, int tabStop) {
    QList<TabbedPiece> pieces;
    int x = 0;
    const QStringList parts = line.split(QLatin1Char('\t'));
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            // The next stop strictly right of where the text so far ends.
            x = tabStop > 0 ? (x / tabStop + 1) * tabStop : x;
        }
        pieces.append({x, parts[i]});
        x += metrics.horizontalAdvance(parts[i]);
    }
    return pieces;
}

void TabStopDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    QStyleOptionViewItem item(option);
    initStyleOption(&item, index);
    const QString line = item.text;
    item.text.clear();
    const QWidget* widget = item.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    // Background, selection and focus as the style draws them; the text on top.
    style->drawControl(QStyle::CE_ItemViewItem, &item, painter, widget);
    const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &item, widget);

    painter->save();
    painter->setClipRect(textRect);
    painter->setFont(item.font);
    const bool selected = item.state & QStyle::State_Selected;
    const QPalette::ColorGroup group = !(item.state & QStyle::State_Enabled) ? QPalette::Disabled
                                       : (item.state & QStyle::State_Active) ? QPalette::Active
                                                                             : QPalette::Inactive;
    painter->setPen(
        item.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
    const QFontMetrics metrics(item.font);
    for (const TabbedPiece& piece : layOutTabs(line, metrics, tabStop_)) {
        const QRect pieceRect(textRect.left() + piece.x, textRect.top(),
                              std::max(0, textRect.width() - piece.x), textRect.height());
        painter->drawText(pieceRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                          piece.text);
    }
    painter->restore();
}

CDeviceListDlg::CDeviceListDlg(CProgrammerApp& app, engine::Endpoints endpoints,
                               platform::Sleeper& sleeper, QWidget* parent)
    : QDialog(parent),
      m_app(app),
      m_endpoints(std::move(endpoints)),
      m_sleeper(sleeper),
      m_operator(this, app.AppName()) {
    setObjectName(QStringLiteral("IDD_DEVICE_LIST"));
    // Caption and system menu; no minimize or maximize box, not resizable.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromLatin1(kCaption));
    setFont(dialogFont());
    m_baseUnits = DialogBaseUnits::forFont(font());
    CreateControls();
    m_operator.setMessageBoxFunction([this](const std::string& text, engine::BoxStyle style) {
        return MessageBox(text, style);
    });
}

void CDeviceListDlg::CreateControls() {
    const DialogBaseUnits& u = m_baseUnits;
    setFixedSize(u.toPixels(QSize(kTemplateWidth, kTemplateHeight)));

    m_ok = new QPushButton(QStringLiteral("OK"), this);
    m_ok->setObjectName(QStringLiteral("IDOK"));
    m_ok->setDefault(true);
    placeControl(m_ok, u, 254, 7, 50, 14);

    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("IDCANCEL"));
    placeControl(m_cancel, u, 254, 24, 50, 14);

    m_productHeading = new QLabel(QStringLiteral("Product and Version"), this);
    m_productHeading->setTextFormat(Qt::PlainText);
    m_productHeading->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    placeControl(m_productHeading, u, 10, 7, 65, 8);

    m_addressHeading = new QLabel(QStringLiteral("IP Address"), this);
    m_addressHeading->setTextFormat(Qt::PlainText);
    m_addressHeading->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    placeControl(m_addressHeading, u, 191, 7, 35, 8);

    m_refresh = new QPushButton(QStringLiteral("Refresh"), this);
    m_refresh->setObjectName(QStringLiteral("IDC_REFRESH"));
    placeControl(m_refresh, u, 254, 42, 50, 14);

    m_listDevices = new QListWidget(this);
    m_listDevices->setObjectName(QStringLiteral("IDC_DEVICE_LIST"));
    m_listDevices->setSelectionMode(QAbstractItemView::SingleSelection);
    m_listDevices->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_listDevices->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_listDevices->setTextElideMode(Qt::ElideNone);
    m_listDevices->setUniformItemSizes(true);
    m_listDevices->setItemDelegate(new TabStopDelegate(u.toPixelsX(kTabStop), m_listDevices));
    placeControl(m_listDevices, u, 7, 17, 238, 95);

    m_saveList = new QPushButton(QStringLiteral("Save List"), this);
    m_saveList->setObjectName(QStringLiteral("IDC_SAVE_LIST"));
    placeControl(m_saveList, u, 254, 61, 50, 14);

    QWidget* tabOrder[] = {m_ok, m_cancel, m_refresh, m_listDevices, m_saveList};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i) {
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    }

    connect(m_ok, &QPushButton::clicked, this, [this] { OnOK(); });
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_refresh, &QPushButton::clicked, this, [this] { OnRefresh(); });
    connect(m_listDevices, &QListWidget::itemDoubleClicked, this, [this] { OnDblclkDeviceList(); });
    connect(m_saveList, &QPushButton::clicked, this, [this] { OnSaveList(); });
    m_listDevices->installEventFilter(this);
    UpdateSaveList();
}

void CDeviceListDlg::UpdateSaveList() {
    m_saveList->setEnabled(m_listDevices->count() > 0);
}

bool CDeviceListDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_listDevices && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if ((key == Qt::Key_Down || key == Qt::Key_Up) && m_listDevices->count() > 0 &&
            m_listDevices->selectedItems().isEmpty()) {
            // Taking the focus made the first line the current one without
            // selecting it; the first key press selects it instead of passing it by.
            const int row = std::max(0, m_listDevices->currentRow());
            m_listDevices->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CDeviceListDlg::InitDialog() {
    if (!m_bInitialised) {
        m_bInitialised = true;
        OnInitDialog();
    }
}

bool CDeviceListDlg::OnInitDialog() {
    // The first discovery runs before the dialog is first shown; a failure's
    // message comes first and the dialog then opens with an empty list. The
    // list has the focus: the arrow keys walk the units, Enter takes one.
    OnRefresh();
    m_listDevices->setFocus(Qt::OtherFocusReason);
    return true;
}

void CDeviceListDlg::setVisible(bool visible) {
    // Before the window appears: a failing first discovery shows its message
    // while the dialog is not yet on screen.
    if (visible)
        InitDialog();
    QDialog::setVisible(visible);
}

void CDeviceListDlg::OnRefresh() {
    fleet::DeviceDiscovery discovery(m_operator, m_sleeper, m_endpoints);
    fleet::DeviceList found;
    if (!discovery.refresh(found)) {
        return;  // the previous lines stay
    }
    m_listDevices->clear();
    for (const std::string& line : found.lines()) {
        auto* item = new QListWidgetItem(fromLocal8(line));
        item->setData(kLineRole, QByteArray(line.data(), static_cast<qsizetype>(line.size())));
        m_listDevices->addItem(item);
    }
    // Answers that claim no unit's address are left out; the operator hears
    // how many, once, after the list is filled.
    if (const std::string notListed = fleet::notListedText(discovery); !notListed.empty())
        m_operator.messageBox(notListed, engine::BoxIcon::Information);
    UpdateSaveList();
}

std::vector<std::string> CDeviceListDlg::Lines() const {
    std::vector<std::string> lines;
    for (int i = 0; i < m_listDevices->count(); ++i) {
        const QByteArray line = m_listDevices->item(i)->data(kLineRole).toByteArray();
        lines.emplace_back(line.constData(), static_cast<std::size_t>(line.size()));
    }
    return lines;
}

void CDeviceListDlg::OnOK() {
    const std::vector<std::string> lines = Lines();
    m_app.SetTarget(std::string());
    for (int i = 0; i < m_listDevices->count(); ++i) {
        if (m_listDevices->item(i)->isSelected()) {
            m_app.SetTarget(engine::proto::addressFromListLine(lines[static_cast<std::size_t>(i)]));
            break;
        }
    }
    QDialog::accept();
}

void CDeviceListDlg::OnDblclkDeviceList() {
    OnOK();
}

void CDeviceListDlg::OnSaveList() {
    const std::string path = ChooseSaveFile().value_or(std::string());
    fleet::saveAddressList(m_operator, Lines(), path);
}

std::optional<std::string> CDeviceListDlg::ChooseSaveFile() {
    return chooseListFile(this, /*forSaving=*/true);
}

engine::BoxAnswer CDeviceListDlg::MessageBox(const std::string& text, engine::BoxStyle style) {
    // Before the dialog is shown (its first discovery), the box belongs to the
    // window that opened it.
    QWidget* owner = isVisible() || parentWidget() == nullptr ? this : parentWidget();
    return showMessageBox(owner, m_app.AppName(), text, style);
}
