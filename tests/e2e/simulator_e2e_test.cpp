// The simulator as a DoIP tester sees it: bytes in on a connection of the socket layer and its answers out
// of the library's queue, UDP datagrams, and testers' sessions, eight of them in parallel.
#include "e2e_support.h"

#include <atomic>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "certificates.h"
#include "describe.h"
#include "formatting.h"
#include "session.h"
#include "udp_exchange.h"

namespace doip_e2e {
namespace {

class SimulatorE2e : public E2eTest {
  protected:
    void eight_testers_thousand_exchanges_each(const std::string& pki);
    // A connection on `channel` without routing activation.
    void connect(uint8_t channel) {
        doip_s ctx{};
        std::strcpy(ctx.remote.ip_address, "127.0.0.1");
        ctx.remote.port = port();
        ASSERT_EQ(layer().open(channel, &ctx), DOIP_OK);
    }
    void send(uint8_t channel, const std::string& text) {
        const Bytes bytes = hex(text);
        ASSERT_EQ(layer().send(channel, bytes.data(), static_cast<uint32_t>(bytes.size())), DOIP_OK);
    }
    // The next message of the application's queue; empty when none comes.
    doip_tools::ReceivedMessage next() {
        doip_message_s m{};
        doip_tools::ReceivedMessage received;
        if (until([&] { return doip_get_message(&m, nullptr) == DOIP_OK; })) {
            received.aux1 = m.aux1;
            received.aux2 = m.aux2;
            received.bytes.assign(m.data, m.data + m.length);
        }
        doip_message_destory(&m);
        return received;
    }
};

TEST_F(SimulatorE2e, StreamIsCutIntoMessagesWhateverItsSegments) {
    start();
    connect(1);
    const std::string session_control = " 02 FD 80 01 00 00 00 06 0E F5 0C E1 10 ";
    send(1, activation_request("F5") + " 02 FD 00 07 00 00 00 00" + session_control + "01" + session_control +
                "02");
    EXPECT_EQ(next().bytes, hex(activation_response("F5", 0x10)));
    EXPECT_EQ(next().bytes, hex("02 FD 00 08 00 00 00 02 0E F5"));  // the activated tester's address
    for (const char* session : {"01", "02"}) {
        EXPECT_EQ(next().bytes, ack(kEntity));
        EXPECT_EQ(next().bytes,
                  hex(std::string("02 FD 80 01 00 00 00 0A 0C E1 0E F5 50 ") + session + " 00 32 01 F4"));
    }
    for (uint8_t byte : hex("02 FD 80 01 00 00 00 07 0E F5 0C E1 22 F1 90")) {
        ASSERT_EQ(layer().send(1, &byte, 1), DOIP_OK);
        std::this_thread::sleep_for(std::chrono::microseconds(300));  // so that each byte leaves alone
    }
    EXPECT_EQ(next().payload_type(), DOIP_PT_DIAG_MSG_ACK);
    EXPECT_EQ(next().bytes.size(), 12u + 20u);
}

struct BadInput {
    const char* name;
    const char* bytes;
    const char* reply;
    bool closes;  // otherwise the input is skipped and the next message answered
    friend void PrintTo(const BadInput& c, std::ostream* os) { *os << c.name; }
};

class BadInputE2e : public SimulatorE2e, public ::testing::WithParamInterface<BadInput> {};

// With a request limit of 8 payload bytes.
TEST_P(BadInputE2e, IsRefusedThenTheConnectionClosesOrGoesOn) {
    doip_tools::SimulatorOptions options;
    options.max_request_size = 8;
    start(options);
    connect(1);
    send(1, std::string(GetParam().bytes) + " 02 FD 00 07 00 00 00 00");  // and an alive check
    EXPECT_EQ(next().bytes, hex(GetParam().reply));
    if (GetParam().closes) {
        EXPECT_TRUE(until([&] { return !layer().is_open(1); }));
        EXPECT_NE(logged().find("closed by the peer"), std::string::npos) << logged();
        EXPECT_EQ(layer_delta().peer_closes, 1u);
        EXPECT_EQ(layer_delta().stream_errors, 0u);
    } else {
        EXPECT_EQ(next().bytes, hex("02 FD 00 08 00 00 00 02 00 00"));  // no tester address activated
    }
}

const BadInput kBadInputs[] = {
    {"incorrect_pattern", "02 02 00 05 00 00 00 00", "02 FD 00 00 00 00 00 01 00", true},
    {"unsupported_version", "07 F8 00 07 00 00 00 00", "02 FD 00 00 00 00 00 01 00", true},
    {"unknown_type", "02 FD 12 34 00 00 00 03 AA BB CC", "02 FD 00 00 00 00 00 01 01", false},
    {"too_large", "02 FD 80 01 00 00 00 09 0E F5 0C E1 22 F1 90 00 00", "02 FD 00 00 00 00 00 01 02", false},
    {"invalid_length", "02 FD 00 05 00 00 00 08 0E F5 00 00 00 00 00 00", "02 FD 00 00 00 00 00 01 04", true},
    // A diagnostic message before routing activation: NACK 0x02, invalid source address.
    {"not_activated", "02 FD 80 01 00 00 00 06 0E F5 0C E1 3E 00", "02 FD 80 03 00 00 00 05 0C E1 0E F5 02",
     true},
};

INSTANTIATE_TEST_SUITE_P(Inputs, BadInputE2e, ::testing::ValuesIn(kBadInputs),
                         ::testing::PrintToStringParamName());

TEST_F(SimulatorE2e, ServesConnectionsIndependentlyUpToTheSocketLimit) {
    doip_tools::SimulatorOptions options;
    options.max_sockets = 2;
    start(options);
    for (uint8_t channel : {1, 2, 3}) {
        connect(channel);
    }
    // 2 and 3 are answered although 1 connected first: no connection waits for another.
    std::set<uint32_t> serials;
    for (uint8_t channel : {2, 3}) {
        const std::string tester = "0" + std::to_string(channel);
        send(channel, activation_request(tester));
        const doip_tools::ReceivedMessage reply = next();
        EXPECT_EQ(reply.aux1, channel);
        EXPECT_EQ(reply.bytes, hex(activation_response(tester, 0x10)));
        serials.insert(reply.aux2);
    }
    // Every socket is active: the entity checks both; they answer, so 1 is refused (0x01) and closed.
    send(1, activation_request("01"));
    std::set<uint32_t> checked;
    for (int i = 0; i < 2; ++i) {
        const doip_tools::ReceivedMessage check = next();
        EXPECT_EQ(check.bytes, hex("02 FD 00 07 00 00 00 00"));
        checked.insert(check.aux1);
        send(static_cast<uint8_t>(check.aux1), "02 FD 00 08 00 00 00 02 0E 0" + std::to_string(check.aux1));
    }
    EXPECT_EQ(checked, (std::set<uint32_t>{2, 3}));
    const doip_tools::ReceivedMessage refused = next();
    EXPECT_EQ(refused.aux1, 1u);
    EXPECT_EQ(refused.bytes, hex(activation_response("01", 0x01)));
    serials.insert(refused.aux2);
    EXPECT_EQ(serials.size(), 3u);  // each connection has its own serial
    send(2, activation_request("09"));
    EXPECT_EQ(next().bytes, hex(activation_response("09", 0x02)));     // another source address on the socket
    EXPECT_TRUE(simulator().wait_for_open_connections(1, kPatience));  // 1 and 2 are closed
}

// Through the tester's Session, which uses doip_diag_request, doip_diag_response, doip_get_expalininfo and
// doip_remove_header.
TEST_F(SimulatorE2e, EachTargetAnswersFromTheUdsTable) {
    doip_tools::SimulatorOptions sim;
    sim.extra_ecu_addresses = {0x1001};
    start(sim);
    doip_tools::TesterOptions options;
    options.port = port();
    doip_tools::Session session(options);
    ASSERT_EQ(session.activate(), DOIP_OK);

    using Outcome = doip_tools::UdsExchange::Outcome;
    const struct {
        uint16_t target;
        Bytes uds;
        Outcome outcome;
        Bytes response;
    } cases[] = {
        {0x0CE1, {0x3E, 0x00}, Outcome::positive, {0x7E, 0x00}},
        {0x0CE1, {0x10, 0x03}, Outcome::positive, {0x50, 0x03, 0x00, 0x32, 0x01, 0xF4}},
        {0x0CE1, {0x22, 0xF1, 0x86}, Outcome::negative, {0x7F, 0x22, 0x11}},
        {0x0CE1, {0x3E, 0x80}, Outcome::no_response_expected, {}},
        {0x0CE1, {0x11, 0x01}, Outcome::positive, {0x51, 0x01}},
        {0x1001, {0x19, 0x02, 0xFF}, Outcome::negative, {0x7F, 0x19, 0x11}},  // a further ECU
        {0x1234, {0x3E, 0x00}, Outcome::nacked, {}},                          // an unknown one
        // Each target names itself: the entity's VIN and one ending in the ECU's address; serial numbers.
        {0x0CE1, {0x22, 0xF1, 0x90}, Outcome::positive, with_text("62 F1 90", "WDOIPSIM000000001")},
        {0x1001, {0x22, 0xF1, 0x90}, Outcome::positive, with_text("62 F1 90", "WDOIPSIM000001001")},
        {0x0CE1, {0x22, 0xF1, 0x8C}, Outcome::positive, with_text("62 F1 8C", "SN0CE1")},
        {0x1001, {0x22, 0xF1, 0x8C}, Outcome::positive, with_text("62 F1 8C", "SN1001")},
        // The echo routine gives back what follows its identifier; another routine is not supported.
        {0x1001,
         {0x31, 0x01, 0x02, 0x00, 0xAB, 0xCD},
         Outcome::positive,
         {0x71, 0x01, 0x02, 0x00, 0xAB, 0xCD}},
        {0x0CE1, {0x31, 0x01, 0x02, 0x01, 0xAB}, Outcome::negative, {0x7F, 0x31, 0x11}},
    };
    for (const auto& c : cases) {
        session.context().target_address = c.target;
        const doip_tools::UdsExchange x = session.uds(c.uds);
        EXPECT_EQ(x.outcome, c.outcome) << doip_tools::outcome_name(x.outcome);
        EXPECT_EQ(x.uds, c.response);
    }
    EXPECT_TRUE(session.take_skipped().empty());
}

// The unsolicited burst: every message reaches the tester once and in order and none is taken for the
// answer to the request that follows.
TEST_F(SimulatorE2e, UnsolicitedBurstIsPassedOverWholeAndInOrder) {
    constexpr uint32_t kBurst = 5000;
    doip_tools::SimulatorOptions sim;
    sim.faults.unsolicited_burst = kBurst;
    start(sim);
    doip_tools::TesterOptions options;
    options.port = port();
    options.timeout_ms = static_cast<uint32_t>(kPatience.count());
    doip_tools::Session session(options);
    ASSERT_EQ(session.activate(), DOIP_OK);
    const doip_tools::UdsExchange x = session.uds(hex("31 01 02 00 AB CD"));
    EXPECT_EQ(x.outcome, doip_tools::UdsExchange::Outcome::positive) << doip_tools::outcome_name(x.outcome);
    EXPECT_EQ(x.uds, hex("71 01 02 00 AB CD"));
    ASSERT_EQ(x.unsolicited.size(), doip_tools::kMaxKept);
    EXPECT_EQ(x.unsolicited_not_kept, kBurst - doip_tools::kMaxKept);
    for (size_t i = 0; i < x.unsolicited.size(); ++i) {
        const Bytes uds = {0x62, 0xF2, 0x00, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
        EXPECT_EQ(x.unsolicited[i].message, diag(kEntity, kTester, uds)) << i;
    }
    const doip_tools::UdsExchange next = session.uds(hex("3E 00"));
    EXPECT_EQ(next.outcome, doip_tools::UdsExchange::Outcome::positive);
    EXPECT_TRUE(next.unsolicited.empty());
    // The activation response, the burst, two acknowledgements and two responses.
    EXPECT_EQ(layer_delta().messages_appended, 1u + kBurst + 4u);
}

TEST_F(SimulatorE2e, DiscoveryOverUdp) {
    doip_tools::SimulatorOptions sim;
    sim.power_mode = 0x02;
    sim.max_sockets = 7;
    start(sim);
    const std::string vin_request =
        "02 FD 00 03 00 00 00 11 57 44 4F 49 50 53 49 4D 30 30 30 30 30 30 30 30 ";
    const std::string identified =
        "vehicle identification response (0x0004): VIN \"WDOIPSIM000000001\", logical address 0x0CE1, "
        "EID 02 00 5E 00 0C E1, GID 02 00 5E 00 00 01, further action 0x00";
    const struct {
        std::string request;
        std::string reply;  // described; empty: no reply
    } cases[] = {
        {"02 FD 00 01 00 00 00 00", identified},
        {"FF 00 00 01 00 00 00 00", identified},  // the default version of vehicle identification
        {"02 FD 00 02 00 00 00 06 02 00 5E 00 0C E1", identified},
        {vin_request + "31", identified},
        {vin_request + "32", ""},
        {"02 FD 00 05 00 00 00 07 0E F5 00 00 00 00 00",
         "generic header NACK (0x0000), code 0x01 unknown payload type"},
        {"02 FD 40 01 00 00 00 00",
         "entity status response (0x4002): node type 0x00 gateway, max sockets 7, open sockets 0, max data "
         "size 4096"},
        {"02 FD 40 03 00 00 00 00", "diagnostic power mode response (0x4004): 0x02 not supported"},
        // Another entity's announcement and a generic NACK get nothing back, whatever their header: two
        // entities would otherwise answer each other for ever.
        {"02 FD 00 04 00 00 00 20 57 44 4F 49 50 53 49 4D 30 30 30 30 30 30 30 30 32 0C E2 02 00 5E 00 0C E2 "
         "02 00 5E 00 00 01 00",
         ""},
        {"02 FD 00 00 00 00 00 01 01", ""},
        {"FF 00 00 04 00 00 00 00", ""},
    };
    for (const auto& c : cases) {
        std::vector<doip_tools::UdpReply> replies;
        std::string error;
        const int timeout = c.reply.empty() ? 300 : static_cast<int>(kPatience.count());
        ASSERT_EQ(doip_tools::udp_exchange("127.0.0.1", port(), hex(c.request), timeout, 1, &replies, &error),
                  DOIP_OK);
        EXPECT_EQ(replies.empty() ? "" : doip_tools::describe_message(replies[0].bytes), c.reply)
            << c.request;
    }
    EXPECT_EQ(simulator().stats().udp_requests, 8u);
}

// Eight testers on eight connections exchanging UDS requests in parallel, on plain TCP or over TLS (with
// certificates in `pki`, made by the caller): nothing lost, nothing misrouted. Records the exchanges per
// second as a test property.
void SimulatorE2e::eight_testers_thousand_exchanges_each(const std::string& pki) {
    constexpr int kTesters = 8;
    constexpr int kExchanges = 1000;
    doip_tools::SimulatorOptions sim;
    sim.ack_echo_bytes = 2;  // the ACK names the request it acknowledges
    if (!pki.empty()) {
        sim.tls.enabled = true;
        sim.tls.cert_file = pki + "/" + doip_tools::tls::CertificateFiles{}.entity;
        sim.tls.key_file = pki + "/" + doip_tools::tls::CertificateFiles{}.entity_key;
    }
    start(sim);
    std::vector<std::unique_ptr<doip_tools::Session>> sessions;
    // Activations run one after another (the registry has no lock); distinct local addresses make distinct
    // connection keys although activations close together may draw the same local port.
    for (int i = 0; i < kTesters; ++i) {
        doip_tools::TesterOptions options;
        options.port = pki.empty() ? port() : simulator().tls_port();
        if (!pki.empty()) {
            options.tls = doip_tools::tls::ClientOptions{};
            options.tls->ca_file = pki + "/" + doip_tools::tls::CertificateFiles{}.ca;
        }
        options.local_address = "127.0.0." + std::to_string(i + 2);
        options.channel = static_cast<uint8_t>(i + 1);
        options.source_address = static_cast<uint16_t>(0x0E00 + i);
        options.timeout_ms = static_cast<uint32_t>(kPatience.count());
        sessions.push_back(std::make_unique<doip_tools::Session>(options));
        ASSERT_EQ(sessions.back()->activate(), DOIP_OK) << sessions.back()->activation_failure();
    }
    const auto began = Clock::now();

    // Each exchange must bring this connection's own ACK (echoing the request) and response, byte for byte.
    std::atomic<int> wrong{0};
    std::vector<std::thread> testers;
    for (int i = 0; i < kTesters; ++i) {
        testers.emplace_back([&, i] {
            const std::string to_tester = " 0C E1 0E 0" + std::to_string(i) + " ";
            for (int k = 0; k < kExchanges && wrong == 0; ++k) {  // the first wrong exchange ends the test
                const auto sub =
                    doip_tools::hex_bytes({static_cast<uint8_t>(1 + (i * 16 + k) % 0x7F)});  // not 0x80+
                const doip_tools::UdsExchange x =
                    sessions[static_cast<size_t>(i)]->uds(hex(std::string("10") + sub));
                const bool right =
                    x.acknowledgement == hex("02 FD 80 02 00 00 00 07" + to_tester + "00 10 " + sub) &&
                    x.response == hex("02 FD 80 01 00 00 00 0A" + to_tester + "50 " + sub + " 00 32 01 F4");
                wrong += right ? 0 : 1;
            }
        });
    }
    for (auto& t : testers) {
        t.join();
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - began).count();
    ::testing::Test::RecordProperty("exchanges_per_s", std::to_string(kTesters * kExchanges / elapsed));
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(simulator().stats().diagnostic_messages, static_cast<uint64_t>(kTesters * kExchanges));
    EXPECT_EQ(layer_delta().stream_errors, 0u);
    for (auto& session : sessions) {
        session->close();  // one after another again, for the registry
    }
    EXPECT_EQ(layer().connection_count(), 0u);
}

TEST_F(SimulatorE2e, EightTestersThousandExchangesEach) {
    eight_testers_thousand_exchanges_each("");
}

#ifdef DOIP_WITH_TLS
TEST_F(SimulatorE2e, EightTestersThousandExchangesEachOverTls) {
    const std::string pki = (std::filesystem::temp_directory_path() /
                             ("doip-eight-tls-" + std::to_string(std::random_device{}())))
                                .string();
    std::string error;
    ASSERT_TRUE(doip_tools::tls::make_certificates(pki, "127.0.0.1", "localhost", &error)) << error;
    eight_testers_thousand_exchanges_each(pki);
    std::error_code ignored;
    std::filesystem::remove_all(pki, ignored);
}
#endif

// A session reads its connection's own queue (channel 0 too): the library's queue keeps nothing, and a
// reader blocked on the connection returns as soon as another thread closes it.
TEST_F(SimulatorE2e, ASessionReadsItsOwnQueueAndACloseEndsItsWait) {
    start();
    doip_tools::TesterOptions options;
    options.port = port();
    options.channel = 0;
    doip_tools::Session session(options);
    ASSERT_EQ(session.activate(), DOIP_OK) << logged();
    EXPECT_EQ(session.uds({0x3E, 0x00}).outcome, doip_tools::UdsExchange::Outcome::positive);
    EXPECT_FALSE(session.activation_response().empty());
    EXPECT_EQ(doip_msg_cache_count(0), 0);

    std::atomic<int> taken{-1};
    std::thread reader([&] {
        doip_tools::ReceivedMessage m;
        taken = static_cast<int>(layer().take(0, 0, &m, std::chrono::milliseconds(60000)));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the reader waits on the socket by now
    const auto closing = Clock::now();
    layer().close(0);
    reader.join();
    EXPECT_EQ(taken.load(), static_cast<int>(doip_tools::Inbox::Taken::ended));
    EXPECT_LT(doip_tools::ms_since(closing), kPatience.count());
    session.close();
}

}  // namespace
}  // namespace doip_e2e
