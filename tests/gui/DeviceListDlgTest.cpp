// The "IP List" dialog and the window's Find and Time Stamp commands, with a
// test socket on the loopback broadcast address standing in for the units.
#include "app/DeviceListDlg.h"
#include "fleet/TimeStampBroadcast.h"
#include "tests/gui/GuiTestSupport.h"
#include "tests/support/Eventually.h"
#include "tests/support/QueuedDatagram.h"
#include "tests/support/TestEnvironment.h"

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <tuple>

using gui_test::FakeSpooler;
using gui_test::TestDlg;
using testing_support::readFile;
using testing_support::TempDir;

namespace {

using namespace std::chrono_literals;

// Units on the loopback broadcast address: it takes the discovery query while
// the refresh pauses and answers it with the replies given, in order. It also
// catches whatever else is broadcast to the units' port.
class LoopbackUnits final : public platform::Sleeper {
public:
    LoopbackUnits() : port_(testing_support::freeUdpPort()) {
        listen_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port_);
        ::inet_pton(AF_INET, "127.255.255.255", &local.sin_addr);
        bound_ = ::bind(listen_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
        answer_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    ~LoopbackUnits() override {
        ::close(listen_);
        ::close(answer_);
    }

    bool bound() const { return bound_; }
    engine::Endpoints endpoints() const {
        engine::Endpoints e;
        e.unitUdpPort = port_;
        e.broadcastAddress = "127.255.255.255";
        return e;
    }

    std::vector<std::string> replies;
    std::vector<std::chrono::milliseconds> pauses;
    int queries = 0;

    void sleepFor(std::chrono::milliseconds duration) override {
        pauses.push_back(duration);
        sockaddr_in from{};
        const std::optional<std::string> query = receive(2000ms, &from);
        if (!query || *query != "BCJ")
            return;
        ++queries;
        // Every answer is waiting before the pause ends.
        std::ignore = testing_support::sendQueued(answer_, replies, from);
    }

    // The next datagram that reaches the units, if one comes in time.
    std::optional<std::string> receive(std::chrono::milliseconds timeout,
                                       sockaddr_in* from = nullptr) {
        pollfd wait{listen_, POLLIN, 0};
        if (::poll(&wait, 1, static_cast<int>(timeout.count())) != 1)
            return std::nullopt;
        char bytes[2048];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t got = ::recvfrom(listen_, bytes, sizeof bytes, 0,
                                       reinterpret_cast<sockaddr*>(&sender), &length);
        if (got < 0)
            return std::nullopt;
        if (from)
            *from = sender;
        return std::string(bytes, static_cast<std::size_t>(got));
    }

private:
    std::uint16_t port_;
    int listen_ = -1;
    int answer_ = -1;
    bool bound_ = false;
};

std::string reply(const std::string& product, const std::string& address) {
    return product + "\nIP:" + address + "\n";
}

// The dialog with its questions answered by the test.
class TestListDlg : public CDeviceListDlg {
public:
    using CDeviceListDlg::CDeviceListDlg;

    struct Message {
        std::string text;
        engine::BoxStyle style;
        bool dialogVisible;
    };
    std::vector<Message> messages;
    std::deque<std::optional<std::string>> saveChoices;
    int saveChooserRuns = 0;

    QPushButton* button(const char* id) const { return findChild<QPushButton*>(id); }

protected:
    engine::BoxAnswer MessageBox(const std::string& text, engine::BoxStyle style) override {
        messages.push_back({text, style, isVisible()});
        return engine::BoxAnswer::Ok;
    }
    std::optional<std::string> ChooseSaveFile() override {
        ++saveChooserRuns;
        if (saveChoices.empty())
            return std::nullopt;
        auto next = saveChoices.front();
        saveChoices.pop_front();
        return next;
    }
};

struct DeviceList : ::testing::Test {
    CProgrammerApp app;
    LoopbackUnits units;
    std::unique_ptr<TestListDlg> dlg;

    DeviceList() {
        app.SetAppName(gui_test::uniqueAppName());
        units.replies = {reply("Unit B 2.00", "10.1.0.30"), reply("unit a 1.00", "10.1.0.4"),
                         reply("Unit A 1.00", "10.1.0.31")};
    }

