// Routing activation over real loopback TCP against the simulator: what the tester sees of each kind of
// answer and of each way the entity's reply can go wrong.
#include "e2e_support.h"

namespace doip_e2e {
namespace {

using doip_tools::SimulatorOptions;

// What becomes of the socket layer's connection after the activation.
enum After { kOpen, kBroken, kClosedByEntity };  // kBroken: the layer closed it on a bad stream

// The client's unit tests map every response code; here one code of each kind and every fault the
// simulator injects go through real sockets, the socket layer and its framer.
struct Outcome {
    const char* name;
    void (*configure)(SimulatorOptions&);
    uint32_t max_payload_length;  // the socket layer's limit
    int result;
    int state;
    const char* logged;  // part of a line logged, or nullptr: no refusal logged
    After after;
    uint64_t appended;  // messages the socket layer handed to the library
    int min_ms;         // doip_activate takes at least this long
    friend void PrintTo(const Outcome& c, std::ostream* os) { *os << c.name; }
};

constexpr int kP = DOIP_STATE_PENDING;
const char* const kNoResponse = "路由激活失败，未收到响应报文";
const uint32_t kNoLimit = 65536;

const Outcome kOutcomes[] = {
    {"granted", [](SimulatorOptions&) {}, kNoLimit, DOIP_OK, DOIP_STATE_ACTIVATED, nullptr, kOpen, 1, 0},
    {"denied", [](SimulatorOptions& o) { o.activation_response_code = 0x06; }, kNoLimit,
     DOIP_RA_UNSUPPORTED_TYPE, DOIP_STATE_UNSUPPORTED_TYPE, "(0x06) Routing activation denied",
     kClosedByEntity, 1, 0},
    {"confirmation", [](SimulatorOptions& o) { o.activation_response_code = 0x11; }, kNoLimit,
     DOIP_RA_CONFIRMATION_REQUIRED, DOIP_STATE_CONFIRMATION, "(0x11) Routing is activated", kOpen, 1, 0},
    {"silent", [](SimulatorOptions& o) { o.faults.silent = true; }, kNoLimit, DOIP_ERR_TIMEOUT, kP,
     kNoResponse, kOpen, 0, 300},
    {"cut", [](SimulatorOptions& o) { o.faults.cut_reply_to = 12; }, kNoLimit, DOIP_ERR_INPUT_TOO_SHORT, kP,
     "路由激活失败,Unkown Error", kOpen, 1, 0},
    {"other_version", [](SimulatorOptions& o) { o.faults.reply_version = 3; }, kNoLimit, DOIP_ERR_TIMEOUT, kP,
     kNoResponse, kOpen, 1, 300},
    {"bad_inverse", [](SimulatorOptions& o) { o.faults.bad_inverse_version = true; }, kNoLimit,
     DOIP_ERR_TIMEOUT, kP, "bad DoIP header (doip_deserialize: -12)", kBroken, 0, 300},
    {"garbage", [](SimulatorOptions& o) { o.faults.garbage_before_reply = 16; }, kNoLimit, DOIP_ERR_TIMEOUT,
     kP, "bad DoIP header (doip_deserialize: -12) at AA AA", kBroken, 0, 300},
    {"close_mid_message", [](SimulatorOptions& o) { o.faults.close_mid_message = true; }, kNoLimit,
     DOIP_ERR_TIMEOUT, kP, "in the middle of a message (10 bytes of it received", kBroken, 0, 300},
    {"above_the_limit", [](SimulatorOptions&) {}, 8, DOIP_ERR_TIMEOUT, kP,
     "announces 13 payload bytes, more than the limit of 8", kBroken, 0, 300},
    {"split", [](SimulatorOptions& o) { o.faults.split_segment_size = 1; }, kNoLimit, DOIP_OK,
     DOIP_STATE_ACTIVATED, nullptr, kOpen, 1, 0},
    {"delayed", [](SimulatorOptions& o) { o.faults.reply_delay_ms = 150; }, kNoLimit, DOIP_OK,
     DOIP_STATE_ACTIVATED, nullptr, kOpen, 1, 150},
};

class ActivationOutcome : public E2eTest, public ::testing::WithParamInterface<Outcome> {
  protected:
    ActivationOutcome() { max_payload_length_ = GetParam().max_payload_length; }
};

TEST_P(ActivationOutcome, ResultStateLogAndConnection) {
    const Outcome& o = GetParam();
    SimulatorOptions options;
    o.configure(options);
    start(options);
    doip_s ctx;
    doip_init(&ctx);
    std::strcpy(ctx.local.ip_address, "127.0.0.1");
    std::strcpy(ctx.remote.ip_address, "127.0.0.1");
    ctx.remote.port = port();
    ctx.t_tcp_initial_inactivity_ms = 300;
    const auto begin = Clock::now();
    EXPECT_EQ(doip_activate(1, &ctx), o.result) << logged();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
    EXPECT_GE(ms, o.min_ms);
    EXPECT_LT(ms, 3000);
    int state = -1;
    EXPECT_EQ(get_doip_state(&ctx, &state), DOIP_OK);
    EXPECT_EQ(state, o.state);
    if (o.logged != nullptr) {
        EXPECT_NE(logged().find(o.logged), std::string::npos) << logged();
    } else {
        EXPECT_EQ(logged().find("路由激活失败"), std::string::npos) << logged();
    }

    // What arrived is in the application's queue on channel 0; a broken stream closed the connection on
    // both ends and handed nothing on; a denial closes it from the entity's end after the response.
    EXPECT_TRUE(until([&] { return layer().is_open(1) == (o.after == kOpen); }));
    EXPECT_TRUE(until([&] { return layer_delta().messages_appended >= o.appended; }));
    EXPECT_EQ(layer_delta().messages_appended, o.appended);
    EXPECT_EQ(doip_msg_cache_count(0), static_cast<int>(o.appended));
    EXPECT_EQ(layer_delta().stream_errors, o.after == kBroken ? 1u : 0u);
    if (o.after == kClosedByEntity) {
        EXPECT_EQ(layer_delta().peer_closes, 1u);
    }
    if (o.after != kOpen) {
        EXPECT_EQ(layer().send(1, reinterpret_cast<const uint8_t*>("x"), 1),
                  doip_tools::DOIP_SOCKET_ERR_CLOSED);
        EXPECT_TRUE(simulator().wait_for_open_connections(0, kPatience));
    }
    doip_uninitialize(1, &ctx);
    EXPECT_EQ(layer().connection_count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ActivationOutcome, ::testing::ValuesIn(kOutcomes),
                         ::testing::PrintToStringParamName());

}  // namespace
}  // namespace doip_e2e
