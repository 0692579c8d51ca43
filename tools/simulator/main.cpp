// doip-sim: runs the DoIP entity simulator until interrupted.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "arguments.h"
#include "certificates.h"
#include "net.h"
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

As an ISO 13400-2 entity it also
  - closes the socket after a routing activation denied with code 0x00, 0x01, 0x02, 0x03, 0x05 or 0x06;
  - sends alive check requests when a tester activates a source address active on another socket (that
    socket answers: code 0x03; it stays silent: it is closed and the newcomer activated) or when every
    socket is active (the silent ones are closed; if all answer: code 0x01);
  - closes a socket without routing activation after T_TCP_Initial_Inactivity and an activated socket
    without a message for T_TCP_General_Inactivity;
  - refuses (closes at once and logs) a connection beyond --max-connections or one it cannot start a
    thread for, and while accepting fails (out of descriptors, ...) tries again every 100 ms;
  - announces itself after start: 3 vehicle announcements (0x0004) 500 ms apart after a random wait of up
    to 500 ms, over UDP from its port; it never answers announcements and generic NACKs on UDP.

Options (addresses and codes in hex, with or without 0x; counts and times in decimal):
  --bind ADDRESS           address to listen on (default 127.0.0.1)
  --port N                 TCP and UDP port (default 13400; 0: an ephemeral port, printed at start)
  --no-udp                 TCP only (and no announcements)
  --logical-address HEX    the entity's logical address (default 0x0CE1)
  --ecu HEX                a further diagnostic target behind the entity (repeatable)
  --functional-address HEX functional logical address: every target answers (default 0xE400)
  --activation-code HEX    routing activation response code (default 0x10 = granted; e.g. 0x06 denies)
  --vin TEXT               the 17-character VIN (default WDOIPSIM000000001)
  --power-mode HEX         diagnostic power mode (default 0x01 ready)
  --max-sockets N          the limit of activated sockets (default 256), reported in the entity status
                           (255 at most there)
  --ack-echo N             bytes of the request echoed in the positive ACK (default 0)
  --close-after-reset      close the connection after the answer to an ECU reset (11 xx)
  --alive-check-timeout MS A_DoIP_Ctrl, the wait for alive check responses (default 2000)
  --initial-inactivity MS  T_TCP_Initial_Inactivity (default 2000)
  --general-inactivity MS  T_TCP_General_Inactivity (default 300000)
  --read-timeout MS        close a connection whose message (even half a header) is not whole MS after
                           its first byte, or that takes nothing of a reply for MS (default 2000; 0: no
                           limit)
  --max-connections N      TCP connections served at once (default 512); one more is closed at once
  --no-announce            no vehicle announcements
  --announce-address ADDR  where announcements go (default: the broadcast address of --bind:
                           127.255.255.255 for 127.x, 255.255.255.255 for 0.0.0.0, else x.y.z.255 as if
                           the network were a /24)
  --announce-port N        the port announcements go to (default 13400)
  --quiet                  no event lines on standard error
Secure DoIP (TCP_DATA over TLS 1.2/1.3, beside the plain port; UDP stays plain):
  --tls                    serve TLS too, on port 3496 unless --tls-port says otherwise; needs --cert and
                           --key
  --tls-port N             the TLS port (0: an ephemeral port, printed at start); implies --tls
  --cert FILE              the entity's certificate (PEM, the chain may follow it)
  --key FILE               its private key (PEM)
  --client-ca FILE         require a client certificate issued by a CA of FILE (mutual TLS)
  --keylog FILE            append the session keys to FILE (NSS key log format, for Wireshark)
  --require-tls            deny routing activation type 0xE0 (central security) on a plain connection
                           with code 0x07 (the socket stays open); on a TLS connection it is served
  --tls-null-cipher        offer authentication-only (NULL encryption) suites too (TLS 1.2 only)
  --make-certs DIR         write a throw-away CA and certificates into DIR (ca.pem, entity.pem/.key for
                           the --bind address, 127.0.0.1 for 0.0.0.0, and "localhost"; tester.pem/.key,
                           ...) and exit; not for a real vehicle
Fault injection (TCP replies):
  --delay MS               wait before every reply
  --silent                 never reply
  --cut N                  cut every reply to N bytes (length field adjusted when N >= 8)
  --reply-version HEX      protocol version byte of replies
  --bad-inverse            wrong inverse protocol version byte in replies
  --garbage N              send N garbage bytes before every reply
  --close-mid-message      send half of the first reply, then close the connection
  --split N                send replies in TCP segments of N bytes
  --unsolicited-burst N    after granting routing, send N diagnostic messages nobody asked for (62 F2 00
                           and a counter, from the entity to the tester) in one write
