#include "tests/support/TestEnvironment.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>

namespace testing_support {

namespace {

std::uint16_t freePort(int type) {
    int fd = ::socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = 0;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("no free port");
    socklen_t len = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace

std::uint16_t freeUdpPort() {
    return freePort(SOCK_DGRAM);
}
std::uint16_t freeTcpPort() {
    return freePort(SOCK_STREAM);
}

std::string uniqueLoopbackAddress() {
    static std::atomic<unsigned> counter{0};
    // 127.1.0.0 upwards, away from 127.0.0.x where demos and people work.
    const unsigned n =
        (static_cast<unsigned>(::getpid()) * 997u + counter++) % (100u * 250u * 250u);
    return "127." + std::to_string(1 + n / 62500u) + "." + std::to_string(1 + n / 250u % 250u) +
           "." + std::to_string(2 + n % 250u);
}

bool runningUnderWine() {
    return false;
}

void setLastSystemError(int error) {
    errno = error;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fwprog-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace testing_support