    TestListDlg& open(engine::Endpoints endpoints) {
        dlg = std::make_unique<TestListDlg>(app, std::move(endpoints), units);
        dlg->show();
        return *dlg;
    }
    TestListDlg& open() { return open(units.endpoints()); }
};

const std::vector<std::string> kSorted = {"Unit A 1.00\t10.1.0.31", "unit a 1.00\t10.1.0.4",
                                          "Unit B 2.00\t10.1.0.30"};

}  // namespace

TEST_F(DeviceList, TemplateLayoutTextsAndTabOrder) {
    ASSERT_TRUE(units.bound());
    TestListDlg& d = open();
    const DialogBaseUnits& u = d.BaseUnits();
    EXPECT_EQ(d.windowTitle(), QStringLiteral("IP List"));
    EXPECT_EQ(d.size(), u.toPixels(QSize(311, 119)));
    EXPECT_EQ(d.minimumSize(), d.maximumSize()) << "not resizable";
    EXPECT_FALSE(d.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));

    struct Control {
        const char* id;
        const char* text;
        int x, y, w, h;
    };
    const Control controls[] = {
        {"IDOK", "OK", 254, 7, 50, 14},
        {"IDCANCEL", "Cancel", 254, 24, 50, 14},
        {"IDC_REFRESH", "Refresh", 254, 42, 50, 14},
        {"IDC_SAVE_LIST", "Save List", 254, 61, 50, 14},
    };
    for (const Control& c : controls) {
        QPushButton* b = d.button(c.id);
        ASSERT_NE(b, nullptr) << c.id;
        EXPECT_EQ(b->text(), QString::fromLatin1(c.text));
        EXPECT_EQ(b->geometry(), u.toPixels(c.x, c.y, c.w, c.h)) << c.id;
    }
    EXPECT_TRUE(d.button("IDOK")->isDefault());
    EXPECT_EQ(d.ListControl()->geometry(), u.toPixels(7, 17, 238, 95));
    EXPECT_EQ(d.ListControl()->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(d.ListControl()->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

    QStringList headings;
    for (QLabel* label : d.findChildren<QLabel*>()) {
        headings << label->text();
        EXPECT_EQ(label->focusPolicy(), Qt::NoFocus);
    }
    headings.sort();
    EXPECT_EQ(headings, (QStringList{"IP Address", "Product and Version"}));

    // The focus starts on the list of units and Tab walks the template order.
    QApplication::setActiveWindow(&d);
    EXPECT_EQ(QApplication::focusWidget(), d.ListControl());
    const QWidget* expectedOrder[] = {d.button("IDC_SAVE_LIST"), d.button("IDOK"),
                                      d.button("IDCANCEL"), d.button("IDC_REFRESH"),
                                      d.ListControl()};
    for (const QWidget* next : expectedOrder) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next);
    }
}

