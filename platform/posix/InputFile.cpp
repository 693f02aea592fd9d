#include "platform/InputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

InputFile::~InputFile() {
    close();
}

namespace {

const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

}  // namespace

bool InputFile::open(const std::string& path) {
    return open(path, false);
}

bool InputFile::openRegular(const std::string& path) {
    return open(path, true);
}

bool InputFile::open(const std::string& path, bool regularOnly) {
    close();
    notRegularKind_.clear();
    if (path.empty() || path.find('\0') != std::string::npos) {
        lastError_ = ENOENT;
        return false;
    }
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer
    // for ever. For a regular file it changes nothing.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | (regularOnly ? O_NONBLOCK : 0));
    if (fd_ < 0) {
        lastError_ = errno;
        // Some kinds cannot be opened at all (a socket): still say what it is.
        struct stat info {};
        if (regularOnly && ::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
            notRegularKind_ = kindOf(info.st_mode);
        return false;
    }
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
        lastError_ = errno;
        close();
        return false;
    }
    if (S_ISDIR(info.st_mode) || (regularOnly && !S_ISREG(info.st_mode))) {
        lastError_ = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        if (regularOnly)
            notRegularKind_ = kindOf(info.st_mode);
        close();
        return false;
    }
    return true;
}

long InputFile::read(void* buffer, std::size_t length) {
    for (;;) {
        ssize_t got = ::read(fd_, buffer, length);
        if (got >= 0)
            return static_cast<long>(got);
        if (errno != EINTR) {
            lastError_ = errno;
            return -1;
        }
    }
}

bool InputFile::rewind() {
    if (::lseek(fd_, 0, SEEK_SET) != 0) {
        lastError_ = errno;
        return false;
    }
    return true;
}

std::uint64_t InputFile::size() const {
    struct stat info {};
    if (fd_ < 0 || ::fstat(fd_, &info) != 0)
        return 0;
    return static_cast<std::uint64_t>(info.st_size);
}

void InputFile::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace platform
