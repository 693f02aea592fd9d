#include "platform/OutputFile.h"

#include "platform/ErrorText.h"

namespace platform {

std::string OutputFailure::reason() const {
    switch (kind) {
        case Kind::None:
        case Kind::InUse:
            return {};
        case Kind::System:
            return systemErrorText(error);
        case Kind::SymbolicLink:
            return "It is a symbolic link; files are never written through one.\n";
        case Kind::NotRegularFile:
            return "It is " + fileType + ", not a regular file; only regular files are written.\n";
        case Kind::HardLinked:
            return "It has " + std::to_string(links) +
                   " hard links (names for the same file); a file with other names is never "
                   "written, as that would change it under those names too.\n";
    }
    return {};
}

}  // namespace platform
