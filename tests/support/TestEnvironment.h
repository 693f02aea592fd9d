#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// Defined in a build with AddressSanitizer: GCC says so with
// __SANITIZE_ADDRESS__, Clang with __has_feature(address_sanitizer).
#if defined(__SANITIZE_ADDRESS__)
#define FWPROG_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FWPROG_ADDRESS_SANITIZER 1
#endif
#endif

namespace testing_support {

// A UDP or TCP port on loopback that nothing is bound to right now.
std::uint16_t freeUdpPort();
std::uint16_t freeTcpPort();

// A loopback address of its own for each call in this process (127.0.x.y),
// offset by the process id so parallel test processes rarely meet.
std::string uniqueLoopbackAddress();

// True when the test runs under Wine rather than on the system it was built for.
bool runningUnderWine();
// Leaves error as the calling thread's last system error, as a test's fake
// file does when it fails on purpose.
void setLastSystemError(int error);

// A fresh directory removed when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path file(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Writes bytes to a file, replacing it.
void writeFile(const std::filesystem::path& path, const std::string& bytes);
std::string readFile(const std::filesystem::path& path);

// A deterministic pseudo-random image of the given size.
std::string makeImage(std::size_t size, unsigned seed = 7);

}  // namespace testing_support
