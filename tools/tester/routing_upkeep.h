// Keeping routing active on a tester's connection: reopening it after the entity closed it (an ECU reset, a
// gateway restart) and learning the entity's limit on a request's size. Shared by uds and flash.
#ifndef DOIP_TOOLS_TESTER_ROUTING_UPKEEP_H
#define DOIP_TOOLS_TESTER_ROUTING_UPKEEP_H

#include <cstdint>
#include <ostream>

#include "session.h"

namespace doip_tools {

// Closes the session's connection, then reopens it and activates routing, up to `tries` times: first after
// 100 ms, each further attempt after twice the wait before, up to 2 s. Prints each attempt on the line the
// caller began (with why); the activation's lines when it fails or with --verbose. True when routing is
// active again. The caller's thread.
bool reconnect_with_backoff(Session& session, uint32_t tries, std::ostream& out);

// The max data size of the entity's status (asked on the session's connection, waited for at most 1 s);
// 0 when the entity does not say. With --verbose prints the answer or its absence.
uint32_t ask_max_data_size(Session& session, std::ostream& out);

}  // namespace doip_tools

#endif
