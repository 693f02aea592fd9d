#include "platform/Networking.h"

#include "platform/win/Winsock.h"

namespace platform {

bool startNetworking() {
    return win::winsockStartError() == 0;
}

}  // namespace platform
