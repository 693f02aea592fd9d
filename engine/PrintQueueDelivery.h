#pragma once

#include "engine/Operator.h"
#include "engine/ProgramResult.h"
#include "platform/InputFile.h"
#include "platform/Spooler.h"

#include <cstddef>
#include <string>

// Hands the entry header and then the image to a print queue as two raw jobs.
// Returns ResultUnconfirmed when the spooler took both, ResultPrinterPortError
// on any failure (after telling the operator where the spooler's step failed).
ProgramResult DeliverToPrintQueue(Operator& op, platform::Spooler& spooler,
                                  const std::string& queueName, platform::InputFile& image,
                                  const std::string& header, unsigned char* buffer,
                                  std::size_t bufferSize);
