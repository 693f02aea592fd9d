#include "fleet/Discovery.h"

#include "engine/Protocol.h"
#include "engine/Timing.h"
#include "platform/DatagramSocket.h"
#include "platform/ErrorText.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

bool DeviceList::before(const std::string& a, const std::string& b) {
    const auto folded = [](unsigned char c) { return std::tolower(c); };
    const bool less =
        std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [&](char x, char y) {
            return folded(static_cast<unsigned char>(x)) < folded(static_cast<unsigned char>(y));
        });
    if (less)
        return true;
    const bool greater =
        std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(), [&](char x, char y) {
            return folded(static_cast<unsigned char>(x)) < folded(static_cast<unsigned char>(y));
        });
    // Equal but for letter case: a fixed order, so the list never depends on
    // the order replies arrived in.
    return !greater && a < b;
}

void DeviceList::add(std::string line) {
    auto at = std::upper_bound(lines_.begin(), lines_.end(), line, &DeviceList::before);
    lines_.insert(at, std::move(line));
}

std::vector<std::string> DeviceList::addresses() const {
    std::vector<std::string> result;
    result.reserve(lines_.size());
    for (const auto& line : lines_)
        result.push_back(proto::addressFromListLine(line));
    return result;
}

bool refreshDeviceList(Operator& op, platform::Sleeper& sleeper, const Endpoints& endpoints,
                       DeviceList& list, std::chrono::milliseconds pause) {
    platform::DatagramSocket socket;
    if (!socket.create(0)) {
        op.messageBox("Create Error", mb::kOk);
        return false;
    }
    if (!socket.setBroadcast(true)) {
        op.messageBox("setsockopt Error", mb::kOk);
        return false;
    }
    if (socket.sendTo(endpoints.broadcastAddress, endpoints.unitUdpPort, proto::kQuery.data(),
                      proto::kQuery.size()) != static_cast<long>(proto::kQuery.size())) {
        op.messageBox("Send Error", mb::kOk);
        return false;
    }
    list.clear();
    sleeper.sleepFor(pause);
    char reply[timing::kDiscoveryReplyBuffer];
    for (int received = 0; received < timing::kDiscoveryMaxReplies; ++received) {
        const long got = socket.receive(reply, sizeof reply);
        if (got <= 0)
            break;  // nothing queued, an empty datagram or an oversize one ends it
        list.add(proto::discoveryListLine(reply, static_cast<std::size_t>(got)));
    }
    return true;
}

SaveListOutcome saveDeviceList(const DeviceList& list, const std::string& path,
                               std::string* failureText) {
    const int fd =
        path.empty() ? -1 : ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (failureText)
            *failureText = "Cannot create the list file " + path + "\n" +
                           platform::systemErrorText(path.empty() ? ENOENT : errno);
        return SaveListOutcome::NotCreated;
    }
    std::string content;
    for (const auto& address : list.addresses())
        content += address + "\r\n";
    std::size_t written = 0;
    int error = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        if (failureText)
            *failureText =
                "Could not write the list file " + path + "\n" + platform::systemErrorText(error);
        return SaveListOutcome::WriteFailed;
    }
    return SaveListOutcome::Saved;
}
