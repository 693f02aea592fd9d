#include "platform/OutputFile.h"

#include "platform/ErrorText.h"
#include "platform/win/WideText.h"

#include <windows.h>

#include <chrono>
#include <random>
#include <tuple>

namespace platform {

namespace {

// The lock that tells batches apart covers one byte far beyond any log's
// end: Windows' locks are mandatory, and one over the data itself would
// stop a person from reading the log while a batch writes it.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

HANDLE handleOf(NativeHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

OutputFailure systemFailure(DWORD error) {
    return {OutputFailure::Kind::System, static_cast<int>(error), {}};
}

// What stands at the path itself, a link not followed: a symbolic link (any
// reparse point: a junction, a mount point) or something that is not a
// regular file is named; a regular file or nothing at all gives no failure.
OutputFailure refusalAt(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return {};
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return {OutputFailure::Kind::SymbolicLink, ERROR_CANT_ACCESS_FILE, {}};
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return {OutputFailure::Kind::NotRegularFile, 0, "a folder"};
    return {};
}

// The same for an open handle: a device (NUL, a serial port), a pipe, or a
// reparse point opened as itself.
OutputFailure refusalOf(HANDLE file) {
    switch (GetFileType(file)) {
        case FILE_TYPE_DISK:
            break;
        case FILE_TYPE_PIPE:
            return {OutputFailure::Kind::NotRegularFile, 0, "a FIFO (named pipe)"};
        default:
            return {OutputFailure::Kind::NotRegularFile, 0, "a device"};
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info))
        return systemFailure(GetLastError());
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return {OutputFailure::Kind::SymbolicLink, ERROR_CANT_ACCESS_FILE, {}};
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return {OutputFailure::Kind::NotRegularFile, 0, "a folder"};
    // A file with other names: emptying it would empty them too.
    if (info.nNumberOfLinks > 1)
        return {OutputFailure::Kind::HardLinked, 0, {}, info.nNumberOfLinks};
    return {};
}

// Takes the lock that tells batches apart; false with GetLastError() when
// another writer holds it (ERROR_LOCK_VIOLATION) or it cannot be taken.
bool lockForBatch(HANDLE file) {
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

OutputFailure lockFailure(DWORD error) {
    return error == ERROR_LOCK_VIOLATION
               ? OutputFailure{OutputFailure::Kind::InUse, static_cast<int>(error), {}}
               : systemFailure(error);
}

// Opens for writing without following a reparse point at the path's end.
HANDLE openForWriting(const std::wstring& path, DWORD disposition) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool writeAll(HANDLE file, std::string_view bytes, DWORD& error) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        DWORD wrote = 0;
        if (!WriteFile(file, bytes.data() + done, piece, &wrote, nullptr)) {
            error = GetLastError();
            return false;
        }
        if (wrote == 0) {
            error = ERROR_WRITE_FAULT;
            return false;
        }
        done += wrote;
    }
    return true;
}

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

}  // namespace

OutputFile::~OutputFile() {
    // A file still open here was abandoned on an error path that has been
    // reported already; nobody is left to tell of a late write error.
    std::ignore = close();
}

bool OutputFile::createExclusive(const std::string& path) {
    std::ignore = close();
    failure_ = {};
    const auto wide = win::wideFromUtf8(path);
    if (path.empty() || !wide) {
        failure_ = systemFailure(path.empty() ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_NAME);
        return false;
    }
    if ((failure_ = refusalAt(*wide)))
        return false;
    // Not emptied on opening: the checks and the lock come first, so a
    // refused file, or a log another batch is still writing, keeps its bytes.
    HANDLE file = openForWriting(*wide, OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) {
        failure_ = systemFailure(GetLastError());
        return false;
    }
    if ((failure_ = refusalOf(file))) {
        CloseHandle(file);
        return false;
    }
    if (!lockForBatch(file)) {
        failure_ = lockFailure(GetLastError());
        CloseHandle(file);
        return false;
    }
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) {
        failure_ = systemFailure(GetLastError());
        CloseHandle(file);
        return false;
    }
    fd_ = reinterpret_cast<NativeHandle>(file);
    whole_ = 0;
    synced_ = 0;
    return true;
}

bool OutputFile::write(std::string_view bytes) {
    return append(bytes) && sync();
}

