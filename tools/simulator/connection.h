// One TCP connection to the simulator. The server reads and writes its socket, the entity keeps its routing
// state, the fault injection may cut it; all on the connection's own thread.
#ifndef DOIP_TOOLS_SIMULATOR_CONNECTION_H
#define DOIP_TOOLS_SIMULATOR_CONNECTION_H

#include <cstdint>
#include <string>

#include "net.h"

namespace doip_tools {

struct Connection {
    net::Handle handle = net::kInvalid;
    std::string name;  // the peer's address:port, for log lines
    bool activated = false;
    uint16_t tester_address = 0;     // the source address routing was activated for
    bool close_after_reply = false;  // the entity ends the connection once its replies are out
    bool cut_off = false;            // the fault injection ended it in the middle of a reply
};

}  // namespace doip_tools

#endif
