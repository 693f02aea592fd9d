#pragma once

#include "engine/Operator.h"
#include "engine/ProgramResult.h"
#include "platform/InputFile.h"
#include "platform/Spooler.h"
#include "platform/StopCheck.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace engine {

// What a delivery needs besides the spooler and the image, and what it tells back.
struct QueueDeliveryRun {
    std::string imagePath;     // named in the message when the image cannot be read
    platform::StopCheck stop;  // asked once per block of the image
    // Told back:
    std::uint64_t imageBytesWritten = 0;
    bool imageCutOff = false;  // the image's job was cancelled before its end
    bool stopped = false;
};

// Hands the entry header and then the image to a print queue as two raw jobs.
// Returns ResultUnconfirmed when the spooler took both, ResultPrinterPortError
// on any failure of the spooler (after telling the operator where the
// spooler's step failed). An image that cannot be read to its end, a failed
// write of it or a stop request cancels the image's job, so no cut-off image
// ever goes out as a finished one; the unreadable image gives
// ResultFileNotFound and a message that names it, the stop ResultUnconfirmed.
[[nodiscard]] ProgramResult DeliverToPrintQueue(Operator& op, platform::Spooler& spooler,
                                                const std::string& queueName,
                                                platform::InputFile& image,
                                                const std::string& header, unsigned char* buffer,
                                                std::size_t bufferSize,
                                                QueueDeliveryRun* run = nullptr);

}  // namespace engine
