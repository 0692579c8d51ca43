// doip-tester: a DoIP tester on the command line, built on libdoip and the reference socket layer.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

#include "arguments.h"
#include "commands.h"
#include "flash.h"
#include "flash_requests.h"
#include "load_command.h"
#include "net.h"
#include "tls.h"

namespace {

const char* kUsage = R"(doip-tester: a DoIP (ISO 13400-2) tester built on libdoip

Usage: doip-tester COMMAND [options]

Commands:
  demo                 start the entity simulator in-process on an ephemeral 127.0.0.1 port and walk through
                       discovery, routing activation, UDS requests, entity status, power mode and a protocol
                       timer, printing every message decoded with its round-trip time; last (in a build with
                       TLS) routing activation and 22 F1 90 over TLS to a second simulator
  activate             open a TCP connection and activate routing
  uds REQUEST [...]    activate routing, then send each UDS request and print the acknowledgement and the
                       response (negative responses decoded with their NRC name). A request is UDS bytes in
                       hex (22F190 or "22 F1 90") for the --target-address ECU, or TARGET:HEX for another
                       ECU behind the same entity (1001:22F190 or "1001: 22 F1 90", four hex digits); the
                       response is taken only from that ECU. A request whose whole DoIP message is larger
                       than the max data size of the entity's status (asked for after activation) is
                       refused before it is sent. A response of another service (a late answer to an
                       earlier request) is shown as such and not taken for the answer
  discover             vehicle identification request over UDP (plain, --eid or --vin); every answer is
                       printed with its own arrival time, then the entities that answered as a table
                       (IP address, logical address, VIN, EID, GID, further action, sync status);
                       --listen: wait for vehicle announcements (0x0004) on --port instead of asking.
                       Datagrams that are not one whole DoIP message are counted and skipped, at most
                       256 answers are kept; no vehicle identification response that decodes: exit 1
  status               entity status and diagnostic power mode (over UDP; --tcp: on a TCP connection)
  load [REQUEST ...]   many testers at once: --connections connections, each with its own tester address
                       (--source-address and the next ones; default 0x0E00, 0x0E01, ...), activate routing,
                       then send the UDS requests (as for uds; default 3E00) in a loop for --duration
                       seconds or --count passes, each at --rate exchanges/s. A progress line on a
                       terminal, then a table: connections activated, exchanges, exchanges/s, errors by
                       kind (timeouts, NACKs, NRCs, closed connections, activation failures), latency
                       p50/p90/p99/max. A connection that is lost stops. Exit 0 without any error (a
                       negative response counts as one), 1 otherwise
  flash FILE           program the ECU with the image FILE (Intel HEX, S-record, raw binary; --format):
                       routing activation, extended then programming session, security access (the key
                       from --key-cmd), erase, per region RequestDownload / TransferData blocks /
                       RequestTransferExit, the check routine with the image's CRC-32, ECU reset and the
                       ECU back (a new connection when the entity closes this one). Each step is printed
                       with its time, the transfer with a progress bar (a terminal) or a line per 10 %,
                       then a summary. A TransferData without an answer goes once more with the same
                       counter. Exit 0 done, 3 stopped by a negative response (the step, block and NRC
                       named), 1 other failures (a lost connection: the ECU may be left in the programming
                       session)

Options (addresses and codes in hex, with or without 0x; times in milliseconds):
  --host ADDRESS           the entity's IPv4 address (default 127.0.0.1; discover: a broadcast address works)
  --port N                 the entity's port (default 13400; with --tls 3496)
  --local-address ADDRESS  the tester's address to bind (default: any)
  --source-address HEX     the tester's logical address (default 0x0EF5; load: the first connection's,
                           default 0x0E00)
  --target-address HEX     the ECU's logical address for diagnostic messages (default 0x0CE1)
  --activation-type HEX    routing activation type (default 0x00; 0x01 WWH-OBD, 0xE0 central security)
  --oem on|off|HEX         the OEM-specific field of the routing activation request (default on, value 0)
  --protocol-version HEX   protocol version of every header (default 0x02; 0x03 for ISO 13400-2:2019)
  --timeout MS             wait for the activation response, an acknowledgement, a response (default 2000);
                           a deadline: messages that keep coming meanwhile do not extend it
  --pending MS             further wait after a response-pending answer, NRC 0x78 (default 5000)
  --pending-total MS       uds: the most a request is waited for in all, however often the ECU answers
                           NRC 0x78 (default 60000); an ECU still pending then is reported as such
  --settle MS              after a request that suppresses its positive response (e.g. 3E80): wait this
                           long for a negative response before the next request (default 50)
  --connect-timeout MS     TCP connect timeout (default 2000)
  --channel N              the connection's channel number (default 1; load numbers its own)
  --tls                    activate, uds, load, status --tcp: DoIP over TLS 1.2/1.3 (port 3496 unless
                           --port says otherwise); never plain TCP instead. Needs --ca or --insecure
  --ca FILE                the CA (PEM) that issued the entity's certificate; a directory of hashed CA
                           certificates (c_rehash) works too. The entity's certificate must name the
                           --host address (or --server-name) in its subjectAltName
  --cert FILE              the tester's certificate (PEM) for an entity that asks for one (mutual TLS);
  --key FILE               with its private key (PEM): one without the other is a usage error
  --insecure               accept any certificate of the entity (a warning on every run: anyone on the
                           path can read and change the session)
  --server-name NAME       the name sent (SNI) and checked in the entity's certificate instead of --host
  --keylog FILE            append the session keys to FILE (NSS key log, for Wireshark to decrypt)
  --tls-null-cipher        also offer authentication-only suites (TLS 1.2, NULL encryption: integrity
                           without secrecy, as some vehicle networks use)
  --eid HEX                discover: the 6-byte EID to ask for
  --vin TEXT               discover: the 17-character VIN to ask for
  --wait MS                discover: how long to collect answers or announcements (default 2000, A_DoIP_Ctrl;
                           asking one entity by its own address ends at its first answer)
  --listen                 discover: listen for vehicle announcements on --local-address:--port
  --tcp                    status: ask on a TCP connection after routing activation
  --functional HEX         uds: requests without a TARGET go once to this functional address (e.g. E400);
                           every ECU's answer is collected until --timeout passes (--pending more after an
                           NRC 0x78 of that ECU). Exit 0 with a positive answer (or the suppress bit), 3 with
                           negative ones only, 1 with none
  --reconnect              uds: when the entity has closed the connection (an ECU reset, a gateway restart),
                           reopen it and activate routing again before the next request: first after
                           100 ms, then after twice as long each time up to 2 s. A request the entity did
                           not acknowledge because the connection had ended is sent once more
  --reconnect-tries N      uds: attempts for --reconnect; flash: for the new connection after the reset
                           (default 5)
  --connections N          load: testers at once, 1 to 256 (default 8)
  --duration SECONDS       load: how long the exchanges run (default 10; with --count: at most this long)
  --count N                load: passes over the request list per connection, then the connection ends
  --rate N                 load: exchanges per second per connection (default 0: as fast as answered)
  --json FILE              load, flash: also write the figures to FILE as JSON (flash: also on failure)
  --key-cmd CMD            flash: the program (run with the shell) that reads the seed in hex on its
                           standard input and prints the key in hex; without it no security access
  --format NAME            flash: the image's format: auto (default: by its first bytes), binary, ihex, srec,
                           or another the build reads
  --address HEX            flash: a raw binary image's address (default 0); other formats: an offset added
                           to every record's address
  --block-size N           flash: the most data bytes per TransferData (default: what the ECU's
                           maxNumberOfBlockLength and the entity's max data size allow)
  --extended-session HEX   flash: DiagnosticSessionControl before the programming one (default 03; off:
                           left out)
  --programming-session HEX  flash: the programming session (default 02; off: left out)
  --security-level HEX     flash: the requestSeed sub-function, odd (default 01; sendKey is the next one)
  --erase-routine HEX      flash: the erase routine, started with each region's address and size (default
                           FF00); --no-erase leaves erasing out
  --check-routine HEX      flash: the check routine, started with the image's CRC-32 (default FF01);
                           --no-check leaves it out
  --data-format HEX        flash: RequestDownload's dataFormatIdentifier (default 00: plain)
  --address-format HEX     flash: the addressAndLengthFormatIdentifier: low nibble address bytes, high
                           nibble size bytes, each 1-4 (default 44)
  --reset-type HEX         flash: the ECUReset sub-function (default 01 hard reset); --no-reset leaves it out
  --progress MODE          flash: bar, lines (one per 10 %), none, or auto (default: a bar on a terminal)
  --dry-run                flash: load the image and print the plan (the requests) without connecting
  --verbose                uds: also print the entity status and the messages passed over
  -h, --help               this text

