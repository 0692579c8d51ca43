// Secure DoIP end to end over loopback: the tester's sessions through the socket layer with TLS against the
// simulator's TLS port (or a scripted TLS entity), with certificates made for the run. Every failure must
// come back as its own code and text, within a bounded time.
#ifdef DOIP_WITH_TLS

#include <filesystem>
#include <random>
#include <thread>

#include "certificates.h"
#include "e2e_support.h"
#include "session.h"
#include "support/tshark.h"
#include "tls.h"

namespace doip_e2e {
namespace {

namespace fs = std::filesystem;
namespace tls = doip_tools::tls;

// Setting up and failing each take a handshake or a connect timeout at most (2 s by default).
constexpr auto kBounded = std::chrono::seconds(10);

// One set of throw-away certificates for the whole program, removed at its end.
class Pki {
  public:
    static std::string file(const std::string& name) { return instance().dir_ + "/" + name; }

  private:
    Pki() {
        dir_ = (fs::temp_directory_path() / ("doip-tls-test-" + std::to_string(std::random_device{}())))
                   .string();
        std::string error;
        made_ = tls::make_certificates(dir_, "127.0.0.1", "localhost", &error);
        EXPECT_TRUE(made_) << error;
    }
    ~Pki() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    static Pki& instance() {
        static Pki pki;
        return pki;
    }
    std::string dir_;
    bool made_ = false;
};

const tls::CertificateFiles kFiles;

// Polls `condition` until it holds (true) or the patience runs out (false): for what the simulator does,
// which the socket layer's wakers do not hear of.
template <typename Condition>
bool eventually(Condition condition) {
    for (const auto deadline = Clock::now() + kPatience; !condition();) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The tab-separated fields of a tshark line.
std::vector<std::string> split_fields(const std::string& line) {
    std::vector<std::string> fields;
    for (size_t at = 0, end = 0; at <= line.size(); at = end + 1) {
        end = std::min(line.find('\t', at), line.size());
        fields.push_back(line.substr(at, end - at));
    }
    return fields;
}

struct EntitySetup {
    std::string cert = kFiles.entity;
    std::string key = kFiles.entity_key;
    bool require_client_certificate = false;
};

tls::ClientOptions client(tls::Version max = tls::Version::tls1_3, bool with_certificate = false) {
    tls::ClientOptions options;
    options.ca_file = Pki::file(kFiles.ca);
    options.max_version = max;
    if (with_certificate) {
        options.cert_file = Pki::file(kFiles.tester);
        options.key_file = Pki::file(kFiles.tester_key);
    }
    return options;
}

class TlsTest : public E2eTest {
  protected:
    void start_tls(const EntitySetup& setup) {
        doip_tools::SimulatorOptions options;
        options.tls.enabled = true;
        options.tls.cert_file = Pki::file(setup.cert);
        options.tls.key_file = Pki::file(setup.key);
        if (setup.require_client_certificate) {
            options.tls.client_ca_file = Pki::file(kFiles.ca);
        }
        options.log = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(simulator_log_mutex_);
            simulator_log_ += line + "\n";
        };
        start(options);
    }
    uint16_t tls_port() const { return simulator_->tls_port(); }
    std::string simulator_log() {
        std::lock_guard<std::mutex> lock(simulator_log_mutex_);
        return simulator_log_;
    }
    static doip_tools::TesterOptions tester(uint16_t port,
                                            const std::optional<tls::ClientOptions>& settings) {
        doip_tools::TesterOptions options;
        options.port = port;
        options.tls = settings;
        return options;
    }

    std::mutex simulator_log_mutex_;
    std::string simulator_log_;
};

struct Exchange {
    const char* name;
    tls::Version max;
    bool mutual;
    const char* version;
    friend void PrintTo(const Exchange& c, std::ostream* os) { *os << c.name; }
};

class TlsExchange : public TlsTest, public ::testing::WithParamInterface<Exchange> {};

TEST_P(TlsExchange, ActivatesRoutingAndAnswersUds) {
    const Exchange& p = GetParam();
    EntitySetup setup;
    setup.require_client_certificate = p.mutual;
    start_tls(setup);
    doip_tools::Session session(tester(tls_port(), client(p.max, p.mutual)));
    ASSERT_EQ(session.activate(), DOIP_OK) << session.activation_failure();
    EXPECT_EQ(session.activation_failure(), "");
    EXPECT_EQ(layer().security(session.channel()).rfind(p.version, 0), 0u)
        << layer().security(session.channel());
    const doip_tools::UdsExchange x = session.uds({0x22, 0xF1, 0x90});
    ASSERT_EQ(x.outcome, doip_tools::UdsExchange::Outcome::positive) << x.cause;
    EXPECT_EQ(x.uds.at(0), 0x62);
    EXPECT_EQ(session.state(), DOIP_STATE_ACTIVATED);
    session.close();
    // The tester's close is orderly: the entity saw close_notify, not a cut.
    EXPECT_TRUE(eventually([&] { return simulator_->open_connections() == 0; }));
    EXPECT_EQ(simulator_log().find("handshake"), std::string::npos) << simulator_log();
}

INSTANTIATE_TEST_SUITE_P(
    Versions, TlsExchange,
    ::testing::Values(Exchange{"Tls12", tls::Version::tls1_2, false, "TLSv1.2 ECDHE"},
                      Exchange{"Tls13", tls::Version::tls1_3, false, "TLSv1.3 TLS_"},
                      Exchange{"MutualTls12", tls::Version::tls1_2, true, "TLSv1.2 ECDHE"},
                      Exchange{"MutualTls13", tls::Version::tls1_3, true, "TLSv1.3 TLS_"}),
    [](const ::testing::TestParamInfo<Exchange>& info) { return info.param.name; });

struct Failure {
    const char* name;
    EntitySetup entity;
    bool tester_tls;   // the tester speaks TLS
    bool to_tls_port;  // and connects to the simulator's TLS port (else the plain one)
    tls::Version max;
    int code;                // doip_activate's result
    const char* failure;     // in the activation failure text
    const char* entity_log;  // in the simulator's log ("" for none)
    friend void PrintTo(const Failure& c, std::ostream* os) { *os << c.name; }
};

class TlsFailure : public TlsTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(TlsFailure, IsReportedClearlyAndInBoundedTime) {
    const Failure& p = GetParam();
    start_tls(p.entity);
    const uint16_t port = p.to_tls_port ? tls_port() : simulator_->port();
    doip_tools::Session session(tester(port, p.tester_tls ? std::optional(client(p.max)) : std::nullopt));
    const Clock::time_point began = Clock::now();
    const int rc = session.activate();
    EXPECT_LT(Clock::now() - began, kBounded);
    EXPECT_EQ(rc, p.code) << session.activation_failure();
    EXPECT_NE(session.activation_failure().find(p.failure), std::string::npos)
        << session.activation_failure();
    EXPECT_NE(session.state(), DOIP_STATE_ACTIVATED);
    EXPECT_TRUE(eventually([&] { return simulator_log().find(p.entity_log) != std::string::npos; }))
        << simulator_log();
}

const EntitySetup kEntity;
const EntitySetup kStranger{kFiles.stranger, kFiles.stranger_key, false};
const EntitySetup kOtherAddress{kFiles.other_address, kFiles.other_address_key, false};
const EntitySetup kExpired{kFiles.expired, kFiles.expired_key, false};
const EntitySetup kMutual{kFiles.entity, kFiles.entity_key, true};
constexpr auto k13 = tls::Version::tls1_3;
constexpr auto k12 = tls::Version::tls1_2;

INSTANTIATE_TEST_SUITE_P(
    Cases, TlsFailure,
    ::testing::Values(Failure{"UnknownCa", kStranger, true, true, k13, doip_tools::DOIP_SOCKET_ERR_TLS_VERIFY,
                              "unable to get local issuer certificate", "TLS handshake"},
                      Failure{"WrongAddress", kOtherAddress, true, true, k13,
                              doip_tools::DOIP_SOCKET_ERR_TLS_VERIFY, "IP address mismatch", "TLS handshake"},
                      Failure{"Expired", kExpired, true, true, k13, doip_tools::DOIP_SOCKET_ERR_TLS_VERIFY,
                              "certificate has expired", "TLS handshake"},
                      Failure{"NoClientCertificate13", kMutual, true, true, k13,
                              doip_tools::DOIP_SOCKET_ERR_TLS_HANDSHAKE, "certificate required",
                              "TLS handshake"},
                      Failure{"NoClientCertificate12", kMutual, true, true, k12,
                              doip_tools::DOIP_SOCKET_ERR_TLS_HANDSHAKE, "handshake failure",
                              "TLS handshake"},
                      Failure{"TlsToThePlainPort", kEntity, true, false, k13,
                              doip_tools::DOIP_SOCKET_ERR_TLS_HANDSHAKE, "TLS", "generic header NACK 0"},
                      Failure{"PlaintextToTheTlsPort", kEntity, false, true, k13, DOIP_ERR_TIMEOUT,
                              "closed the connection", "TLS handshake"}),
    [](const ::testing::TestParamInfo<Failure>& info) { return info.param.name; });

// An entity that completes the handshake and answers the routing activation, then sends a TLS record
// header and part of its body and closes the socket without close_notify.
TEST_F(TlsTest, ACloseInMidRecordIsATruncationNotAnOrderlyEnd) {
    std::string error;
    tls::ServerOptions server;
    server.cert_file = Pki::file(kFiles.entity);
    server.key_file = Pki::file(kFiles.entity_key);
    const std::shared_ptr<tls::Context> context = tls::server_context(server, &error);
    ASSERT_TRUE(context) << error;
    const doip_tools::net::Handle listener =
        doip_tools::net::tcp_listen(doip_tools::net::Endpoint{"127.0.0.1", 0}, 4, &error);
    ASSERT_NE(listener, doip_tools::net::kInvalid) << error;
    doip_tools::net::Endpoint bound;
    doip_tools::net::local_endpoint(listener, &bound);
    std::thread entity([&] {
        doip_tools::net::Endpoint peer;
        const doip_tools::net::Handle socket = doip_tools::net::tcp_accept(listener, &peer);
        tls::HandshakeResult handshake;
        std::unique_ptr<tls::Session> session = tls::accept(context, socket, 5000, &handshake);
        // Reads until at least `count` bytes came; what was read.
        auto read = [&](size_t count) {
            Bytes bytes(256);
            size_t have = 0;
            tls::ReadStatus status = tls::ReadStatus::would_block;
            while (have < count && session->wait_readable(5000) == 1) {
                have += session->read(bytes.data() + have, bytes.size() - have, &status, &error);
                if (status != tls::ReadStatus::data && status != tls::ReadStatus::would_block) {
                    break;
                }
            }
            bytes.resize(have);
            return bytes;
        };
        if (session) {
            const Bytes request = read(15);
            Bytes answer = hex(activation_response("00", 0x10));
            std::copy_n(request.begin() + 8,
                        std::min<size_t>(2, request.size() - std::min<size_t>(8, request.size())),
                        answer.begin() + 8);
            session->write_all(answer.data(), answer.size(), 5000, &error);
            read(14);  // the diagnostic request: all read, so that the close is not a reset
            const Bytes cut = hex("17 03 03 00 40 01 02 03 04 05 06 07");
            doip_tools::net::send_all(socket, cut.data(), cut.size());
        }
        session.reset();
        doip_tools::net::shutdown_both(socket);
        doip_tools::net::close(socket);
    });
    doip_tools::Session session(tester(bound.port, client()));
    EXPECT_EQ(session.activate(), DOIP_OK) << session.activation_failure();
    const Clock::time_point began = Clock::now();
    const doip_tools::UdsExchange x = session.uds({0x3E, 0x00});
    EXPECT_LT(Clock::now() - began, kBounded);
    entity.join();
    doip_tools::net::close(listener);
    EXPECT_EQ(x.outcome, doip_tools::UdsExchange::Outcome::connection_lost) << x.cause;
    EXPECT_NE(x.cause.find("without TLS close_notify"), std::string::npos) << x.cause;
    EXPECT_EQ(layer().end_reason(session.channel()).cause, doip_tools::ConnectionEnd::tls_truncated);
    const Bytes probe = hex("02 FD 00 07 00 00 00 00");
    EXPECT_EQ(layer().send(session.channel(), probe.data(), static_cast<uint32_t>(probe.size())),
              doip_tools::DOIP_SOCKET_ERR_TLS_TRUNCATED);
}

// A TCP proxy on an ephemeral 127.0.0.1 port in front of `target`: forwards one connection both ways and
// keeps every chunk with its direction, in the order forwarded (a chunk is kept before it goes on, so an
// answer always comes after what it answers).
class RecordingProxy {
  public:
    explicit RecordingProxy(uint16_t target) {
        std::string error;
        listener_ = doip_tools::net::tcp_listen(doip_tools::net::Endpoint{"127.0.0.1", 0}, 4, &error);
        EXPECT_NE(listener_, doip_tools::net::kInvalid) << error;
        doip_tools::net::Endpoint bound;
        doip_tools::net::local_endpoint(listener_, &bound);
        port_ = bound.port;
        thread_ = std::thread([this, target] { run(target); });
    }
    ~RecordingProxy() { finish(); }
    uint16_t port() const { return port_; }
    // Waits for the connection to end on both sides; what went through it.
    std::vector<doip_test::Packet> finish() {
        if (thread_.joinable()) {
            thread_.join();
            doip_tools::net::close(listener_);
        }
        return packets_;
    }

