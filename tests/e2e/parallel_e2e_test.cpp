// Eight testers on eight connections exchanging UDS requests in parallel: nothing lost, nothing misrouted.
#include "e2e_support.h"

#include <atomic>
#include <cstdio>

#include "demux.h"
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
    // connection keys although every activation in the same second draws the same local port.
    for (int i = 0; i < kTesters; ++i) {
        doip_tools::TesterOptions options;
        options.port = port();
        options.local_address = "127.0.0." + std::to_string(i + 2);
        options.channel = static_cast<uint8_t>(i + 1);
        options.source_address = static_cast<uint16_t>(0x0E00 + i);
        options.timeout_ms = 5000;
        sessions.push_back(std::make_unique<doip_tools::Session>(options, &demux));
        ASSERT_EQ(sessions.back()->activate(), DOIP_OK) << LogCapture::all();
        ASSERT_EQ(sessions.back()->state(), DOIP_STATE_ACTIVATED);
        ASSERT_EQ(sessions.back()->activation_response().size(), 21u);
    }
    EXPECT_TRUE(eventually([&] { return simulator().open_connections() == kTesters; }));

    std::atomic<int> lost{0};
    std::atomic<int> misrouted{0};
    std::atomic<int> completed{0};
    std::vector<std::thread> testers;
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < kTesters; ++i) {
        testers.emplace_back([&, i] {
            doip_tools::Session& session = *sessions[static_cast<size_t>(i)];
            const uint16_t own_address = static_cast<uint16_t>(0x0E00 + i);
            for (int k = 0; k < kExchanges; ++k) {
                const uint8_t sub = static_cast<uint8_t>(1 + (i * 16 + k) % 0x7F);  // bit 7 would suppress
                const doip_tools::UdsExchange x = session.uds({0x10, sub});
                if (x.outcome != doip_tools::UdsExchange::Outcome::positive) {
                    ++lost;
                    continue;
                }
                const std::vector<uint8_t> expected = {0x50, sub, 0x00, 0x32, 0x01, 0xF4};
                const bool ack_ok = x.acknowledgement.size() == 15 && x.acknowledgement[13] == 0x10 &&
                                    x.acknowledgement[14] == sub &&
                                    x.acknowledgement[10] == (own_address >> 8) &&
                                    x.acknowledgement[11] == (own_address & 0xFF);
                if (!ack_ok || x.uds != expected || x.response_target != own_address ||
                    x.response_source != 0x0CE1) {
                    ++misrouted;
                    continue;
                }
                ++completed;
            }
        });
    }
    for (auto& t : testers) {
        t.join();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const double rate = completed / seconds;
    std::printf("[ e2e      ] %d connections x %d UDS exchanges: %d completed in %.3f s = %.0f exchanges/s\n",
                kTesters, kExchanges, completed.load(), seconds, rate);
    RecordProperty("exchanges_per_second", static_cast<int>(rate));

    EXPECT_EQ(lost.load(), 0);
    EXPECT_EQ(misrouted.load(), 0);
    EXPECT_EQ(completed.load(), kTesters * kExchanges);
    EXPECT_EQ(demux.dropped(), 0u);
    for (auto& session : sessions) {
        EXPECT_TRUE(session->take_skipped().empty());
    }
    EXPECT_EQ(simulator().stats().diagnostic_messages, static_cast<uint64_t>(kTesters * kExchanges));
    EXPECT_EQ(layer().stats().stream_errors, 0u);
    // Serialised again for the registry: close every connection.
    for (auto& session : sessions) {
        session->close();
    }
    EXPECT_EQ(layer().connection_count(), 0u);
}

}  // namespace
}  // namespace doip_e2e
