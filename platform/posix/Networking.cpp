#include "platform/Networking.h"

namespace platform {

bool startNetworking() {
    // POSIX sockets need no start-up.
    return true;
}

}  // namespace platform
