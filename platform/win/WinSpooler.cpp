#include "platform/ErrorText.h"
#include "platform/SystemSpooler.h"
#include "platform/win/WideText.h"

#include <windows.h>

#include <winspool.h>

#include <vector>

namespace platform {

namespace {

// The print spooler service (winspool): each PrintQueue call is the one
// spooler call of the same meaning.
class WinPrintQueue final : public PrintQueue {
public:
    explicit WinPrintQueue(HANDLE printer) : printer_(printer) {}
    ~WinPrintQueue() override { close(); }

    std::optional<std::string> portName() override {
        auto info = printerInfo();
        if (info.empty())
            return std::nullopt;
        const auto* details = reinterpret_cast<const PRINTER_INFO_2W*>(info.data());
        if (details->pPortName == nullptr)
            return std::nullopt;
        return win::utf8FromWide(details->pPortName);
    }

    std::optional<QueueState> state() override {
        auto info = printerInfo();
        if (info.empty())
            return std::nullopt;
        const DWORD status = reinterpret_cast<const PRINTER_INFO_2W*>(info.data())->Status;
        QueueState state;
        if ((status & (PRINTER_STATUS_PAUSED | PRINTER_STATUS_ERROR | PRINTER_STATUS_OFFLINE)) != 0)
            state.activity = QueueState::Activity::Stopped;
        else if ((status & (PRINTER_STATUS_PROCESSING | PRINTER_STATUS_PRINTING)) != 0)
            state.activity = QueueState::Activity::Processing;
        state.acceptingJobs = (status & PRINTER_STATUS_PENDING_DELETION) == 0;
        return state;
    }

    bool startDocument(const std::string& documentName, const std::string& dataType) override {
        if (printer_ == nullptr || jobId_ != 0)
            return false;
        auto name = win::wideFromUtf8(documentName);
        auto type = win::wideFromUtf8(dataType);
        if (!name || !type)
            return false;
        // "RAW" hands the bytes to the port as they are: no driver, no
        // banner page, one copy.
        DOC_INFO_1W document{name->data(), nullptr, type->data()};
        jobId_ = StartDocPrinterW(printer_, 1, reinterpret_cast<BYTE*>(&document));
        return jobId_ != 0;
    }

    bool startPage() override { return jobId_ != 0 && StartPagePrinter(printer_) != 0; }

    bool write(const void* data, std::size_t length) override {
        if (jobId_ == 0)
            return false;
        const auto* bytes = static_cast<const unsigned char*>(data);
        while (length > 0) {
            DWORD wrote = 0;
            const auto piece = static_cast<DWORD>(std::min<std::size_t>(length, 1u << 30));
            if (!WritePrinter(printer_, const_cast<unsigned char*>(bytes), piece, &wrote) ||
                wrote == 0)
                return false;
            bytes += wrote;
            length -= wrote;
        }
        return true;
    }

    bool endPage() override { return jobId_ != 0 && EndPagePrinter(printer_) != 0; }

    bool endDocument() override {
        if (jobId_ == 0)
            return false;
        jobId_ = 0;
        return EndDocPrinter(printer_) != 0;
    }

    bool abortDocument() override {
        if (jobId_ == 0)
            return false;
        // The job is deleted before the document is ended, so ending it
        // (which a spooler may also do when the queue is closed) has nothing
        // left to print.
        const bool deleted = SetJobW(printer_, jobId_, 0, nullptr, JOB_CONTROL_DELETE) != 0;
        const bool aborted = AbortPrinter(printer_) != 0;
        jobId_ = 0;
        return deleted || aborted;
    }

    void close() override {
        if (printer_ != nullptr) {
            if (jobId_ != 0)
                std::ignore = abortDocument();
            ClosePrinter(printer_);
            printer_ = nullptr;
        }
    }

private:
    // PRINTER_INFO_2W with the strings it points to; empty when it cannot be read.
    std::vector<unsigned char> printerInfo() {
        std::vector<unsigned char> info;
        if (printer_ == nullptr)
            return info;
        DWORD needed = 0;
        GetPrinterW(printer_, 2, nullptr, 0, &needed);
        if (needed < sizeof(PRINTER_INFO_2W))
            return info;
        info.resize(needed);
        if (!GetPrinterW(printer_, 2, info.data(), needed, &needed))
            info.clear();
        return info;
    }

    HANDLE printer_;
    DWORD jobId_ = 0;
};

class WinSpooler final : public Spooler {
public:
    std::vector<std::string> queueNames() override {
        return listQueues(nullptr).value_or(std::vector<std::string>{});
    }

    // Nothing when the spooler service does not answer (it is stopped, or
    // refuses): EnumPrinters fails then with its reason, while a spooler
    // without printers succeeds with none.
    std::optional<std::vector<std::string>> listQueues(std::string* problem) override {
        const auto failed = [problem](DWORD error) {
            if (problem)
                *problem = "cannot ask the print spooler for its printers: " +
                           systemErrorMessage(static_cast<int>(error));
            return std::nullopt;
        };
        std::vector<std::string> names;
        const DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
        DWORD needed = 0;
        DWORD count = 0;
        if (!EnumPrintersW(flags, nullptr, 4, nullptr, 0, &needed, &count) &&
            GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return failed(GetLastError());
        if (needed == 0)
            return names;
        std::vector<unsigned char> storage(needed);
        if (!EnumPrintersW(flags, nullptr, 4, storage.data(), needed, &needed, &count))
            return failed(GetLastError());
        const auto* printers = reinterpret_cast<const PRINTER_INFO_4W*>(storage.data());
        for (DWORD i = 0; i < count; ++i)
            if (printers[i].pPrinterName != nullptr)
                names.push_back(win::utf8FromWide(printers[i].pPrinterName));
        return names;
    }

    std::unique_ptr<PrintQueue> open(const std::string& name, int* errorCode) override {
        auto wide = win::wideFromUtf8(name);
        HANDLE printer = nullptr;
        if (name.empty() || !wide) {
            if (errorCode)
                *errorCode = ERROR_INVALID_PRINTER_NAME;
            return nullptr;
        }
        if (!OpenPrinterW(wide->data(), &printer, nullptr) || printer == nullptr) {
            if (errorCode)
                *errorCode = static_cast<int>(GetLastError());
            return nullptr;
        }
        if (errorCode)
            *errorCode = 0;
        return std::make_unique<WinPrintQueue>(printer);
    }
};

}  // namespace

std::unique_ptr<Spooler> systemSpooler() {
    return std::make_unique<WinSpooler>();
}

namespace spooler_errors {
const int kNoSuchQueue = ERROR_INVALID_PRINTER_NAME;
const int kServerUnreachable = RPC_S_SERVER_UNAVAILABLE;
}  // namespace spooler_errors

std::string spoolerStartAdvice() {
    return "start the Print Spooler service (net start spooler)";
}

}  // namespace platform