Routing activation fails (exit 1, no UDS) unless the entity answers code 0x10 for our source address,
whatever the library returns. When the connection ends while the tester waits (closed, reset, a bad header),
the wait ends at once and the cause is printed.

TLS: a refused certificate, a failed handshake or TLS settings that cannot be used (an unreadable file, a
key that does not match its certificate) fail the activation (exit 1) with the reason; a build without TLS
fails every --tls run (exit 1). After the activation the TLS version and cipher suite are printed. A hint
follows when plain DoIP and TLS look mixed up (code 0x07, plain DoIP to port 3496, TLS to port 13400).

Exit status: 0 success, 1 failure (the error is printed; also when the entity's only answer over UDP is a
generic header NACK), 2 usage error, 3 negative UDS response.

Examples:
  doip-tester demo
  doip-tester activate --host 192.168.0.10 --source-address 0E80 --activation-type 0 --oem off
  doip-tester uds 22F190 3E00 --host 192.168.0.10 --target-address 1001
  doip-tester uds 1001:22F190 1002:22F190 1101 3E00 --reconnect --host 192.168.0.10
  doip-tester uds 3E00 --functional E400 --timeout 200 --host 192.168.0.10
  doip-tester discover --host 255.255.255.255 --wait 1000
  doip-tester discover --listen --wait 3000
  doip-tester discover --host 192.168.0.10 --vin WDOIPSIM000000001
  doip-tester status --host 192.168.0.10
  doip-tester load 22F190 3E00 --connections 64 --duration 30 --json load.json --host 192.168.0.10
  doip-tester flash app.hex --key-cmd doip-sim-key --host 127.0.0.1
      (an entity with a flashable ECU: doip-sim --flash-memory 16M --flash-out received.bin)
  doip-tester flash app.bin --address 08000000 --dry-run
  doip-tester uds 22F190 --tls --ca certs/ca.pem --host 127.0.0.1
      (an entity: doip-sim --make-certs certs, then doip-sim --tls --cert certs/entity.pem --key certs/entity.key)
  doip-tester activate --tls --ca certs/ca.pem --cert certs/tester.pem --key certs/tester.key --host 10.0.0.5
)";

