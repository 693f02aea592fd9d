#include "platform/posix/CupsSpooler.h"

#include "platform/ErrorText.h"

#include <cups/cups.h>

#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

namespace platform {

namespace {

// A connection of our own to the configured server, so that a document's
// streamed request never shares libcups's per-thread default connection.
http_t* connectToServer() {
    return httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, 30000,
                        nullptr);
}

// CUPS refuses names with these bytes; asking about one would only build a
// printer URI that points somewhere else.
bool possibleQueueName(const std::string& name) {
    if (name.empty() || name.size() > 127)
        return false;
    for (const char byte : name) {
        const auto c = static_cast<unsigned char>(byte);
        if (c <= ' ' || c == 127 || c == '/' || c == '\\' || c == '?' || c == '\'' || c == '"' ||
            c == '#')
            return false;
    }
    return true;
}

// Why no connection to the server could be made. libcups keeps no useful
// reason (its error text then says "Bad file descriptor"); for a local socket,
// connecting to it once more tells the system's own.
std::string connectionFailure(const std::string& server) {
    if (server.empty() || server[0] != '/')
        return "it does not answer";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (server.size() >= sizeof address.sun_path)
        return "the socket's path is too long";
    std::memcpy(address.sun_path, server.c_str(), server.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return systemErrorMessage(errno);
    const int connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = errno;
    ::close(fd);
    return connected == 0 ? "it does not answer" : systemErrorMessage(error);
}

std::string printerUri(const std::string& name) {
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                     "/printers/%s", name.c_str());
    return uri;
}

ipp_t* newRequest(ipp_op_t operation) {
    ipp_t* request = ippNewRequest(operation);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    return request;
}

bool succeeded(ipp_status_t status) {
    return status <= IPP_STATUS_OK_CONFLICTING;
}

// One printer's attributes (just the one named), or nothing with *status set.
ipp_t* printerAttributes(http_t* http, const std::string& name, const char* attribute,
                         ipp_status_t* status) {
    ipp_t* request = newRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 printerUri(name).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 attribute);
    ipp_t* response = cupsDoRequest(http, request, "/");
    *status = response ? ippGetStatusCode(response) : cupsLastError();
    if (response && !succeeded(*status)) {
        ippDelete(response);
        return nullptr;
    }
    return response;
}

class CupsPrintQueue final : public PrintQueue {
public:
    CupsPrintQueue(http_t* http, std::string name) : http_(http), name_(std::move(name)) {}
    ~CupsPrintQueue() override { close(); }

    std::optional<std::string> portName() override {
        if (!http_)
            return std::nullopt;
        ipp_status_t status;
        ipp_t* response = printerAttributes(http_, name_, "device-uri", &status);
        if (!response)
            return std::nullopt;
        std::optional<std::string> port;
        ipp_attribute_t* attr = ippFindAttribute(response, "device-uri", IPP_TAG_URI);
        if (const char* uri = attr ? ippGetString(attr, 0, nullptr) : nullptr) {
            // A queue that writes into a file is what the other side of this
            // interface knows as the port "FILE:"; any other device is its URI.
            const char* colon = std::strchr(uri, ':');
            if (colon && colon - uri == 4 && strncasecmp(uri, "file", 4) == 0)
                port = "FILE:";
            else
                port = uri;
        }
        ippDelete(response);
        return port;
    }

