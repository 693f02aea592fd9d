#pragma once

#include "engine/ProgramResult.h"

#include <cstddef>
#include <string>

namespace fleet {

// How the units a batch tried ended; together they make the summary's count.
struct BatchCounts {
    std::size_t programmed = 0;
    // This host could not program the unit (1 to 99), or the unit refused the
    // image (its own verdict, 100 on).
    std::size_t failed = 0;
    std::size_t unconfirmed = 0;

    void add(engine::ProgramResult result);
    std::size_t total() const { return programmed + failed + unconfirmed; }
    bool allProgrammed() const { return failed == 0 && unconfirmed == 0; }
};

// "2 programmed, 1 failed, 0 unconfirmed": the line under the summary.
std::string countsText(const BatchCounts& counts);

}  // namespace fleet
