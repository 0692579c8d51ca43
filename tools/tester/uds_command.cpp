// doip-tester uds: routing activation, then the UDS requests one after the other.
#include "commands.h"

#include "describe.h"
#include "formatting.h"

namespace doip_tools {

int run_uds(const TesterOptions& options, const std::vector<std::vector<uint8_t>>& requests,
            std::ostream& out) {
    Session session(options);
    if (!activate_routing(session, out)) {
        return kExitFailure;
    }
    int worst = kExitOk;
    for (const auto& uds : requests) {
        out << "UDS " << hex_bytes(uds) << " to " << hex16(options.target_address) << "\n";
        const int rc = print_uds_exchange(session.uds(uds), out);
        print_log_lines(out);
        if (rc == kExitFailure) {
            return rc;
        }
        if (rc != kExitOk) {
            worst = rc;
        }
    }
    return worst;
}

}  // namespace doip_tools