Flashable ECU (at --logical-address; its services come before the UDS table there):
  --flash-memory SIZE      its memory in bytes, or with K or M (1024, 1048576); 256M at most. It answers
                           10 01/02/03, 11 01, 27 (seed, key), 31 01 FF00 (erase), 31 01 FF01 (check the
                           CRC-32 of what was written), 34, 36 and 37 in a programming sequence's order
  --flash-address HEX      the address of its first byte (default 0)
  --flash-out FILE         write the whole memory to FILE after each transfer exit and at the end
  --flash-latency MS       answer each TransferData MS later (default 0)
  --flash-block-length N   maxNumberOfBlockLength, SID and counter included (default 4098; 3 to 1048578);
                           the max request size is raised to fit it
  --flash-security-level HEX
                           the requestSeed sub-function (odd, 01 to 7D, default 01); the key is
                           ((seed XOR A5C30F96) + 12345678) mod 2^32, as doip-sim-key prints it
  --flash-lose-response BLOCK
                           write TransferData block BLOCK (counted from 1 over every TransferData) but
                           send no response to it
  --flash-counter-error BLOCK
                           answer block BLOCK with NRC 0x73 (wrongBlockSequenceCounter)
  --flash-program-error BLOCK
                           answer block BLOCK with NRC 0x72 (generalProgrammingFailure)
  --flash-drop-at BLOCK    close the connection at block BLOCK (after its ACK, without writing it)
  --flash-erase-pending MS answer each erase with 7F 31 78 (response pending) every second for MS first

UDS table, for the entity's own logical address and each --ecu alike:
  3E 00     -> 7E 00
  10 xx     -> 50 xx 00 32 01 F4
  11 xx     -> 51 xx
  31 01 02 00 ... -> 71 01 02 00 ... (the echo routine 0x0200 returns its option record)
  22 F1 90  -> 62 F1 90 + the target's VIN: the entity's own VIN for its logical address; for an --ecu the
               VIN with its last four characters replaced by the ECU's address (1001 -> WDOIPSIM000001001)
  22 F1 8C  -> 62 F1 8C + "SN" and the target's address in hex ("SN0CE1", "SN1001")
  else      -> 7F sid 11
The suppress-positive-response bit (xx >= 0x80) suppresses the answer. To the functional address, one
positive ACK from it, then the answer of every target in address order, without NRC 0x11, 0x12, 0x31,
0x7E and 0x7F.

Examples:
  doip-sim                               # 127.0.0.1:13400, logical address 0x0CE1
  doip-sim --port 0 --activation-code 06 # deny every routing activation (unsupported type)
  doip-sim --ecu 1001 --ecu 1002         # three targets, each with its own VIN and serial number
  doip-sim --split 1 --delay 100         # slow replies, one byte per TCP segment
  doip-sim --flash-memory 16M --flash-out image.bin  # a flashable ECU; the image lands in image.bin
  doip-sim --make-certs certs            # then:
  doip-sim --tls --cert certs/entity.pem --key certs/entity.key --require-tls
)";

constexpr uint32_t kMaxTimerMs = 3600000;

// What the command line asks for besides the simulator's options.
struct Extras {
    bool quiet = false;
    std::string make_certs;  // the directory of --make-certs
    std::string tls_only;    // the first option seen that means nothing without --tls
    std::string flash_only;  // the first option seen that means nothing without --flash-memory
};

constexpr uint32_t kMaxFlashMemory = 256u << 20;
constexpr uint32_t kMaxBlockLength = (1u << 20) + 2;

// A memory size: decimal bytes, or kibibytes and mebibytes with K or M.
bool parse_memory_size(const std::string& text, uint32_t* out) {
    const char unit = text.empty() ? '\0' : text.back();
    const uint32_t scale = unit == 'K' || unit == 'k' ? 1u << 10 : unit == 'M' || unit == 'm' ? 1u << 20 : 1;
    uint32_t n = 0;
    if (!doip_tools::parse_decimal(scale == 1 ? text : text.substr(0, text.size() - 1),
                                   kMaxFlashMemory / scale, &n) ||
        n == 0) {
        return false;
    }
    *out = n * scale;
    return true;
}

// A --flash-* option other than --flash-memory, which `alone` (a table of that option only) parses.
doip_tools::OptionTable::Apply flash_option(const char* name, Extras& extras, doip_tools::OptionTable alone) {
    return [name, &extras, alone](const std::string& v) {
        extras.flash_only = extras.flash_only.empty() ? name : extras.flash_only;
        return alone.parse({name, v}).status == doip_tools::OptionTable::Status::ok;
    };
}

// A text option that only TLS uses.
doip_tools::OptionTable::Apply tls_text(const char* name, std::string* out, Extras& extras) {
    return [name, out, &extras](const std::string& v) {
        *out = v;
        extras.tls_only = extras.tls_only.empty() ? name : extras.tls_only;
        return !v.empty();
    };
}

