#include "engine/PrintQueueDelivery.h"

#include "platform/ErrorText.h"

#include <memory>
#include <tuple>

namespace engine {

namespace {

const char* const kDocumentName = "Firmware Programmer";
const char* const kRawData = "RAW";

// The header's document: start, one page, the write, end. Returns false after
// the failure's own message and clean-up; the queue stays open. A failed
// write ends the page and the document in order: the header alone cannot
// pass for an image.
// After a failure that has been reported, what was begun is still ended in
// order so the queue is left ready for the next job; whether the spooler takes
// that changes nothing about the delivery's result.
void endAfterReportedFailure(platform::PrintQueue& queue, bool pageBegun) {
    if (pageBegun)
        std::ignore = queue.endPage();
    std::ignore = queue.endDocument();
}

bool submitHeader(Operator& op, platform::PrintQueue& queue, const std::string& header) {
    if (!queue.startDocument(kDocumentName, kRawData)) {
        op.messageBox("StartDocPrinter Failed", BoxIcon::Stop);
        return false;
    }
    if (!queue.startPage()) {
        op.messageBox("StartPagePrinter Failed", BoxIcon::Stop);
        endAfterReportedFailure(queue, false);
        return false;
    }
    if (!queue.write(header.data(), header.size())) {
        op.messageBox("Print Error!", BoxIcon::Stop);
        endAfterReportedFailure(queue, true);
        return false;
    }
    if (!queue.endPage()) {
        endAfterReportedFailure(queue, false);
        return false;
    }
    return queue.endDocument();
}

}  // namespace

ProgramResult DeliverToPrintQueue(Operator& op, platform::Spooler& spooler,
                                  const std::string& queueName, platform::InputFile& image,
                                  const std::string& header, unsigned char* buffer,
                                  std::size_t bufferSize, QueueDeliveryRun* run) {
    QueueDeliveryRun unused;
    QueueDeliveryRun& r = run ? *run : unused;
    int openError = 0;
    std::unique_ptr<platform::PrintQueue> queue = spooler.open(queueName, &openError);
    if (!queue) {
        op.messageBox("Can't Open Port " + queueName + ". Error: " + std::to_string(openError),
                      BoxIcon::Stop);
        return ResultPrinterPortError;
    }
    // A queue whose details cannot be read is refused like one that prints to a
    // file: the image must never go to a port nobody has seen.
    const std::optional<std::string> port = queue->portName();
    if (!port || *port == "FILE:") {
        op.messageBox("Could not Open the Printer", BoxIcon::Stop);
        queue->close();
        return ResultPrinterPortError;
    }

    if (!submitHeader(op, *queue, header)) {
        queue->close();
        return ResultPrinterPortError;
    }

    if (!queue->startDocument(kDocumentName, kRawData)) {
        op.messageBox("StartDocPrinter Failed", BoxIcon::Stop);
        queue->close();
        return ResultPrinterPortError;
    }
    if (!queue->startPage()) {
        op.messageBox("StartPagePrinter Failed", BoxIcon::Stop);
        endAfterReportedFailure(*queue, false);
        queue->close();
        return ResultPrinterPortError;
    }
    enum class Cut { None, Stop, ReadError, WriteError } cut = Cut::None;
    int readError = 0;
    for (;;) {
        if (platform::stopRequested(r.stop)) {
            cut = Cut::Stop;
            break;
        }
        const long got = image.read(buffer, bufferSize);
        if (got < 0) {
            cut = Cut::ReadError;
            readError = image.lastError();
            break;
        }
        if (!queue->write(buffer, static_cast<std::size_t>(got))) {
            cut = Cut::WriteError;
            break;
        }
        r.imageBytesWritten += static_cast<std::uint64_t>(got);
        if (got == 0)
            break;  // the read at the end of the file made one empty write
    }

    if (cut != Cut::None) {
        // Ending the page and the document would hand the spooler a cut-off
        // image as a finished job, which it then sends to the unit.
        // Whether the spooler confirms the cancel changes nothing here: the
        // result already says that the image did not go out whole.
        std::ignore = queue->abortDocument();
        queue->close();
        r.imageCutOff = true;
        switch (cut) {
            case Cut::Stop:
                r.stopped = true;
                return ResultUnconfirmed;
            case Cut::ReadError:
                op.messageBox("Could not read the image file" +
                                  (r.imagePath.empty() ? "" : " " + r.imagePath) + "\n" +
                                  platform::systemErrorText(readError),
                              BoxIcon::Stop);
                return ResultFileNotFound;
            default:
                op.messageBox("Print Error!", BoxIcon::Stop);
                return ResultPrinterPortError;
        }
    }
    bool done = queue->endPage();
    done = queue->endDocument() && done;
    queue->close();
    return done ? ResultUnconfirmed : ResultPrinterPortError;
}

}  // namespace engine
