#include "fleet/BatchCounts.h"

namespace fleet {

void BatchCounts::add(engine::ProgramResult result) {
    if (result.isProgrammed())
        ++programmed;
    else if (result.isUnconfirmed())
        ++unconfirmed;
    else
        ++failed;
}

std::string countsText(const BatchCounts& counts) {
    return std::to_string(counts.programmed) + " programmed, " + std::to_string(counts.failed) +
           " failed, " + std::to_string(counts.unconfirmed) + " unconfirmed";
}

}  // namespace fleet