int usage_error(const std::string& text) {
    std::cerr << "doip-tester: " << text << " (see --help)\n";
    return doip_tools::kExitUsage;
}

bool is_vin(const std::string& v) {
    return v.size() == 17;
}

// The TLS options as given, judged together once all are parsed (tls_settings()).
struct TlsArguments {
    bool tls = false;
    bool port_given = false;
    bool insecure = false;
    bool null_cipher = false;
    std::string ca;
    std::string cert;
    std::string key;
    std::string keylog;
    std::string server_name;
    std::string first_without_tls;  // the first option given that only TLS takes
};

// The flash options as given: what the parse cannot judge alone.
struct FlashArguments {
    doip_tools::FlashSettings settings;
    std::vector<std::string> files;
    std::string first_flash_only;  // the first option given that only flash takes
};

// Empty when the flash options fit the command and each other, else the usage error.
std::string flash_settings(const FlashArguments& a, const std::string& command) {
    if (command != "flash") {
        return a.first_flash_only.empty() ? std::string() : a.first_flash_only + " is for flash";
    }
    if (a.files.empty()) {
        return "flash needs an image file";
    }
    if (a.files.size() > 1) {
        return "flash takes one image file, not " + std::to_string(a.files.size()) + " (" + a.files[0] +
               ", " + a.files[1] + (a.files.size() > 2 ? ", ..." : "") + ")";
    }
    if (a.settings.security_level % 2 == 0) {
        return "--security-level " + doip_tools::hex8(a.settings.security_level) +
               " is even: give the requestSeed sub-function (odd); sendKey is the next one";
    }
    if (!doip_tools::alfid_valid(a.settings.address_and_length_format)) {
        return "--address-format " + doip_tools::hex8(a.settings.address_and_length_format) +
               ": each nibble (low: address bytes, high: size bytes) is 1 to 4";
    }
    return std::string();
}

