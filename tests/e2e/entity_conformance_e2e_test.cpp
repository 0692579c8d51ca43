// The simulator as an ISO 13400-2 entity, seen by testers on raw loopback sockets: what a denied
// activation does to the socket, alive checks when a source address is taken or every socket is active,
// inactivity timers, vehicle announcements, the cut fault, functional addressing and the ECU reset.
#include "e2e_support.h"

#include <thread>

#include "bytes.h"
#include "formatting.h"
#include "net.h"
#include "udp_exchange.h"

namespace doip_e2e {
namespace {

namespace net = doip_tools::net;
using doip_tools::SimulatorOptions;

std::string activation_request(const std::string& xx) {
    return "02 FD 00 05 00 00 00 07 0E " + xx + " 00 00 00 00 00";
}
std::string activation_response(const std::string& xx, uint8_t code) {
    return "02 FD 00 06 00 00 00 09 0E " + xx + " 0C E1 " + doip_tools::hex8(code).substr(2) + " 00 00 00 00";
}
const char* const kAliveCheckRequest = "02 FD 00 07 00 00 00 00";

// A diagnostic message (0x8001) from `source` to `target`.
Bytes diagnostic(uint16_t source, uint16_t target, const Bytes& uds) {
    Bytes m = hex("02 FD 80 01 00 00 00 00 00 00 00 00");
    doip_tools::store_be32(m.data() + 4, static_cast<uint32_t>(4 + uds.size()));
    doip_tools::store_be16(m.data() + 8, source);
    doip_tools::store_be16(m.data() + 10, target);
    m.insert(m.end(), uds.begin(), uds.end());
    return m;
}
Bytes with_text(Bytes head, const std::string& text) {
    head.insert(head.end(), text.begin(), text.end());
    return head;
}

// A tester on a raw TCP socket: bytes out, messages or bytes in, and whether the entity has closed.
class RawTester {
  public:
    explicit RawTester(uint16_t port) {
        const net::ConnectResult r = net::tcp_connect({}, {"127.0.0.1", port}, 5000);
        EXPECT_NE(r.handle, net::kInvalid) << r.text;
        handle_ = r.handle;
    }
    ~RawTester() {
        net::shutdown_both(handle_);
        net::close(handle_);
    }
    void send(const std::string& text) { send(hex(text)); }
    void send(const Bytes& bytes) { EXPECT_TRUE(net::send_all(handle_, bytes.data(), bytes.size())); }
    // The next `count` bytes; fewer when the connection ends or `timeout_ms` passes first.
    Bytes bytes(size_t count, int timeout_ms = 5000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (buffer_.size() < count && !ended_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || net::wait_readable(handle_, static_cast<int>(left.count())) != 1) {
                break;
            }
            uint8_t chunk[4096];
            const long n = net::recv_some(handle_, chunk, sizeof chunk);
            ended_ = n <= 0;
            buffer_.insert(buffer_.end(), chunk, chunk + std::max(n, 0L));
        }
        const size_t taken = std::min(count, buffer_.size());
        Bytes out(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(taken));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(taken));
        return out;
    }
    // The next whole message; empty when none comes.
    Bytes message(int timeout_ms = 5000) {
        Bytes header = bytes(8, timeout_ms);
        if (header.size() < 8) {
            return {};
        }
        const Bytes payload = bytes(doip_tools::load_be32(header.data() + 4), timeout_ms);
        header.insert(header.end(), payload.begin(), payload.end());
        return header;
    }
    // True when the entity closes the connection before anything more comes.
    bool closed() { return bytes(1).empty() && ended_; }
    // True when an alive check is answered with the tester address `xx` ("00" without routing).
    bool answers_alive_check(const std::string& xx) {
        send(kAliveCheckRequest);
        return message() == hex(std::string("02 FD 00 08 00 00 00 02 ") + (xx == "00" ? "00 " : "0E ") + xx);
    }

