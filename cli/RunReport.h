#pragma once

#include "cli/CliContext.h"
#include "engine/JsonText.h"
#include "engine/UnitProgrammer.h"
#include "platform/DatagramSocket.h"

#include <cstdint>
#include <iosfwd>
#include <string>

namespace cli {

// The status port is bound before any unit is contacted: a second programming
// run on this computer must learn at once that it cannot hear its units'
// verdicts, not after it has put them into their boot loaders. False after
// telling why on stderr (and in JSON on stdout when json is set).
bool bindStatusPort(CliContext& context, std::uint16_t port, platform::DatagramSocket& socket,
                    bool json);
// The same report for a port that some other socket could not bind.
void reportStatusPortUnavailable(CliContext& context, std::uint16_t port, int error, bool json);

// The lines a run adds on stderr beside its result, each as "fwprog: " and
// prefix (e.g. the unit's address and ": "): an image refused for not being a
// regular file, an image that did not go out whole, a stop.
void reportRun(std::ostream& err, const engine::UnitRun& run, const std::string& imagePath,
               const std::string& prefix = {});

// Adds "bytes_delivered", "image_bytes", "status_datagrams" (null for a run
// that never waited for a verdict) and "stale_datagrams" (the unit's own
// status datagrams from before its image connection, never its verdict) to a
// run's JSON object.
void addRunJsonFields(nlohmann::ordered_json& object, const engine::UnitRun& run);

// The hint for a unit that ended "Status Unconfirmed" after a verdict wait in
// which not one datagram reached the status port, whoever from: the verdict
// was most likely stopped on its way in. Empty when it does not apply.
std::string quietStatusPortHint(const engine::UnitRun& run, std::uint16_t statusPort);
// The hint on stderr as "fwprog: " and prefix, when it applies.
void reportQuietStatusPort(std::ostream& err, const engine::UnitRun& run, std::uint16_t statusPort,
                           const std::string& prefix = {});

// "fwprog: ignored N status datagrams from other hosts" on stderr when N > 0.
void reportForeignDatagrams(std::ostream& err, std::uint64_t count);
// Says how many datagrams the computer itself threw away on the status port
// (its queue was full), when any were: verdicts among them never counted.
void reportDroppedDatagrams(std::ostream& err, std::uint64_t count, std::uint16_t port);

}  // namespace cli
