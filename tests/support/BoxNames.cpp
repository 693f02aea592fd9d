#include "tests/support/BoxNames.h"

#include <ostream>

namespace engine {

void PrintTo(BoxIcon icon, std::ostream* out) {
    *out << testing_support::iconName(icon);
}

void PrintTo(const BoxStyle& style, std::ostream* out) {
    *out << testing_support::iconName(style.icon);
    if (style.buttons == BoxButtons::OkCancel)
        *out << " with OK and Cancel";
}

void PrintTo(BoxAnswer answer, std::ostream* out) {
    *out << (answer == BoxAnswer::Ok ? "OK" : "Cancel");
}

}  // namespace engine

namespace testing_support {

const char* iconName(engine::BoxIcon icon) {
    switch (icon) {
        case engine::BoxIcon::None:
            return "no icon";
        case engine::BoxIcon::Stop:
            return "stop";
        case engine::BoxIcon::Question:
            return "question";
        case engine::BoxIcon::Exclamation:
            return "exclamation";
        case engine::BoxIcon::Information:
            return "information";
    }
    return "?";
}

}  // namespace testing_support
