// Eight testers on eight connections exchanging UDS requests in parallel: nothing lost, nothing misrouted.
#include "e2e_support.h"

#include <atomic>
#include <thread>

#include "demux.h"
#include "formatting.h"
#include "session.h"

namespace doip_e2e {
namespace {

constexpr int kTesters = 8;
constexpr int kExchanges = 1000;

class ParallelE2e : public E2eTest {};

TEST_F(ParallelE2e, EightTestersThousandExchangesEach) {
    doip_tools::SimulatorOptions sim;
    sim.ack_echo_bytes = 2;  // the ACK names the request it acknowledges
    start(sim);
    doip_tools::MessageDemux demux;
    std::vector<std::unique_ptr<doip_tools::Session>> sessions;
    // Activations run one after another (the registry has no lock); distinct local addresses make distinct
    // connection keys although activations close together may draw the same local port.
    for (int i = 0; i < kTesters; ++i) {
        doip_tools::TesterOptions options;
        options.port = port();
        options.local_address = "127.0.0." + std::to_string(i + 2);
        options.channel = static_cast<uint8_t>(i + 1);
        options.source_address = static_cast<uint16_t>(0x0E00 + i);
        options.timeout_ms = static_cast<uint32_t>(kPatience.count());
        sessions.push_back(std::make_unique<doip_tools::Session>(options, &demux));
        ASSERT_EQ(sessions.back()->activate(), DOIP_OK) << logged();
    }

    // Each exchange must bring this connection's own ACK (echoing the request) and response, byte for byte.
    std::atomic<int> wrong{0};
    std::vector<std::thread> testers;
    for (int i = 0; i < kTesters; ++i) {
        testers.emplace_back([&, i] {
            const std::string to_tester = " 0C E1 0E 0" + std::to_string(i) + " ";
            for (int k = 0; k < kExchanges && wrong == 0; ++k) {  // the first wrong exchange ends the test
                const auto sub =
                    doip_tools::hex_bytes({static_cast<uint8_t>(1 + (i * 16 + k) % 0x7F)});  // not 0x80+
                const doip_tools::UdsExchange x =
                    sessions[static_cast<size_t>(i)]->uds(hex(std::string("10") + sub));
                const bool right =
                    x.acknowledgement == hex("02 FD 80 02 00 00 00 07" + to_tester + "00 10 " + sub) &&
                    x.response == hex("02 FD 80 01 00 00 00 0A" + to_tester + "50 " + sub + " 00 32 01 F4");
                wrong += right ? 0 : 1;
            }
        });
    }
    for (auto& t : testers) {
        t.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(demux.dropped(), 0u);
    EXPECT_EQ(simulator().stats().diagnostic_messages, static_cast<uint64_t>(kTesters * kExchanges));
    EXPECT_EQ(layer_delta().stream_errors, 0u);
    for (auto& session : sessions) {
        session->close();  // one after another again, for the registry
    }
    EXPECT_EQ(layer().connection_count(), 0u);
}

}  // namespace
}  // namespace doip_e2e