// Empty when the TLS options fit the command and each other (options.tls and the port then set from
// them), else the usage error.
std::string tls_settings(const TlsArguments& a, const std::string& command, bool via_tcp,
                         doip_tools::TesterOptions& options) {
    if (!a.tls) {
        return a.first_without_tls.empty() ? std::string()
                                           : a.first_without_tls + " is for TLS connections: add --tls";
    }
    if (command == "demo") {
        return "demo makes its own TLS connection (a step of its own); it takes no --tls";
    }
    if (command == "discover" || (command == "status" && !via_tcp)) {
        return "--tls is for TCP connections (activate, uds, load, flash, status --tcp); " + command +
               " asks over UDP";
    }
    if (a.cert.empty() != a.key.empty()) {
        return a.cert.empty() ? "--key needs --cert (the certificate of that key)"
                              : "--cert needs --key (the certificate's private key)";
    }
    if (a.ca.empty() && !a.insecure) {
        return "--tls needs --ca FILE (the CA that issued the entity's certificate) or --insecure";
    }
    doip_tools::tls::ClientOptions tls;
    std::error_code error;
    (std::filesystem::is_directory(a.ca, error) ? tls.ca_dir : tls.ca_file) = a.ca;
    tls.verify_peer = !a.insecure;
    tls.cert_file = a.cert;
    tls.key_file = a.key;
    tls.keylog_file = a.keylog;
    tls.server_name = a.server_name;
    tls.allow_null_cipher = a.null_cipher;
    options.tls = tls;
    if (!a.port_given) {
        options.port = doip_tools::kTlsPort;
    }
    return std::string();
}

