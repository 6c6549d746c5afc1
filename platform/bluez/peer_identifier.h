#pragma once

#include <string>
#include <string_view>

namespace merriphonic {

// The identifier this device gives a peer: a name-based (version 5) UUID of the local adapter's
// address and the peer's address, upper-case. The same pair always gives the same text, so a
// peer keeps its identifier across scans, connections and restarts; addresses are compared
// regardless of case.
std::string peerIdentifier(std::string_view localAddress, std::string_view peerAddress);

} // namespace merriphonic
