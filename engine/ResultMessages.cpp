#include "engine/ResultMessages.h"

std::string singleResultMessage(ProgramResult result, const std::string& target) {
    if (result < 0)
        return "1 Unit Update Attempted, " + target + " Status Unconfirmed";
    switch (result) {
        case ResultProgrammed:
            return "1 Unit Updated\r\nIP: " + target + " Successfully Programmed";
        case ResultSocketError:
            return "IP: " + target + " Socket Error\r\n";
        case ResultPrinterPortError:
            return "IP: " + target + " Printer Port Error\r\n";
        case ResultFileNotFound:
            return "IP: " + target + " File Not Found\r\n";
        case ResultVerifyError:
            return "IP: " + target + " Verify Error\r\n";
        case ResultWrongModel:
            return "IP: " + target + " Incorrect Model Number\r\n";
        default:
            return "IP: " + target + " Failed to Program (Error #" + std::to_string(result) +
                   ")\r\n";
    }
}
