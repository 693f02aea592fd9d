#include "engine/ResultMessages.h"

namespace engine {

std::string singleResultMessage(ProgramResult result, const std::string& target) {
    if (result.isUnconfirmed())
        return "1 Unit Update Attempted, " + target + " Status Unconfirmed";
    switch (result.value()) {
        case ResultProgrammed.value():
            return "1 Unit Updated\r\nIP: " + target + " Successfully Programmed";
        case ResultSocketError.value():
            return "IP: " + target + " Socket Error\r\n";
        case ResultPrinterPortError.value():
            return "IP: " + target + " Printer Port Error\r\n";
        case ResultFileNotFound.value():
            return "IP: " + target + " File Not Found\r\n";
        case ResultVerifyError.value():
            return "IP: " + target + " Verify Error\r\n";
        case ResultWrongModel.value():
            return "IP: " + target + " Incorrect Model Number\r\n";
        default:
            return "IP: " + target + " Failed to Program (Error #" +
                   std::to_string(result.value()) + ")\r\n";
    }
}

}  // namespace engine
