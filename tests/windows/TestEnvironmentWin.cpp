// The shared test helpers of tests/support/TestEnvironment.h on Windows.
#include "tests/support/TestEnvironment.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <atomic>
#include <random>
#include <stdexcept>

namespace testing_support {

namespace {

std::uint16_t freePort(int type) {
    static const int started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0)
        throw std::runtime_error("Winsock did not start");
    const SOCKET s = ::socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (s == INVALID_SOCKET ||
        ::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("no free port");
    int length = sizeof address;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    ::closesocket(s);
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
    const unsigned n =
        (static_cast<unsigned>(GetCurrentProcessId()) * 997u + counter++) % (100u * 250u * 250u);
    return "127." + std::to_string(1 + n / 62500u) + "." + std::to_string(1 + n / 250u % 250u) +
           "." + std::to_string(2 + n % 250u);
}

bool runningUnderWine() {
    // Wine's ntdll alone exports its version.
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void setLastSystemError(int error) {
    SetLastError(static_cast<DWORD>(error));
}

TempDir::TempDir() {
    std::random_device seed;
    std::mt19937_64 random(seed() ^ GetCurrentProcessId());
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = std::filesystem::temp_directory_path() /
                         ("fwprog-test-" + std::to_string(random() % 1000000000u));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("no temporary directory");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace testing_support
