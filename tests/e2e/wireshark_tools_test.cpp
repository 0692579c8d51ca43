// Wireshark's DoIP dissector reads what the tools put on the wire of their own accord: the simulator's
// vehicle announcements and alive check requests, and the tester's functional diagnostic request. The bytes
// are captured as they arrive on real sockets, then dissected; no malformed packet and no expert info.
#include "e2e_support.h"

#include "scripted_peer.h"
#include "session.h"
#include "support/tshark.h"

namespace doip_e2e {
namespace {

const std::string kFields =
    "doip.version doip.inverse doip.type doip.length doip.vin doip.logical_address doip.eid doip.gid "
    "doip.source_address doip.target_address data.data _ws.malformed _ws.expert";

TEST_F(E2eTest, DissectorReadsTheSimulatorsAnnouncements) {
    DOIP_REQUIRE_TSHARK();
    UdpPeer tester;
    start(announcing_to(tester.port));
    std::vector<Bytes> announcements;
    for (Bytes b; announcements.size() < 3 && !(b = tester.receive()).empty();) {
        announcements.push_back(b);
    }
    ASSERT_EQ(announcements.size(), 3u);
    const std::string fields =
        "\t0x02\t0xfd\t0x0004\t32\tWDOIPSIM000000001\t0x0ce1\t02005e000ce1\t02005e000001\t\t\t\t\t";
    EXPECT_EQ(doip_test::dissect(announcements, true, kFields),
              (std::vector<std::string>{"1" + fields, "2" + fields, "3" + fields}));
}

// A second socket activating the same source address makes the entity check the first with an alive check
// request; the tester then sends a functional request (to 0xE400) on the first.
TEST_F(E2eTest, DissectorReadsAliveCheckRequestsAndFunctionalRequests) {
    DOIP_REQUIRE_TSHARK();
    doip_tools::SimulatorOptions options;
    options.alive_check_timeout_ms = 2000;
    start(options);
    ScriptedPeer::Link one(port());
    ASSERT_TRUE(one.write(activation_request("80")));
    ASSERT_EQ(one.read().size(), 17u);  // routing activation response, granted
    ScriptedPeer::Link two(port());
    ASSERT_TRUE(two.write(activation_request("80")));
    const Bytes alive_check = one.read();
    ASSERT_EQ(alive_check, hex("02 FD 00 07 00 00 00 00"));
    ASSERT_TRUE(one.write("02 FD 00 08 00 00 00 02 0E 80"));
    EXPECT_EQ(two.read().size(), 17u);  // denied with 0x03: the first socket is alive

    // The tester's functional request, as the session builds it, captured by a scripted entity.
    Bytes functional;
    {
        ScriptedPeer entity([&](ScriptedPeer::Link& link, int) {
            link.answer_activation();
            functional = link.read();
        });
        doip_tools::TesterOptions tester;
        tester.port = entity.port();
        tester.source_address = 0x0E80;
        tester.target_address = 0xE400;
        tester.oem_present = false;
        tester.timeout_ms = 200;
        doip_tools::Session session(tester);
        ASSERT_EQ(session.activate(), DOIP_OK);
        session.uds({0x3E, 0x00});
        session.close();
    }
    EXPECT_EQ(doip_test::dissect({alive_check, functional}, false, kFields),
              (std::vector<std::string>{"1\t0x02\t0xfd\t0x0007\t0\t\t\t\t\t\t\t\t\t",
                                        "2\t0x02\t0xfd\t0x8001\t6\t\t\t\t\t0x0e80\t0xe400\t3e00\t\t"}));
}

}  // namespace
}  // namespace doip_e2e
