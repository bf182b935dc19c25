// A private network for the simulator and the hosts it serves, so that the
// network search (multicast) never reaches this machine's real interfaces.
//
// enterPrivateNetwork() moves the calling process into a network namespace
// of its own (inside a user namespace of its own when it may not make one
// directly), with the loopback interface up and multicast routed through it.
// It must run before the process starts any thread. addVethPair() then makes
// a pair of virtual Ethernet interfaces in that namespace, up, with the
// addresses given.
#pragma once

#include <string>

namespace modsim
{

bool enterPrivateNetwork(std::string& error);

// `address` and `peerAddress` as "192.0.2.1/24"; an empty peer address
// leaves the peer without one (up all the same), so that a host that sends
// its search through every interface with an address sends it once.
bool addVethPair(const std::string& name, const std::string& address, const std::string& peer,
                 const std::string& peerAddress, std::string& error);

} // namespace modsim