// The options, applied to `options` (and `extras`) as they are parsed.
doip_tools::OptionTable option_table(doip_tools::SimulatorOptions& options, Extras& extras) {
    doip_tools::SimulatorFaults& faults = options.faults;
    doip_tools::SimulatorTls& tls = options.tls;
    const auto tls_flag = [&extras](const char* name, bool* out) {
        return [name, out, &extras] {
            *out = true;
            extras.tls_only = extras.tls_only.empty() ? name : extras.tls_only;
        };
    };
    doip_tools::OptionTable table;
    table.text("--bind", &options.bind_ip)
        .decimal("--port", 65535, &options.port)
        .flag("--no-udp", [&] { options.udp = false; })
        .hex("--logical-address", 0xFFFF, &options.logical_address)
        .value("--ecu",
               [&](const std::string& v) {
                   uint32_t n = 0;
                   const bool ok = doip_tools::parse_hex(v, 0xFFFF, &n);
                   options.extra_ecu_addresses.push_back(static_cast<uint16_t>(n));
                   return ok;
               })
        .hex("--activation-code", 0xFF, &options.activation_response_code)
        .text("--vin", &options.vin, [](const std::string& v) { return v.size() == 17; })
        .hex("--power-mode", 0xFF, &options.power_mode)
        .decimal("--max-sockets", 65535, &options.max_sockets)
        .decimal("--ack-echo", 4096, &options.ack_echo_bytes)
        .hex("--functional-address", 0xFFFF, &options.functional_address)
        .flag("--close-after-reset", [&] { options.close_after_reset = true; })
        .decimal("--alive-check-timeout", kMaxTimerMs, &options.alive_check_timeout_ms)
        .decimal("--initial-inactivity", kMaxTimerMs, &options.initial_inactivity_ms)
        .decimal("--general-inactivity", kMaxTimerMs, &options.general_inactivity_ms)
        .decimal("--read-timeout", kMaxTimerMs, &options.read_timeout_ms)
        .decimal("--max-connections", 65535, &options.max_connections, 1)
        .flag("--no-announce", [&] { options.announce = false; })
        .text("--announce-address", &options.announce_address,
              [](const std::string& v) { return doip_tools::net::is_ipv4(v); })
        .decimal("--announce-port", 65535, &options.announce_port)
        .flag("--quiet", [&] { extras.quiet = true; })
        .flag("--tls", [&] { tls.enabled = true; })
        .value("--tls-port",
               [&](const std::string& v) {
                   uint32_t n = 0;
                   tls.enabled = true;
                   const bool ok = doip_tools::parse_decimal(v, 65535, &n);
                   tls.port = static_cast<uint16_t>(n);
                   return ok;
               })
        .value("--cert", tls_text("--cert", &tls.cert_file, extras))
        .value("--key", tls_text("--key", &tls.key_file, extras))
        .value("--client-ca", tls_text("--client-ca", &tls.client_ca_file, extras))
        .value("--keylog", tls_text("--keylog", &tls.keylog_file, extras))
        .flag("--require-tls", tls_flag("--require-tls", &tls.require_tls))
        .flag("--tls-null-cipher", tls_flag("--tls-null-cipher", &tls.allow_null_cipher))
        .text("--make-certs", &extras.make_certs, [](const std::string& v) { return !v.empty(); })
        .decimal("--delay", 600000, &faults.reply_delay_ms)
        .flag("--silent", [&] { faults.silent = true; })
        .decimal("--cut", 65535, &faults.cut_reply_to)
        .hex("--reply-version", 0xFF, &faults.reply_version)
        .flag("--bad-inverse", [&] { faults.bad_inverse_version = true; })
        .decimal("--garbage", 65535, &faults.garbage_before_reply)
        .flag("--close-mid-message", [&] { faults.close_mid_message = true; })
        .decimal("--split", 65535, &faults.split_segment_size)
        .decimal("--unsolicited-burst", 1000000, &faults.unsolicited_burst);
    doip_tools::FlashEcuOptions& flash = options.flash;
    using doip_tools::OptionTable;
    const auto flash_decimal = [&](const char* name, uint32_t min, uint32_t max, uint32_t* out) {
        table.value(name, flash_option(name, extras, OptionTable().decimal(name, max, out, min)));
    };
    table
        .value("--flash-memory",
               [&](const std::string& v) { return parse_memory_size(v, &flash.memory_size); })
        .value("--flash-address",
               flash_option("--flash-address", extras,
                            OptionTable().hex("--flash-address", 0xFFFFFFFFu, &flash.memory_address)))
        .value("--flash-out",
               flash_option("--flash-out", extras,
                            OptionTable().text("--flash-out", &flash.out_file,
                                               [](const std::string& v) { return !v.empty(); })))
        .value("--flash-security-level",
               flash_option("--flash-security-level", extras,
                            OptionTable().value("--flash-security-level", [&](const std::string& v) {
                                uint32_t n = 0;
                                if (!doip_tools::parse_hex(v, 0x7D, &n) || n % 2 == 0) {
                                    return false;
                                }
                                flash.security_level = static_cast<uint8_t>(n);
                                return true;
                            })));
    flash_decimal("--flash-latency", 0, kMaxTimerMs, &flash.latency_ms);
    flash_decimal("--flash-block-length", 3, kMaxBlockLength, &flash.max_block_length);
    flash_decimal("--flash-erase-pending", 0, kMaxTimerMs, &flash.erase_pending_ms);
    flash_decimal("--flash-lose-response", 1, 0xFFFFFFFFu, &flash.lose_response_at_block);
    flash_decimal("--flash-counter-error", 1, 0xFFFFFFFFu, &flash.counter_error_at_block);
    flash_decimal("--flash-program-error", 1, 0xFFFFFFFFu, &flash.program_error_at_block);
    flash_decimal("--flash-drop-at", 1, 0xFFFFFFFFu, &flash.drop_at_block);
    return table;
}

