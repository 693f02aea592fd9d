#pragma once

#include <chrono>

namespace engine {

// Every pause, count and size of the programming sequence and the batch, in one
// place. Units were built against this schedule; only the verdict wait can be
// made longer (EngineOptions), for units that take longer to write their flash.
namespace timing {

using std::chrono::milliseconds;

inline constexpr milliseconds kDrainSleep{100};
// A sender that never pauses must not hold the drain: 10 receives, 1 s in all.
inline constexpr int kDrainMaxReceives = 10;
inline constexpr milliseconds kPauseBetweenBootLoaderWaits{2000};
inline constexpr int kBootLoaderProbeCounterStart = 10;  // tested before decrement: 11 probes
inline constexpr milliseconds kProbeReplySleep{1000};
inline constexpr std::size_t kProbeReplyBuffer = 1400;
inline constexpr milliseconds kPauseBeforeImageConnection{1000};
inline constexpr int kImageConnectionAttempts = 20;
// Once the image connection is open, the status datagrams that arrived before
// it are thrown away; a sender that never pauses holds that for at most this.
inline constexpr milliseconds kStaleDiscardLimit{200};
inline constexpr std::size_t kBlockSize = 1460;
inline constexpr int kVerdictReceives = 200;
inline constexpr milliseconds kVerdictSleep{100};
inline constexpr milliseconds kVerdictWait = kVerdictReceives * kVerdictSleep;  // about 20 s
inline constexpr std::size_t kStatusDatagramSize = 4;

inline constexpr milliseconds kPauseAfterConfirmedUnit{4000};  // batch

// Asking a unit who it is, for a batch's report (not part of the units' own
// schedule, and only done when a report is asked for): a query every second,
// its answer looked for every 100 ms; before the entry header for at most 2 s,
// after the verdict for the report's own limit.
inline constexpr milliseconds kIdentifyQueryInterval{1000};
inline constexpr milliseconds kIdentifyReceiveSleep{100};
inline constexpr milliseconds kIdentifyBeforeWait{2000};
inline constexpr milliseconds kIdentifyAfterWait{60000};

inline constexpr milliseconds kDiscoveryPause{5};
inline constexpr int kDiscoveryMaxReplies = 500;
inline constexpr std::size_t kDiscoveryReplyBuffer = 1000;

}  // namespace timing

}  // namespace engine
