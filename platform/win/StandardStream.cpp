#include "platform/StandardStream.h"

#include "platform/win/WideText.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <tuple>

namespace platform {

namespace {

DWORD handleNameOf(StandardStream stream) {
    switch (stream) {
        case StandardStream::Input:
            return STD_INPUT_HANDLE;
        case StandardStream::Output:
            return STD_OUTPUT_HANDLE;
        case StandardStream::Error:
            return STD_ERROR_HANDLE;
    }
    return STD_OUTPUT_HANDLE;
}

int descriptorOf(StandardStream stream) {
    switch (stream) {
        case StandardStream::Input:
            return 0;
        case StandardStream::Output:
            return 1;
        case StandardStream::Error:
            return 2;
    }
    return 1;
}

}  // namespace

bool isTerminal(StandardStream stream) {
    // _isatty is true for every character device, the NUL device among them
    // (a script's "< NUL"); only a console has a console mode.
    DWORD mode = 0;
    return _isatty(descriptorOf(stream)) != 0 &&
           GetConsoleMode(GetStdHandle(handleNameOf(stream)), &mode) != 0;
}

void setUpStandardStreams() {
    // The C library's text mode would turn every "\n" into "\r\n" and stop
    // reading at a Ctrl-Z; the program writes its line ends itself.
    for (const int fd : {0, 1, 2})
        _setmode(fd, _O_BINARY);
    // Consoles draw "\r" and the erase-line sequences of progress lines only
    // with virtual-terminal processing, which is off by default.
    for (const DWORD name : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE console = GetStdHandle(name);
        DWORD mode = 0;
        if (console != INVALID_HANDLE_VALUE && console != nullptr && GetConsoleMode(console, &mode))
            SetConsoleMode(console,
                           mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING | ENABLE_PROCESSED_OUTPUT);
    }
    SetConsoleOutputCP(CP_UTF8);
}

std::vector<std::string> commandLineArguments(int, char**) {
    // argv holds the arguments in the ANSI code page, which cannot carry
    // every file name; the wide command line can.
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr)
        return arguments;
    for (int i = 1; i < count; ++i)
        arguments.push_back(win::utf8FromWide(wide[i]));
    LocalFree(wide);
    return arguments;
}

StandardStreamBuffer::StandardStreamBuffer(StandardStream stream)
    : fd_(reinterpret_cast<NativeHandle>(GetStdHandle(handleNameOf(stream)))) {
    setp(buffer_.data(), buffer_.data() + buffer_.size());
}

bool StandardStreamBuffer::writeAll(const char* data, std::size_t length) {
    HANDLE out = reinterpret_cast<HANDLE>(fd_);
    while (length > 0) {
        if (error_ != 0)
            return false;
        DWORD wrote = 0;
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(length, 1u << 30));
        if (!WriteFile(out, data, piece, &wrote, nullptr) || wrote == 0) {
            error_ = wrote == 0 && GetLastError() == 0 ? ERROR_WRITE_FAULT
                                                       : static_cast<int>(GetLastError());
            return false;
        }
        data += wrote;
        length -= wrote;
    }
    return error_ == 0;
}

}  // namespace platform
