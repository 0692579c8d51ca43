// The socket layer and the tester against entities that flood them, stall them or play with their
// descriptors: what is kept stays bounded, waits end at their deadline, nothing reaches the wrong
// connection.
#include <atomic>
#include <sstream>

#include "commands.h"
#include "e2e_support.h"
#include "functional.h"
#include "scripted_peer.h"
#include "session.h"
#include "udp_exchange.h"

namespace doip_e2e {
namespace {

using doip_tools::UdsExchange;
using Outcome = UdsExchange::Outcome;

const char* const kAck = "02 FD 80 02 00 00 00 05 0C E1 0E F5 00";
const char* const kFunctionalAck = "02 FD 80 02 00 00 00 05 E4 00 0E F5 00";

// Writes `message` `batch` times per write, `interval_ms` apart (0: back to back), until `duration_ms` has
// passed or the tester has gone.
void keep_writing(ScriptedPeer::Link& link, const Bytes& message, int batch, int interval_ms,
                  int duration_ms) {
    Bytes bytes;
    for (int i = 0; i < batch; ++i) {
        bytes.insert(bytes.end(), message.begin(), message.end());
    }
    const auto end = Clock::now() + std::chrono::milliseconds(duration_ms);
    while (Clock::now() < end && link.write(bytes)) {
        if (interval_ms > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
        }
    }
}

class HostileEntity : public E2eTest {
  protected:
    // How long a hostile entity keeps on: a wait that does not end at its own deadline lasts at least this.
    static constexpr int kHostileMs = 4000;

