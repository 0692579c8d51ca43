// The simulator's side of secure DoIP that a TLS tester does not see: the activation type that needs TLS
// on plain connections (--require-tls), what becomes of a tester that talks plain TCP to the TLS port, and
// TLS settings the simulator cannot start with. Certificates are made afresh for the run.
#ifdef DOIP_WITH_TLS

#include <filesystem>
#include <random>
#include <thread>

#include "certificates.h"
#include "scripted_peer.h"

namespace doip_e2e {
namespace {

using doip_tools::SimulatorOptions;
using RawTester = ScriptedPeer::Link;

long long ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class SimulatorTls : public E2eTest {
  protected:
    static void SetUpTestSuite() {
        dir_ = ::testing::TempDir() + "doip_sim_tls_" + std::to_string(std::random_device{}());
        certs_made_ = doip_tools::tls::make_certificates(dir_, "127.0.0.1", "localhost", &certs_error_);
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    void SetUp() override {
        E2eTest::SetUp();
        ASSERT_TRUE(certs_made_) << certs_error_;
    }

    static std::string file(const std::string& name) { return dir_ + "/" + name; }

    // TLS on an ephemeral port with the entity's certificate, the simulator's event lines in logged().
    static SimulatorOptions tls_options() {
        const doip_tools::tls::CertificateFiles files;
        SimulatorOptions options;
        options.tls.enabled = true;
        options.tls.cert_file = file(files.entity);
        options.tls.key_file = file(files.entity_key);
        options.log = [](const std::string& line) {
            std::lock_guard<std::mutex> lock(g_log_mutex);
            g_log += line + "\n";
        };
        return options;
    }

    static inline std::string dir_;
    static inline bool certs_made_ = false;
    static inline std::string certs_error_;
};

// A routing activation request of the tester 0x0EF5 with `type` as its activation type.
std::string activation_of_type(const std::string& type) {
    return "02 FD 00 05 00 00 00 07 0E F5 " + type + " 00 00 00 00";
}

struct PlainActivation {
    const char* name;
    bool require_tls;
    const char* type;
    uint8_t code;
    bool denial_logged;  // the line that names the reason for 0x07
    friend void PrintTo(const PlainActivation& c, std::ostream* os) { *os << c.name; }
};

class PlainActivationTls : public SimulatorTls, public ::testing::WithParamInterface<PlainActivation> {};

// The socket stays open whatever the answer: an entity status request after it is answered.
TEST_P(PlainActivationTls, OnThePlainPort) {
    const PlainActivation& c = GetParam();
    SimulatorOptions options = tls_options();
    options.tls.require_tls = c.require_tls;
    start(options);
    RawTester tester(port());
    ASSERT_TRUE(tester.write(activation_of_type(c.type)));
    EXPECT_EQ(tester.read(), hex(activation_response("F5", c.code)));
    ASSERT_TRUE(tester.write("02 FD 40 01 00 00 00 00"));
    const Bytes status = tester.read();
    ASSERT_GE(status.size(), 8u);
    EXPECT_EQ(doip_tools::load_be16(status.data() + 2), DOIP_PT_ENTITY_STATUS_RESPONSE);
    EXPECT_EQ(logged().find("needs a TLS connection") != std::string::npos, c.denial_logged) << logged();
}

INSTANTIATE_TEST_SUITE_P(
    RequireTls, PlainActivationTls,
    ::testing::Values(PlainActivation{"central_security_denied", true, "E0", 0x07, true},
                      PlainActivation{"default_served", true, "00", 0x10, false},
                      PlainActivation{"wwh_obd_served", true, "01", 0x10, false},
                      PlainActivation{"central_security_without_require", false, "E0", 0x10, false}),
    [](const ::testing::TestParamInfo<PlainActivation>& info) { return std::string(info.param.name); });

// After a denial for want of TLS the same socket can still activate with another type, and the source
// address is not taken by the denied attempt.
TEST_F(SimulatorTls, DenialForWantOfTlsLeavesTheSocketFree) {
    SimulatorOptions options = tls_options();
    options.tls.require_tls = true;
    start(options);
    RawTester tester(port());
    ASSERT_TRUE(tester.write(activation_of_type("E0")));
    EXPECT_EQ(tester.read(), hex(activation_response("F5", 0x07)));
    ASSERT_TRUE(tester.write(activation_of_type("00")));
    EXPECT_EQ(tester.read(), hex(activation_response("F5", 0x10)));
}

struct PlaintextOnTlsPort {
    const char* name;
    const char* bytes;  // written right after the connect; empty: nothing, "close": an orderly close
    bool waits_for_it;  // the handshake's time (the initial inactivity) runs out first
    friend void PrintTo(const PlaintextOnTlsPort& c, std::ostream* os) { *os << c.name; }
};

class PlaintextOnTlsPortTest : public SimulatorTls,
                               public ::testing::WithParamInterface<PlaintextOnTlsPort> {};

constexpr int kHandshakeMs = 800;

// Never a DoIP answer, the connection ends within the handshake's time, one line says why, and the
// connection is no longer counted.
TEST_P(PlaintextOnTlsPortTest, IsClosedAfterAFailedHandshake) {
    const PlaintextOnTlsPort& c = GetParam();
    SimulatorOptions options = tls_options();
    options.initial_inactivity_ms = kHandshakeMs;
    start(options);
    ASSERT_NE(simulator().tls_port(), 0);
    ASSERT_NE(simulator().tls_port(), port());
    const Clock::time_point began = Clock::now();
    RawTester tester(simulator().tls_port());
    if (std::string(c.bytes) == "close") {
        tester.close();
    } else if (*c.bytes != '\0') {
        ASSERT_TRUE(tester.write(c.bytes));
    }
    const Bytes answer = tester.bytes(65536, kHandshakeMs + 5000);
    const long long elapsed = ms_since(began);
    // A TLS alert at most (content type 0x15), never the start of a DoIP message.
    if (!answer.empty()) {
        EXPECT_EQ(answer[0], 0x15) << "the first byte answered";
    }
    EXPECT_LT(elapsed, kHandshakeMs + 4000);
    if (c.waits_for_it) {
        EXPECT_GE(elapsed, kHandshakeMs - 100);
    }
    // A tester that closes at once may be gone before the simulator took its connection.
    const Clock::time_point deadline = Clock::now() + kPatience;
    while (simulator().stats().connections == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(simulator().stats().connections, 1u);
    ASSERT_TRUE(simulator().wait_for_open_connections(0, kPatience));
    expect_output(logged(),
                  "TLS connection from 127.0.0.1:|TLS handshake with 127.0.0.1:| failed: |!TLS established");
    EXPECT_EQ(simulator().stats().activations, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Plaintext, PlaintextOnTlsPortTest,
    ::testing::Values(PlaintextOnTlsPort{"routing_activation_request",
                                         "02 FD 00 05 00 00 00 07 0E F5 00 00 00 00 00", false},
                      PlaintextOnTlsPort{"silent", "", true},
                      PlaintextOnTlsPort{"closed_at_once", "close", false},
                      // A TLS record header announcing a handshake that never comes whole.
                      PlaintextOnTlsPort{"handshake_begun", "16 03 01 02 00 01", true}),
    [](const ::testing::TestParamInfo<PlaintextOnTlsPort>& info) { return std::string(info.param.name); });

struct SecureEnd {
    const char* name;
    uint8_t activation_code;  // the simulator's answer to every routing activation
    bool activates;           // the tester asks for routing, else stays silent
    const char* logged;       // why the simulator ended it
    friend void PrintTo(const SecureEnd& c, std::ostream* os) { *os << c.name; }
};

class SecureEndTest : public SimulatorTls, public ::testing::WithParamInterface<SecureEnd> {};

// However the simulator ends a TLS connection, the tester reads an orderly end of the session
// (close_notify), not a connection cut short.
TEST_P(SecureEndTest, IsAnOrderlyClose) {
    const SecureEnd& c = GetParam();
    SimulatorOptions options = tls_options();
    options.initial_inactivity_ms = kHandshakeMs;
    options.activation_response_code = c.activation_code;
    start(options);
    const doip_tools::tls::CertificateFiles files;
    doip_tools::tls::ClientOptions client;
    client.ca_file = file(files.ca);
    std::string error;
    const auto context = doip_tools::tls::client_context(client, &error);
    ASSERT_TRUE(context) << error;
    const doip_tools::net::ConnectResult connected =
        doip_tools::net::tcp_connect({}, {"127.0.0.1", simulator().tls_port()}, 5000);
    ASSERT_NE(connected.handle, doip_tools::net::kInvalid) << connected.text;
    doip_tools::tls::HandshakeResult handshake;
    auto session = doip_tools::tls::connect(context, connected.handle, "127.0.0.1", 5000, &handshake);
    ASSERT_TRUE(session) << handshake.text;
    if (c.activates) {
        const Bytes request = hex(activation_request("F5"));
        ASSERT_TRUE(session->write_all(request.data(), request.size(), 5000, &error)) << error;
    }
    Bytes received;
    doip_tools::tls::ReadStatus status = doip_tools::tls::ReadStatus::would_block;
    const Clock::time_point deadline = Clock::now() + kPatience;
    while (
        (status == doip_tools::tls::ReadStatus::data || status == doip_tools::tls::ReadStatus::would_block) &&
        Clock::now() < deadline) {
        if (session->wait_readable(100) != 1) {
            continue;
        }
        uint8_t chunk[512];
        const size_t n = session->read(chunk, sizeof chunk, &status, &error);
        received.insert(received.end(), chunk, chunk + n);
    }
    EXPECT_EQ(status, doip_tools::tls::ReadStatus::closed) << error;
    EXPECT_EQ(received, c.activates ? hex(activation_response("F5", c.activation_code)) : Bytes());
    session.reset();
    doip_tools::net::close(connected.handle);
    expect_output(logged(), std::string("TLS established (TLSv1.|") + c.logged);
}

INSTANTIATE_TEST_SUITE_P(
    Tls, SecureEndTest,
    ::testing::Values(SecureEnd{"initial_inactivity", 0x10, false, "without routing activation"},
                      SecureEnd{"activation_denied", 0x00, true, "response code 0, closing"}),
    [](const ::testing::TestParamInfo<SecureEnd>& info) { return std::string(info.param.name); });

struct BadSettings {
    const char* name;
    const char* cert;  // file names in the certificate directory, or "missing.pem"
    const char* key;
    bool taken_port;       // the TLS port is in use
    const char* expected;  // '|'-separated parts of the error (expect_output)
    friend void PrintTo(const BadSettings& c, std::ostream* os) { *os << c.name; }
};

class BadSettingsTest : public SimulatorTls, public ::testing::WithParamInterface<BadSettings> {};

// The start fails and says why.
TEST_P(BadSettingsTest, FailTheStart) {
    const BadSettings& c = GetParam();
    SimulatorOptions options = tls_options();
    options.tls.cert_file = file(c.cert);
    options.tls.key_file = file(c.key);
    std::string error;
    doip_tools::net::Handle taken = doip_tools::net::kInvalid;
    if (c.taken_port) {
        taken = doip_tools::net::tcp_listen({"127.0.0.1", 0}, 4, &error);
        ASSERT_NE(taken, doip_tools::net::kInvalid) << error;
        doip_tools::net::Endpoint bound;
        doip_tools::net::local_endpoint(taken, &bound);
        options.tls.port = bound.port;
    }
    doip_tools::Simulator refused(options);
    EXPECT_FALSE(refused.start(&error));
    expect_output(error, c.expected);
    EXPECT_EQ(refused.tls_port(), 0);
    doip_tools::net::close(taken);
}

INSTANTIATE_TEST_SUITE_P(
    Tls, BadSettingsTest,
    ::testing::Values(BadSettings{"missing_certificate", "missing.pem", "entity.key", false,
                                  "TLS: |missing.pem"},
                      BadSettings{"missing_key", "entity.pem", "missing.key", false, "TLS: |missing.key"},
                      BadSettings{"key_of_another_certificate", "entity.pem", "tester.key", false, "TLS: "},
                      BadSettings{"tls_port_taken", "entity.pem", "entity.key", true, "TLS port "}),
    [](const ::testing::TestParamInfo<BadSettings>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace doip_e2e

#endif
