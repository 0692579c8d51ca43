// The simulator as a DoIP entity, seen by testers on raw loopback sockets: what a denied
// activation does to the socket, alive checks when a source address is taken or every socket is active,
// inactivity timers, vehicle announcements, the cut fault and functional addressing.
#include <thread>

#include "formatting.h"
#include "scripted_peer.h"
#include "udp_exchange.h"

namespace doip_e2e {
namespace {

using doip_tools::SimulatorOptions;

const char* const kAliveCheckRequest = "02 FD 00 07 00 00 00 00";
using RawTester = ScriptedPeer::Link;

// Asks for routing for the tester 0x0E`xx`; the entity answers with `code`.
void activate(RawTester& tester, const std::string& xx, uint8_t code = 0x10) {
    tester.write(activation_request(xx));
    EXPECT_EQ(tester.read(), hex(activation_response(xx, code)));
}
// True when an alive check is answered with the tester address 0x0E`xx` (0x0000 without routing, "00").
bool answers_alive_check(RawTester& tester, const std::string& xx) {
    tester.write(kAliveCheckRequest);
    return tester.read() == hex("02 FD 00 08 00 00 00 02 " + std::string(xx == "00" ? "00 " : "0E ") + xx);
}

class EntityConformance : public E2eTest {
  protected:
    // With the simulator's event lines in logged().
    void start_logging(SimulatorOptions options) {
        options.log = [](const std::string& line) {
            std::lock_guard<std::mutex> lock(g_log_mutex);
            g_log += line + "\n";
        };
        start(options);
    }
};

// 0x04 (missing authentication) and 0x07 (secure connection required) leave the tester a chance.
TEST_F(EntityConformance, DeniedActivationClosesTheSocketExceptFor04And07) {
    for (const uint8_t code : {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}) {
        SCOPED_TRACE(doip_tools::hex8(code));
        SimulatorOptions options;
        options.activation_response_code = code;
        start(options);
        RawTester tester(port());
        activate(tester, "F5", code);
        if (code == 0x04 || code == 0x07) {
            EXPECT_TRUE(answers_alive_check(tester, "00"));  // open, without routing
        } else {
            EXPECT_TRUE(tester.closed());
        }
    }
}

struct Contest {
    const char* name;
    uint8_t max_sockets;
    const char* newcomer;  // its source address: the holder's ("01") or another one
    bool holder_answers;
    uint8_t code;  // the newcomer gets
    friend void PrintTo(const Contest& c, std::ostream* os) { *os << c.name; }
};

class AliveCheck : public EntityConformance, public ::testing::WithParamInterface<Contest> {};

// The holder's alive check response arrives on its own connection's thread while the newcomer's waits: an
// entity that held its lock over the wait would never see it in time.
TEST_P(AliveCheck, DecidesBetweenHolderAndNewcomer) {
    const Contest& c = GetParam();
    SimulatorOptions options;
    options.max_sockets = c.max_sockets;
    options.alive_check_timeout_ms = c.holder_answers ? 30000 : 300;
    start_logging(options);
    RawTester holder(port());
    activate(holder, "01");

    RawTester newcomer(port());
    const auto begin = Clock::now();
    newcomer.write(activation_request(c.newcomer));
    EXPECT_EQ(holder.read(), hex(kAliveCheckRequest));
    if (c.holder_answers) {
        holder.write("02 FD 00 08 00 00 00 02 0E 01");
    }
    EXPECT_EQ(newcomer.read(10000), hex(activation_response(c.newcomer, c.code)));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
    if (c.holder_answers) {
        EXPECT_LT(ms, 10000);  // the response ended the wait
        EXPECT_TRUE(answers_alive_check(holder, "01"));
        EXPECT_TRUE(newcomer.closed());
    } else {
        EXPECT_GE(ms, 290);
        EXPECT_TRUE(holder.closed());
        EXPECT_TRUE(answers_alive_check(newcomer, c.newcomer));
        EXPECT_NE(logged().find("no alive check response within 300 ms, closing"), std::string::npos)
            << logged();
    }
}

const Contest kContests[] = {
    {"address_taken_holder_answers", 16, "01", true, 0x03},
    {"address_taken_holder_silent", 16, "01", false, 0x10},
    {"all_sockets_active_holder_answers", 1, "02", true, 0x01},
    {"all_sockets_active_holder_silent", 1, "02", false, 0x10},
};

INSTANTIATE_TEST_SUITE_P(Contests, AliveCheck, ::testing::ValuesIn(kContests),
                         ::testing::PrintToStringParamName());

// Messages 200 ms apart keep an activated socket open past its 600 ms timer; a socket without routing
// activation closes 600 ms after the connect, whatever comes on it. Activating again on the same socket
// needs no alive check, even when it is the only one.
TEST_F(EntityConformance, InactivityTimersCloseQuietSockets) {
    for (const bool activated : {false, true}) {
        SCOPED_TRACE(activated ? "activated" : "never activated");
        SimulatorOptions options;
        options.max_sockets = 1;
        options.initial_inactivity_ms = 600;
        options.general_inactivity_ms = 600;
        start_logging(options);
        logged(true);
        RawTester tester(port());
        auto last = Clock::now();
        if (activated) {
            activate(tester, "01");
            activate(tester, "01");  // no alive check request first
            for (int i = 0; i < 4; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                last = Clock::now();
                EXPECT_TRUE(answers_alive_check(tester, "01"));
            }
        }
        EXPECT_TRUE(tester.closed());
        EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last).count(), 590);
        EXPECT_TRUE(simulator().wait_for_open_connections(0, kPatience));
        EXPECT_NE(logged().find(activated ? "ms of inactivity" : "ms without routing activation"),
                  std::string::npos)
            << logged();
    }
}