    doip_tools::TesterOptions options(uint16_t port) const {
        doip_tools::TesterOptions o;
        o.port = port;
        o.timeout_ms = 300;
        o.pending_ms = 1000;
        o.pending_total_ms = 600;
        return o;
    }
};

// After the acknowledgement of 3E 00, responses that answer something else, or response pending without
// end: the exchange ends at its deadline, with what it kept bounded.
struct Stall {
    const char* name;
    uint16_t source;  // who sends it: the target 0x0CE1, else another ECU
    const char* uds;  // what the entity sends instead of the answer
    int batch;
    int interval_ms;
    Outcome outcome;
    bool overflows;  // more unsolicited responses come than are kept
    friend void PrintTo(const Stall& c, std::ostream* os) { *os << c.name; }
};

const Stall kStalls[] = {
    {"unsolicited_flood", kEntity, "50 01 00 32 01 F4", 100, 0, Outcome::no_response, true},
    {"flood_from_another_ecu", 0x1001, "7E 00", 100, 0, Outcome::no_response, false},
    {"unsolicited_every_100ms", kEntity, "50 01 00 32 01 F4", 1, 100, Outcome::no_response, false},
    {"pending_every_100ms", kEntity, "7F 3E 78", 1, 100, Outcome::pending_too_long, false},
};

class Stalls : public HostileEntity, public ::testing::WithParamInterface<Stall> {};

TEST_P(Stalls, TheExchangeEndsAtItsDeadlineAndKeepsABoundedRecord) {
    const Stall& c = GetParam();
    ScriptedPeer peer([&c](ScriptedPeer::Link& link, int) {
        link.answer_activation();
        link.read();
        link.write(hex(kAck));
        keep_writing(link, diag(c.source, c.uds), c.batch, c.interval_ms, kHostileMs);
    });
    doip_tools::Session session(options(peer.port()));
    ASSERT_EQ(session.activate(), DOIP_OK);
    const auto start = Clock::now();
    const UdsExchange x = session.uds({0x3E, 0x00});
    const double ms = doip_tools::ms_since(start);
    EXPECT_EQ(x.outcome, c.outcome) << doip_tools::outcome_name(x.outcome) << " " << x.cause;
    EXPECT_LT(ms, kHostileMs / 2);
    EXPECT_LE(x.unsolicited.size(), doip_tools::kMaxKept);
    EXPECT_EQ(x.unsolicited_not_kept > 0, c.overflows) << x.unsolicited_not_kept;
    EXPECT_LE(session.take_skipped().size(), doip_tools::kMaxKept + 1);
    if (c.outcome == Outcome::pending_too_long) {
        EXPECT_GE(x.pending_responses, 1);
        EXPECT_NE(x.cause.find("within 600 ms (--pending-total)"), std::string::npos) << x.cause;
    }
    session.close();
}

INSTANTIATE_TEST_SUITE_P(HostileEntity, Stalls, ::testing::ValuesIn(kStalls),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileEntity, AFunctionalRequestEndsWhenThePendingTotalRunsOut) {
    ScriptedPeer peer([](ScriptedPeer::Link& link, int) {
        link.answer_activation();
        link.read();
        link.write(hex(kFunctionalAck));
        keep_writing(link, diag(0x1001, "7F 3E 78"), 1, 100, kHostileMs);
    });
    doip_tools::Session session(options(peer.port()));
    ASSERT_EQ(session.activate(), DOIP_OK);
    const doip_tools::FunctionalExchange x = doip_tools::functional_uds(session, 0xE400, {0x3E, 0x00});
    EXPECT_EQ(x.outcome, doip_tools::FunctionalExchange::Outcome::no_answer);
    EXPECT_EQ(x.still_pending, std::vector<uint16_t>{0x1001});
    EXPECT_TRUE(x.pending_total_ran_out);
    EXPECT_LT(x.waited_ms, kHostileMs / 2);
    session.close();
}

// A valid reply and then a burst of small messages, all in one write, while the application does not take
// its messages yet: the layer stops reading rather than let the reply fall off a full queue.
TEST_F(HostileEntity, ABurstAfterTheReplyWaitsForTheReaderAndNothingIsDropped) {
    constexpr int kBurst = 10000;
    ScriptedPeer peer([](ScriptedPeer::Link& link, int) {
        link.answer_activation();
        link.read();
        Bytes bytes = hex(kAck);
        const Bytes reply = diag(kEntity, "62 F1 90 01");
        const Bytes noise = diag(0x1001, "7E 00");
        bytes.insert(bytes.end(), reply.begin(), reply.end());
        for (int i = 0; i < kBurst; ++i) {
            bytes.insert(bytes.end(), noise.begin(), noise.end());
        }
        link.write(bytes);
        link.drain();
    });
    doip_tools::Session session(options(peer.port()));
    ASSERT_EQ(session.activate(), DOIP_OK);
    const doip_tools::SocketLayerStats before = layer().stats();
    ASSERT_EQ(session.send(hex("02 FD 80 01 00 00 00 07 0E F5 0C E1 22 F1 90")), DOIP_OK);
    // Nothing is taken until the layer has read all of it or stopped reading.
    ASSERT_TRUE(until([&] {
        return layer().stats().reader_pauses > before.reader_pauses ||
               layer_delta().messages_appended >= kBurst + 3;
    }));
    const auto take = [&](doip_tools::ReceivedMessage* m) {
        return layer().take(1, 0, m, kPatience) == doip_tools::Inbox::Taken::message;
    };
    doip_tools::ReceivedMessage m;
    ASSERT_TRUE(take(&m));
    EXPECT_EQ(m.bytes, hex(kAck));
    ASSERT_TRUE(take(&m));
    EXPECT_EQ(m.bytes, diag(kEntity, "62 F1 90 01"));
    int noise = 0;
    while (noise < kBurst && take(&m)) {
        ++noise;
    }
    EXPECT_EQ(noise, kBurst);
    EXPECT_EQ(layer().stats().messages_dropped, before.messages_dropped);
    session.close();
}

// Set by the test below; run on the receive thread by the layer's logger.
std::atomic<bool> g_close_on_log{false};
std::atomic<bool> g_closed_on_log{false};
std::atomic<uint64_t> g_appended_at_close{0};
doip_tools::net::Handle g_other = doip_tools::net::kInvalid;

// At the first message of unknown type: closes channel 1 on its own receive thread, then opens a socket
// of its own (which takes the lowest free descriptor number) with a DoIP message waiting in it.
int close_on_receive_thread(int, const char* text, uint32_t length) {
    if (std::string(text, length).find("unknown payload type") == std::string::npos ||
        !g_close_on_log.exchange(false)) {
        return 0;
    }
    doip_tools::SocketLayer::instance().close(1);
    std::string error;
    g_other = doip_tools::net::udp_open(doip_tools::net::Endpoint{"127.0.0.1", 0}, &error);
    doip_tools::net::Endpoint at;
    doip_tools::net::local_endpoint(g_other, &at);
    const Bytes alive_check = hex("02 FD 00 07 00 00 00 00");
    doip_tools::net::udp_send_to(g_other, at, alive_check.data(), alive_check.size());
    g_appended_at_close = doip_tools::SocketLayer::instance().stats().messages_appended;
    g_closed_on_log = true;
    return 0;
}

TEST_F(HostileEntity, AConnectionClosedOnItsReceiveThreadReadsNoOtherDescriptor) {
    ScriptedPeer peer([](ScriptedPeer::Link& link, int) {
        link.answer_activation();
        link.write(hex("02 FD 40 05 00 00 00 00"));
        link.drain();
    });
    doip_tools::SocketLayerOptions layer_options;
    layer_options.logger = &close_on_receive_thread;
    layer().configure(layer_options);
    g_close_on_log = true;
    g_closed_on_log = false;
    const uint64_t threads = layer().stats().receive_threads;
    doip_s ctx;
    doip_tools::fill_context(options(peer.port()), &ctx);
    ASSERT_EQ(doip_activate(1, &ctx), DOIP_OK);
    ASSERT_TRUE(until([&] {
        const doip_tools::SocketLayerStats now = layer().stats();
        return g_closed_on_log &&
               (now.receive_threads == threads || now.messages_appended > g_appended_at_close);
    }));
    EXPECT_EQ(layer().stats().messages_appended, g_appended_at_close.load());
    EXPECT_EQ(doip_tools::net::wait_readable(g_other, 0), 1) << "the closed connection read another socket";
    doip_tools::net::shutdown_both(g_other);
    doip_tools::net::close(g_other);
}

// Sends from another thread while the connection is closed: each ends (sent or refused) and every one after
// the close is refused; the close does not hang on a send under way. (Whether the descriptor is released
// only after the send lock is not visible here: ThreadSanitizer orders the socket calls on a descriptor.)
TEST_F(HostileEntity, SendsRacingACloseEndBeforeTheDescriptorIsReleased) {
    ScriptedPeer peer([](ScriptedPeer::Link& link, int) {
        link.answer_activation();
        link.drain();
    });
    doip_s ctx;
    doip_tools::fill_context(options(peer.port()), &ctx);
    ASSERT_EQ(doip_activate(1, &ctx), DOIP_OK);
    std::atomic<int> sent{0};
    std::atomic<bool> refused{false};
    int last = DOIP_OK;
    std::thread sender([&] {
        const Bytes alive_check_response = hex("02 FD 00 08 00 00 00 02 0E F5");
        while ((last = layer().send(1, alive_check_response.data(), 10)) == DOIP_OK) {
            ++sent;
        }
        refused = true;
    });
    while (sent < 100 && !refused) {
        std::this_thread::yield();
    }
    layer().close(1);
    sender.join();
    EXPECT_TRUE(last == doip_tools::DOIP_SOCKET_ERR_CLOSED || last == doip_tools::DOIP_SOCKET_ERR_NOT_OPEN ||
                last == doip_tools::DOIP_SOCKET_ERR_SEND)
        << last;
    EXPECT_NE(layer().send(1, hex("02 FD 00 08 00 00 00 02 0E F5").data(), 10), DOIP_OK);
}

// An entity on UDP that answers the first request with `datagram`, sent over and over until `duration_ms`
// has passed.
class UdpFlooder {
  public:
    UdpFlooder(Bytes datagram, int duration_ms) {
        std::string error;
        socket_ = doip_tools::net::udp_open(doip_tools::net::Endpoint{"127.0.0.1", 0}, &error);
        EXPECT_NE(socket_, doip_tools::net::kInvalid) << error;
        doip_tools::net::Endpoint bound;
        doip_tools::net::local_endpoint(socket_, &bound);
        port_ = bound.port;
        thread_ = std::thread([this, datagram = std::move(datagram), duration_ms] {
            uint8_t request[64];
            doip_tools::net::Endpoint tester;
            if (doip_tools::net::wait_readable(socket_, 10000) != 1 ||
                doip_tools::net::udp_recv_from(socket_, request, sizeof request, &tester) < 0) {
                return;
            }
            const auto end = Clock::now() + std::chrono::milliseconds(duration_ms);
            while (Clock::now() < end) {
                doip_tools::net::udp_send_to(socket_, tester, datagram.data(), datagram.size());
            }
        });
    }
    ~UdpFlooder() {
        thread_.join();
        doip_tools::net::close(socket_);
    }
    uint16_t port() const { return port_; }

