#pragma once

#include "engine/Operator.h"

#include <iosfwd>

// Message boxes by name in tests' expectations and failure output: "stop",
// "information", "question with OK and Cancel".
namespace engine {
void PrintTo(BoxIcon icon, std::ostream* out);
void PrintTo(const BoxStyle& style, std::ostream* out);
void PrintTo(BoxAnswer answer, std::ostream* out);
}  // namespace engine

namespace testing_support {
const char* iconName(engine::BoxIcon icon);
}  // namespace testing_support
