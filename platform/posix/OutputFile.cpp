#include "platform/OutputFile.h"

#include "platform/ErrorText.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <tuple>

namespace platform {

namespace {

const char* fileTypeName(mode_t mode) {
    if (S_ISFIFO(mode))
        return "a FIFO (named pipe)";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISDIR(mode))
        return "a folder";
    return "not a regular file";
}

OutputFailure systemFailure(int error) {
    return {OutputFailure::Kind::System, error, {}};
}

// What stands at the path itself, the last part not followed: a symbolic link
// or something that is not a regular file is named; a regular file or nothing
// at all gives no failure.
OutputFailure refusalAt(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return {};
    if (S_ISLNK(info.st_mode))
        return {OutputFailure::Kind::SymbolicLink, ELOOP, {}};
    if (!S_ISREG(info.st_mode))
        return {OutputFailure::Kind::NotRegularFile, 0, fileTypeName(info.st_mode)};
    return {};
}

// A regular file with other names: emptying it would empty them too.
OutputFailure hardLinkRefusal(const struct stat& info) {
    if (S_ISREG(info.st_mode) && info.st_nlink > 1)
        return {OutputFailure::Kind::HardLinked, 0, {}, static_cast<unsigned long>(info.st_nlink)};
    return {};
}

bool writeAll(int fd, std::string_view bytes, int& error) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            return false;
        }
        if (wrote == 0) {
            error = EIO;
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

// Open flags for a file the program writes: never through a symbolic link,
// never waiting for a FIFO's reader; the caller clears O_NONBLOCK again once
// the descriptor is known to be a regular file.
constexpr int kSafeWriteFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

bool clearNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

OutputFile::~OutputFile() {
    // A file still open here was abandoned on an error path that has been
    // reported already; nobody is left to tell of a late write error.
    std::ignore = close();
}

bool OutputFile::createExclusive(const std::string& path) {
    // The file this object held before is done with; the caller closes one
    // whose last bytes matter before it creates the next.
    std::ignore = close();
    failure_ = {};
    if (path.empty() || path.find('\0') != std::string::npos) {
        failure_ = systemFailure(ENOENT);
        return false;
    }
    // Not truncated on opening: the checks and the lock come first, so a
    // refused file, or a log another batch is still writing, keeps its bytes.
    const int fd = ::open(path.c_str(), kSafeWriteFlags | O_CREAT, 0666);
    if (fd < 0) {
        const int error = errno;
        // ELOOP for a symbolic link; ENXIO for a FIFO nobody reads or a socket.
        failure_ = refusalAt(path);
        if (!failure_)
            failure_ = systemFailure(error);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        failure_ = systemFailure(errno);
        ::close(fd);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        failure_ = {OutputFailure::Kind::NotRegularFile, 0, fileTypeName(info.st_mode)};
        ::close(fd);
        return false;
    }
    if ((failure_ = hardLinkRefusal(info))) {
        ::close(fd);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        failure_ = error == EWOULDBLOCK ? OutputFailure{OutputFailure::Kind::InUse, error, {}}
                                        : systemFailure(error);
        ::close(fd);
        return false;
    }
    if (!clearNonBlocking(fd) || ::ftruncate(fd, 0) != 0) {
        failure_ = systemFailure(errno);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    whole_ = 0;
    synced_ = 0;
    return true;
}

bool OutputFile::write(std::string_view bytes) {
    return append(bytes) && sync();
}

namespace {

// Cuts the file back to its first length bytes and goes on writing there.
void cutBackTo(int fd, unsigned long long length) {
    const auto whole = static_cast<off_t>(length);
    std::ignore = ::ftruncate(fd, whole);
    std::ignore = ::lseek(fd, whole, SEEK_SET);
}

}  // namespace

bool OutputFile::append(std::string_view bytes) {
    if (fd_ < 0) {
        failure_ = systemFailure(EBADF);
        return false;
    }
    int error = 0;
    if (!writeAll(fd_, bytes, error)) {
        failure_ = systemFailure(error);
        // What part of these bytes got in is cut off again, so a reader finds
        // the file ending with the last whole write; the next write (if any)
        // starts there too.
        cutBackTo(fd_, whole_);
        return false;
    }
    whole_ += bytes.size();
    return true;
}

bool OutputFile::sync() {
    if (fd_ < 0) {
        failure_ = systemFailure(EBADF);
        return false;
    }
    // Files that cannot be synced (a pipe's reader, a read-only remount
    // mid-batch is not among them) take the bytes as they are.
    if (::fdatasync(fd_) != 0 && errno != EINVAL && errno != EROFS && errno != ENOTSUP) {
        failure_ = systemFailure(errno);
        whole_ = synced_;
        cutBackTo(fd_, whole_);
        return false;
    }
    synced_ = whole_;
    return true;
}

bool OutputFile::close() {
    if (fd_ < 0)
        return true;
    const int result = ::close(fd_);
    fd_ = -1;
    if (result != 0 && errno != EINTR) {
        failure_ = systemFailure(errno);
        return false;
    }
    return true;
}

OutputFailure checkOutputPath(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos)
        return systemFailure(ENOENT);
    if (OutputFailure refused = refusalAt(path))
        return refused;
    // Opened without creating it, only to look at what it is and whether
    // another writer holds it; the lock goes with the descriptor.
    const int fd = ::open(path.c_str(), kSafeWriteFlags);
    if (fd < 0)
        return errno == ENOENT ? OutputFailure{} : systemFailure(errno);
    struct stat info {};
    OutputFailure failure;
    if (::fstat(fd, &info) != 0)
        failure = systemFailure(errno);
    else if (!S_ISREG(info.st_mode))
        failure = {OutputFailure::Kind::NotRegularFile, 0, fileTypeName(info.st_mode)};
    else if (!(failure = hardLinkRefusal(info)) && ::flock(fd, LOCK_EX | LOCK_NB) != 0)
        failure = errno == EWOULDBLOCK ? OutputFailure{OutputFailure::Kind::InUse, errno, {}}
                                       : systemFailure(errno);
    ::close(fd);
    return failure;
}

ReplaceResult replaceFileContents(const std::string& path, std::string_view bytes) {
    ReplaceResult result;
    if (path.empty() || path.find('\0') != std::string::npos) {
        result.failure = systemFailure(ENOENT);
        return result;
    }
    // A name ending in "/" can only be a folder, never a file to write.
    if (path.back() == '/') {
        struct stat info {};
        result.failure =
            ::stat(path.c_str(), &info) == 0
                ? OutputFailure{OutputFailure::Kind::NotRegularFile, 0, fileTypeName(info.st_mode)}
                : systemFailure(EISDIR);
        return result;
    }
    if ((result.failure = refusalAt(path)))
        return result;
    struct stat existing {};
    const bool replacing = ::lstat(path.c_str(), &existing) == 0;

    // A name of its own in the same folder, so the rename stays inside one
    // file system and one folder.
    std::mt19937_64 random(static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^ ::getpid()));
    const std::string folder = folderOf(path);
    const std::string base = path.substr(path.rfind('/') + 1);
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = folder + "/." + base + "." + std::to_string(random() % 1000000000u) + ".tmp";
        fd = ::open(temporary.c_str(), kSafeWriteFlags | O_CREAT | O_EXCL, 0666);
        if (fd < 0 && errno != EEXIST) {
            result.failure = systemFailure(errno);
            return result;
        }
    }
    if (fd < 0) {
        result.failure = systemFailure(EEXIST);
        return result;
    }
    result.created = true;

    const auto fill = [&]() -> int {
        if (!clearNonBlocking(fd))
            return errno;
        if (replacing && ::fchmod(fd, existing.st_mode & 07777) != 0)
            return errno;
        int writeError = 0;
        if (!writeAll(fd, bytes, writeError))
            return writeError;
        // On the disk before the name is: after a crash the path holds either
        // the old file or the whole new one.
        return ::fsync(fd) == 0 ? 0 : errno;
    };
    int error = fill();
    if (::close(fd) != 0 && error == 0 && errno != EINTR)
        error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        result.failure = systemFailure(error);
        return result;
    }
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return result;
}

}  // namespace platform
