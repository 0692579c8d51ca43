// doip-tester: a DoIP tester on the command line, built on libdoip and the reference socket layer.
#include <iostream>
#include <string>
#include <vector>

#include "cli_args.h"
#include "commands.h"
#include "describe.h"
#include "net.h"

namespace {

const char* kUsage = R"(doip-tester: a DoIP (ISO 13400-2) tester built on libdoip

Usage: doip-tester COMMAND [options]

Commands:
  demo                 start the entity simulator in-process on an ephemeral 127.0.0.1 port and walk through
                       discovery, routing activation, UDS requests, entity status, power mode and a protocol
                       timer, printing every message decoded with its round-trip time
  activate             open a TCP connection and activate routing
  uds HEX [HEX ...]    activate routing, then send each UDS request (e.g. 22F190 or "22 F1 90") and print the
                       acknowledgement and the response (negative responses decoded with their NRC name)
  discover             vehicle identification request over UDP (plain, --eid or --vin)
  status               entity status and diagnostic power mode (over UDP; --tcp: on a TCP connection)

Options (addresses and codes in hex, with or without 0x; times in milliseconds):
  --host ADDRESS           the entity's IPv4 address (default 127.0.0.1; discover: a broadcast address works)
  --port N                 the entity's port (default 13400)
  --local-address ADDRESS  the tester's address to bind (default: any)
  --source-address HEX     the tester's logical address (default 0x0EF5)
  --target-address HEX     the ECU's logical address for diagnostic messages (default 0x0CE1)
  --activation-type HEX    routing activation type (default 0x00; 0x01 WWH-OBD, 0xE0 central security)
  --oem on|off|HEX         the OEM-specific field of the routing activation request (default on, value 0)
  --protocol-version HEX   protocol version of every header (default 0x02; 0x03 for ISO 13400-2:2019)
  --timeout MS             wait for the activation response, an acknowledgement, a response (default 2000)
  --pending MS             further wait after a response-pending answer, NRC 0x78 (default 5000)
  --connect-timeout MS     TCP connect timeout (default 2000)
  --channel N              the connection's channel number (default 1)
  --eid HEX                discover: the 6-byte EID to ask for
  --vin TEXT               discover: the 17-character VIN to ask for
  --tcp                    status: ask on a TCP connection after routing activation
  -h, --help               this text

Exit status: 0 success, 1 failure (the error is printed), 2 usage error, 3 negative UDS response.

Examples:
  doip-tester demo
  doip-tester activate --host 192.168.0.10 --source-address 0E80 --activation-type 0 --oem off
  doip-tester uds 22F190 3E00 --host 192.168.0.10 --target-address 1001
  doip-tester discover --host 255.255.255.255
  doip-tester discover --host 192.168.0.10 --vin WDOIPSIM000000001
  doip-tester status --host 192.168.0.10
)";

int usage_error(const std::string& text) {
    std::cerr << "doip-tester: " << text << " (see --help)\n";
    return doip_tools::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace doip_tools;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::cerr << kUsage;
        return kExitUsage;
    }
    TesterOptions options;
    DiscoverOptions discover;
    bool via_tcp = false;
    std::string command;
    std::vector<std::vector<uint8_t>> uds_requests;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            std::cout << kUsage;
            return kExitOk;
        }
        if (a.rfind("--", 0) != 0) {
            if (command.empty()) {
                command = a;
                continue;
            }
            std::vector<uint8_t> uds;
            if (command != "uds" || !parse_hex_bytes(a, &uds)) {
                return usage_error("unexpected argument " + a);
            }
            uds_requests.push_back(uds);
            continue;
        }
        if (a == "--tcp") {
            via_tcp = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            return usage_error(a + " needs a value");
        }
        const std::string v = args[++i];
        uint32_t n = 0;
        bool ok = true;
        if (a == "--host") {
            options.host = v;
            ok = net::is_ipv4(v);
        } else if (a == "--port") {
            ok = parse_decimal(v, 65535, &n) && n != 0;
            options.port = static_cast<uint16_t>(n);
        } else if (a == "--local-address") {
            options.local_address = v;
            ok = net::is_ipv4(v);
        } else if (a == "--source-address") {
            ok = parse_hex(v, 0xFFFF, &n);
            options.source_address = static_cast<uint16_t>(n);
        } else if (a == "--target-address") {
            ok = parse_hex(v, 0xFFFF, &n);
            options.target_address = static_cast<uint16_t>(n);
        } else if (a == "--activation-type") {
            ok = parse_hex(v, 0xFF, &n);
            options.activation_type = static_cast<uint8_t>(n);
        } else if (a == "--oem") {
            if (v == "on") {
                options.oem_present = true;
            } else if (v == "off") {
                options.oem_present = false;
            } else {
                options.oem_present = true;
                ok = parse_hex(v, 0xFFFFFFFFu, &options.oem_value);
            }
        } else if (a == "--protocol-version") {
            ok = parse_hex(v, 0xFF, &n);
            options.protocol_version = static_cast<uint8_t>(n);
        } else if (a == "--timeout") {
            ok = parse_decimal(v, 3600000, &options.timeout_ms);
        } else if (a == "--pending") {
            ok = parse_decimal(v, 3600000, &options.pending_ms);
        } else if (a == "--connect-timeout") {
            ok = parse_decimal(v, 3600000, &options.connect_timeout_ms);
        } else if (a == "--channel") {
            ok = parse_decimal(v, 255, &n);
            options.channel = static_cast<uint8_t>(n);
        } else if (a == "--eid") {
            ok = parse_hex_bytes(v, &discover.eid) && discover.eid.size() == 6;
        } else if (a == "--vin") {
            discover.vin = v;
            ok = v.size() == 17;
        } else {
            return usage_error("unknown option " + a);
        }
        if (!ok) {
            return usage_error("bad value for " + a + ": " + v);
        }
    }
    if (!net::startup()) {
        std::cerr << "doip-tester: the socket library cannot start\n";
        return kExitFailure;
    }
    int rc;
    if (command == "demo") {
        rc = run_demo(options, std::cout);
    } else if (command == "activate") {
        rc = run_activate(options, std::cout);
    } else if (command == "uds") {
        if (uds_requests.empty()) {
            return usage_error("uds needs at least one request in hex");
        }
        rc = run_uds(options, uds_requests, std::cout);
    } else if (command == "discover") {
        rc = run_discover(options, discover, std::cout);
    } else if (command == "status") {
        rc = run_status(options, via_tcp, std::cout);
    } else if (command.empty()) {
        return usage_error("no command");
    } else {
        return usage_error("unknown command " + command);
    }
    if (rc == kExitFailure) {
        std::cerr << "doip-tester: " << command << " failed\n";
    }
    return rc;
}
