#include "platform/StandardStream.h"

#include <tuple>

// The buffering is the same on every system; each system's backend writes
// the bytes out (writeAll) and opens the stream.

namespace platform {

StandardStreamBuffer::~StandardStreamBuffer() {
    // The last flush of an output nobody asks about any more; a program that
    // cares flushes before and reads lastError().
    std::ignore = drain();
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
