#include "engine/Operator.h"

namespace engine {

const char* phaseName(UnitPhase phase) {
    switch (phase) {
        case UnitPhase::Preparing:
            return "preparing";
        case UnitPhase::BootLoaderEntry:
            return "entering boot loader";
        case UnitPhase::Draining:
            return "draining";
        case UnitPhase::BootLoaderWait:
            return "waiting for boot loader";
        case UnitPhase::ImageConnection:
            return "connecting";
        case UnitPhase::Streaming:
            return "streaming";
        case UnitPhase::VerdictWait:
            return "waiting for verdict";
        case UnitPhase::Finished:
            return "finished";
    }
    return "?";
}

}  // namespace engine
