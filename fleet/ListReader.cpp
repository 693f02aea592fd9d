#include "fleet/ListReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {
constexpr unsigned char kCr = 13;
constexpr unsigned char kLf = 10;
}  // namespace

ListFile::~ListFile() {
    close();
}

bool ListFile::open(const std::string& path) {
    close();
    if (path.empty() || path.find('\0') != std::string::npos) {
        lastError_ = ENOENT;
        return false;
    }
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        lastError_ = errno;
        return false;
    }
    next_ = filled_ = 0;
    return true;
}

bool ListFile::rewind() {
    if (::lseek(fd_, 0, SEEK_SET) != 0) {
        lastError_ = errno;
        return false;
    }
    next_ = filled_ = 0;
    return true;
}

void ListFile::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    next_ = filled_ = 0;
}

long ListFile::readRaw(void* buffer, std::size_t length) {
    return static_cast<long>(::read(fd_, buffer, length));
}

int ListFile::refillAndRead(unsigned char& byte) {
    for (;;) {
        const long got = readRaw(buffer_.data(), buffer_.size());
        if (got > 0) {
            filled_ = static_cast<std::size_t>(got);
            next_ = 1;
            byte = buffer_[0];
            return 1;
        }
        next_ = filled_ = 0;
        if (got == 0)
            return 0;
        if (errno != EINTR) {
            lastError_ = errno;
            return -1;
        }
    }
}

long ReadListLine(ListFile& file, std::string& record) {
    record.clear();
    unsigned char byte = 0;
    int got = 0;
    do {
        got = file.readByte(byte);
    } while (got == 1 && (byte == kCr || byte == kLf));
    if (got < 0)
        return kListReadError;
    if (got == 0)
        return 0;
    for (;;) {
        record.push_back(static_cast<char>(byte));
        got = file.readByte(byte);
        if (got < 0) {
            record.clear();
            return kListReadError;
        }
        if (got == 0 || byte == kCr)
            return static_cast<long>(record.size());
    }
}
