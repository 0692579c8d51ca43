// The doip-tester subcommands. Each prints what it does to `out` and returns the process exit code:
// 0 success, 1 failure (the error text is printed), 3 a negative UDS response.
#ifndef DOIP_TOOLS_TESTER_COMMANDS_H
#define DOIP_TOOLS_TESTER_COMMANDS_H

#include <ostream>
#include <string>
#include <vector>

#include "session.h"

namespace doip_tools {

enum { kExitOk = 0, kExitFailure = 1, kExitUsage = 2, kExitNegativeResponse = 3 };

struct DiscoverOptions {
    std::vector<uint8_t> eid;  // 6 bytes: ask with EID (0x0002)
    std::string vin;           // 17 characters: ask with VIN (0x0003)
    bool listen = false;       // wait for vehicle announcements instead of asking
    int wait_ms = -1;          // how long to collect answers; -1: A_DoIP_Ctrl (2000 ms)
};

// The header-only requests of `status` and the responses they expect: entity status, then power mode.
extern const uint16_t kStatusRequests[2][2];
// One request of `uds`: its UDS bytes and, when written "1001:22F190", the ECU it goes to.
struct UdsRequest {
    std::vector<uint8_t> uds;
    bool has_target = false;  // without one: the functional address, else options.target_address
    uint16_t target = 0;
};

// "22F190", "22 F1 90", "1001:22F190", "1001: 22 F1 90", "0x1001:22F190": a target is four hex digits
// (or 0x and one to four) before the first colon. False when the text is not a request.
bool parse_uds_request(const std::string& text, UdsRequest* out);

struct UdsOptions {
    bool functional = false;  // requests without a target go to functional_address
    uint16_t functional_address = 0;
    bool reconnect = false;  // reopen and re-activate a connection the entity closed
    uint32_t reconnect_tries = 5;
};

int run_activate(const TesterOptions& options, std::ostream& out);
int run_uds(const TesterOptions& options, const UdsOptions& uds_options,
            const std::vector<UdsRequest>& requests, std::ostream& out);
int run_discover(const TesterOptions& options, const DiscoverOptions& discover, std::ostream& out);
int run_status(const TesterOptions& options, bool via_tcp, std::ostream& out);
// status --tcp: the same questions on a TCP connection after routing activation.
int run_status_over_tcp(const TesterOptions& options, std::ostream& out);
// Starts the simulator in-process on an ephemeral loopback port and walks through the library.
int run_demo(const TesterOptions& options, std::ostream& out);

// A routing activation on the session, timed: prints the log lines it caused and the entity's response, and
// returns the result with its duration.
struct ActivationRun {
    int result;
    double ms;
};
ActivationRun show_activation(Session& session, std::ostream& out);
// Activates routing on the session and prints the request, the log lines and the outcome. True when
// routing is active.
bool activate_routing(Session& session, std::ostream& out);

// Prints the log lines collected since the last call, indented.
void print_log_lines(std::ostream& out, const char* indent = "    ");
// Prints a UDS exchange (request, acknowledgement, response) and returns its exit code.
int print_uds_exchange(const UdsExchange& x, std::ostream& out, const char* indent = "    ");

}  // namespace doip_tools

#endif