TEST_F(DeviceList, AddressesStandInAColumnUnderTheirHeading) {
    ASSERT_TRUE(units.bound());
    TestListDlg& d = open();
    const DialogBaseUnits& u = d.BaseUnits();
    const QFontMetrics metrics(d.ListControl()->font());
    const int stop = u.toPixelsX(180);

    const auto pieces = layOutTabs(QStringLiteral("Unit 7 1.20\t10.0.0.7"), metrics, stop);
    ASSERT_EQ(pieces.size(), 2);
    EXPECT_EQ(pieces[0].x, 0);
    EXPECT_EQ(pieces[1].x, stop);
    EXPECT_EQ(pieces[1].text, QStringLiteral("10.0.0.7"));
    // A product wider than the column pushes its address to the next stop.
    const QString wide(200, QLatin1Char('W'));
    const int wideEnd = metrics.horizontalAdvance(wide);
    ASSERT_GT(wideEnd, stop);
    const auto pushed = layOutTabs(wide + QStringLiteral("\t10.0.0.8"), metrics, stop);
    EXPECT_EQ(pushed[1].x, (wideEnd / stop + 1) * stop);

    // Drawn: nothing between the product and the stop, the address right after it.
    QListWidget* list = d.ListControl();
    ASSERT_EQ(list->count(), 3);
    QImage image(list->viewport()->size(), QImage::Format_RGB32);
    image.fill(Qt::white);
    list->viewport()->render(&image);
    const QRect row = list->visualItemRect(list->item(0));
    auto inkBetween = [&](int from, int to) {
        for (int x = std::max(0, from); x < std::min(to, image.width()); ++x)
            for (int y = row.top(); y <= row.bottom(); ++y)
                if (qGray(image.pixel(x, y)) < 128)
                    return true;
        return false;
    };
    const int productEnd = metrics.horizontalAdvance(QStringLiteral("Unit A 1.00"));
    const int textLeft = row.left();
    EXPECT_FALSE(inkBetween(textLeft + productEnd + 8, textLeft + stop - 2));
    EXPECT_TRUE(inkBetween(textLeft + stop, textLeft + stop + metrics.horizontalAdvance("10")));
    // The column and its heading line up (within a few dialog units of frame and margin).
    const int column = list->mapTo(&d, QPoint(textLeft + stop, 0)).x();
    const QLabel* heading = nullptr;
    for (QLabel* label : d.findChildren<QLabel*>())
        if (label->text() == QStringLiteral("IP Address"))
            heading = label;
    ASSERT_NE(heading, nullptr);
    EXPECT_EQ(heading->geometry(), u.toPixels(191, 7, 35, 8));
    EXPECT_LE(std::abs(column - heading->x()), u.toPixelsX(6)) << column << " " << heading->x();
}

TEST_F(DeviceList, FirstDiscoveryBeforeShowingAndRefreshAgain) {
    ASSERT_TRUE(units.bound());
    TestListDlg& d = open();
    EXPECT_EQ(d.Lines(), kSorted);
    EXPECT_EQ(d.ListControl()->item(0)->text(), QStringLiteral("Unit A 1.00\t10.1.0.31"));
    EXPECT_EQ(units.queries, 1);
    ASSERT_EQ(units.pauses.size(), 1u);
    EXPECT_EQ(units.pauses[0], 5ms);

    units.replies = {reply("BootLoader", "10.1.0.9")};
    d.ListControl()->setCurrentRow(1);
    QTest::mouseClick(d.button("IDC_REFRESH"), Qt::LeftButton);
    EXPECT_EQ(units.queries, 2);
    EXPECT_EQ(d.Lines(), std::vector<std::string>{"BootLoader\t10.1.0.9"});
    EXPECT_TRUE(d.ListControl()->selectedItems().isEmpty()) << "the selection went with the list";

    units.replies.clear();
    QTest::mouseClick(d.button("IDC_REFRESH"), Qt::LeftButton);
    EXPECT_EQ(d.ListControl()->count(), 0);
    EXPECT_TRUE(d.messages.empty());
}

TEST_F(DeviceList, AFailingFirstDiscoveryIsShownBeforeTheDialogOpensEmpty) {
    engine::Endpoints broken = units.endpoints();
    broken.unitUdpPort = 0;  // the kernel refuses to send there
    TestListDlg& d = open(broken);
    ASSERT_EQ(d.messages.size(), 1u);
    EXPECT_EQ(d.messages[0].text, "Send Error");
    EXPECT_EQ(d.messages[0].style, engine::BoxIcon::None);
    EXPECT_FALSE(d.messages[0].dialogVisible);
    EXPECT_TRUE(d.isVisible());
    EXPECT_EQ(d.ListControl()->count(), 0);
}

