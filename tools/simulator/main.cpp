// doip-sim: runs the DoIP entity simulator until interrupted.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "cli_args.h"
#include "simulator.h"

namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) {
    g_stop = true;
}

const char* kUsage = R"(doip-sim: a DoIP (ISO 13400-2) entity simulator

Usage: doip-sim [options]

Listens for TCP_DATA connections and UDP_DISCOVERY datagrams on one port and answers routing activation,
diagnostic messages (ACK, then a UDS response from a small table), alive checks, entity status, power mode
and vehicle identification requests. Runs until interrupted (Ctrl-C).

Options (addresses and codes in hex, with or without 0x; counts and times in decimal):
  --bind ADDRESS           address to listen on (default 127.0.0.1)
  --port N                 TCP and UDP port (default 13400; 0: an ephemeral port, printed at start)
  --no-udp                 TCP only
  --logical-address HEX    the entity's logical address (default 0x0CE1)
  --ecu HEX                a further diagnostic target behind the entity (repeatable)
  --activation-code HEX    routing activation response code (default 0x10 = granted; e.g. 0x06 denies)
  --vin TEXT               the 17-character VIN (default WDOIPSIM000000001)
  --power-mode HEX         diagnostic power mode (default 0x01 ready)
  --max-sockets N          reported in the entity status, and the limit of activated sockets (default 16)
  --ack-echo N             bytes of the request echoed in the positive ACK (default 0)
  --quiet                  no event lines on standard error
Fault injection (TCP replies):
  --delay MS               wait before every reply
  --silent                 never reply
  --cut N                  cut every reply to N bytes (length field adjusted)
  --reply-version HEX      protocol version byte of replies
  --bad-inverse            wrong inverse protocol version byte in replies
  --garbage N              send N garbage bytes before every reply
  --close-mid-message      send half of the first reply, then close the connection
  --split N                send replies in TCP segments of N bytes

UDS table: 3E 00 -> 7E 00; 10 xx -> 50 xx 00 32 01 F4; 22 F1 90 -> 62 F1 90 + VIN; else 7F sid 11.

Examples:
  doip-sim                               # 127.0.0.1:13400, logical address 0x0CE1
  doip-sim --port 0 --activation-code 06 # deny every routing activation (unsupported type)
  doip-sim --split 1 --delay 100         # slow replies, one byte per TCP segment
)";

bool value_of(const std::vector<std::string>& args, size_t* i, std::string* value) {
    if (*i + 1 >= args.size()) {
        std::cerr << "doip-sim: " << args[*i] << " needs a value\n";
        return false;
    }
    *value = args[++*i];
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using doip_tools::parse_decimal;
    using doip_tools::parse_hex;
    doip_tools::SimulatorOptions options;
    options.port = 13400;
    bool quiet = false;
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string v;
        uint32_t n = 0;
        bool ok = true;
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (a == "--bind") {
            ok = value_of(args, &i, &options.bind_ip);
        } else if (a == "--port") {
            ok = value_of(args, &i, &v) && parse_decimal(v, 65535, &n);
            options.port = static_cast<uint16_t>(n);
        } else if (a == "--no-udp") {
            options.udp = false;
        } else if (a == "--logical-address") {
            ok = value_of(args, &i, &v) && parse_hex(v, 0xFFFF, &n);
            options.logical_address = static_cast<uint16_t>(n);
        } else if (a == "--ecu") {
            ok = value_of(args, &i, &v) && parse_hex(v, 0xFFFF, &n);
            options.extra_ecu_addresses.push_back(static_cast<uint16_t>(n));
        } else if (a == "--activation-code") {
            ok = value_of(args, &i, &v) && parse_hex(v, 0xFF, &n);
            options.activation_response_code = static_cast<uint8_t>(n);
        } else if (a == "--vin") {
            ok = value_of(args, &i, &options.vin) && options.vin.size() == 17;
        } else if (a == "--power-mode") {
            ok = value_of(args, &i, &v) && parse_hex(v, 0xFF, &n);
            options.power_mode = static_cast<uint8_t>(n);
        } else if (a == "--max-sockets") {
            ok = value_of(args, &i, &v) && parse_decimal(v, 255, &n);
            options.max_sockets = static_cast<uint8_t>(n);
        } else if (a == "--ack-echo") {
            ok = value_of(args, &i, &v) && parse_decimal(v, 4096, &options.ack_echo_bytes);
        } else if (a == "--quiet") {
            quiet = true;
        } else if (a == "--delay") {
            ok = value_of(args, &i, &v) && parse_decimal(v, 600000, &options.faults.reply_delay_ms);
        } else if (a == "--silent") {
            options.faults.silent = true;
        } else if (a == "--cut") {
            ok = value_of(args, &i, &v) && parse_decimal(v, 65535, &options.faults.cut_reply_to);
        } else if (a == "--reply-version") {
            ok = value_of(args, &i, &v) && parse_hex(v, 0xFF, &n);
            options.faults.reply_version = static_cast<int>(n);
        } else if (a == "--bad-inverse") {
            options.faults.bad_inverse_version = true;
        } else if (a == "--garbage") {
            ok = value_of(args, &i, &v) && parse_decimal(v, 65535, &options.faults.garbage_before_reply);
        } else if (a == "--close-mid-message") {
            options.faults.close_mid_message = true;
        } else if (a == "--split") {
            ok = value_of(args, &i, &v) && parse_decimal(v, 65535, &options.faults.split_segment_size);
        } else {
            std::cerr << "doip-sim: unknown option " << a << " (see --help)\n";
            return 2;
        }
        if (!ok) {
            std::cerr << "doip-sim: bad value for " << a << " (see --help)\n";
            return 2;
        }
    }
    if (!quiet) {
        options.log = [](const std::string& line) { std::cerr << "doip-sim: " << line << std::endl; };
    }
    doip_tools::Simulator simulator(options);
    std::string error;
    if (!simulator.start(&error)) {
        std::cerr << "doip-sim: cannot listen on " << options.bind_ip << ":" << options.port << ": " << error
                  << "\n";
        return 1;
    }
    std::cout << "doip-sim listening on " << options.bind_ip << ":" << simulator.port() << std::endl;
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    while (!g_stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    simulator.stop();
    return 0;
}
