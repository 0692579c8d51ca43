// The simulator against testers that hold connections without finishing what they send, and more
// connections than it serves: the read timeout and --max-connections, on raw loopback sockets.
#include <thread>

#include "scripted_peer.h"

namespace doip_e2e {
namespace {

using doip_tools::SimulatorOptions;
using RawTester = ScriptedPeer::Link;

constexpr int kReadTimeoutMs = 400;

long long ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class SimulatorLimits : public E2eTest {
  protected:
    // With the simulator's event lines in logged(); the inactivity timers out of the way.
    void start_logging(SimulatorOptions options = {}) {
        options.read_timeout_ms = kReadTimeoutMs;
        options.initial_inactivity_ms = 60000;
        options.log = [](const std::string& line) {
            std::lock_guard<std::mutex> lock(g_log_mutex);
            g_log += line + "\n";
        };
        start(options);
    }
};

// Routing for the tester 0x0E`xx`.
void activate(RawTester& tester, const std::string& xx) {
    tester.write(activation_request(xx));
    EXPECT_EQ(tester.read(), hex(activation_response(xx, 0x10)));
}
// Routing, then a tester present answered.
void activate_and_ask(RawTester& tester, const std::string& xx) {
    const auto me = static_cast<uint16_t>(0x0E00 | std::stoi(xx, nullptr, 16));
    activate(tester, xx);
    tester.write(diag(me, kEntity, {0x3E, 0x00}));
    EXPECT_EQ(tester.read(), addressed(DOIP_PT_DIAG_MSG_ACK, kEntity, me, {0x00}));
    EXPECT_EQ(tester.read(), diag(kEntity, me, {0x7E, 0x00}));
}

struct Stall {
    const char* name;
    bool activated;
    const char* bytes;   // sent at once, or one by one
    const char* answer;  // what comes back before the close (hex), or empty
    int drip_ms;         // > 0: a byte every drip_ms
    friend void PrintTo(const Stall& c, std::ostream* os) { *os << c.name; }
};

class StalledMessage : public SimulatorLimits, public ::testing::WithParamInterface<Stall> {};

// Whatever keeps coming, a message not whole kReadTimeoutMs after its first byte ends the connection; the
// inactivity timers (60 s before activation, 300 s after) would not have.
TEST_P(StalledMessage, ClosesTheConnectionAfterTheReadTimeout) {
    start_logging();
    RawTester tester(port());
    if (GetParam().activated) {
        activate_and_ask(tester, "F5");
    }
    logged(true);
    const Bytes bytes = hex(GetParam().bytes);
    const auto first_byte = Clock::now();
    bool closed = false;
    if (GetParam().drip_ms > 0) {
        for (size_t at = 0; at < bytes.size() && !closed; ++at) {
            tester.write(Bytes{bytes[at]});
            closed = tester.closed(GetParam().drip_ms);
        }
    } else {
        tester.write(bytes);
        EXPECT_EQ(tester.read(kReadTimeoutMs / 2), *GetParam().answer ? hex(GetParam().answer) : Bytes());
    }
    EXPECT_TRUE(closed || tester.closed());
    const long long after = ms_since(first_byte);
    EXPECT_GE(after, kReadTimeoutMs - 10);
    EXPECT_TRUE(simulator().wait_for_open_connections(0, kPatience));
    expect_output(logged(), "with a message begun and not whole (read timeout 400 ms)");
}

const Stall kStalls[] = {
    {"half_a_header_before_activation", false, "02 FD 00", "", 0},
    {"half_a_header_after_activation", true, "02 FD 80", "", 0},
    {"payload_never_completes", true, "02 FD 80 01 00 00 00 06 0E F5 0C E1", "", 0},
    // Refused (unknown payload type): NACKed at once, then its payload is dropped as it comes.
    {"refused_payload_never_completes", true, "02 FD 12 34 00 00 00 04 AA", "02 FD 00 00 00 00 00 01 01", 0},
    {"a_byte_every_100_ms", true, "02 FD 80 01 00 00 00 06 0E F5 0C E1 3E 00", "", 100},
};

INSTANTIATE_TEST_SUITE_P(Stalls, StalledMessage, ::testing::ValuesIn(kStalls),
                         ::testing::PrintToStringParamName());

// The read timer runs per message, from its first byte: messages that come in pieces within it, or whole
// after a longer pause, are answered, although two of them together take longer than the timeout.
TEST_F(SimulatorLimits, SlowWholeMessagesKeepTheConnection) {
    start_logging();
    RawTester tester(port());
    activate_and_ask(tester, "F5");
    const Bytes request = diag(kTester, kEntity, {0x3E, 0x00});
    for (int round = 0; round < 2; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kReadTimeoutMs + 200));  // idle: no timer
        tester.write(Bytes(request.begin(), request.begin() + 5));
        std::this_thread::sleep_for(std::chrono::milliseconds(kReadTimeoutMs * 5 / 8));
        // The rest, and the start of the next, whose timer starts now.
        Bytes rest(request.begin() + 5, request.end());
        rest.insert(rest.end(), request.begin(), request.begin() + 5);
        tester.write(rest);
        std::this_thread::sleep_for(std::chrono::milliseconds(kReadTimeoutMs * 5 / 8));
        tester.write(Bytes(request.begin() + 5, request.end()));
        for (int answer = 0; answer < 2; ++answer) {
            EXPECT_EQ(tester.read(), ack(kEntity));
            EXPECT_EQ(tester.read(), diag(kEntity, "7E 00"));
        }
    }
    EXPECT_EQ(logged().find("read timeout"), std::string::npos) << logged();
}