TEST_F(DeviceList, OkEnterAndDoubleClickHandTheAddressBack) {
    ASSERT_TRUE(units.bound());
    {
        TestListDlg& d = open();
        app.SetTarget("previous");
        d.ListControl()->setCurrentRow(1);
        QTest::mouseClick(d.button("IDOK"), Qt::LeftButton);
        EXPECT_EQ(d.result(), QDialog::Accepted);
        EXPECT_EQ(app.GetTarget(), "10.1.0.4");
    }
    {
        TestListDlg& d = open();
        QListWidget* list = d.ListControl();
        const QRect row = list->visualItemRect(list->item(2));
        // A real double-click is a click followed by the double-click event.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row.center());
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, row.center());
        EXPECT_EQ(d.result(), QDialog::Accepted);
        EXPECT_EQ(app.GetTarget(), "10.1.0.30") << "the double-clicked line is the one chosen";
    }
    {
        TestListDlg& d = open();
        QApplication::setActiveWindow(&d);
        d.ListControl()->setFocus();
        d.ListControl()->setCurrentRow(0);
        QTest::keyClick(d.ListControl(), Qt::Key_Return);
        EXPECT_EQ(d.result(), QDialog::Accepted);
        EXPECT_EQ(app.GetTarget(), "10.1.0.31");
    }
    {
        TestListDlg& d = open();
        app.SetTarget("previous");
        QTest::mouseClick(d.button("IDOK"), Qt::LeftButton);
        EXPECT_EQ(d.result(), QDialog::Accepted);
        EXPECT_EQ(app.GetTarget(), "") << "OK without a selection empties the target";
    }
}

// The keys the operator presses as the dialog opens, and the address they pick.
struct KeysRow {
    const char* name;
    std::vector<std::string> replies;
    int downs;
    std::string chosen;
};

struct KeysPickAUnit : DeviceList, ::testing::WithParamInterface<KeysRow> {};

TEST_P(KeysPickAUnit, DownThenEnterFromTheOpenedDialog) {
    ASSERT_TRUE(units.bound());
    units.replies = GetParam().replies;
    TestListDlg& d = open();
    app.SetTarget("previous");
    QApplication::setActiveWindow(&d);
    ASSERT_EQ(QApplication::focusWidget(), d.ListControl());
    for (int i = 0; i < GetParam().downs; ++i)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(app.GetTarget(), GetParam().chosen);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, KeysPickAUnit,
    ::testing::Values(
        KeysRow{"OneUnitDownPicksIt", {reply("Unit B 2.00", "10.1.0.30")}, 1, "10.1.0.30"},
        KeysRow{"ThreeUnitsDownPicksTheFirst",
                {reply("Unit B 2.00", "10.1.0.30"), reply("Unit A 1.00", "10.1.0.31"),
                 reply("unit a 1.00", "10.1.0.4")},
                1,
                "10.1.0.31"},
        KeysRow{"ThreeUnitsTwoDownsPickTheSecond",
                {reply("Unit B 2.00", "10.1.0.30"), reply("Unit A 1.00", "10.1.0.31"),
                 reply("unit a 1.00", "10.1.0.4")},
                2,
                "10.1.0.4"},
        KeysRow{"EnterAloneChoosesNothing", {reply("Unit B 2.00", "10.1.0.30")}, 0, ""}),
    [](const ::testing::TestParamInfo<KeysRow>& row) { return std::string(row.param.name); });

TEST_F(DeviceList, SaveListCanBePressedOnlyWhileUnitsAreListed) {
    ASSERT_TRUE(units.bound());
    units.replies.clear();
    TestListDlg& d = open();
    ASSERT_EQ(d.ListControl()->count(), 0);
    EXPECT_FALSE(d.button("IDC_SAVE_LIST")->isEnabled());

    units.replies = {reply("Unit B 2.00", "10.1.0.30")};
    QTest::mouseClick(d.button("IDC_REFRESH"), Qt::LeftButton);
    ASSERT_EQ(d.ListControl()->count(), 1);
    EXPECT_TRUE(d.button("IDC_SAVE_LIST")->isEnabled());

    units.replies.clear();
    QTest::mouseClick(d.button("IDC_REFRESH"), Qt::LeftButton);
    ASSERT_EQ(d.ListControl()->count(), 0);
    EXPECT_FALSE(d.button("IDC_SAVE_LIST")->isEnabled());
}

TEST_F(DeviceList, CancelAndEscapeChangeNothing) {
    ASSERT_TRUE(units.bound());
    for (bool escape : {false, true}) {
        TestListDlg& d = open();
        app.SetTarget("previous");
        d.ListControl()->setCurrentRow(0);
        if (escape) {
            QApplication::setActiveWindow(&d);
            QTest::keyClick(&d, Qt::Key_Escape);
        } else {
            QTest::mouseClick(d.button("IDCANCEL"), Qt::LeftButton);
        }
        EXPECT_EQ(d.result(), QDialog::Rejected);
        EXPECT_FALSE(d.isVisible());
        EXPECT_EQ(app.GetTarget(), "previous");
    }
}

