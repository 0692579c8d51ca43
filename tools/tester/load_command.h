// doip-tester load: many testers at once against one entity, each on its own connection and thread,
// sending a list of UDS requests in a loop; the figures at the end (load_report.h).
#ifndef DOIP_TOOLS_TESTER_LOAD_COMMAND_H
#define DOIP_TOOLS_TESTER_LOAD_COMMAND_H

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "commands.h"

namespace doip_tools {

// The socket layer keys a connection by a one-byte channel: one process holds at most this many.
constexpr uint32_t kMaxLoadConnections = 256;
// The first tester address of `load` when --source-address is not given; connection i takes this + i.
constexpr uint16_t kLoadFirstSource = 0x0E00;

struct LoadOptions {
    uint32_t connections = 8;
    uint32_t duration_s = 10;
    bool duration_given = false;  // with --count, the run also ends after --duration when given
    uint32_t count = 0;           // passes over the request list per connection; 0: for the duration
    uint32_t rate = 0;            // exchanges per second per connection; 0: as fast as the entity answers
    uint16_t first_source = kLoadFirstSource;
    std::string json_file;  // empty: no JSON
};

// Empty when the options can run, else what is wrong with them (a usage error).
std::string check_load_options(const LoadOptions& load);

// Runs the load and prints its progress (on a terminal) and the table. Exit code 0 when no error of any
// kind happened, 1 otherwise.
int run_load(const TesterOptions& options, const LoadOptions& load, const std::vector<UdsRequest>& requests,
             std::ostream& out);

}  // namespace doip_tools

#endif
