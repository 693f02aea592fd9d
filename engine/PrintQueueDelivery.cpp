#include "engine/PrintQueueDelivery.h"

#include <memory>

namespace {

const char* const kDocumentName = "Firmware Programmer";
const char* const kRawData = "RAW";

// One document on an open queue: start, one page, the writes, end. Returns
// false after the failure's own message and clean-up; the queue stays open.
template <typename WriteBody>
bool submitDocument(Operator& op, platform::PrintQueue& queue, WriteBody writeBody) {
    if (!queue.startDocument(kDocumentName, kRawData)) {
        op.messageBox("StartDocPrinter Failed", mb::kIconStop);
        return false;
    }
    if (!queue.startPage()) {
        op.messageBox("StartPagePrinter Failed", mb::kIconStop);
        queue.endDocument();
        return false;
    }
    if (!writeBody()) {
        // A job is never aborted: what was written stays as a finished job.
        op.messageBox("Print Error!", mb::kIconStop);
        queue.endPage();
        queue.endDocument();
        return false;
    }
    if (!queue.endPage()) {
        queue.endDocument();
        return false;
    }
    return queue.endDocument();
}

}  // namespace

ProgramResult DeliverToPrintQueue(Operator& op, platform::Spooler& spooler,
                                  const std::string& queueName, platform::InputFile& image,
                                  const std::string& header, unsigned char* buffer,
                                  std::size_t bufferSize) {
    int openError = 0;
    std::unique_ptr<platform::PrintQueue> queue = spooler.open(queueName, &openError);
    if (!queue) {
        op.messageBox("Can't Open Port " + queueName + ". Error: " + std::to_string(openError),
                      mb::kIconStop);
        return ResultPrinterPortError;
    }
    // A queue whose details cannot be read is refused like one that prints to a
    // file: the image must never go to a port nobody has seen.
    const std::optional<std::string> port = queue->portName();
    if (!port || *port == "FILE:") {
        op.messageBox("Could not Open the Printer", mb::kIconStop);
        queue->close();
        return ResultPrinterPortError;
    }

    const bool headerDone =
        submitDocument(op, *queue, [&] { return queue->write(header.data(), header.size()); });
    if (!headerDone) {
        queue->close();
        return ResultPrinterPortError;
    }

    const bool imageDone = submitDocument(op, *queue, [&] {
        for (;;) {
            const long got = image.read(buffer, bufferSize);
            if (got < 0)
                return false;  // reported and cleaned up like a failed write
            if (!queue->write(buffer, static_cast<std::size_t>(got)))
                return false;
            if (got == 0)
                return true;  // the read at the end of the file made one empty write
        }
    });
    queue->close();
    return imageDone ? ResultUnconfirmed : ResultPrinterPortError;
}
