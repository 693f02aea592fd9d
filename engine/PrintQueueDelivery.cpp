#include "engine/PrintQueueDelivery.h"

#include "platform/ErrorText.h"

#include <memory>
#include <tuple>

namespace engine {

namespace {

const char* const kDocumentName = "Firmware Programmer";
const char* const kRawData = "RAW";

// After a failure that has been reported, what was begun is still ended in
// order so the queue is left ready for the next job; whether the spooler takes
// that changes nothing about the delivery's result.
void endAfterReportedFailure(platform::PrintQueue& queue, bool pageBegun) {
    if (pageBegun)
        std::ignore = queue.endPage();
    std::ignore = queue.endDocument();
}

// Starts a document and its page. Returns false after the failure's own
// message and clean-up; the queue stays open.
bool startDocumentAndPage(Operator& op, platform::PrintQueue& queue) {
    if (!queue.startDocument(kDocumentName, kRawData)) {
        op.messageBox("StartDocPrinter Failed", BoxIcon::Stop);
        return false;
    }
    if (!queue.startPage()) {
        op.messageBox("StartPagePrinter Failed", BoxIcon::Stop);
        endAfterReportedFailure(queue, false);
        return false;
    }
    return true;
}

// The header's document: start, one page, the write, end. Returns false after
// the failure's own message and clean-up; the queue stays open. A failed
// write ends the page and the document in order: the header alone cannot
// pass for an image.
bool submitHeader(Operator& op, platform::PrintQueue& queue, const std::string& header) {
    if (!startDocumentAndPage(op, queue))
        return false;
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

// The queue of that name, open, when it prints to a port; nothing after the
// operator is told why not. A queue whose details cannot be read is refused
// like one that prints to a file: the image must never go to a port nobody
// has seen.
std::unique_ptr<platform::PrintQueue> openPortQueue(Operator& op, platform::Spooler& spooler,
                                                    const std::string& queueName) {
    int openError = 0;
    std::unique_ptr<platform::PrintQueue> queue = spooler.open(queueName, &openError);
    if (!queue) {
        op.messageBox("Can't Open Port " + queueName + ". Error: " + std::to_string(openError),
                      BoxIcon::Stop);
        return nullptr;
    }
    const std::optional<std::string> port = queue->portName();
    if (!port || *port == "FILE:") {
        op.messageBox("Could not Open the Printer", BoxIcon::Stop);
        queue->close();
        return nullptr;
    }
    return queue;
}

// Why the image's job stopped short of the image's end, if it did.
enum class Cut { None, Stop, ReadError, WriteError };

// Writes the image block by block into the open page, asking for a stop
// before each block; the bytes written go to run. A read error's number goes
// to readError.
Cut writeImage(platform::PrintQueue& queue, platform::InputFile& image, unsigned char* buffer,
               std::size_t bufferSize, QueueDeliveryRun& run, int& readError) {
    for (;;) {
        if (platform::stopRequested(run.stop))
            return Cut::Stop;
        const long got = image.read(buffer, bufferSize);
        if (got < 0) {
            readError = image.lastError();
            return Cut::ReadError;
        }
        if (!queue.write(buffer, static_cast<std::size_t>(got)))
            return Cut::WriteError;
        run.imageBytesWritten += static_cast<std::uint64_t>(got);
        if (got == 0)
            return Cut::None;  // the read at the end of the file made one empty write
    }
}

// Cancels the job of an image cut off by cut, closes the queue and tells the
// operator why. Ending the page and the document instead would hand the
// spooler a cut-off image as a finished job, which it then sends to the unit.
ProgramResult cancelCutOffImage(Operator& op, platform::PrintQueue& queue, Cut cut, int readError,
                                QueueDeliveryRun& run) {
    // Whether the spooler confirms the cancel changes nothing here: the
    // result already says that the image did not go out whole.
    std::ignore = queue.abortDocument();
    queue.close();
    run.imageCutOff = true;
    switch (cut) {
        case Cut::Stop:
            run.stopped = true;
            return ResultUnconfirmed;
        case Cut::ReadError:
            op.messageBox("Could not read the image file" +
                              (run.imagePath.empty() ? "" : " " + run.imagePath) + "\n" +
                              platform::systemErrorText(readError),
                          BoxIcon::Stop);
            return ResultFileNotFound;
        default:
            op.messageBox("Print Error!", BoxIcon::Stop);
            return ResultPrinterPortError;
    }
}

}  // namespace

// The header's job, then the image's: each step is a function above.
ProgramResult DeliverToPrintQueue(Operator& op, platform::Spooler& spooler,
                                  const std::string& queueName, platform::InputFile& image,
                                  const std::string& header, unsigned char* buffer,
                                  std::size_t bufferSize, QueueDeliveryRun* run) {
    QueueDeliveryRun unused;
    QueueDeliveryRun& r = run ? *run : unused;
    const std::unique_ptr<platform::PrintQueue> queue = openPortQueue(op, spooler, queueName);
    if (!queue)
        return ResultPrinterPortError;
    if (!submitHeader(op, *queue, header) || !startDocumentAndPage(op, *queue)) {
        queue->close();
        return ResultPrinterPortError;
    }
    int readError = 0;
    const Cut cut = writeImage(*queue, image, buffer, bufferSize, r, readError);
    if (cut != Cut::None)
        return cancelCutOffImage(op, *queue, cut, readError, r);
    bool done = queue->endPage();
    done = queue->endDocument() && done;
    queue->close();
    return done ? ResultUnconfirmed : ResultPrinterPortError;
}

}  // namespace engine
