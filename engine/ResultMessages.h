#pragma once

#include "engine/ProgramResult.h"

#include <string>

namespace engine {

// The message the Single command shows for a result, with the target it ran against.
std::string singleResultMessage(ProgramResult result, const std::string& target);

}  // namespace engine