// The options, applied as they are parsed.
doip_tools::OptionTable option_table(doip_tools::TesterOptions& options,
                                     doip_tools::DiscoverOptions& discover, doip_tools::UdsOptions& uds,
                                     doip_tools::LoadOptions& load, bool& via_tcp, TlsArguments& tls,
                                     FlashArguments& flash) {
    // An option that only TLS takes: its name noted for the error when --tls is missing.
    const auto tls_only = [&tls](const char* name) {
        if (tls.first_without_tls.empty()) {
            tls.first_without_tls = name;
        }
    };
    const auto tls_text = [tls_only](const char* name, std::string* out) {
        return [=](const std::string& v) {
            tls_only(name);
            *out = v;
            return !v.empty();
        };
    };
    // An option that only flash takes: its name noted for the error with another command.
    const auto flash_only = [&flash](const char* name) {
        if (flash.first_flash_only.empty()) {
            flash.first_flash_only = name;
        }
    };
    // A flash setting in hex up to `max`, or "off" (0) when `off` allows it.
    const auto flash_hex = [flash_only](const char* name, uint32_t max, bool off, auto* out) {
        return [=](const std::string& v) {
            flash_only(name);
            uint32_t value = 0;
            if (off && v == "off") {
                *out = 0;
                return true;
            }
            if (!doip_tools::parse_hex(v, max, &value)) {
                return false;
            }
            *out = static_cast<std::remove_pointer_t<decltype(out)>>(value);
            return true;
        };
    };
    const auto flash_flag = [flash_only](const char* name, bool* out, bool value) {
        return [=] {
            flash_only(name);
            *out = value;
        };
    };
    doip_tools::FlashSettings& f = flash.settings;
    doip_tools::OptionTable table;
    table.text("--host", &options.host, &doip_tools::net::is_ipv4)
        .value("--port",
               [&](const std::string& v) {
                   uint32_t port = 0;
                   tls.port_given = true;
                   if (!doip_tools::parse_decimal(v, 65535, &port) || port == 0) {
                       return false;
                   }
                   options.port = static_cast<uint16_t>(port);
                   return true;
               })
        .flag("--tls", [&] { tls.tls = true; })
        .value("--ca", tls_text("--ca", &tls.ca))
        .value("--cert", tls_text("--cert", &tls.cert))
        .value("--key", tls_text("--key", &tls.key))
        .value("--keylog", tls_text("--keylog", &tls.keylog))
        .value("--server-name", tls_text("--server-name", &tls.server_name))
        .flag("--insecure",
              [&, tls_only] {
                  tls_only("--insecure");
                  tls.insecure = true;
              })
        .flag("--tls-null-cipher",
              [&, tls_only] {
                  tls_only("--tls-null-cipher");
                  tls.null_cipher = true;
              })
        .text("--local-address", &options.local_address, &doip_tools::net::is_ipv4)
        .value("--source-address",
               [&](const std::string& v) {
                   uint32_t address = 0;
                   if (!doip_tools::parse_hex(v, 0xFFFF, &address)) {
                       return false;
                   }
                   options.source_address = load.first_source = static_cast<uint16_t>(address);
                   return true;
               })
        .hex("--target-address", 0xFFFF, &options.target_address)
        .hex("--activation-type", 0xFF, &options.activation_type)
        .value("--oem",
               [&](const std::string& v) {
                   options.oem_present = v != "off";
                   return v == "on" || v == "off" ||
                          doip_tools::parse_hex(v, 0xFFFFFFFFu, &options.oem_value);
               })
        .hex("--protocol-version", 0xFF, &options.protocol_version)
        .decimal("--timeout", 3600000, &options.timeout_ms)
        .decimal("--pending", 3600000, &options.pending_ms)
        .decimal("--pending-total", 3600000, &options.pending_total_ms)
        .decimal("--settle", 3600000, &options.settle_ms)
        .decimal("--connect-timeout", 3600000, &options.connect_timeout_ms)
        .decimal("--channel", 255, &options.channel)
        .value("--eid",
               [&](const std::string& v) {
                   return doip_tools::parse_hex_bytes(v, &discover.eid) && discover.eid.size() == 6;
               })
        .text("--vin", &discover.vin, &is_vin)
        .decimal("--wait", 3600000, &discover.wait_ms)
        .flag("--listen", [&] { discover.listen = true; })
        .flag("--tcp", [&] { via_tcp = true; })
        .value("--functional",
               [&](const std::string& v) {
                   uint32_t address = 0;
                   uds.functional = doip_tools::parse_hex(v, 0xFFFF, &address);
                   uds.functional_address = static_cast<uint16_t>(address);
                   return uds.functional;
               })
        .flag("--reconnect", [&] { uds.reconnect = true; })
        .value("--reconnect-tries",
               [&](const std::string& v) {
                   uint32_t tries = 0;
                   if (!doip_tools::parse_decimal(v, 100, &tries) || tries == 0) {
                       return false;
                   }
                   uds.reconnect_tries = f.reconnect_tries = tries;
                   return true;
               })
        .decimal("--connections", 0xFFFFFFFFu, &load.connections)
        .value("--duration",
               [&](const std::string& v) {
                   load.duration_given = true;
                   return doip_tools::parse_decimal(v, 31 * 24 * 3600, &load.duration_s) &&
                          load.duration_s > 0;
               })
        .decimal("--count", 0xFFFFFFFFu, &load.count, 1)
        .decimal("--rate", 1000000, &load.rate)
        .value("--json",
               [&](const std::string& v) {
                   load.json_file = f.json_file = v;
                   return !v.empty();
               })
        .value("--key-cmd",
               [&, flash_only](const std::string& v) {
                   flash_only("--key-cmd");
                   f.key_command = v;
                   return !v.empty();
               })
        .value("--format",
               [&, flash_only](const std::string& v) {
                   flash_only("--format");
                   f.image.format = v;
                   const std::vector<std::string> names = doip_tools::image_format_names();
                   return std::find(names.begin(), names.end(), v) != names.end();
               })
        .value("--address",
               [&, flash_only](const std::string& v) {
                   flash_only("--address");
                   uint32_t address = 0;
                   if (!doip_tools::parse_hex(v, 0xFFFFFFFFu, &address)) {
                       return false;
                   }
                   f.image.address = address;
                   return true;
               })
        .value("--block-size",
               [&, flash_only](const std::string& v) {
                   flash_only("--block-size");
                   return doip_tools::parse_decimal(v, 0xFFFFFFFFu, &f.block_size) && f.block_size > 0;
               })
        .value("--extended-session", flash_hex("--extended-session", 0xFF, true, &f.extended_session))
        .value("--programming-session",
               flash_hex("--programming-session", 0xFF, true, &f.programming_session))
        .value("--security-level", flash_hex("--security-level", 0x7D, false, &f.security_level))
        .value("--erase-routine", flash_hex("--erase-routine", 0xFFFF, false, &f.erase_routine))
        .flag("--no-erase", flash_flag("--no-erase", &f.erase, false))
        .value("--check-routine", flash_hex("--check-routine", 0xFFFF, false, &f.check_routine))
        .flag("--no-check", flash_flag("--no-check", &f.check, false))
        .value("--data-format", flash_hex("--data-format", 0xFF, false, &f.data_format))
        .value("--address-format", flash_hex("--address-format", 0xFF, false, &f.address_and_length_format))
        .value("--reset-type", flash_hex("--reset-type", 0xFF, false, &f.reset_type))
        .flag("--no-reset", flash_flag("--no-reset", &f.reset, false))
        .flag("--dry-run", flash_flag("--dry-run", &f.dry_run, true))
        .value("--progress",
               [&, flash_only](const std::string& v) {
                   using doip_tools::ProgressStyle;
                   flash_only("--progress");
                   const std::pair<const char*, ProgressStyle> styles[] = {{"auto", ProgressStyle::automatic},
                                                                           {"bar", ProgressStyle::bar},
                                                                           {"lines", ProgressStyle::lines},
                                                                           {"none", ProgressStyle::none}};
                   for (const auto& [name, style] : styles) {
                       if (v == name) {
                           f.progress = style;
                           return true;
                       }
                   }
                   return false;
               })
        .flag("--verbose", [&] { options.verbose = true; });
    return table;
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
    UdsOptions uds_options;
    LoadOptions load_options;
    bool via_tcp = false;
    TlsArguments tls_arguments;
    FlashArguments flash_arguments;
    std::string command;
    std::vector<UdsRequest> uds_requests;
    const auto positional = [&](const std::string& a) {
        if (command.empty()) {
            command = a;
            return true;
        }
        if (command == "flash") {
            flash_arguments.files.push_back(a);
            return true;
        }
        UdsRequest request;
        if ((command != "uds" && command != "load") || !parse_uds_request(a, &request)) {
            return false;
        }
        uds_requests.push_back(request);
        return true;
    };
    const OptionTable::Result parsed =
        option_table(options, discover, uds_options, load_options, via_tcp, tls_arguments, flash_arguments)
            .parse(args, positional);
    switch (parsed.status) {
        case OptionTable::Status::ok:
            break;
        case OptionTable::Status::help:
            std::cout << kUsage;
            return kExitOk;
        case OptionTable::Status::unexpected_argument:
            return usage_error("unexpected argument " + parsed.argument);
        case OptionTable::Status::missing_value:
            return usage_error(parsed.argument + " needs a value");
        case OptionTable::Status::bad_value:
            return usage_error("bad value for " + parsed.argument + ": " + parsed.value);
        case OptionTable::Status::unknown_option:
            return usage_error("unknown option " + parsed.argument);
    }
    if (command == "load") {
        const std::string wrong = check_load_options(load_options);
        if (!wrong.empty()) {
            return usage_error(wrong);
        }
    }
    const std::string wrong_flash = flash_settings(flash_arguments, command);
    if (!wrong_flash.empty()) {
        return usage_error(wrong_flash);
    }
    const std::string wrong_tls = tls_settings(tls_arguments, command, via_tcp, options);
    if (!wrong_tls.empty()) {
        return usage_error(wrong_tls);
    }
    if (options.tls) {
        if (!options.tls->verify_peer) {
            std::cerr
                << "doip-tester: warning: --insecure: the entity's certificate is not checked; anyone on "
                   "the path can read and change this session\n";
        }
        if (!tls::available()) {
            std::cerr << "doip-tester: --tls: " << tls::kUnavailableText << "\n";
            return kExitFailure;
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
        rc = run_uds(options, uds_options, uds_requests, std::cout);
    } else if (command == "load") {
        rc = run_load(options, load_options, uds_requests, std::cout);
    } else if (command == "flash") {
        flash_arguments.settings.image.path = flash_arguments.files[0];
        rc = run_flash(options, flash_arguments.settings, std::cout);
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
