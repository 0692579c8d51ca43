// Diagnostic messages and the other TCP requests over real loopback TCP against the simulator.
#include "e2e_support.h"

#include "demux.h"
#include "net.h"
#include "session.h"
#include "udp_exchange.h"

namespace doip_e2e {
namespace {

class UdsE2e : public E2eTest {};

// Waits on the application's queue for a message on `channel` that starts with `prefix`.
int wait_for(const doip_s& ctx, uint8_t channel, std::vector<uint8_t> prefix, doip_message_s* out) {
    doip_message_destory(out);
    doip_message_init(out, prefix.data(), static_cast<int>(prefix.size()));
    out->channel = channel;
    return doip_wait_message(1, &ctx, out);
}

TEST_F(UdsE2e, FullExchangeThroughDiagRequestTheCacheAndTheCodecs) {
    start();
    doip_s ctx = context_for(port());
    ASSERT_EQ(doip_activate(3, &ctx), DOIP_OK);
    const uint32_t serial = layer().serial(3);

    const unsigned char uds[] = {0x22, 0xF1, 0x90};
    unsigned char request[15];
    ASSERT_EQ(doip_diag_request(&ctx, uds, sizeof uds, request, sizeof request), DOIP_OK);
    ASSERT_EQ(layer().send(3, request, sizeof request), DOIP_OK);

    doip_message_s ack{};
    ASSERT_EQ(wait_for(ctx, 3, {0x02, 0xFD, 0x80, 0x02}, &ack), DOIP_OK);
    EXPECT_EQ(ack.aux1, 3u);
    EXPECT_EQ(ack.aux2, serial);
    doip_diagnostic_response_s* parsed = nullptr;
    ASSERT_EQ(doip_diag_response(nullptr, ack.data, ack.length, &parsed), DOIP_OK);
    EXPECT_EQ(parsed->header.payload_type, DOIP_PT_DIAG_MSG_ACK);
    EXPECT_EQ(parsed->source_address, 0x0CE1);
    EXPECT_EQ(parsed->target_address, 0x0EF5);
    EXPECT_EQ(parsed->ack_code, 0x00);
    doip_free_diag_response(parsed);

    doip_message_s response{};
    ASSERT_EQ(wait_for(ctx, 3, {0x02, 0xFD, 0x80, 0x01}, &response), DOIP_OK);
    const explain_info_s info = doip_get_expalininfo(response.data, response.length);
    EXPECT_EQ(info.header.payload_type, DOIP_PT_DIAG_MSG);
    EXPECT_EQ(info.sender_address, 0x0CE1);
    ASSERT_EQ(doip_remove_header(&response), DOIP_OK);
    const std::string expected = std::string("\x62\xF1\x90", 3) + "WDOIPSIM000000001";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(response.data), response.length), expected);
    doip_message_destory(&ack);
    doip_message_destory(&response);
}

TEST_F(UdsE2e, UdsTableAndNegativeResponses) {
    start();
    doip_tools::TesterOptions options;
    options.port = port();
    options.local_address = "127.0.0.1";
    doip_tools::Session session(options);
    ASSERT_EQ(session.activate(), DOIP_OK);
    EXPECT_EQ(session.activation_response().size(), 21u);

    struct Case {
        std::vector<uint8_t> uds;
        doip_tools::UdsExchange::Outcome outcome;
        std::vector<uint8_t> response;
    };
    const Case cases[] = {
        {{0x3E, 0x00}, doip_tools::UdsExchange::Outcome::positive, {0x7E, 0x00}},
        {{0x10, 0x03}, doip_tools::UdsExchange::Outcome::positive, {0x50, 0x03, 0x00, 0x32, 0x01, 0xF4}},
        {{0x19, 0x02, 0xFF}, doip_tools::UdsExchange::Outcome::negative, {0x7F, 0x19, 0x11}},
        {{0x3E, 0x80}, doip_tools::UdsExchange::Outcome::no_response_expected, {}},
        {{0x22, 0xF1, 0x86}, doip_tools::UdsExchange::Outcome::negative, {0x7F, 0x22, 0x11}},
    };
    for (const Case& c : cases) {
        const doip_tools::UdsExchange x = session.uds(c.uds);
        EXPECT_EQ(x.outcome, c.outcome) << doip_tools::outcome_name(x.outcome);
        EXPECT_EQ(x.uds, c.response);
        EXPECT_EQ(x.acknowledgement.size(), 13u);
    }
    EXPECT_TRUE(session.take_skipped().empty());
}

TEST_F(UdsE2e, UnknownTargetAddressIsNacked) {
    start();
    doip_tools::TesterOptions options;
    options.port = port();
    options.target_address = 0x1234;
    doip_tools::Session session(options);
    ASSERT_EQ(session.activate(), DOIP_OK);
    const doip_tools::UdsExchange x = session.uds({0x3E, 0x00});
    EXPECT_EQ(x.outcome, doip_tools::UdsExchange::Outcome::nacked);
    EXPECT_EQ(x.ack_code, 0x03);
    ASSERT_GE(x.acknowledgement.size(), 4u);
    EXPECT_EQ(x.acknowledgement[3], 0x03);  // payload type 0x8003
}

TEST_F(UdsE2e, FurtherEcuBehindTheEntityAnswers) {
    doip_tools::SimulatorOptions sim;
    sim.extra_ecu_addresses = {0x1001};
    start(sim);
    doip_tools::TesterOptions options;
    options.port = port();
    options.target_address = 0x1001;
    doip_tools::Session session(options);
    ASSERT_EQ(session.activate(), DOIP_OK);
    const doip_tools::UdsExchange x = session.uds({0x3E, 0x00});
    EXPECT_EQ(x.outcome, doip_tools::UdsExchange::Outcome::positive);
    EXPECT_EQ(x.response_source, 0x1001);
}

