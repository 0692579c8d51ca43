// Request syntax and response matching, and doip-tester uds (run_uds) against the simulator and against
// scripted entities: a target per request, functional requests answered by several ECUs, reconnection after
// the entity closed, the max data size.
#include <sstream>
#include <thread>

#include "commands.h"
#include "e2e_support.h"
#include "scripted_peer.h"
#include "uds_match.h"

namespace doip_e2e {
namespace {

using doip_tools::UdsOptions;

// One step of a scripted entity's answer to a diagnostic request.
struct Reply {
    Bytes bytes;
    uint32_t delay_ms = 0;  // before it is written
};

// What a scripted entity at 0x0CE1 does on one connection after granting routing activation.
struct EntityScript {
    std::vector<Reply> replies;  // to each diagnostic request, in order
    bool close_after = false;    // closes the connection after them
    bool answer_status = true;   // answers the entity status request (without a max data size)
};

// Plays `script` until the tester goes away; the first diagnostic request goes to `first_request`.
void play_entity(ScriptedPeer::Link& link, const EntityScript& script, Bytes* first_request) {
    const Bytes activation = link.read();
    ASSERT_GE(activation.size(), 8u);
    EXPECT_EQ(doip_tools::load_be16(&activation[2]), DOIP_PT_ROUTING_ACTIVATION_REQUEST);
    link.write(activation_response("F5", 0x10));
    for (Bytes m; !(m = link.read()).empty();) {
        const uint16_t type = doip_tools::load_be16(m.data() + 2);
        if (type == DOIP_PT_ENTITY_STATUS_REQUEST && script.answer_status) {
            link.write(message(DOIP_PT_ENTITY_STATUS_RESPONSE, hex("00 10 01")));
        }
        if (type != DOIP_PT_DIAG_MSG) {
            continue;
        }
        if (first_request->empty()) {
            *first_request = m;
        }
        for (const Reply& r : script.replies) {
            std::this_thread::sleep_for(std::chrono::milliseconds(r.delay_ms));
            link.write(r.bytes);
        }
        if (script.close_after) {
            link.close();
            return;
        }
    }
}

class UdsCommandE2e : public E2eTest {
  protected:
    RunResult run(uint16_t port, const std::vector<std::string>& requests, const UdsOptions& uds = {},
                  doip_tools::TesterOptions options = {}) {
        options.port = port;
        std::vector<doip_tools::UdsRequest> parsed(requests.size());
        for (size_t i = 0; i < requests.size(); ++i) {
            EXPECT_TRUE(doip_tools::parse_uds_request(requests[i], &parsed[i])) << requests[i];
        }
        std::ostringstream out;
        RunResult r;
        r.exit_code = doip_tools::run_uds(options, uds, parsed, out);
        r.output = out.str();
        return r;
    }

