#include "platform/StandardStream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <tuple>

namespace platform {

namespace {

int descriptorOf(StandardStream stream) {
    switch (stream) {
        case StandardStream::Input:
            return STDIN_FILENO;
        case StandardStream::Output:
            return STDOUT_FILENO;
        case StandardStream::Error:
            return STDERR_FILENO;
    }
    return -1;
}

}  // namespace

bool isTerminal(StandardStream stream) {
    return ::isatty(descriptorOf(stream)) == 1;
}

void setUpStandardStreams() {
    // POSIX streams pass bytes unchanged, and terminals take control
    // sequences as they are.
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
}

StandardStreamBuffer::StandardStreamBuffer(StandardStream stream) : fd_(descriptorOf(stream)) {
    setp(buffer_.data(), buffer_.data() + buffer_.size());
}

bool StandardStreamBuffer::writeAll(const char* data, std::size_t length) {
    while (length > 0) {
        if (error_ != 0)
            return false;
        const ssize_t wrote = ::write(fd_, data, length);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            error_ = wrote < 0 ? errno : EIO;
            return false;
        }
        data += wrote;
        length -= static_cast<std::size_t>(wrote);
    }
    return error_ == 0;
}

}  // namespace platform