TEST_F(UdsE2e, AliveCheckEntityStatusAndPowerModeOnTcp) {
    doip_tools::SimulatorOptions sim;
    sim.power_mode = 0x02;
    sim.max_sockets = 7;
    start(sim);
    doip_tools::TesterOptions options;
    options.port = port();
    options.source_address = 0x0E80;
    doip_tools::Session session(options);
    ASSERT_EQ(session.activate(), DOIP_OK);

    doip_tools::ReceivedMessage reply;
    double ms = 0;
    ASSERT_EQ(session.request(DOIP_PT_ALIVE_CHECK_REQUEST, DOIP_PT_ALIVE_CHECK_RESPONSE, &reply, &ms),
              DOIP_OK);
    doip_alive_check_response_s alive{};
    ASSERT_EQ(doip_alive_check_response_deserilize(reply.bytes.data(),
                                                   static_cast<uint32_t>(reply.bytes.size()), &alive),
              DOIP_OK);
    EXPECT_EQ(alive.source_address, 0x0E80);

    ASSERT_EQ(session.request(DOIP_PT_ENTITY_STATUS_REQUEST, DOIP_PT_ENTITY_STATUS_RESPONSE, &reply, &ms),
              DOIP_OK);
    doip_entity_status_response_s status{};
    ASSERT_EQ(doip_entity_status_response_deserilize(reply.bytes.data(),
                                                     static_cast<uint32_t>(reply.bytes.size()), &status),
              DOIP_OK);
    EXPECT_EQ(status.max_concurrent_sockets, 7);
    EXPECT_EQ(status.open_sockets, 1);
    EXPECT_EQ(status.has_max_data_size, 1);

    ASSERT_EQ(session.request(DOIP_PT_POWER_MODE_REQUEST, DOIP_PT_POWER_MODE_RESPONSE, &reply, &ms), DOIP_OK);
    doip_power_mode_response_s power{};
    ASSERT_EQ(doip_power_mode_response_deserilize(reply.bytes.data(),
                                                  static_cast<uint32_t>(reply.bytes.size()), &power),
              DOIP_OK);
    EXPECT_EQ(power.power_mode, 0x02);
}

TEST_F(UdsE2e, VehicleIdentificationOverUdpPlainEidAndVin) {
    start();
    doip_s ctx = context_for(port());
    std::vector<uint8_t> plain(8), by_eid(14), by_vin(25), wrong_vin(25);
    const uint8_t eid[6] = {0x02, 0x00, 0x5E, 0x00, 0x0C, 0xE1};
    ASSERT_EQ(doip_vid_request(&ctx, plain.data(), 8), DOIP_OK);
    ASSERT_EQ(doip_vid_eid_request(&ctx, eid, 6, by_eid.data(), 14), DOIP_OK);
    ASSERT_EQ(doip_vid_vin_request(&ctx, "WDOIPSIM000000001", 17, by_vin.data(), 25), DOIP_OK);
    ASSERT_EQ(doip_vid_vin_request(&ctx, "WDOIPSIM000000002", 17, wrong_vin.data(), 25), DOIP_OK);

    for (const auto* request : {&plain, &by_eid, &by_vin}) {
        std::vector<doip_tools::UdpReply> replies;
        std::string error;
        ASSERT_EQ(doip_tools::udp_exchange("127.0.0.1", port(), *request, 2000, 1, &replies, &error),
                  DOIP_OK);
        ASSERT_EQ(replies.size(), 1u);
        vehicle_id_response_s vid{};
        ASSERT_EQ(
            doip_vid_response(replies[0].bytes.data(), static_cast<unsigned>(replies[0].bytes.size()), &vid),
            DOIP_OK);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(vid.vin), 17), "WDOIPSIM000000001");
        EXPECT_EQ(vid.logical_address, 0x0CE1);
        EXPECT_EQ(std::vector<uint8_t>(vid.eid, vid.eid + 6), std::vector<uint8_t>(eid, eid + 6));
    }
    std::vector<doip_tools::UdpReply> replies;
    std::string error;
    ASSERT_EQ(doip_tools::udp_exchange("127.0.0.1", port(), wrong_vin, 300, 1, &replies, &error), DOIP_OK);
    EXPECT_TRUE(replies.empty());
}

TEST_F(UdsE2e, DiagnosticMessageWithoutActivationIsRefusedAndClosed) {
    start();
    doip_s ctx = context_for(port());
    ctx.local.port = 0;
    ASSERT_EQ(layer().open(5, &ctx), DOIP_OK);
    const unsigned char uds[] = {0x3E, 0x00};
    unsigned char request[14];
    ASSERT_EQ(doip_diag_request(&ctx, uds, sizeof uds, request, sizeof request), DOIP_OK);
    ASSERT_EQ(layer().send(5, request, sizeof request), DOIP_OK);
    doip_message_s nack{};
    ASSERT_EQ(wait_for(ctx, 5, {0x02, 0xFD, 0x80, 0x03}, &nack), DOIP_OK);
    ASSERT_EQ(nack.length, 13u);
    EXPECT_EQ(nack.data[12], 0x02);  // invalid source address
    doip_message_destory(&nack);
    EXPECT_TRUE(eventually([&] { return !layer().is_open(5); }));
    EXPECT_EQ(layer().stats().peer_closes, 1u);
}

}  // namespace
}  // namespace doip_e2e
