// The doip-tester program against a simulator in this process: exit codes and what it prints.
#include "e2e_support.h"
#include "run_command.h"
#include "scripted_peer.h"

namespace doip_e2e {
namespace {

RunResult run_tester(const std::string& arguments) {
    return run(std::string(DOIP_TESTER_PATH) + " " + arguments);
}

// What a TLS option does in this build: a TLS build tries, a build without TLS refuses every --tls run.
#ifdef DOIP_WITH_TLS
constexpr bool kTls = true;
#else
constexpr bool kTls = false;
#endif
constexpr const char* kWithoutTls = "doip-tester: --tls: built without TLS (no OpenSSL in this build)";
constexpr const char* kInsecureWarning =
    "doip-tester: warning: --insecure: the entity's certificate is not checked; anyone on the path can read "
    "and change this session\n";

struct Invocation {
    const char* arguments;    // followed by the simulator's address, unless it starts with '!'
    uint8_t activation_code;  // 0xFF: the simulator is stopped first
    int exit_code;
    const char* output;  // expect_output()
    void (*faults)(doip_tools::SimulatorOptions&) = nullptr;
    friend void PrintTo(const Invocation& c, std::ostream* os) { *os << c.arguments; }
};

const Invocation kRuns[] = {
    {"uds 22F190", 0x10, 0, "VIN \"WDOIPSIM000000001\"|positive ACK (0x8002)"},
    {"uds \"19 02 FF\"", 0x10, 3, "NRC 0x11 serviceNotSupported"},
    {"uds 3E00 --target-address 0x4711", 0x10, 1, "unknown target address"},
    {"uds 0CE1:22F190 \"0CE1: 3E 00\" 4711:3E00 --reconnect --reconnect-tries 2", 0x10, 1,
     "UDS 22 F1 90 to 0x0CE1\n|UDS 3E 00 to 0x0CE1\n|UDS 3E 00 to 0x4711\n|unknown target address"},
    {"uds 3E00 --functional 4711", 0x10, 1, "to functional address 0x4711|0x4711 -> 0x0EF5, code 0x03"},
    {"activate --source-address 0E80 --oem off", 0x00, 1,
     "路由激活由于未知源地址而被拒绝|0x1001 (4097)|tester 0x0E80|denied: unknown source address\n"},
    {"activate --oem 12345678", 0x10, 0, "code 0x10 routing successfully activated, OEM field 12 34 56 78"},
    {"discover", 0x10, 0, "logical address 0x0CE1"},
    {"discover --eid 02005E000CE1", 0x10, 0, "vehicle identification response (0x0004)"},
    {"discover --timeout 300 --vin WDOIPSIM00000000X", 0x10, 1, "no vehicle identification response"},
    {"status", 0x10, 0, "entity status response (0x4002)|0x01 ready"},
    {"status --tcp", 0x10, 0, "max sockets 255, open sockets 1, max data size 4096|(0x4004): 0x01 ready"},
    {"activate", 0xFF, 1, "未成功创建TCP链接|-1004 (socket layer: the entity refused|state 1 no entry"},
    // Routing is not active whatever the library returned: the tester says why and sends no UDS.
    {"uds 3E00", 0x03, 1,
     "code 0x03, denied: source address already active on another socket; the library returned 0 (OK) and "
     "left registry state 0 activated|!UDS 3E 00"},
    {"uds 3E00 --timeout 300", 0x10, 1,
     "error: the entity closed the connection in the middle of a message|!UDS 3E 00",
     [](doip_tools::SimulatorOptions& o) { o.faults.close_mid_message = true; }},
    {"activate --timeout 300", 0x10, 1,
     "error: the entity sent a header with inverse protocol version 0x02 where 0xFD was expected",
     [](doip_tools::SimulatorOptions& o) { o.faults.bad_inverse_version = true; }},
    {"activate --timeout 300 --protocol-version 07", 0x10, 1,
     "error: the entity answered with a generic header NACK (0x0000), code 0x00 incorrect pattern format; "
     "the "
     "entity closed the connection"},
    {"!", 0x10, 2, ""},
    {"!frobnicate", 0x10, 2, "unknown command frobnicate"},
    {"!uds", 0x10, 2, "uds needs at least one request"},
    {"!uds 2", 0x10, 2, "unexpected argument 2"},
    {"!uds 1001:", 0x10, 2, "unexpected argument 1001:"},
    {"!uds 3E00 --functional 10000", 0x10, 2, "bad value for --functional: 10000"},
    {"!uds 3E00 --reconnect-tries 0", 0x10, 2, "bad value for --reconnect-tries: 0"},
    {"!flash", 0x10, 2, "flash needs an image file"},
    {"!flash a.hex b.hex", 0x10, 2, "flash takes one image file, not 2 (a.hex, b.hex)"},
    {"!uds 3E00 --key-cmd doip-sim-key", 0x10, 2, "--key-cmd is for flash"},
    {"!load --no-erase --dry-run", 0x10, 2, "--no-erase is for flash"},
    {"!flash a.hex --security-level 2", 0x10, 2, "--security-level 0x02 is even"},
    {"!flash a.hex --address-format 45", 0x10, 2, "--address-format 0x45: each nibble"},
    {"!flash a.hex --address-format 04", 0x10, 2, "--address-format 0x04: each nibble"},
    {"!flash a.hex --progress fast", 0x10, 2, "bad value for --progress: fast"},
    {"!flash a.hex --extended-session on", 0x10, 2, "bad value for --extended-session: on"},
    {"!activate --port 70000", 0x10, 2, "bad value for --port: 70000"},
    {"!activate --host example", 0x10, 2, "bad value for --host"},
    {"!activate --timeout", 0x10, 2, "--timeout needs a value"},
    {"!--help", 0x10, 0, "Examples:"},
    // TLS: the options that need --tls, what --tls needs, and where it makes no sense.
    {"!uds 3E00 --ca ca.pem", 0x10, 2, "--ca is for TLS connections: add --tls"},
    {"!activate --insecure --cert t.pem", 0x10, 2, "--insecure is for TLS connections: add --tls"},
    {"!activate --keylog keys.txt --tls-null-cipher", 0x10, 2, "--keylog is for TLS connections: add --tls"},
    {"!activate --server-name ecu.local", 0x10, 2, "--server-name is for TLS connections: add --tls"},
    {"!load --key t.key", 0x10, 2, "--key is for TLS connections: add --tls"},
    {"!status --tcp --tls-null-cipher", 0x10, 2, "--tls-null-cipher is for TLS connections: add --tls"},
    {"!uds 3E00 --tls", 0x10, 2,
     "doip-tester: --tls needs --ca FILE (the CA that issued the entity's certificate) or --insecure "
     "(see --help)|!warning"},
    {"!uds 3E00 --tls --ca ca.pem --cert t.pem", 0x10, 2,
     "--cert needs --key (the certificate's private key)"},
    {"!activate --tls --insecure --key t.key", 0x10, 2, "--key needs --cert|!warning"},
    {"!discover --tls --insecure", 0x10, 2,
     "--tls is for TCP connections (activate, uds, load, flash, status --tcp)"},
    {"!status --tls --ca ca.pem", 0x10, 2, "status asks over UDP"},
    {"!demo --tls --insecure", 0x10, 2, "demo makes its own TLS connection"},
    {"!uds 3E00 --tls --ca", 0x10, 2, "--ca needs a value"},
    // --insecure warns on every run, whatever comes of it; --tls alone moves the port to 3496 (an address
    // where no entity of this machine listens, for a refused connection).
    {"activate --tls --insecure", 0xFF, 1, kInsecureWarning},
    {"!activate --tls --insecure --host 127.0.0.3 --connect-timeout 500", 0x10, 1,
     kTls ? "routing activation: -> 127.0.0.3:3496 (TLS)" : kWithoutTls},
    // Settings the socket layer refuses: the activation fails without a connection, plain or not.
    {"!uds 3E00 --tls --ca no-such-ca.pem --host 127.0.0.3 --port 13401", 0x10, 1,
     kTls ? "-> 127.0.0.3:13401 (TLS)|error: -1010 (socket layer: the TLS settings cannot be used|"
            "no-such-ca.pem|!warning|!UDS 3E 00"
          : kWithoutTls},
    // ... also beside a plain entity that would answer: no plain connection instead.
    {"uds 3E00 --tls --ca no-such-ca.pem", 0x10, 1,
     kTls ? "error: -1010 (|!UDS 3E 00|!positive" : kWithoutTls},
    // Plain DoIP to the TLS port: nothing answers there (or only TLS would), and the tester says why.
    {"!activate --host 127.0.0.3 --port 3496 --connect-timeout 500", 0x10, 1,
     "-> 127.0.0.3:3496, source|hint: port 3496 is the TLS port: add --tls\n"},
    {"activate", 0x07, 1,
     "code 0x07, denied: activation type requires a TLS socket|hint: the entity requires a secure (TLS) "
     "connection for this activation type: retry with --tls (port 3496) and --ca FILE\n"},
    {"activate", 0x06, 1, "code 0x06|!hint"},
};

class CliE2e : public E2eTest, public ::testing::WithParamInterface<Invocation> {};

TEST_P(CliE2e, ExitCodeAndOutput) {
    const Invocation& run = GetParam();
    doip_tools::SimulatorOptions options;
    options.activation_response_code = run.activation_code;
    if (run.faults != nullptr) {
        run.faults(options);
    }
    start(options);
    if (run.activation_code == 0xFF) {
        simulator().stop();
    }
    const std::string target = " --host 127.0.0.1 --port " + std::to_string(port());
    const RunResult r =
        run_tester(run.arguments[0] == '!' ? std::string(run.arguments + 1) : run.arguments + target);
    EXPECT_EQ(r.exit_code, run.exit_code) << r.output;
    expect_output(r.output, run.output);
}

INSTANTIATE_TEST_SUITE_P(Runs, CliE2e, ::testing::ValuesIn(kRuns));

// The library takes the first routing activation response on the connection, whoever it is for.
TEST(CliScriptedPeer, RefusesAnActivationResponseForAnotherTester) {
    ScriptedPeer peer([](ScriptedPeer::Link& link, int) {
        link.answer_activation(0x10, 0x0E80);
        link.drain();
    });
    const RunResult r = run_tester("uds 3E00 --port " + std::to_string(peer.port()));
    EXPECT_EQ(r.exit_code, 1) << r.output;
    expect_output(r.output,
                  "error: the routing activation response was for tester 0x0E80, not for us (0x0EF5); the "
                  "library returned 0 (OK)|!UDS 3E 00");
}

}  // namespace
}  // namespace doip_e2e