// A UDP socket on an ephemeral 127.0.0.1 port for the simulator's announcements.
class Announcements : public EntityConformance {
  protected:
    // The next datagram; empty when none comes within `timeout_ms`.
    Bytes datagram(int timeout_ms) {
        doip_tools::net::Endpoint from;
        const Bytes bytes = listener_.receive(timeout_ms, &from);
        EXPECT_TRUE(bytes.empty() || from.port == port());  // from the simulator's UDP_DISCOVERY socket
        return bytes;
    }

    UdpPeer listener_{"127.0.0.1"};
    SimulatorOptions options_ = announcing_to(listener_.port);
};

TEST_F(Announcements, ThreeVehicleAnnouncementsHalfASecondApart) {
    const auto begin = Clock::now();
    start(options_);
    std::vector<Clock::time_point> at;
    std::vector<Bytes> got;
    for (int i = 0; i < 3; ++i) {
        got.push_back(datagram(5000));
        at.push_back(Clock::now());
    }
    EXPECT_TRUE(datagram(800).empty());  // three only
    EXPECT_LT(at[0] - begin, std::chrono::milliseconds(2000));
    for (size_t i = 1; i < at.size(); ++i) {
        EXPECT_GE(at[i] - at[i - 1], std::chrono::milliseconds(300));
        EXPECT_LT(at[i] - at[i - 1], std::chrono::milliseconds(2000));
    }
    std::vector<doip_tools::UdpReply> replies;
    std::string error;
    ASSERT_EQ(doip_tools::udp_exchange("127.0.0.1", port(), hex("02 FD 00 01 00 00 00 00"), 5000, 1, &replies,
                                       &error),
              DOIP_OK);
    ASSERT_EQ(replies.size(), 1u);
    for (const Bytes& announcement : got) {
        EXPECT_EQ(announcement, replies[0].bytes);  // the vehicle identification response
    }
}

TEST_F(Announcements, StoppingDropsThePendingOnes) {
    start(options_);
    ASSERT_FALSE(datagram(5000).empty());
    const auto begin = Clock::now();
    simulator().stop();
    EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(400));
    EXPECT_TRUE(datagram(800).empty());
}

TEST_F(EntityConformance, CutRepliesToExactlyNBytes) {
    const struct {
        uint32_t cut;
        const char* reply;  // the alive check response as cut
    } cases[] = {
        {4, "02 FD 00 08"},
        {9, "02 FD 00 08 00 00 00 01 00"},  // a whole header: its length field follows the cut
    };
    for (const auto& c : cases) {
        SimulatorOptions options;
        options.faults.cut_reply_to = c.cut;
        start(options);
        RawTester tester(port());
        tester.write(std::string(kAliveCheckRequest) + " " + kAliveCheckRequest);
        EXPECT_EQ(tester.bytes(2 * c.cut), hex(std::string(c.reply) + " " + c.reply)) << c.cut;
    }
}

// One positive ACK from the functional address, then each target in address order; an NRC 0x11 and a
// suppressed positive response stay silent. A physical request behind each shows nothing else came.
TEST_F(EntityConformance, FunctionalRequestIsAnsweredByEveryTarget) {
    SimulatorOptions options;
    options.extra_ecu_addresses = {0x1001, 0x0A00};
    start(options);
    RawTester tester(port());
    activate(tester, "F5");
    const std::string sn = "62 F1 8C";
    const Bytes session = hex("50 03 00 32 01 F4");
    const struct {
        const char* uds;
        std::vector<Bytes> responses;  // of 0x0A00, 0x0CE1 and 0x1001
    } cases[] = {
        {"22 F1 8C", {with_text(sn, "SN0A00"), with_text(sn, "SN0CE1"), with_text(sn, "SN1001")}},
        {"10 03", {session, session, session}},
        {"19 02 FF", {}},
        {"3E 80", {}},
    };
    const uint16_t ecus[] = {0x0A00, 0x0CE1, 0x1001};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uds);
        tester.write(diag(kTester, 0xE400, hex(c.uds)));
        EXPECT_EQ(tester.read(), ack(0xE400));
        for (size_t i = 0; i < c.responses.size(); ++i) {
            EXPECT_EQ(tester.read(), diag(ecus[i], kTester, c.responses[i]));
        }
        tester.write(diag(kTester, kEntity, hex("3E 00")));
        EXPECT_EQ(tester.read(), ack(kEntity));
        EXPECT_EQ(tester.read(), diag(kEntity, "7E 00"));
    }
}

}  // namespace
}  // namespace doip_e2e