// A tester that sends requests and reads no answers fills its receive window; the reply that then cannot
// go out within the timeout ends the connection (and its thread), instead of a send that waits for ever.
TEST_F(SimulatorLimits, TesterThatTakesNoRepliesIsClosed) {
    SimulatorOptions options;
    options.ack_echo_bytes = 4000;  // replies as large as the requests: the window fills sooner
    start_logging(options);
    RawTester tester(port());
    activate(tester, "F5");
    Bytes uds(3996, 0x55);
    uds[0] = 0x31;
    const Bytes request = diag(kTester, kEntity, uds);
    std::thread writer([&] {
        while (tester.write(request)) {
        }
    });
    EXPECT_TRUE(simulator().wait_for_open_connections(0, std::chrono::seconds(30)));
    tester.close();  // ends the writer's send if the simulator did not
    writer.join();
    expect_output(logged(), ": closed: a reply could not be sent");
}

// The connection beyond the limit is closed at once and logged; the others are served, and once one of
// them ends there is room again.
TEST_F(SimulatorLimits, ConnectionBeyondMaxConnectionsIsRefused) {
    SimulatorOptions options;
    options.max_connections = 4;
    start_logging(options);
    std::vector<std::unique_ptr<RawTester>> testers;
    for (int i = 0; i < 4; ++i) {
        testers.push_back(std::make_unique<RawTester>(port()));
    }
    ASSERT_TRUE(simulator().wait_for_open_connections(4, kPatience));
    RawTester fifth(port());
    const auto connected = Clock::now();
    EXPECT_TRUE(fifth.closed());
    EXPECT_LT(ms_since(connected), kReadTimeoutMs);  // refused, not timed out
    expect_output(logged(), "refused the connection from 127.0.0.1:|: 4 connections are open");
    for (int i = 0; i < 4; ++i) {
        activate_and_ask(*testers[static_cast<size_t>(i)], "0" + std::to_string(i + 1));
    }
    testers[0]->finish();
    ASSERT_TRUE(simulator().wait_for_open_connections(3, kPatience));
    RawTester sixth(port());
    activate_and_ask(sixth, "06");
    EXPECT_EQ(simulator().stats().connections, 6u);
    EXPECT_EQ(simulator().stats().connections_refused, 1u);
}

}  // namespace
}  // namespace doip_e2e