  private:
    void run(uint16_t target) {
        if (doip_tools::net::wait_readable(listener_, 5000) != 1) {
            return;
        }
        doip_tools::net::Endpoint peer;
        const doip_tools::net::Handle tester = doip_tools::net::tcp_accept(listener_, &peer);
        const doip_tools::net::ConnectResult entity =
            doip_tools::net::tcp_connect({}, {"127.0.0.1", target}, 5000);
        std::thread back([&] { pump(entity.handle, tester, true); });
        pump(tester, entity.handle, false);
        back.join();
        doip_tools::net::close(tester);
        doip_tools::net::close(entity.handle);
    }
    void pump(doip_tools::net::Handle from, doip_tools::net::Handle to, bool inbound) {
        uint8_t chunk[16384];
        for (long n; (n = doip_tools::net::recv_some(from, chunk, sizeof chunk)) > 0;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                packets_.push_back(doip_test::Packet{inbound, Bytes(chunk, chunk + n)});
            }
            if (!doip_tools::net::send_all(to, chunk, static_cast<size_t>(n))) {
                break;
            }
        }
        doip_tools::net::shutdown_both(to);
    }

    doip_tools::net::Handle listener_ = doip_tools::net::kInvalid;
    uint16_t port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<doip_test::Packet> packets_;
};

// Independent of our own decoder: Wireshark decrypts the captured session with the tester's key log and
// its DoIP dissector reads the messages inside, while the capture itself shows no DoIP in the clear.
TEST_F(TlsTest, WiresharkDecryptsTheSessionWithTheKeyLogAndReadsTheDoIpInside) {
    DOIP_REQUIRE_TSHARK();
    start_tls(EntitySetup{});
    RecordingProxy proxy(tls_port());
    const std::string keylog = Pki::file("keys-" + std::to_string(std::random_device{}()) + ".log");
    tls::ClientOptions settings = client();
    settings.keylog_file = keylog;
    {
        doip_tools::Session session(tester(proxy.port(), settings));
        ASSERT_EQ(session.activate(), DOIP_OK) << session.activation_failure();
        ASSERT_EQ(session.uds({0x22, 0xF1, 0x90}).outcome, doip_tools::UdsExchange::Outcome::positive);
    }
    const std::vector<doip_test::Packet> packets = proxy.finish();
    const Bytes request = hex(activation_request("F5"));
    for (const doip_test::Packet& packet : packets) {
        EXPECT_EQ(std::search(packet.bytes.begin(), packet.bytes.end(), request.begin(), request.begin() + 8),
                  packet.bytes.end());
    }
    const std::vector<std::string> lines = doip_test::dissect_packets(
        packets, "-T 3496,3496", "-o tls.keylog_file:" + keylog + " --disable-protocol uds",
        "doip.type _ws.malformed _ws.expert");
    std::string types;
    for (const std::string& line : lines) {
        const std::vector<std::string> fields = split_fields(line);
        ASSERT_EQ(fields.size(), 4u) << line;
        EXPECT_EQ(fields[2] + fields[3], "") << line;  // neither malformed nor an expert note
        if (!fields[1].empty()) {
            types += (types.empty() ? "" : ",") + fields[1];
        }
    }
    EXPECT_EQ(types, "0x0005,0x0006,0x8001,0x8002,0x8001");
    std::remove(keylog.c_str());
}

TEST_F(TlsTest, UnusableSettingsFailEveryOpenAndNeverFallBackToPlainTcp) {
    start_tls(EntitySetup{});
    tls::ClientOptions missing = client();
    missing.ca_file = Pki::file("no-such-ca.pem");
    doip_tools::Session session(tester(simulator_->port(), missing));
    EXPECT_EQ(session.activate(), doip_tools::DOIP_SOCKET_ERR_TLS_CONFIG);
    EXPECT_NE(session.activation_failure().find("no-such-ca.pem"), std::string::npos)
        << session.activation_failure();
    EXPECT_EQ(simulator_->stats().connections, 0u);  // not even a plain connection was tried
}

}  // namespace
}  // namespace doip_e2e

#endif
