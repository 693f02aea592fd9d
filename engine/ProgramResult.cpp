#include "engine/ProgramResult.h"

#include <limits>
#include <ostream>

namespace engine {

ProgramResult resultFromStatus(std::int32_t status) {
    if (status == 0)
        return ResultProgrammed;
    if (status < 0)
        return ResultUnconfirmed;
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    return ProgramResult(status > kMax - 100 ? kMax : status + 100);
}

std::ostream& operator<<(std::ostream& out, ProgramResult result) {
    return out << result.value();
}

}  // namespace engine