    std::optional<QueueState> state() override {
        if (!http_)
            return std::nullopt;
        ipp_t* request = newRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                     printerUri(name_).c_str());
        static const char* const kWanted[] = {"printer-state", "printer-is-accepting-jobs",
                                              "printer-state-message"};
        ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                      static_cast<int>(std::size(kWanted)), nullptr, kWanted);
        ipp_t* response = cupsDoRequest(http_, request, "/");
        if (!response || !succeeded(ippGetStatusCode(response))) {
            ippDelete(response);
            return std::nullopt;
        }
        std::optional<QueueState> state;
        if (ipp_attribute_t* activity = ippFindAttribute(response, "printer-state", IPP_TAG_ENUM)) {
            state.emplace();
            switch (ippGetInteger(activity, 0)) {
                case IPP_PSTATE_PROCESSING:
                    state->activity = QueueState::Activity::Processing;
                    break;
                case IPP_PSTATE_STOPPED:
                    state->activity = QueueState::Activity::Stopped;
                    break;
                default:
                    state->activity = QueueState::Activity::Idle;
                    break;
            }
            if (ipp_attribute_t* accepting =
                    ippFindAttribute(response, "printer-is-accepting-jobs", IPP_TAG_BOOLEAN))
                state->acceptingJobs = ippGetBoolean(accepting, 0) != 0;
            if (ipp_attribute_t* message =
                    ippFindAttribute(response, "printer-state-message", IPP_TAG_TEXT))
                if (const char* text = ippGetString(message, 0, nullptr))
                    state->message = text;
        }
        ippDelete(response);
        return state;
    }

    bool startDocument(const std::string& documentName, const std::string& dataType) override {
        if (!http_ || state_ != State::Idle)
            return false;
        raw_ = strcasecmp(dataType.c_str(), "RAW") == 0;
        cups_option_t* options = nullptr;
        int count = 0;
        if (raw_) {
            count = cupsAddOption("raw", "true", count, &options);
            // A queue's defaults must not change a raw job's bytes: banner
            // pages would wrap the header and the image in pages of their own,
            // and extra copies would send the image twice. (Options that
            // filters act on, such as number-up or page-set, never touch a raw
            // job: it passes no filter.)
            count = cupsAddOption("job-sheets", "none", count, &options);
            count = cupsAddOption("copies", "1", count, &options);
        }
        jobId_ = cupsCreateJob(http_, name_.c_str(), documentName.c_str(), count, options);
        cupsFreeOptions(count, options);
        if (jobId_ <= 0)
            return false;
        documentName_ = documentName;
        state_ = State::JobCreated;
        return true;
    }

    bool startPage() override {
        if (state_ != State::JobCreated)
            return false;
        // The document's request starts with its first byte: the server
        // refuses a document of no bytes and would keep its job waiting for
        // one for good.
        state_ = State::PageOpen;
        return true;
    }

    bool write(const void* data, std::size_t length) override {
        if (state_ == State::PageOpen && length > 0 && !beginDocument())
            return false;
        if (state_ == State::PageOpen && length == 0)
            return true;
        if (state_ != State::DocumentOpen)
            return false;
        if (length == 0)
            return true;  // a chunk of no bytes would end the request early
        return cupsWriteRequestData(http_, static_cast<const char*>(data), length) ==
               HTTP_STATUS_CONTINUE;
    }

    bool endPage() override {
        switch (state_) {
            case State::DocumentOpen:
                finishDocument();
                return documentAccepted_;
            case State::PageOpen:
                // Not one byte: the job is closed without a document, and so
                // completes instead of waiting for one.
                documentAccepted_ = closeJob();
                state_ = State::DocumentFinished;
                return documentAccepted_;
            default:
                return false;
        }
    }

    bool endDocument() override {
        switch (state_) {
            case State::DocumentOpen:
                finishDocument();
                break;
            case State::DocumentFinished:
                break;
            case State::JobCreated:
            case State::PageOpen:
                // No document was ever started: close the job as it is rather
                // than leave it waiting for one until the server gives up.
                documentAccepted_ = closeJob();
                break;
            case State::Idle:
                return false;
        }
        state_ = State::Idle;
        jobId_ = 0;
        return documentAccepted_;
    }

    bool abortDocument() override {
        if (state_ == State::Idle)
            return false;
        if (state_ == State::DocumentOpen) {
            // The request cannot be ended without ending the document in
            // order; dropping the connection leaves the server a request it
            // throws away, and a fresh connection cancels the job.
            httpClose(http_);
            http_ = connectToServer();
        }
        const bool cancelled = http_ && cancelJob();
        state_ = State::Idle;
        jobId_ = 0;
        return cancelled;
    }

    void close() override {
        if (http_) {
            httpClose(http_);
            http_ = nullptr;
        }
        state_ = State::Idle;
    }

