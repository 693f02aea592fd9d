#pragma once

#include "fleet/UnitBroadcast.h"

#include <iosfwd>

namespace cli {

// One stderr line for each interface a broadcast could not go out of, with the
// system's reason: "fwprog: the query did not go out of eth1: Network is down".
// The window says nothing of these while another interface carried the datagram;
// here the operator sees which network was left out.
void printBroadcastNotes(std::ostream& err, const char* what, const fleet::BroadcastReport& report);

}  // namespace cli
