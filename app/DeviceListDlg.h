#pragma once

#include "app/DialogUnits.h"
#include "app/WindowOperator.h"
#include "engine/Endpoints.h"
#include "platform/Sleeper.h"

#include <QDialog>
#include <QList>
#include <QStyledItemDelegate>

#include <optional>
#include <string>
#include <vector>

class CProgrammerApp;
class QFontMetrics;
class QLabel;
class QListWidget;
class QPushButton;

// Where each tab-separated piece of a list line starts, in pixels from the
// text's left edge: a tab moves on to the next multiple of the tab stop.
struct TabbedPiece {
    int x;
    QString text;
};
QList<TabbedPiece> layOutTabs(const QString& line, const QFontMetrics& metrics, int tabStop);

// Draws list lines with their tabs expanded to the list's tab stop, so the
// addresses stand in a column under their heading.
class TabStopDelegate : public QStyledItemDelegate {
public:
    TabStopDelegate(int tabStop, QObject* parent)
        : QStyledItemDelegate(parent), tabStop_(tabStop) {}
    int tabStop() const { return tabStop_; }
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

private:
    int tabStop_;
};

// "IP List": the units that answered the discovery broadcast, one line each
// (product and version, tab, address). OK hands the selected unit's address
// back through the application's target; Save List writes every address.
class CDeviceListDlg : public QDialog {
    Q_OBJECT
public:
    CDeviceListDlg(CProgrammerApp& app, engine::Endpoints endpoints, platform::Sleeper& sleeper,
                   QWidget* parent = nullptr);

    // Dialog template, in dialog units.
    static constexpr int kTemplateWidth = 311;
    static constexpr int kTemplateHeight = 119;
    static constexpr int kTabStop = 180;  // where the address column starts in the list
    static constexpr const char* kCaption = "IP List";

    // Runs the initialisation (and so the first discovery) once; showing the
    // dialog does it too.
    void InitDialog();

    // The list as it stands, top to bottom: the lines exactly as the units
    // made them (8-bit text).
    std::vector<std::string> Lines() const;

    QListWidget* ListControl() const { return m_listDevices; }
    const DialogBaseUnits& BaseUnits() const { return m_baseUnits; }

    void OnRefresh();
    void OnSaveList();
    // Hands the first selected line's address back (or the empty string) and
    // ends the dialog with OK.
    virtual void OnOK();

protected:
    virtual bool OnInitDialog();
    void OnDblclkDeviceList();

    // The dialog's ways to ask the operator, overridable so tests can answer
    // without a modal loop.
    virtual engine::BoxAnswer MessageBox(const std::string& text, engine::BoxStyle style);
    // The Save dialog; nothing when the operator cancels.
    virtual std::optional<std::string> ChooseSaveFile();

    void setVisible(bool visible) override;
    // Up or Down in a list with nothing selected selects the line the list
    // stands on, so Down, Enter picks the first unit.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    // "Save List" is there to press only while the list holds a unit.
    void UpdateSaveList();

    CProgrammerApp& m_app;
    engine::Endpoints m_endpoints;
    platform::Sleeper& m_sleeper;
    DialogBaseUnits m_baseUnits;
    WindowOperator m_operator;
    bool m_bInitialised = false;

    // Controls, in template (and tab) order.
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
    QLabel* m_productHeading = nullptr;
    QLabel* m_addressHeading = nullptr;
    QPushButton* m_refresh = nullptr;
    QListWidget* m_listDevices = nullptr;
    QPushButton* m_saveList = nullptr;
};