private:
    enum class State { Idle, JobCreated, PageOpen, DocumentOpen, DocumentFinished };

    bool beginDocument() {
        // The job carries exactly one document, so this one is also its last.
        const http_status_t status =
            cupsStartDocument(http_, name_.c_str(), jobId_, documentName_.c_str(),
                              raw_ ? CUPS_FORMAT_RAW : CUPS_FORMAT_AUTO, 1);
        if (status != HTTP_STATUS_CONTINUE)
            return false;
        state_ = State::DocumentOpen;
        return true;
    }

    void finishDocument() {
        documentAccepted_ = succeeded(cupsFinishDocument(http_, name_.c_str()));
        state_ = State::DocumentFinished;
    }

    bool closeJob() { return jobRequest(IPP_OP_CLOSE_JOB); }
    bool cancelJob() { return jobRequest(IPP_OP_CANCEL_JOB); }

    bool jobRequest(ipp_op_t operation) {
        ipp_t* request = newRequest(operation);
        ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                     printerUri(name_).c_str());
        ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", jobId_);
        ipp_t* response = cupsDoRequest(http_, request, "/jobs/");
        const bool ok = response && succeeded(ippGetStatusCode(response));
        ippDelete(response);
        return ok;
    }

    http_t* http_;
    std::string name_;
    State state_ = State::Idle;
    int jobId_ = 0;
    bool raw_ = true;
    bool documentAccepted_ = false;
    std::string documentName_;
};

}  // namespace

std::vector<std::string> CupsSpooler::queueNames() {
    return listQueues(nullptr).value_or(std::vector<std::string>{});
}

std::optional<std::vector<std::string>> CupsSpooler::listQueues(std::string* problem) {
    const std::string server = cupsServer();
    const auto failed = [&](const std::string& why) {
        if (problem)
            *problem =
                "cannot ask the print service (CUPS at " + server + ") for its queues: " + why;
        return std::nullopt;
    };
    http_t* http = connectToServer();
    if (!http)
        return failed(connectionFailure(server));
    // CUPS-Get-Printers asks the server for the queues it holds itself; it
    // never triggers a search of the network the way destination
    // enumeration can.
    ipp_t* request = newRequest(IPP_OP_CUPS_GET_PRINTERS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "printer-name");
    ipp_t* response = cupsDoRequest(http, request, "/");
    const ipp_status_t status = response ? ippGetStatusCode(response) : cupsLastError();
    const std::string statusText = cupsLastErrorString() ? cupsLastErrorString() : "";
    std::vector<std::string> names;
    if (response && succeeded(status)) {
        for (ipp_attribute_t* attr = ippFirstAttribute(response); attr;
             attr = ippNextAttribute(response)) {
            const char* attrName = ippGetName(attr);
            if (attrName && std::strcmp(attrName, "printer-name") == 0 &&
                ippGetValueTag(attr) == IPP_TAG_NAME) {
                if (const char* value = ippGetString(attr, 0, nullptr))
                    names.emplace_back(value);
            }
        }
    }
    ippDelete(response);
    httpClose(http);
    // The server answers "not found" when it holds no queue at all.
    if (succeeded(status) || status == IPP_STATUS_ERROR_NOT_FOUND)
        return names;
    return failed(statusText.empty() ? ippErrorString(status) : statusText);
}

std::unique_ptr<PrintQueue> CupsSpooler::open(const std::string& name, int* errorCode) {
    int error = 0;
    std::unique_ptr<PrintQueue> queue;
    if (!possibleQueueName(name)) {
        error = kErrorNoSuchQueue;
    } else if (http_t* http = connectToServer(); !http) {
        error = kErrorServerUnreachable;
    } else {
        ipp_status_t status;
        if (ipp_t* response = printerAttributes(http, name, "printer-name", &status)) {
            ippDelete(response);
            queue = std::make_unique<CupsPrintQueue>(http, name);
        } else {
            httpClose(http);
            error = status != IPP_STATUS_OK ? static_cast<int>(status) : kErrorServerUnreachable;
        }
    }
    if (errorCode)
        *errorCode = queue ? 0 : error;
    return queue;
}

}  // namespace platform
