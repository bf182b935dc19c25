// The module's link level: what every module does on every link.
//
// - A sync request (0xAD, length 0) is answered on the link it came on with an
//   empty packet from the module's address.
// - Route on (0xAF, length 1, data [1]) makes the link it came on the one that
//   gets the module's own traffic: heartbeats now, streamed values and traffic
//   from behind a router at later levels. A module has one such link, so
//   route on from another link takes it over. Route off (data [0]) from that
//   link leaves the module with none; from any other link it changes nothing.
//   With the route off the module sends nothing of its own accord, but it
//   still answers every request on the link the request came on: a host must
//   be able to sync (ask the module its address) before it routes, and
//   clients that may not route (the device server refuses their route
//   packets) still get their replies.
// - While a link has the route, a heartbeat (the module's address, length 2,
//   data [0, v]) goes out on it every heartbeat interval; bit 0 of v is the
//   direction (1 down, 0 up), alternating from down unless configured. The
//   host answers [0, v + 2]. A heartbeat still unanswered when the next one is
//   due counts as unanswered ("heartbeat-missed").
#pragma once

#include "ModuleCore.h"

namespace modsim
{

void installLinkLevel(ModuleCore& module);

} // namespace modsim
