#include "platform/DescriptorStream.h"

#include <unistd.h>

#include <cerrno>

namespace platform {

DescriptorStreamBuffer::DescriptorStreamBuffer(int fd) : fd_(fd) {
    setp(buffer_.data(), buffer_.data() + buffer_.size());
}

DescriptorStreamBuffer::~DescriptorStreamBuffer() {
    drain();
}

bool DescriptorStreamBuffer::writeAll(const char* data, std::size_t length) {
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

bool DescriptorStreamBuffer::drain() {
    const std::size_t pending = static_cast<std::size_t>(pptr() - pbase());
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    return writeAll(buffer_.data(), pending);
}

DescriptorStreamBuffer::int_type DescriptorStreamBuffer::overflow(int_type c) {
    if (!drain())
        return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

std::streamsize DescriptorStreamBuffer::xsputn(const char* data, std::streamsize count) {
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

int DescriptorStreamBuffer::sync() {
    return drain() ? 0 : -1;
}

}  // namespace platform
