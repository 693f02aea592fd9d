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
    }
    return {};
}

}  // namespace platform