  private:
    doip_tools::net::Handle socket_ = doip_tools::net::kInvalid;
    uint16_t port_ = 0;
    std::thread thread_;
};

// 65,507 bytes, the most a UDP datagram carries, under a vehicle identification header that says so.
Bytes huge_datagram() {
    Bytes datagram(65507, 0x55);
    const Bytes header = hex("02 FD 00 04 00 00 FF DB");
    std::copy(header.begin(), header.end(), datagram.begin());
    return datagram;
}

TEST(HostileUdpEntity, DiscoverSkipsUndecodableDatagramsAndFailsWithoutAValidAnswer) {
    UdpFlooder flooder(huge_datagram(), 1000);
    doip_tools::TesterOptions options;
    options.port = flooder.port();
    doip_tools::DiscoverOptions discover;
    discover.wait_ms = 500;
    std::ostringstream out;
    EXPECT_EQ(doip_tools::run_discover(options, discover, out), doip_tools::kExitFailure) << out.str();
    EXPECT_NE(out.str().find("datagrams skipped: not one whole DoIP message"), std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("error: no vehicle identification response within 500 ms"), std::string::npos)
        << out.str();
}

TEST(HostileUdpEntity, AFloodOfAnswersKeepsABoundedNumber) {
    // A vehicle identification response, sent without end.
    UdpFlooder flooder(hex("02 FD 00 04 00 00 00 21 57 44 4F 49 50 53 49 4D 30 30 30 30 30 30 30 30 31 0C E1"
                           " 02 00 5E 00 0C E1 02 00 5E 00 00 01 00 00"),
                       1000);
    std::vector<doip_tools::UdpReply> replies;
    doip_tools::UdpSkipped skipped;
    std::string error;
    ASSERT_EQ(doip_tools::udp_exchange("127.0.0.1", flooder.port(), hex("02 FD 00 01 00 00 00 00"), 500, 0,
                                       &replies, &error, &skipped),
              DOIP_OK)
        << error;
    EXPECT_EQ(replies.size(), doip_tools::kMaxUdpReplies);
    EXPECT_GT(skipped.not_kept, 0u);
    EXPECT_EQ(skipped.undecodable, 0u);
}

}  // namespace
}  // namespace doip_e2e
