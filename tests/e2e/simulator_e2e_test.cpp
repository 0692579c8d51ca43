// The simulator as any DoIP tester sees it: raw TCP bytes in, ISO 13400-2 answers out.
#include "e2e_support.h"

#include <algorithm>

#include "framer.h"
#include "net.h"

namespace doip_e2e {
namespace {

namespace net = doip_tools::net;

// A raw TCP client that reads whole messages with the framer.
class RawClient {
  public:
    explicit RawClient(uint16_t port) {
        net::ConnectResult r = net::tcp_connect(net::Endpoint{}, net::Endpoint{"127.0.0.1", port}, 2000);
        handle_ = r.handle;
        EXPECT_NE(handle_, net::kInvalid) << r.text;
    }
    ~RawClient() { net::close(handle_); }

    void send(const std::vector<uint8_t>& bytes) {
        ASSERT_TRUE(net::send_all(handle_, bytes.data(), bytes.size()));
    }
    void send_bytewise(const std::vector<uint8_t>& bytes) {
        for (uint8_t b : bytes) {
            ASSERT_TRUE(net::send_all(handle_, &b, 1));
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    }

    // The next whole message, or empty on timeout or close (closed() tells which).
    std::vector<uint8_t> next(int timeout_ms = 2000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            doip_tools::MessageFramer::Frame frame;
            if (framer_.next(&frame) == doip_tools::MessageFramer::Status::message) {
                std::vector<uint8_t> message(frame.length);
                std::copy(frame.data, frame.data + frame.length, message.begin());
                return message;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (closed_ || left.count() <= 0 ||
                net::wait_readable(handle_, static_cast<int>(left.count())) != 1) {
                return {};
            }
            uint8_t chunk[4096];
            const long n = net::recv_some(handle_, chunk, sizeof chunk);
            if (n <= 0) {
                closed_ = true;
                return {};
            }
            framer_.feed(chunk, static_cast<size_t>(n));
        }
    }
    // True once the peer has closed (reads until then, at most `timeout_ms`).
    bool closed_by_peer(int timeout_ms = 2000) {
        while (!closed_ && !next(timeout_ms).empty()) {
        }
        return closed_;
    }

  private:
    net::Handle handle_ = net::kInvalid;
    doip_tools::MessageFramer framer_{1 << 20};
    bool closed_ = false;
};

std::vector<uint8_t> header(uint16_t type, uint32_t length, uint8_t version = 0x02) {
    return {version,
            static_cast<uint8_t>(~version),
            static_cast<uint8_t>(type >> 8),
            static_cast<uint8_t>(type),
            static_cast<uint8_t>(length >> 24),
            static_cast<uint8_t>(length >> 16),
            static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length)};
}

std::vector<uint8_t> activation_request(uint16_t source = 0x0EF5) {
    std::vector<uint8_t> m = header(DOIP_PT_ROUTING_ACTIVATION_REQUEST, 7);
    const uint8_t payload[] = {
        static_cast<uint8_t>(source >> 8), static_cast<uint8_t>(source), 0x00, 0, 0, 0, 0};
    m.insert(m.end(), payload, payload + sizeof payload);
    return m;
}

std::vector<uint8_t> diag(std::vector<uint8_t> uds, uint16_t source = 0x0EF5, uint16_t target = 0x0CE1) {
    std::vector<uint8_t> m = header(DOIP_PT_DIAG_MSG, static_cast<uint32_t>(4 + uds.size()));
    const uint8_t addresses[] = {static_cast<uint8_t>(source >> 8), static_cast<uint8_t>(source),
                                 static_cast<uint8_t>(target >> 8), static_cast<uint8_t>(target)};
    m.insert(m.end(), addresses, addresses + 4);
    m.insert(m.end(), uds.begin(), uds.end());
    return m;
}

uint16_t type_of(const std::vector<uint8_t>& m) {
    return m.size() >= 4 ? static_cast<uint16_t>(m[2] << 8 | m[3]) : 0xFFFF;
}

class SimulatorE2e : public E2eTest {};

TEST_F(SimulatorE2e, SeveralMessagesInOneSegmentAreAllAnswered) {
    start();
    RawClient client(port());
    std::vector<uint8_t> burst = activation_request();
    for (uint8_t session : {0x01, 0x02, 0x03}) {
        const std::vector<uint8_t> m = diag({0x10, session});
        burst.insert(burst.end(), m.begin(), m.end());
    }
    client.send(burst);
    EXPECT_EQ(type_of(client.next()), DOIP_PT_ROUTING_ACTIVATION_RESPONSE);
    for (uint8_t session : {0x01, 0x02, 0x03}) {
        EXPECT_EQ(type_of(client.next()), DOIP_PT_DIAG_MSG_ACK);
        const std::vector<uint8_t> response = client.next();
        ASSERT_EQ(response.size(), 18u);
        EXPECT_EQ(response[12], 0x50);
        EXPECT_EQ(response[13], session);
    }
}

TEST_F(SimulatorE2e, OneMessageSplitOverManySegmentsIsAnswered) {
    start();
    RawClient client(port());
    client.send_bytewise(activation_request());
    const std::vector<uint8_t> reply = client.next();
    ASSERT_EQ(reply.size(), 17u);
    EXPECT_EQ(reply[12], 0x10);
    client.send_bytewise(diag({0x22, 0xF1, 0x90}));
    EXPECT_EQ(type_of(client.next()), DOIP_PT_DIAG_MSG_ACK);
    EXPECT_EQ(client.next().size(), 12u + 20u);
}

TEST_F(SimulatorE2e, IncorrectPatternGetsGenericNackAndClose) {
    start();
    RawClient client(port());
    client.send({0x02, 0x02, 0x00, 0x05, 0x00, 0x00, 0x00, 0x07});
    const std::vector<uint8_t> nack = client.next();
    ASSERT_EQ(nack.size(), 9u);
    EXPECT_EQ(type_of(nack), DOIP_PT_GENERIC_NACK);
    EXPECT_EQ(nack[8], 0x00);
    EXPECT_TRUE(client.closed_by_peer());
}

TEST_F(SimulatorE2e, UnsupportedProtocolVersionGetsGenericNackAndClose) {
    start();
    RawClient client(port());
    std::vector<uint8_t> request = activation_request();
    request[0] = 0x07;
    request[1] = 0xF8;
    client.send(request);
    const std::vector<uint8_t> nack = client.next();
    ASSERT_EQ(nack.size(), 9u);
    EXPECT_EQ(nack[8], 0x00);
    EXPECT_TRUE(client.closed_by_peer());
}

TEST_F(SimulatorE2e, UnknownPayloadTypeIsSkippedAndTheConnectionStays) {
    start();
    RawClient client(port());
    std::vector<uint8_t> unknown = header(0x1234, 3);
    unknown.insert(unknown.end(), {0xAA, 0xBB, 0xCC});
    const std::vector<uint8_t> alive = header(DOIP_PT_ALIVE_CHECK_REQUEST, 0);
    unknown.insert(unknown.end(), alive.begin(), alive.end());
    client.send(unknown);
    const std::vector<uint8_t> nack = client.next();
    ASSERT_EQ(nack.size(), 9u);
    EXPECT_EQ(nack[8], 0x01);
    EXPECT_EQ(type_of(client.next()), DOIP_PT_ALIVE_CHECK_RESPONSE);
}

TEST_F(SimulatorE2e, MessageTooLargeIsSkippedAndTheConnectionStays) {
    start();
    RawClient client(port());
    client.send(activation_request());
    ASSERT_EQ(type_of(client.next()), DOIP_PT_ROUTING_ACTIVATION_RESPONSE);
    std::vector<uint8_t> big = diag(std::vector<uint8_t>(5000, 0x22));
    const std::vector<uint8_t> after = diag({0x3E, 0x00});
    big.insert(big.end(), after.begin(), after.end());
    client.send(big);
    const std::vector<uint8_t> nack = client.next();
    ASSERT_EQ(nack.size(), 9u);
    EXPECT_EQ(nack[8], 0x02);
    EXPECT_EQ(type_of(client.next()), DOIP_PT_DIAG_MSG_ACK);
    const std::vector<uint8_t> response = client.next();
    ASSERT_EQ(response.size(), 14u);
    EXPECT_EQ(response[12], 0x7E);
}

TEST_F(SimulatorE2e, InvalidPayloadLengthGetsGenericNackAndClose) {
    start();
    RawClient client(port());
    std::vector<uint8_t> request = header(DOIP_PT_ROUTING_ACTIVATION_REQUEST, 8);
    request.insert(request.end(), 8, 0x00);
    client.send(request);
    const std::vector<uint8_t> nack = client.next();
    ASSERT_EQ(nack.size(), 9u);
    EXPECT_EQ(nack[8], 0x04);
    EXPECT_TRUE(client.closed_by_peer());
}

TEST_F(SimulatorE2e, ServesSeveralConnectionsAtOnce) {
    start();
    RawClient a(port());
    RawClient b(port());
    RawClient c(port());
    // b answers first although a connected first: no connection waits for another.
    b.send(activation_request(0x0E01));
    EXPECT_EQ(b.next().size(), 17u);
    a.send(activation_request(0x0E00));
    c.send(activation_request(0x0E02));
    EXPECT_EQ(c.next().size(), 17u);
    EXPECT_EQ(a.next().size(), 17u);
    EXPECT_TRUE(eventually([&] { return simulator().open_connections() == 3; }));
}

TEST_F(SimulatorE2e, AllSocketsActiveBeyondTheLimit) {
    doip_tools::SimulatorOptions options;
    options.max_sockets = 1;
    start(options);
    RawClient a(port());
    RawClient b(port());
    a.send(activation_request(0x0E00));
    EXPECT_EQ(a.next()[12], 0x10);
    b.send(activation_request(0x0E01));
    EXPECT_EQ(b.next()[12], 0x01);
}

TEST_F(SimulatorE2e, UdpAnswersGenericNackForTcpOnlyPayloadTypes) {
    start();
    std::string error;
    const net::Handle udp = net::udp_open(net::Endpoint{"127.0.0.1", 0}, &error);
    ASSERT_NE(udp, net::kInvalid) << error;
    const std::vector<uint8_t> request = activation_request();
    ASSERT_TRUE(net::udp_send_to(udp, net::Endpoint{"127.0.0.1", port()}, request.data(), request.size()));
    ASSERT_EQ(net::wait_readable(udp, 2000), 1);
    uint8_t reply[64];
    const long n = net::udp_recv_from(udp, reply, sizeof reply, nullptr);
    net::close(udp);
    ASSERT_EQ(n, 9);
    EXPECT_EQ(reply[8], 0x01);
}

}  // namespace
}  // namespace doip_e2e
