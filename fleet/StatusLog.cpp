#include "fleet/StatusLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

StatusLog::~StatusLog() {
    close();
}

bool StatusLog::create(const std::string& path) {
    close();
    if (path.empty() || path.find('\0') != std::string::npos) {
        lastError_ = ENOENT;
        return false;
    }
    // Not truncated on opening: a log that another batch is still writing
    // must keep its lines, so the lock comes first and the truncation after.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        lastError_ = errno;
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        lastError_ = S_ISDIR(info.st_mode) ? EISDIR : errno;
        ::close(fd);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        lastError_ = errno;
        ::close(fd);
        return false;
    }
    // Devices such as a terminal cannot be truncated, and need not be.
    if (S_ISREG(info.st_mode) && ::ftruncate(fd, 0) != 0) {
        lastError_ = errno;
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

bool StatusLog::write(const std::string& bytes) {
    if (fd_ < 0) {
        lastError_ = EBADF;
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (wrote < 0) {
            if (errno == EINTR)
                continue;
            lastError_ = errno;
            return false;
        }
        if (wrote == 0) {
            lastError_ = EIO;
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    // Files that cannot be synchronised (devices, pipes) say so with EINVAL;
    // what they were given has reached the system all the same.
    if (::fdatasync(fd_) != 0 && errno != EINVAL && errno != EROFS && errno != ENOTSUP) {
        lastError_ = errno;
        return false;
    }
    return true;
}

bool StatusLog::close() {
    if (fd_ < 0)
        return true;
    const int result = ::close(fd_);
    fd_ = -1;
    if (result != 0 && errno != EINTR) {
        lastError_ = errno;
        return false;
    }
    return true;
}

std::string logFileNameLine(const std::string& imagePath) {
    return "File Name: " + imagePath + "\r\n";
}

std::string logDateLine(const std::tm& localTime) {
    char text[96];
    std::snprintf(text, sizeof text, "Date: %02d/%02d/%02d, Time: %02d:%02d\r\n",
                  localTime.tm_mon + 1, localTime.tm_mday, ((localTime.tm_year % 100) + 100) % 100,
                  localTime.tm_hour, localTime.tm_min);
    return text;
}

std::string logUnitLine(const std::string& target, ProgramResult result) {
    return unitOutcomeText(target, result) + "\r\n";
}

std::string unitOutcomeText(const std::string& target, ProgramResult result) {
    std::string outcome;
    if (result == ResultProgrammed)
        outcome = "Successfully Programmed";
    else if (result < 0)
        outcome = "Status Unconfirmed";
    else if (result == ResultSocketError)
        outcome = "Socket Error";
    else if (result == ResultPrinterPortError)
        outcome = "Printer Port Error";
    else if (result == ResultFileNotFound)
        outcome = "File Not Found";
    else if (result == ResultFileTooLarge)
        outcome = "File Too Large";
    else if (result == ResultVerifyError)
        outcome = "Verify Error";
    else if (result == ResultWrongModel)
        outcome = "Incorrect Model Number";
    else
        outcome = "Failed to Program (Error #" + std::to_string(result) + ")";
    return "IP: " + target + " " + outcome;
}

std::string unitsUpdatedText(std::size_t unitsUpdated) {
    return std::to_string(unitsUpdated) + " Units Updated";
}

std::string logSummaryLine(std::size_t unitsUpdated) {
    return unitsUpdatedText(unitsUpdated) + "\r\n";
}