// --make-certs: the exit code.
int make_certificates(const std::string& dir, const std::string& bind_ip) {
    std::string error;
    // An entity bound to every address gets a certificate for loopback.
    const std::string ip = bind_ip.empty() || bind_ip == "0.0.0.0" ? "127.0.0.1" : bind_ip;
    if (!doip_tools::tls::make_certificates(dir, ip, "localhost", &error)) {
        std::cerr << "doip-sim: cannot make certificates in " << dir << ": " << error << "\n";
        return 1;
    }
    const doip_tools::tls::CertificateFiles files;
    std::cout << "doip-sim: throw-away certificates for " << ip << " and localhost, in " << dir << ":\n";
    for (const std::string* name :
         {&files.ca, &files.entity, &files.entity_key, &files.tester, &files.tester_key, &files.expired,
          &files.expired_key, &files.other_address, &files.other_address_key, &files.stranger,
          &files.stranger_key, &files.stranger_ca}) {
        std::cout << "  " << *name << "\n";
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    using Status = doip_tools::OptionTable::Status;
    doip_tools::SimulatorOptions options;
    options.port = 13400;
    options.tls.port = 3496;
    options.announce = true;
    Extras extras;
    const doip_tools::OptionTable::Result parsed =
        option_table(options, extras).parse(std::vector<std::string>(argv + 1, argv + argc));
    switch (parsed.status) {
        case Status::ok:
            break;
        case Status::help:
            std::cout << kUsage;
            return 0;
        case Status::missing_value:
            std::cerr << "doip-sim: " << parsed.argument << " needs a value (see --help)\n";
            return 2;
        case Status::bad_value:
            std::cerr << "doip-sim: bad value for " << parsed.argument << " (see --help)\n";
            return 2;
        default:
            std::cerr << "doip-sim: unknown option " << parsed.argument << " (see --help)\n";
            return 2;
    }
    if (!extras.make_certs.empty()) {
        return make_certificates(extras.make_certs, options.bind_ip);
    }
    if (!options.tls.enabled && !extras.tls_only.empty()) {
        std::cerr << "doip-sim: " << extras.tls_only << " needs --tls (see --help)\n";
        return 2;
    }
    if (options.flash.memory_size == 0 && !extras.flash_only.empty()) {
        std::cerr << "doip-sim: " << extras.flash_only << " needs --flash-memory (see --help)\n";
        return 2;
    }
    if (options.tls.enabled && (options.tls.cert_file.empty() || options.tls.key_file.empty())) {
        std::cerr << "doip-sim: --tls needs --cert and --key (--make-certs DIR makes throw-away ones; see "
                     "--help)\n";
        return 2;
    }
    if (!extras.quiet) {
        // One write per line, so that the lines of connections ending together do not interleave.
        options.log = [](const std::string& line) {
            std::cerr << ("doip-sim: " + line + "\n") << std::flush;
        };
    }
    doip_tools::Simulator simulator(options);
    std::string error;
    if (!simulator.start(&error)) {
        if (error.rfind("TLS", 0) == 0) {
            std::cerr << "doip-sim: cannot serve " << error << "\n";
        } else {
            std::cerr << "doip-sim: cannot listen on " << options.bind_ip << ":" << options.port << ": "
                      << error << "\n";
        }
        return 1;
    }
    // One line per port, the plain one first: scripts read the port off the first line as it is.
    std::cout << "doip-sim listening on " << options.bind_ip << ":" << simulator.port() << std::endl;
    if (options.tls.enabled) {
        std::cout << "doip-sim serving TLS on " << options.bind_ip << ":" << simulator.tls_port()
                  << std::endl;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    while (!g_stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    simulator.stop();
    return 0;
}