TEST_F(DeviceList, SaveListWritesTheAddressesInListOrder) {
    ASSERT_TRUE(units.bound());
    TempDir dir;
    TestListDlg& d = open();
    const auto path = dir.file("units.txt");
    d.saveChoices = {path.string(), std::nullopt};
    QTest::mouseClick(d.button("IDC_SAVE_LIST"), Qt::LeftButton);
    EXPECT_EQ(readFile(path), "10.1.0.31\r\n10.1.0.4\r\n10.1.0.30\r\n");

    // Cancelled chooser: nothing written, nothing said.
    testing_support::writeFile(path, "kept");
    QTest::mouseClick(d.button("IDC_SAVE_LIST"), Qt::LeftButton);
    EXPECT_EQ(d.saveChooserRuns, 2);
    EXPECT_EQ(readFile(path), "kept");
    EXPECT_TRUE(d.messages.empty());
    EXPECT_TRUE(d.isVisible()) << "saving leaves the dialog open";
}

TEST_F(DeviceList, RepliesWithoutAUnitAddressAreLeftOutAndCountedOnce) {
    ASSERT_TRUE(units.bound());
    units.replies = {reply("Unit A 1.00", "10.1.0.31"),
                     reply("Unit B 2.00", "127.0.31.2\r127.0.31.3"), reply("Evil\t1.0", "10.1.0.4"),
                     reply("\x1b]0;x\x07Unit C", "10.1.0.5"), reply("Unit D 1.00", "0.0.0.0")};
    TempDir dir;
    TestListDlg& d = open();
    // The window lists the replies whose address is one unit's; its list
    // draws their bytes, it does not obey them.
    ASSERT_EQ(d.Lines().size(), 2u);
    EXPECT_EQ(d.Lines()[1], "Unit A 1.00\t10.1.0.31");
    ASSERT_EQ(d.messages.size(), 1u) << "one box, after the refresh";
    EXPECT_EQ(d.messages[0].style, engine::BoxIcon::Information);
    EXPECT_EQ(d.messages[0].text.rfind("3 replies were not listed: ", 0), 0u) << d.messages[0].text;
    const auto path = dir.file("units.txt");
    d.saveChoices = {path.string()};
    QTest::mouseClick(d.button("IDC_SAVE_LIST"), Qt::LeftButton);
    EXPECT_EQ(readFile(path), "10.1.0.5\r\n10.1.0.31\r\n");
    EXPECT_EQ(d.messages.size(), 1u) << "every listed address is saved";
}

namespace {

// The main window with the device list and the time-stamp question answered by
// the test.
class FleetDlg : public TestDlg {
public:
    using TestDlg::TestDlg;
    engine::BoxAnswer answer = engine::BoxAnswer::Ok;

protected:
    engine::BoxAnswer MessageBox(const std::string& text, engine::BoxStyle style) override {
        TestDlg::MessageBox(text, style);
        return answer;
    }
};

struct WindowCommands : ::testing::Test {
    CProgrammerApp app;
    FakeSpooler spooler;
    LoopbackUnits units;
    std::unique_ptr<FleetDlg> dlg;

    WindowCommands() {
        app.SetAppName(gui_test::uniqueAppName());
        units.replies = {reply("Unit B 2.00", "10.1.0.30"), reply("Unit A 1.00", "10.1.0.31")};
    }

    FleetDlg& open() {
        dlg = std::make_unique<FleetDlg>(app, spooler);
        dlg->SetSleeper(&units);
        engine::EngineOptions options = dlg->Options();
        options.endpoints = units.endpoints();
        dlg->SetOptions(options);
        dlg->show();
        return *dlg;
    }