    // Against a scripted entity that plays connections[i] on its i-th connection and accepts no more.
    RunResult run_scripted(const std::vector<EntityScript>& connections,
                           const std::vector<std::string>& requests, const UdsOptions& uds,
                           const doip_tools::TesterOptions& options, Bytes* first_request = nullptr) {
        Bytes request;
        RunResult r;
        {
            ScriptedPeer peer(
                [&](ScriptedPeer::Link& link, int index) { play_entity(link, connections[index], &request); },
                static_cast<int>(connections.size()));
            r = run(peer.port(), requests, uds, options);
        }
        if (first_request != nullptr) {
            *first_request = request;
        }
        return r;
    }
};

TEST(UdsRequestSyntax, TargetBeforeAColonOtherwiseTheDefault) {
    struct Case {
        const char* text;
        bool valid;
        bool has_target;
        uint16_t target;
        Bytes uds;
    };
    const Case cases[] = {
        {"22F190", true, false, 0, {0x22, 0xF1, 0x90}},
        {"1001:22F190", true, true, 0x1001, {0x22, 0xF1, 0x90}},
        {"1001: 22 F1 90", true, true, 0x1001, {0x22, 0xF1, 0x90}},
        {" e400 :3E 00", true, true, 0xE400, {0x3E, 0x00}},
        {"0x7:3E00", true, true, 0x0007, {0x3E, 0x00}},
        {"22:F1:90", true, false, 0, {0x22, 0xF1, 0x90}},  // colons between bytes, as before
        {"1001:", false, false, 0, {}},
        {"1001:2", false, false, 0, {}},
        {"0x10000:22", false, false, 0, {}},
        {"100G:22", false, false, 0, {}},
    };
    for (const Case& c : cases) {
        doip_tools::UdsRequest r;
        ASSERT_EQ(doip_tools::parse_uds_request(c.text, &r), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(r.has_target, c.has_target) << c.text;
            EXPECT_EQ(r.target, c.target) << c.text;
            EXPECT_EQ(r.uds, c.uds) << c.text;
        }
    }
}

// What a tester takes as the answer to its request, and what it must not.
TEST(UdsMatch, ResponseBelongsToItsRequestOnly) {
    struct Case {
        Bytes request;
        Bytes response;
        bool answers;
    };
    const Case cases[] = {
        {{0x22, 0xF1, 0x90}, {0x62, 0xF1, 0x90, 0x41}, true},
        {{0x22, 0xF1, 0x90}, {0x7F, 0x22, 0x31}, true},
        {{0x3E, 0x00}, {0x7E, 0x00}, true},
        {{0x22, 0xF1, 0x90}, {0x7F, 0x3E, 0x22}, false},  // a late NRC of an earlier request
        {{0x22, 0xF1, 0x90}, {0x7E, 0x00}, false},
        {{0x22, 0xF1, 0x90}, {0x7F, 0x22}, false},  // a negative response needs its NRC
        {{0x22, 0xF1, 0x90}, {}, false},
        {{}, {0x62}, false},
        {{0xFF}, {0x3F}, true},  // the SID wraps like a byte
    };
    for (const Case& c : cases) {
        EXPECT_EQ(doip_tools::answers_request(c.request, c.response), c.answers)
            << testing::PrintToString(c.request) << " / " << testing::PrintToString(c.response);
    }
}

TEST(UdsMatch, PendingAndSuppressedAreRecognised) {
    EXPECT_TRUE(doip_tools::is_response_pending({0x7F, 0x31, 0x78}));
    EXPECT_FALSE(doip_tools::is_response_pending({0x7F, 0x31, 0x22}));
    EXPECT_FALSE(doip_tools::is_response_pending({0x71, 0x78, 0x78}));
    EXPECT_TRUE(doip_tools::response_suppressed({0x3E, 0x80}));
    EXPECT_TRUE(doip_tools::response_suppressed({0x10, 0x83}));
    EXPECT_FALSE(doip_tools::response_suppressed({0x3E, 0x00}));
    EXPECT_FALSE(doip_tools::response_suppressed({0x22, 0xF1, 0x90}));  // a DID, not a sub-function
    EXPECT_FALSE(doip_tools::response_suppressed({0x3E}));
}

// Several ECUs behind the simulator on one connection, and its max data size.
TEST_F(UdsCommandE2e, TargetsPerRequestAndTheMaxDataSize) {
    const std::string largest = "2E" + std::string(2 * 51, '0');  // 12 + 52 bytes: the limit of 64
    const struct {
        std::string requests;  // split()
        uint32_t max_request_size;
        int exit_code;
        uint64_t diagnostic_messages;  // that reached the simulator
        const char* output;
    } cases[] = {
        {"1001:22F190|3E00|1002: 3E 00", 4096, 0, 3,
         "UDS 22 F1 90 to 0x1001\n|0x1001 -> 0x0EF5: 62 F1 90|UDS 3E 00 to 0x0CE1\n|0x0CE1 -> 0x0EF5: 7E 00|"
         "UDS 3E 00 to 0x1002\n|0x1002 -> 0x0EF5: 7E 00"},
        {"1001:3E00|4711:3E00|3E00", 4096, 1, 2, "0x0EF5 -> 0x4711|unknown target address"},
        {largest, 64, 3, 1, "NRC 0x11"},
        {"3E00|" + largest + "00|3E00", 64, 1, 1,
         "error: the request is 65 bytes; the entity accepts at most 64 (max data size from its entity "
         "status)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.requests);
        doip_tools::SimulatorOptions sim;
        sim.extra_ecu_addresses = {0x1001, 0x1002};
        sim.max_request_size = c.max_request_size;
        start(sim);
        const RunResult r = run(port(), split(c.requests));
        EXPECT_EQ(r.exit_code, c.exit_code) << r.output;
        EXPECT_EQ(simulator().stats().diagnostic_messages, c.diagnostic_messages);
        expect_output(r.output, c.output);
        simulator().stop();
    }
}

// Every ECU's answer to a functional request to 0xE400, of a scripted entity; P2 600 ms, P2* 2000 ms.
TEST_F(UdsCommandE2e, FunctionalRequestCollectsEveryEcusAnswer) {
    const struct {
        const char* request;
        std::vector<Reply> replies;  // after the entity's positive ACK
        int exit_code;
        const char* output;
    } cases[] = {
        {"3E00",
         {{diag(0x1001, "7E 00")},
          {diag(0x1002, "7F 3E 78")},
          {diag(0x1003, "7F 3E 22")},
          {diag(0x1004, "62 F1 90 41")},                                // another service
          {addressed(DOIP_PT_DIAG_MSG, 0x1005, 0x0E80, hex("7E 00"))},  // another tester
          {diag(0x1002, "7E 00"), 1100}},                               // after P2: 0x78 extended it
         0,
         "-> diagnostic message (0x8001) 0x0EF5 -> 0xE400: 3E 00|positive ACK (0x8002) 0xE400 -> 0x0EF5|"
         "0x1001 -> 0x0EF5: 7E 00|(1 response-pending answers from 0x1002)\n"
         "    <- diagnostic message (0x8001) 0x1002 -> 0x0EF5: 7E 00|=> 0x1003: negative response, NRC 0x22|"
         "=> 3 ECUs answered: 2 positive, 1 negative|!0x1004 ->|!0x1005 ->"},
        {"3E00",
         {{diag(0x1001, "7F 3E 22")}, {diag(0x1002, "7F 3E 31")}},
         3,  // negative only
         "=> 2 ECUs answered: 0 positive, 2 negative"},
        {"3E00",
         {{diag(0x1001, "7F 22 31")}},
         1,  // nothing related
         "error: no ECU answered the functional request within 600 ms|!0x1001 ->"},
        {"3E00",
         {{diag(0x1001, "7F 3E 78")}},
         1,  // pending without end
         "0x1001 asked for more time (NRC 0x78) and did not answer within 2000 ms|"
         "no ECU answered the functional request"},
        {"3E80", {}, 0, "positive ACK (0x8002) 0xE400 -> 0x0EF5|!error"},  // suppressed
    };
    UdsOptions functional;
    functional.functional = true;
    functional.functional_address = 0xE400;
    doip_tools::TesterOptions options;
    options.timeout_ms = 600;
    options.pending_ms = 2000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        EntityScript script{{{ack(0xE400)}}};
        script.replies.insert(script.replies.end(), c.replies.begin(), c.replies.end());
        Bytes request;
        const RunResult r = run_scripted({script}, {c.request}, functional, options, &request);
        EXPECT_EQ(r.exit_code, c.exit_code) << r.output;
        EXPECT_EQ(request, diag(kTester, 0xE400, hex(c.request)));
        expect_output(r.output, c.output);
    }
}

// An ECU reset: the entity answers 11 01 and closes the connection; the next request needs a new one.
TEST_F(UdsCommandE2e, ConnectionClosedByTheEntityBeforeTheNextRequest) {
    const EntityScript reset{{{ack(kEntity)}, {diag(kEntity, "51 01")}}, true};
    const EntityScript read{{{ack(kEntity)}, {diag(kEntity, "62 F1 90 41")}}};
    const struct {
        bool reconnect;
        uint32_t tries;
        size_t connections;  // the entity accepts: the first resets, the second reads
        int exit_code;
        const char* output;
    } cases[] = {
        {true, 5, 2, 0,
         "the entity closed the connection; reconnecting (attempt 1 of 5, after 100 ms)... routing active "
         "again\n|0x0CE1 -> 0x0EF5: 62 F1 90|!attempt 2"},
        {false, 5, 1, 1,
         "the entity closed the connection|--reconnect opens a new connection|!reconnecting|!62 F1 90"},
        {true, 2, 1, 1,  // the entity does not come back
         "attempt 1 of 2, after 100 ms)... failed|attempt 2 of 2, after 200 ms)... failed|"
         "error: routing not active again after 2 attempts|!62 F1 90"},
    };
    doip_tools::TesterOptions options;
    options.timeout_ms = 1000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        UdsOptions uds;
        uds.reconnect = c.reconnect;
        uds.reconnect_tries = c.tries;
        std::vector<EntityScript> scripts = {reset, read};
        scripts.resize(c.connections);
        const RunResult r = run_scripted(scripts, {"1101", "22F190"}, uds, options);
        EXPECT_EQ(r.exit_code, c.exit_code) << r.output;
        expect_output(r.output, c.output);
    }
}

TEST_F(UdsCommandE2e, EntityStatusUnansweredMeansNoLimit) {
    doip_tools::TesterOptions options;
    options.timeout_ms = 600;
    options.verbose = true;
    EntityScript script{{{ack(kEntity)}, {diag(kEntity, "6E 11 11")}}};
    script.answer_status = false;
    Bytes request;
    const RunResult r = run_scripted({script}, {"2E" + std::string(2 * 5000, '1')}, {}, options, &request);
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(request.size(), 12u + 5001u);
    expect_output(r.output, "entity status: no answer within 600 ms; going on without a max data size");
}

// The simulator as a gateway with two ECUs behind it: a functional request is answered by every target, an
// ECU reset ends the connection, and --reconnect carries on with the next request on a new one.
TEST_F(UdsCommandE2e, GatewayAnswersFunctionallyAndComesBackAfterAReset) {
    doip_tools::SimulatorOptions sim;
    sim.extra_ecu_addresses = {0x1001, 0x1002};
    sim.close_after_reset = true;
    start(sim);
    UdsOptions uds;
    uds.functional = true;
    uds.functional_address = 0xE400;
    uds.reconnect = true;
    doip_tools::TesterOptions options;
    options.timeout_ms = 300;
    const RunResult r = run(port(), {"3E00", "0CE1:1101", "1001:22F190"}, uds, options);
    EXPECT_EQ(r.exit_code, doip_tools::kExitOk) << r.output;
    expect_output(
        r.output,
        "0x0CE1 -> 0x0EF5: 7E 00|0x1001 -> 0x0EF5: 7E 00|0x1002 -> 0x0EF5: 7E 00|0x0CE1 -> 0x0EF5: 51 01|"
        "routing active again|WDOIPSIM000001001");
    EXPECT_EQ(simulator().stats().connections, 2u);
}

}  // namespace
}  // namespace doip_e2e
