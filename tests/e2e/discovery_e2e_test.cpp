// The tester's UDP_DISCOVERY commands against the simulator and against entities played by a test socket:
// what counts as an answer, whose time is printed, and the table of the entities that answered.
#include "e2e_support.h"

#include <sstream>
#include <thread>

#include "commands.h"
#include "describe.h"

namespace doip_e2e {
namespace {

// A vehicle identification response (or announcement) of the entity with logical address 0x`xxxx`; the VIN
// ends in the same four characters.
Bytes vehicle_id(const std::string& xxxx) {
    Bytes m = with_text("02 FD 00 04 00 00 00 20", "WDOIPSIM00000" + xxxx);
    const Bytes rest = hex(xxxx + " 02 00 5E 00 00 01 02 00 5E 00 00 02 00");
    m.insert(m.end(), rest.begin(), rest.end());
    return m;
}

// The milliseconds printed at the end of the first output line that contains `text` ("... [12.3 ms]").
double printed_ms(const std::string& output, const std::string& text) {
    const size_t line = output.find(text);
    const size_t open = output.find('[', line);
    return line == std::string::npos || open == std::string::npos ? -1 : std::stod(output.substr(open + 1));
}

class DiscoveryE2e : public E2eTest {
  protected:
    doip_tools::TesterOptions options(uint16_t to_port, const std::string& host = "127.0.0.1") {
        doip_tools::TesterOptions o;
        o.host = host;
        o.port = to_port;
        return o;
    }
};

// Two entities answer a broadcast 600 ms apart and the first repeats itself: each line carries its own
// arrival time, and the table lists each entity once.
TEST_F(DiscoveryE2e, BroadcastAnswersKeepTheirOwnTimesAndEachEntityIsListedOnce) {
    UdpPeer entities;
    std::thread answering([&] {
        doip_tools::net::Endpoint tester;
        entities.receive(5000, &tester);
        entities.send(tester, vehicle_id("1001"));
        entities.send(tester, vehicle_id("1001"));
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        entities.send(tester, vehicle_id("2002"));
    });
    doip_tools::DiscoverOptions discover;
    discover.wait_ms = 1500;
    std::ostringstream printed;
    const int rc = doip_tools::run_discover(options(entities.port, "127.255.255.255"), discover, printed);
    answering.join();
    const std::string out = printed.str();
    EXPECT_EQ(rc, doip_tools::kExitOk) << out;
    EXPECT_GE(printed_ms(out, "logical address 0x2002") - printed_ms(out, "logical address 0x1001"), 300)
        << out;
    expect_output(
        out,
        "2 entities answered|0x1001   WDOIPSIM000001001  02 00 5E 00 00 01  02 00 5E 00 00 02  0x00 none");
}

// The simulator refuses a header of protocol version 4 with a generic NACK: over UDP that is a failure,
// said with its code, for discovery and status alike.
TEST_F(DiscoveryE2e, GenericNackAloneIsAFailureWithItsCode) {
    start();
    doip_tools::TesterOptions o = options(port());
    o.protocol_version = 0x04;
    std::ostringstream discover, status;
    EXPECT_EQ(doip_tools::run_discover(o, doip_tools::DiscoverOptions{}, discover), doip_tools::kExitFailure);
    EXPECT_EQ(doip_tools::run_status(o, false, status), doip_tools::kExitFailure);
    for (const std::ostringstream* out : {&discover, &status}) {
        expect_output(out->str(),
                      "refused the request with a generic header NACK, code 0x00 incorrect pattern");
    }
}

// --listen collects announcements for the window without asking, and lists the announcing entity once;
// without any it fails.
TEST_F(DiscoveryE2e, ListenCollectsAnnouncements) {
    for (const int announcements : {3, 0}) {
        UdpPeer reserved;  // a free port number for the listener
        const uint16_t listen_port = reserved.port;
        reserved.release();
        UdpPeer entity;
        std::thread announcing([&] {
            for (int i = 0; i < announcements; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
                entity.send(doip_tools::net::Endpoint{"127.0.0.1", listen_port}, vehicle_id("0CE1"));
            }
        });
        doip_tools::DiscoverOptions discover;
        discover.listen = true;
        discover.wait_ms = announcements > 0 ? 1500 : 200;
        std::ostringstream out;
        const int rc = doip_tools::run_discover(options(listen_port), discover, out);
        announcing.join();
        EXPECT_EQ(rc, announcements > 0 ? doip_tools::kExitOk : doip_tools::kExitFailure) << out.str();
        // Nothing is sent when listening.
        expect_output(out.str(), announcements > 0 ? "1 entity answered|!-> "
                                                   : "no vehicle announcement within 200 ms|!-> ");
    }
}

// An entity status payload must be 3 or 7 bytes; another length is named malformed, with what can be read.
TEST(DescribeEntityStatus, PayloadOfAnotherLengthIsMalformed) {
    struct Case {
        const char* message;
        const char* described;
    };
    const Case cases[] = {
        {"02 FD 40 02 00 00 00 03 00 10 01",
         "entity status response (0x4002): node type 0x00 gateway, "
         "max sockets 16, open sockets 1"},
        {"02 FD 40 02 00 00 00 05 01 10 01 00 00",
         "entity status response (0x4002), malformed: 5 payload bytes where 3 or 7 belong; node type 0x01 "
         "node, max sockets 16, open sockets 1"},
        {"02 FD 40 02 00 00 00 01 00",
         "entity status response (0x4002), malformed: 1 payload bytes where 3 or 7 belong; node type 0x00 "
         "gateway"},
        {"02 FD 40 02 00 00 00 00",
         "entity status response (0x4002), malformed: 0 payload bytes where 3 or 7 "
         "belong;"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(doip_tools::describe_message(hex(c.message)), c.described);
    }
}

}  // namespace
}  // namespace doip_e2e
