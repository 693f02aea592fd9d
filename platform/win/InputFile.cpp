#include "platform/InputFile.h"

#include "platform/ErrorText.h"
#include "platform/win/WideText.h"

#include <windows.h>

namespace platform {

namespace {

HANDLE handleOf(NativeHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// What an open handle is when it is not a regular file; nullptr when it is one.
const char* kindOf(HANDLE file) {
    switch (GetFileType(file)) {
        case FILE_TYPE_DISK:
            break;
        case FILE_TYPE_CHAR:
            return "a character device";
        case FILE_TYPE_PIPE:
            return "a FIFO";
        default:
            return "not a regular file";
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(file, &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return "a directory";
    return nullptr;
}

}  // namespace

InputFile::~InputFile() {
    close();
}

bool InputFile::open(const std::string& path) {
    return open(path, false);
}

bool InputFile::openRegular(const std::string& path) {
    return open(path, true);
}

bool InputFile::open(const std::string& path, bool regularOnly) {
    close();
    notRegularKind_.clear();
    const auto wide = win::wideFromUtf8(path);
    if (path.empty() || !wide) {
        lastError_ = path.empty() ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_NAME;
        return false;
    }
    // FILE_FLAG_BACKUP_SEMANTICS lets a folder be opened, so it is named as
    // one instead of failing as "access denied". Others may go on writing
    // or renaming the file while it is read, as on POSIX.
    HANDLE file = CreateFileW(
        wide->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        lastError_ = static_cast<int>(GetLastError());
        return false;
    }
    if (const char* kind = kindOf(file)) {
        const bool folder = std::string(kind) == "a directory";
        if (folder || regularOnly) {
            lastError_ = folder ? errors::kIsDirectory : ERROR_INVALID_FUNCTION;
            if (regularOnly)
                notRegularKind_ = kind;
            CloseHandle(file);
            return false;
        }
    }
    fd_ = reinterpret_cast<NativeHandle>(file);
    return true;
}

long InputFile::read(void* buffer, std::size_t length) {
    // -1 is also the handle of the process itself: never read "from" it.
    if (fd_ == kNoHandle) {
        lastError_ = ERROR_INVALID_HANDLE;
        return -1;
    }
    DWORD got = 0;
    const auto ask = static_cast<DWORD>(std::min<std::size_t>(length, 0x40000000));
    if (!ReadFile(handleOf(fd_), buffer, ask, &got, nullptr)) {
        const DWORD error = GetLastError();
        // A pipe whose writer has gone is at its end.
        if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF)
            return 0;
        lastError_ = static_cast<int>(error);
        return -1;
    }
    return static_cast<long>(got);
}

bool InputFile::rewind() {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(handleOf(fd_), start, nullptr, FILE_BEGIN)) {
        lastError_ = static_cast<int>(GetLastError());
        return false;
    }
    return true;
}

std::uint64_t InputFile::size() const {
    LARGE_INTEGER length{};
    if (fd_ == kNoHandle || !GetFileSizeEx(handleOf(fd_), &length))
        return 0;
    return static_cast<std::uint64_t>(length.QuadPart);
}

void InputFile::close() {
    if (fd_ != kNoHandle) {
        CloseHandle(handleOf(fd_));
        fd_ = kNoHandle;
    }
}

}  // namespace platform
