#include "engine/ProgramResult.h"

#include <limits>

ProgramResult resultFromStatus(std::int32_t status) {
    if (status == 0)
        return ResultProgrammed;
    if (status < 0)
        return ResultUnconfirmed;
    constexpr auto kMax = std::numeric_limits<ProgramResult>::max();
    return status > kMax - 100 ? kMax : status + 100;
}
