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

StandardStreamBuffer::~StandardStreamBuffer() {
    // The last flush of an output nobody asks about any more; a program that
    // cares flushes before and reads lastError().
    std::ignore = drain();
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

bool StandardStreamBuffer::drain() {
    const std::size_t pending = static_cast<std::size_t>(pptr() - pbase());
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return writeAll(buffer_.data(), pending);
}

StandardStreamBuffer::int_type StandardStreamBuffer::overflow(int_type c) {
    if (!drain())
        return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

std::streamsize StandardStreamBuffer::xsputn(const char* data, std::streamsize count) {
    if (error_ != 0)
        return 0;
    if (count <= epptr() - pptr()) {
        traits_type::copy(pptr(), data, static_cast<std::size_t>(count));
        pbump(static_cast<int>(count));
        return count;
    }
    if (!drain() || !writeAll(data, static_cast<std::size_t>(count)))
        return 0;
    return count;
}

int StandardStreamBuffer::sync() {
    return drain() ? 0 : -1;
}

}  // namespace platform
