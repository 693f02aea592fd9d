#include "tests/gui/GuiTestSupport.h"

#include "tests/support/TestEnvironment.h"

#include <QCursor>
#include <QGuiApplication>

#include <atomic>

namespace gui_test {

QString uniqueAppName() {
    static std::atomic<int> next{0};
    return QStringLiteral("gui-test-%1-%2")
        .arg(QCoreApplication::applicationPid())
        .arg(next.fetch_add(1));
}

TestDlg::TestDlg(CProgrammerApp& app, platform::Spooler& spooler, QWidget* parent)
    : CProgrammerDlg(app, spooler, parent) {
    engine::EngineOptions options = Options();
    options.endpoints.statusPort = testing_support::freeUdpPort();
    SetOptions(options);
}

engine::BoxAnswer TestDlg::MessageBox(const std::string& text, engine::BoxStyle style) {
    const QCursor* cursor = QGuiApplication::overrideCursor();
    messages.push_back({text, style, cursor != nullptr && cursor->shape() == Qt::WaitCursor});
    return engine::BoxAnswer::Ok;
}

}  // namespace gui_test
