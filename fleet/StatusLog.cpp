#include "fleet/StatusLog.h"

#include <cstdio>

namespace fleet {

std::string logFileNameLine(const std::string& imagePath) {
    // A line break in the path must not start a line of its own (one that
    // reads "IP: ... Successfully Programmed" would be taken for a unit's), so
    // control bytes are written as "\x0a" and the like.
    std::string line = "File Name: ";
    for (const char c : imagePath) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            line += escape;
        } else {
            line += c;
        }
    }
    return line + "\r\n";
}

std::string logDateLine(const std::tm& localTime) {
    char text[96];
    std::snprintf(text, sizeof text, "Date: %02d/%02d/%02d, Time: %02d:%02d\r\n",
                  localTime.tm_mon + 1, localTime.tm_mday, ((localTime.tm_year % 100) + 100) % 100,
                  localTime.tm_hour, localTime.tm_min);
    return text;
}

std::string logUnitLine(const std::string& target, engine::ProgramResult result) {
    return unitOutcomeText(target, result) + "\r\n";
}

std::string unitOutcomeText(const std::string& target, engine::ProgramResult result) {
    return "IP: " + target + " " + resultText(result);
}

std::string resultText(engine::ProgramResult result) {
    std::string outcome;
    if (result == engine::ResultProgrammed)
        outcome = "Successfully Programmed";
    else if (result.isUnconfirmed())
        outcome = "Status Unconfirmed";
    else if (result == engine::ResultSocketError)
        outcome = "Socket Error";
    else if (result == engine::ResultPrinterPortError)
        outcome = "Printer Port Error";
    else if (result == engine::ResultFileNotFound)
        outcome = "File Not Found";
    else if (result == engine::ResultFileTooLarge)
        outcome = "File Too Large";
    else if (result == engine::ResultVerifyError)
        outcome = "Verify Error";
    else if (result == engine::ResultWrongModel)
        outcome = "Incorrect Model Number";
    else
        outcome = "Failed to Program (Error #" + std::to_string(result.value()) + ")";
    return outcome;
}

std::string unitsUpdatedText(std::size_t unitsUpdated) {
    return std::to_string(unitsUpdated) + " Units Updated";
}

std::string logSummaryLine(std::size_t unitsUpdated) {
    return unitsUpdatedText(unitsUpdated) + "\r\n";
}

}  // namespace fleet