  private:
    net::Handle handle_ = net::kInvalid;
    Bytes buffer_;
    bool ended_ = false;
};

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
        tester.send(activation_request("F5"));
        EXPECT_EQ(tester.message(), hex(activation_response("F5", code)));
        if (code == 0x04 || code == 0x07) {
            EXPECT_TRUE(tester.answers_alive_check("00"));  // open, without routing
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
    holder.send(activation_request("01"));
    ASSERT_EQ(holder.message(), hex(activation_response("01", 0x10)));

    RawTester newcomer(port());
    const auto begin = Clock::now();
    newcomer.send(activation_request(c.newcomer));
    EXPECT_EQ(holder.message(), hex(kAliveCheckRequest));
    if (c.holder_answers) {
        holder.send("02 FD 00 08 00 00 00 02 0E 01");
    }
    EXPECT_EQ(newcomer.message(10000), hex(activation_response(c.newcomer, c.code)));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
    if (c.holder_answers) {
        EXPECT_LT(ms, 10000);  // the response ended the wait
        EXPECT_TRUE(holder.answers_alive_check("01"));
        EXPECT_TRUE(newcomer.closed());
    } else {
        EXPECT_GE(ms, 290);
        EXPECT_TRUE(holder.closed());
        EXPECT_TRUE(newcomer.answers_alive_check(c.newcomer));
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

TEST_F(EntityConformance, ReactivationOnTheSameSocketNeedsNoAliveCheck) {
    SimulatorOptions options;
    options.max_sockets = 1;
    start(options);
    RawTester tester(port());
    for (int i = 0; i < 2; ++i) {
        tester.send(activation_request("01"));
        EXPECT_EQ(tester.message(), hex(activation_response("01", 0x10)));  // no alive check request first
    }
}

// Messages 200 ms apart keep an activated socket open past its 600 ms timer; a socket without routing
// activation closes 600 ms after the connect, whatever comes on it.
TEST_F(EntityConformance, InactivityTimersCloseQuietSockets) {
    for (const bool activate : {false, true}) {
        SCOPED_TRACE(activate ? "activated" : "never activated");
        SimulatorOptions options;
        options.initial_inactivity_ms = 600;
        options.general_inactivity_ms = 600;
        start_logging(options);
        logged(true);
        RawTester tester(port());
        auto last = Clock::now();
        if (activate) {
            tester.send(activation_request("01"));
            EXPECT_EQ(tester.message(), hex(activation_response("01", 0x10)));
            for (int i = 0; i < 4; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                last = Clock::now();
                EXPECT_TRUE(tester.answers_alive_check("01"));
            }
        }
        EXPECT_TRUE(tester.closed());
        EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last).count(), 590);
        EXPECT_TRUE(simulator().wait_for_open_connections(0, kPatience));
        EXPECT_NE(logged().find(activate ? "ms of inactivity" : "ms without routing activation"),
                  std::string::npos)
            << logged();
    }
}

// A UDP socket on an ephemeral 127.0.0.1 port for the simulator's announcements.
class Announcements : public EntityConformance {
  protected:
    void SetUp() override {
        EntityConformance::SetUp();
        std::string error;
        listener_ = net::udp_open(net::Endpoint{"127.0.0.1", 0}, &error);
        ASSERT_NE(listener_, net::kInvalid) << error;
        net::Endpoint bound;
        net::local_endpoint(listener_, &bound);
        options_.announce = true;
        options_.announce_address = "127.0.0.1";
        options_.announce_port = bound.port;
    }
    void TearDown() override {
        EntityConformance::TearDown();
        net::close(listener_);
    }
    // The next datagram; empty when none comes within `timeout_ms`.
    Bytes datagram(int timeout_ms) {
        Bytes buffer(512);
        net::Endpoint from;
        if (net::wait_readable(listener_, timeout_ms) != 1) {
            return {};
        }
        buffer.resize(
            static_cast<size_t>(std::max(net::udp_recv_from(listener_, buffer.data(), 512, &from), 0L)));
        EXPECT_EQ(from.port, port());  // from the simulator's UDP_DISCOVERY socket
        return buffer;
    }

    net::Handle listener_ = net::kInvalid;
    SimulatorOptions options_;
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
        tester.send(std::string(kAliveCheckRequest) + " " + kAliveCheckRequest);
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
    tester.send(activation_request("F5"));
    ASSERT_EQ(tester.message(), hex(activation_response("F5", 0x10)));
    const Bytes sn = hex("62 F1 8C");
    const struct {
        Bytes uds;
        std::vector<std::pair<uint16_t, Bytes>> responses;
    } cases[] = {
        {hex("22 F1 8C"),
         {{0x0A00, with_text(sn, "SN0A00")},
          {0x0CE1, with_text(sn, "SN0CE1")},
          {0x1001, with_text(sn, "SN1001")}}},
        {hex("10 03"),
         {{0x0A00, hex("50 03 00 32 01 F4")},
          {0x0CE1, hex("50 03 00 32 01 F4")},
          {0x1001, hex("50 03 00 32 01 F4")}}},
        {hex("19 02 FF"), {}},
        {hex("3E 80"), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(doip_tools::hex_bytes(c.uds));
        tester.send(diagnostic(0x0EF5, 0xE400, c.uds));
        EXPECT_EQ(tester.message(), hex("02 FD 80 02 00 00 00 05 E4 00 0E F5 00"));
        for (const auto& [ecu, response] : c.responses) {
            EXPECT_EQ(tester.message(), diagnostic(ecu, 0x0EF5, response));
        }
        tester.send(diagnostic(0x0EF5, 0x0CE1, hex("3E 00")));
        EXPECT_EQ(tester.message(), hex("02 FD 80 02 00 00 00 05 0C E1 0E F5 00"));
        EXPECT_EQ(tester.message(), diagnostic(0x0CE1, 0x0EF5, hex("7E 00")));
    }
}

TEST_F(EntityConformance, EcuResetClosesTheConnectionWhenAsked) {
    for (const bool close_after_reset : {false, true}) {
        SimulatorOptions options;
        options.close_after_reset = close_after_reset;
        start(options);
        RawTester tester(port());
        tester.send(activation_request("F5"));
        EXPECT_EQ(tester.message(), hex(activation_response("F5", 0x10)));
        tester.send(diagnostic(0x0EF5, 0x0CE1, hex("11 01")));
        EXPECT_EQ(tester.message(), hex("02 FD 80 02 00 00 00 05 0C E1 0E F5 00"));
        EXPECT_EQ(tester.message(), diagnostic(0x0CE1, 0x0EF5, hex("51 01")));
        EXPECT_TRUE(close_after_reset ? tester.closed() : tester.answers_alive_check("F5"));
    }
}

}  // namespace
}  // namespace doip_e2e