namespace {

// Cuts the file back to its first length bytes and goes on writing there.
void cutBackTo(HANDLE handle, unsigned long long length) {
    LARGE_INTEGER whole{};
    whole.QuadPart = static_cast<LONGLONG>(length);
    if (SetFilePointerEx(handle, whole, nullptr, FILE_BEGIN))
        SetEndOfFile(handle);
}

}  // namespace

bool OutputFile::append(std::string_view bytes) {
    if (fd_ == kNoHandle) {
        failure_ = systemFailure(ERROR_INVALID_HANDLE);
        return false;
    }
    DWORD error = 0;
    if (!writeAll(handleOf(fd_), bytes, error)) {
        failure_ = systemFailure(error);
        // What part of these bytes got in is cut off again, so the file ends
        // with the last whole write, and the next write starts there.
        cutBackTo(handleOf(fd_), whole_);
        return false;
    }
    whole_ += bytes.size();
    return true;
}

bool OutputFile::sync() {
    if (fd_ == kNoHandle) {
        failure_ = systemFailure(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!FlushFileBuffers(handleOf(fd_))) {
        failure_ = systemFailure(GetLastError());
        whole_ = synced_;
        cutBackTo(handleOf(fd_), whole_);
        return false;
    }
    synced_ = whole_;
    return true;
}

bool OutputFile::close() {
    if (fd_ == kNoHandle)
        return true;
    // Closing releases the lock with the handle.
    const bool closed = CloseHandle(handleOf(fd_)) != 0;
    fd_ = kNoHandle;
    if (!closed) {
        failure_ = systemFailure(GetLastError());
        return false;
    }
    return true;
}

OutputFailure checkOutputPath(const std::string& path) {
    const auto wide = win::wideFromUtf8(path);
    if (path.empty() || !wide)
        return systemFailure(path.empty() ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_NAME);
    if (OutputFailure refused = refusalAt(*wide))
        return refused;
    // Opened without creating it, only to look at it and try the lock, which
    // closing the handle gives back.
    HANDLE file = openForWriting(*wide, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? OutputFailure{} : systemFailure(error);
    }
    OutputFailure failure = refusalOf(file);
    if (!failure && !lockForBatch(file))
        failure = lockFailure(GetLastError());
    CloseHandle(file);
    return failure;
}

ReplaceResult replaceFileContents(const std::string& path, std::string_view bytes) {
    ReplaceResult result;
    const auto wide = win::wideFromUtf8(path);
    if (path.empty() || !wide) {
        result.failure = systemFailure(path.empty() ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_NAME);
        return result;
    }
    // A name ending in a separator can only be a folder, never a file to write.
    if (isSeparator(path.back())) {
        result.failure = GetFileAttributesW(wide->c_str()) != INVALID_FILE_ATTRIBUTES
                             ? OutputFailure{OutputFailure::Kind::NotRegularFile, 0, "a folder"}
                             : OutputFailure{OutputFailure::Kind::System, errors::kIsDirectory, {}};
        return result;
    }
    if ((result.failure = refusalAt(*wide)))
        return result;

    // A name of its own in the same folder, so the rename stays inside one
    // volume and one folder.
    std::size_t cut = path.size();
    while (cut > 0 && !isSeparator(path[cut - 1]))
        --cut;
    const std::string folder = path.substr(0, cut);
    const std::string base = path.substr(cut);
    std::mt19937_64 random(static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^ GetCurrentProcessId()));
    std::wstring temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        const auto name = win::wideFromUtf8(folder + "." + base + "." +
                                            std::to_string(random() % 1000000000u) + ".tmp");
        if (!name) {
            result.failure = systemFailure(ERROR_INVALID_NAME);
            return result;
        }
        temporary = *name;
        file = openForWriting(temporary, CREATE_NEW);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            result.failure = systemFailure(GetLastError());
            return result;
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        result.failure = systemFailure(ERROR_FILE_EXISTS);
        return result;
    }
    result.created = true;
    DWORD error = 0;
    // On the disk before the name is: after a crash the path holds either
    // the old file or the whole new one.
    if (writeAll(file, bytes, error) && !FlushFileBuffers(file))
        error = GetLastError();
    CloseHandle(file);
    if (error == 0 && !MoveFileExW(temporary.c_str(), wide->c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = GetLastError();
    if (error != 0) {
        DeleteFileW(temporary.c_str());
        result.failure = systemFailure(error);
    }
    return result;
}

}  // namespace platform