    // Runs the action on the device list once it is open and modal.
    void whenListOpens(std::function<void(CDeviceListDlg&)> action) {
        auto* poll = new QTimer(dlg.get());
        auto started = std::chrono::steady_clock::now();
        QObject::connect(poll, &QTimer::timeout, [poll, action, started] {
            if (auto* list = qobject_cast<CDeviceListDlg*>(QApplication::activeModalWidget())) {
                poll->stop();
                poll->deleteLater();
                action(*list);
            } else if (std::chrono::steady_clock::now() - started > 5s) {
                poll->stop();
                ADD_FAILURE() << "the device list never opened";
            }
        });
        poll->start(10);
    }
};

}  // namespace

TEST_F(WindowCommands, FindPutsTheChosenAddressIntoTheTargetBox) {
    ASSERT_TRUE(units.bound());
    FleetDlg& d = open();
    d.target()->lineEdit()->setText(QStringLiteral("typed target"));
    d.imagePath()->setText(QStringLiteral("/typed/but/unused.wq1"));
    whenListOpens([](CDeviceListDlg& list) {
        list.ListControl()->setCurrentRow(1);  // "Unit B 2.00"
        list.OnOK();
    });
    QTest::mouseClick(d.button("IDC_FIND_DEVICE"), Qt::LeftButton);
    EXPECT_EQ(d.target()->currentText(), QStringLiteral("10.1.0.30"));
    EXPECT_EQ(d.printer(), "10.1.0.30");
    EXPECT_EQ(d.imagePath()->text(), QString()) << "every control is set from its member";
    EXPECT_EQ(units.queries, 1);
}

TEST_F(WindowCommands, CancelOrNoChoiceLeavesTheWindowAlone) {
    ASSERT_TRUE(units.bound());
    FleetDlg& d = open();
    d.target()->lineEdit()->setText(QStringLiteral("typed target"));
    d.imagePath()->setText(QStringLiteral("/typed.wq1"));
    app.SetTarget("10.9.9.9");
    whenListOpens([](CDeviceListDlg& list) {
        list.ListControl()->setCurrentRow(0);
        list.reject();
    });
    QTest::mouseClick(d.button("IDC_FIND_DEVICE"), Qt::LeftButton);
    EXPECT_EQ(app.GetTarget(), "10.9.9.9");

    whenListOpens([](CDeviceListDlg& list) { list.OnOK(); });  // nothing selected
    QTest::mouseClick(d.button("IDC_FIND_DEVICE"), Qt::LeftButton);
    EXPECT_EQ(app.GetTarget(), "");
    EXPECT_EQ(d.target()->currentText(), QStringLiteral("typed target"));
    EXPECT_EQ(d.imagePath()->text(), QStringLiteral("/typed.wq1"));
    EXPECT_EQ(units.queries, 2) << "each opening starts with a new discovery";
}

TEST_F(WindowCommands, TimeStampAsksThenBroadcastsOnce) {
    ASSERT_TRUE(units.bound());
    FleetDlg& d = open();
    d.answer = engine::BoxAnswer::Cancel;
    QTest::mouseClick(d.button("IDC_TIME_STAMP"), Qt::LeftButton);
    ASSERT_EQ(d.messages.size(), 1u);
    EXPECT_EQ(d.messages[0].text, "Set all Networked Time Stamps to Current Time");
    EXPECT_EQ(d.messages[0].style, engine::kOkCancelQuestion);
    EXPECT_FALSE(units.receive(200ms)) << "Cancel sends nothing";

    d.answer = engine::BoxAnswer::Ok;
    QTest::mouseClick(d.button("IDC_TIME_STAMP"), Qt::LeftButton);
    EXPECT_EQ(d.messages.size(), 2u) << "nothing shown after the question on success";
    const auto sent = units.receive(2000ms);
    ASSERT_TRUE(sent);
    const auto expected = fleet::timeStampMessage(platform::readLocalClock());
    EXPECT_EQ(sent->size(), expected.size());
    EXPECT_EQ(sent->substr(0, 5), "TSBCJ");
    EXPECT_EQ(sent->substr(sent->rfind(", ", sent->size() - 3)),
              expected.substr(expected.rfind(", ", expected.size() - 3)));
    EXPECT_FALSE(units.receive(100ms)) << "one datagram only";
}
