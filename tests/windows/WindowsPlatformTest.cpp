// The Windows backend of platform/ on its own: sockets on Winsock, files
// through CreateFileW, the status log's lock, the spooler's error codes, time
// zone and SHA-256 from the system, and Windows' own error texts. Runs under
// Wine in CI and on Windows as it is.
#include "platform/DatagramSocket.h"
#include "platform/ErrorText.h"
#include "platform/InputFile.h"
#include "platform/LocalClock.h"
#include "platform/NetworkInterfaces.h"
#include "platform/Networking.h"
#include "platform/OutputFile.h"
#include "platform/Sha256.h"
#include "platform/StreamSocket.h"
#include "platform/SystemSpooler.h"
#include "platform/WakeableWait.h"
#include "tests/support/TestEnvironment.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

using namespace std::chrono_literals;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

// A listening TCP socket on 127.0.0.1 that takes one connection and reads it whole.
class Listener {
public:
    Listener() {
        if (!platform::startNetworking())
            return;
        s_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        ok_ = s_ != INVALID_SOCKET &&
              ::bind(s_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
              ::listen(s_, 1) == 0 &&
              ::getsockname(s_, reinterpret_cast<sockaddr*>(&address), &length) == 0;
        port_ = ntohs(address.sin_port);
    }
    ~Listener() { ::closesocket(s_); }
    bool ok() const { return ok_; }
    std::uint16_t port() const { return port_; }
    std::string readAll() {
        const SOCKET c = ::accept(s_, nullptr, nullptr);
        std::string got;
        char buffer[4096];
        for (int n; (n = ::recv(c, buffer, sizeof buffer, 0)) > 0;)
            got.append(buffer, static_cast<std::size_t>(n));
        ::closesocket(c);
        return got;
    }

private:
    SOCKET s_ = INVALID_SOCKET;
    std::uint16_t port_ = 0;
    bool ok_ = false;
};

TEST(WinStreamSocket, ConnectsSendsEveryByteAndNamesARefusalAsSuch) {
    Listener listener;
    ASSERT_TRUE(listener.ok());
    const std::string bytes = testing_support::makeImage(300000);
    std::string received;
    std::thread reader([&] { received = listener.readAll(); });
    platform::StreamSocket socket;
    ASSERT_TRUE(socket.connect("127.0.0.1", listener.port())) << socket.lastError();
    EXPECT_EQ(socket.localAddress(), "127.0.0.1");
    EXPECT_TRUE(socket.sendAll(bytes.data(), bytes.size()));
    EXPECT_EQ(socket.bytesSent(), bytes.size());
    socket.close();
    reader.join();
    EXPECT_EQ(received, bytes);

    // Nothing listens on a port just freed: three refused requests, then the
    // refusal with Windows' own code and text.
    platform::StreamTimeouts quick;
    quick.refusedRetryPause = 10ms;
    platform::StreamSocket refused(quick);
    EXPECT_FALSE(refused.connect("127.0.0.1", testing_support::freeTcpPort()));
    EXPECT_EQ(refused.lastError(), platform::errors::kConnectionRefused);
    EXPECT_EQ(refused.lastError(), WSAECONNREFUSED);
    EXPECT_EQ(platform::systemErrorMessage(refused.lastError()).find("Windows error"),
              std::string::npos);
}

TEST(WinDatagramSocket, AnOversizeDatagramIsDroppedWithItsSenderAndTheNextOneCounts) {
    platform::DatagramSocket receiver;
    ASSERT_TRUE(receiver.create(0, "127.0.0.1"));
    platform::DatagramSocket sender;
    ASSERT_TRUE(sender.create(0, "127.0.0.1"));
    const std::string big(1400, 'x');
    ASSERT_EQ(sender.sendTo("127.0.0.1", receiver.localPort(), big.data(), big.size()), 1400);
    ASSERT_EQ(sender.sendTo("127.0.0.1", receiver.localPort(), "ok", 2), 2);

    platform::WakeableWait wait;
    ASSERT_EQ(wait.untilReadable(receiver, 2000ms), platform::WakeableWait::Outcome::Readable);
    char buffer[16];
    std::string from;
    EXPECT_EQ(receiver.receive(buffer, sizeof buffer, &from), -1);
    EXPECT_EQ(receiver.lastError(), platform::errors::kMessageTooLong);
    EXPECT_EQ(from, "127.0.0.1");
    ASSERT_EQ(wait.untilReadable(receiver, 2000ms), platform::WakeableWait::Outcome::Readable);
    unsigned arrival = 99;
    EXPECT_EQ(receiver.receive(buffer, sizeof buffer, &from, &arrival), 2);
    EXPECT_EQ(std::string(buffer, 2), "ok");
    // Nothing waits now: a receive returns at once.
    EXPECT_EQ(receiver.receive(buffer, sizeof buffer), -1);
}

TEST(WinWakeableWait, AWakeEndsThisWaitAndEveryLaterOne) {
    platform::DatagramSocket socket;
    ASSERT_TRUE(socket.create(0, "127.0.0.1"));
    platform::WakeableWait wait;
    EXPECT_EQ(wait.untilReadable(socket, 50ms), platform::WakeableWait::Outcome::TimedOut);
    std::thread waker([&] {
        std::this_thread::sleep_for(100ms);
        wait.wake();
    });
    // Woken, not timed out: the wake ended the wait.
    EXPECT_EQ(wait.untilReadable(socket, 20000ms), platform::WakeableWait::Outcome::Woken);
    waker.join();
    EXPECT_EQ(wait.untilReadable(socket, 20000ms), platform::WakeableWait::Outcome::Woken);
    // The socket still receives as a non-blocking one after the waits.
    char byte;
    EXPECT_EQ(socket.receive(&byte, 1), -1);
}

TEST(WinNetworkInterfaces, ListsTheLoopbackInterface) {
    int error = -1;
    const auto interfaces = platform::listIpv4Interfaces(&error);
    EXPECT_EQ(error, 0);
    bool loopback = false;
    for (const auto& item : interfaces) {
        EXPECT_NE(item.index, 0u);
        EXPECT_FALSE(item.name.empty());
        if (item.address == 0x7F000001u) {
            loopback = true;
            EXPECT_EQ(item.subnetText(), "127.0.0.0/8");
            EXPECT_EQ(platform::interfaceName(item.index), item.name);
        }
    }
    EXPECT_TRUE(loopback);
    int routeError = 0;
    EXPECT_EQ(platform::routeSourceFor(0x7F000005u, &routeError),
              std::optional<std::uint32_t>(0x7F000001u));
}

TEST(WinFiles, AnImageIsReadWholeAndAFolderOrDeviceIsNoImage) {
    TempDir dir;
    const std::string bytes = testing_support::makeImage(70000);
    writeFile(dir.file("fw.bin"), bytes);
    platform::InputFile file;
    ASSERT_TRUE(file.openRegular(dir.file("fw.bin").string()));
    EXPECT_EQ(file.size(), bytes.size());
    std::string got(bytes.size() + 10, '\0');
    EXPECT_EQ(file.read(got.data(), got.size()), static_cast<long>(bytes.size()));
    EXPECT_EQ(got.substr(0, bytes.size()), bytes);
    EXPECT_EQ(file.read(got.data(), got.size()), 0);
    ASSERT_TRUE(file.rewind());
    EXPECT_EQ(file.read(got.data(), 3), 3);

    EXPECT_FALSE(file.openRegular(dir.path().string()));
    EXPECT_EQ(file.notRegularKind(), "a directory");
    EXPECT_FALSE(file.openRegular("NUL"));
    EXPECT_EQ(file.notRegularKind(), "a character device");
    EXPECT_FALSE(file.openRegular(dir.file("absent.bin").string()));
    EXPECT_EQ(file.lastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(file.notRegularKind(), "");
}

TEST(WinFiles, UnicodePathsAreUtf8) {
    TempDir dir;
    const std::string name = dir.file("Gr\xC3\xBC\xC3\x9F\x65-\xE2\x82\xAC.bin").string();
    platform::OutputFile out;
    ASSERT_TRUE(out.createExclusive(name)) << out.failure().reason();
    ASSERT_TRUE(out.write("abc"));
    ASSERT_TRUE(out.close());
    platform::InputFile in;
    ASSERT_TRUE(in.openRegular(name));
    char got[8];
    EXPECT_EQ(in.read(got, sizeof got), 3);
    // Not UTF-8: refused, never mangled into another name.
    EXPECT_FALSE(in.openRegular(dir.file("bad\xFF.bin").string()));
}

TEST(WinStatusLog, IsHeldAgainstASecondBatchAndEmptiedOnlyOnceHeld) {
    TempDir dir;
    const std::string log = dir.file("Status.txt").string();
    writeFile(log, "an older log\r\n");
    platform::OutputFile first;
    ASSERT_TRUE(first.createExclusive(log)) << first.failure().reason();
    ASSERT_TRUE(first.write("line one\r\n"));
    // Readers still see every line while the batch writes.
    EXPECT_EQ(readFile(log), "line one\r\n");

    platform::OutputFile second;
    EXPECT_FALSE(second.createExclusive(log));
    EXPECT_EQ(second.failure().kind, platform::OutputFailure::Kind::InUse);
    EXPECT_EQ(readFile(log), "line one\r\n");
    ASSERT_TRUE(first.close());
    EXPECT_TRUE(second.createExclusive(log));
    EXPECT_EQ(readFile(log), "");

    platform::OutputFile folder;
    EXPECT_FALSE(folder.createExclusive(dir.path().string()));
    EXPECT_EQ(folder.failure().kind, platform::OutputFailure::Kind::NotRegularFile);
    EXPECT_EQ(folder.failure().fileType, "a folder");
    platform::OutputFile device;
    EXPECT_FALSE(device.createExclusive("NUL"));
    EXPECT_EQ(device.failure().kind, platform::OutputFailure::Kind::NotRegularFile);
}

TEST(WinSavedList, ReplacesTheFileWholeAndRefusesAFolder) {
    TempDir dir;
    const std::string path = dir.file("units.txt").string();
    writeFile(path, "old\r\n");
    const auto replaced = platform::replaceFileContents(path, "127.0.0.7\r\n");
    EXPECT_FALSE(replaced.failure) << replaced.failure.reason();
    EXPECT_EQ(readFile(path), "127.0.0.7\r\n");
    std::size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        std::ignore = entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1u) << "no temporary file is left behind";

    const auto folder = platform::replaceFileContents(dir.path().string() + "\\", "x");
    EXPECT_EQ(folder.failure.kind, platform::OutputFailure::Kind::NotRegularFile);
    EXPECT_FALSE(folder.created);
}

TEST(WinErrorText, ComesFromWindowsForWindowsCodes) {
    const std::string notFound = platform::systemErrorText(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(notFound.back(), '\n');
    EXPECT_EQ(notFound.find("Windows error"), std::string::npos) << notFound;
    EXPECT_EQ(notFound.find('\r'), std::string::npos);
    // A code Windows has no text for still says which it was.
    EXPECT_EQ(platform::systemErrorMessage(0x3FFFFFF0), "Windows error 1073741808");
}

TEST(WinSha256, IsTheStandardDigestAndACopyGoesOnByItself) {
    platform::Sha256 hash;
    hash.update("ab", 2);
    platform::Sha256 copy = hash;
    hash.update("c", 1);
    EXPECT_EQ(hash.finishHex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    copy.update("d", 1);
    EXPECT_EQ(copy.finishHex(), platform::sha256Hex("abd"));
    EXPECT_NE(platform::sha256Hex("abd"), platform::sha256Hex("abc"));
    // A finished hash starts over.
    hash.update("abc", 3);
    EXPECT_EQ(hash.finishHex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(WinLocalClock, TheStampsOffsetAndTheIsoTextAgree) {
    const std::time_t instant = 1780000000;  // a June day
    const auto reading = platform::localClockAt(instant);
    ASSERT_NE(reading.daylightFlag, -1);
    const std::string iso = platform::isoLocalTime(std::chrono::system_clock::from_time_t(instant));
    // The offset the ISO text carries is the standard one plus the daylight shift.
    const long east = -reading.standardMinutesWest + (reading.daylightFlag == 1 ? 60 : 0);
    char expected[8];
    std::snprintf(expected, sizeof expected, "%c%02ld:%02ld", east < 0 ? '-' : '+',
                  (east < 0 ? -east : east) / 60, (east < 0 ? -east : east) % 60);
    EXPECT_EQ(iso.substr(iso.size() - 6), expected) << iso;
    EXPECT_EQ(std::stoi(iso.substr(0, 4)), reading.local.tm_year + 1900);
    EXPECT_EQ(std::stoi(iso.substr(11, 2)), reading.local.tm_hour);
}

TEST(WinSpooler, AnUnknownQueueIsNamedAsSuch) {
    const auto spooler = platform::systemSpooler();
    int error = 0;
    EXPECT_EQ(spooler->open("no queue of this name here", &error), nullptr);
    EXPECT_EQ(error, platform::spooler_errors::kNoSuchQueue);
}

}  // namespace
