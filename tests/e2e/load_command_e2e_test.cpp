// doip-tester load against a simulator in this process: the figures of its JSON by the entity's answers,
// its usage errors, and the pieces its table rests on (the error columns, the latency percentiles).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "e2e_support.h"
#include "latency.h"
#include "load_report.h"
#include "run_command.h"

namespace doip_e2e {
namespace {

// The number after "key": in the JSON text; -1 when the key is missing.
double json_number(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\": ");
    return at == std::string::npos ? -1 : std::strtod(json.c_str() + at + key.size() + 4, nullptr);
}

struct LoadRun {
    const char* arguments;  // after "load", before the simulator's address and --json
    void (*configure)(doip_tools::SimulatorOptions&);
    int exit_code;
    // The JSON's figures, in this order.
    double activated, exchanges, completed, nrcs, nacks, closed, activation_failures, latency_samples;
    const char* first_failure;  // in first_error or first_activation_failure ("" : both empty)
    friend void PrintTo(const LoadRun& r, std::ostream* os) { *os << r.arguments; }
};

void plain(doip_tools::SimulatorOptions&) {}

const LoadRun kLoadRuns[] = {
    // Every connection activates; exchanges = connections x count x requests, all answered.
    {"--connections 3 --count 5", plain, 0, 3, 15, 15, 0, 0, 0, 0, 15, ""},
    {"22F190 \"3E 00\" 0CE1:22F18C --connections 4 --count 3 --rate 1000", plain, 0, 4, 36, 36, 0, 0, 0, 0,
     36, ""},
    // A suppressed positive response completes the exchange but gives no latency.
    {"3E80 --connections 2 --count 2 --settle 5", plain, 0, 2, 4, 4, 0, 0, 0, 0, 0, ""},
    // Negative responses complete and count as NRC errors; an unknown target is NACKed.
    {"1902FF 3E00 --connections 2 --count 2", plain, 1, 2, 8, 8, 4, 0, 0, 0, 8, "negative response"},
    {"4711:3E00 --connections 2 --count 3", plain, 1, 2, 6, 0, 0, 6, 0, 0, 0, "diagnostic message NACK"},
    // The entity closes each connection after an ECU reset: the next request fails and the connection stops.
    {"1101 3E00 --connections 2 --count 4",
     [](doip_tools::SimulatorOptions& o) { o.close_after_reset = true; }, 1, 2, 4, 2, 0, 0, 2, 0, 2,
     "UDS 3E 00: "},
    // Beyond the entity's sockets: it checks the activated ones, which answer while they wait for the start
    // and stay, and denies the newcomers (0x01).
    {"--connections 6 --count 5", [](doip_tools::SimulatorOptions& o) { o.max_sockets = 4; }, 1, 4, 20, 20, 0,
     0, 0, 2, 20, "code 0x01"},
    // No connection activates: nothing is sent.
    {"--connections 3 --count 2", [](doip_tools::SimulatorOptions& o) { o.activation_response_code = 0x06; },
     1, 0, 0, 0, 0, 0, 0, 3, 0, "code 0x06"},
};

class LoadE2e : public E2eTest, public ::testing::WithParamInterface<LoadRun> {};

TEST_P(LoadE2e, JsonFigures) {
    const LoadRun& c = GetParam();
    doip_tools::SimulatorOptions options;
    c.configure(options);
    start(options);
    std::string path_text = (std::filesystem::temp_directory_path() / "doip_load_XXXXXX").string();
    std::vector<char> path(path_text.begin(), path_text.end());
    path.push_back('\0');
    const int fd = mkstemp(path.data());
    ASSERT_GE(fd, 0);
    close(fd);
    const std::string json_path = path.data();
    const RunResult r = run(std::string(DOIP_TESTER_PATH) + " load " + c.arguments +
                            " --host 127.0.0.1 --port " + std::to_string(port()) + " --json " + json_path);
    std::ifstream file(json_path);
    std::stringstream json;
    json << file.rdbuf();
    std::remove(json_path.c_str());
    EXPECT_EQ(r.exit_code, c.exit_code) << r.output;
    const std::string j = json.str();
    const double connections = json_number(j, "connections_requested");
    const struct {
        const char* key;
        double expected;
    } figures[] = {{"connections_activated", c.activated},
                   {"exchanges", c.exchanges},
                   {"completed", c.completed},
                   {"nrcs", c.nrcs},
                   {"nacks", c.nacks},
                   {"closed", c.closed},
                   {"timeouts", 0},
                   {"other", 0},
                   {"activation_failures", c.activation_failures},
                   {"samples", c.latency_samples},
                   {"total", c.nrcs + c.nacks + c.closed + c.activation_failures}};
    for (const auto& f : figures) {
        EXPECT_EQ(json_number(j, f.key), f.expected) << f.key << " in\n" << j << "\n" << r.output;
    }
    EXPECT_EQ(connections, c.activated + c.activation_failures) << j;
    // The table says the same.
    expect_output(r.output,
                  "exchanges               " + std::to_string(static_cast<int>(c.exchanges)) + "\n");
    if (*c.first_failure == '\0') {
        EXPECT_NE(j.find("\"first_error\": \"\""), std::string::npos) << j;
        EXPECT_NE(j.find("\"first_activation_failure\": \"\""), std::string::npos) << j;
    } else {
        expect_output(j, c.first_failure);
    }
    if (c.latency_samples > 0) {
        const double p50 = json_number(j, "p50"), p99 = json_number(j, "p99"), max = json_number(j, "max");
        EXPECT_TRUE(0 < p50 && p50 <= p99 && p99 <= max) << j;
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, LoadE2e, ::testing::ValuesIn(kLoadRuns));

TEST(LoadUsage, RejectedBeforeAnyConnection) {
    const struct {
        const char* arguments;
        const char* output;
    } cases[] = {
        {"--connections 0", "--connections takes 1 to 256"},
        {"--connections 257", "--connections takes 1 to 256 (one socket-layer channel per connection"},
        {"--rate fast", "bad value for --rate: fast"},
        {"--duration 0", "bad value for --duration: 0"},
        {"--count 0", "bad value for --count: 0"},
        {"--connections 2 --source-address FFFF", "go beyond 0xFFFF"},
        {"3E0", "unexpected argument 3E0"},
    };
    for (const auto& c : cases) {
        // Port 9 (discard): nothing listens there, and usage errors never get that far.
        const RunResult r = run(std::string(DOIP_TESTER_PATH) + " load --port 9 " + c.arguments);
        EXPECT_EQ(r.exit_code, 2) << c.arguments << "\n" << r.output;
        expect_output(r.output, c.output);
    }
}

TEST(LoadReport, ErrorColumnOfEachOutcome) {
    using Outcome = doip_tools::UdsExchange::Outcome;
    using doip_tools::LoadError;
    const struct {
        Outcome outcome;
        LoadError column;
    } cases[] = {
        {Outcome::positive, LoadError::none},       {Outcome::no_response_expected, LoadError::none},
        {Outcome::negative, LoadError::nrc},        {Outcome::no_ack, LoadError::timeout},
        {Outcome::no_response, LoadError::timeout}, {Outcome::pending_too_long, LoadError::timeout},
        {Outcome::nacked, LoadError::nack},         {Outcome::generic_nack, LoadError::nack},
        {Outcome::send_failed, LoadError::closed},  {Outcome::connection_lost, LoadError::closed},
        {Outcome::wrong_version, LoadError::other},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(doip_tools::classify(c.outcome), c.column) << doip_tools::outcome_name(c.outcome);
    }
}

// Nearest rank over the histogram: exact to the microsecond below 256 µs, within 1/128 above, never above
// the maximum, and the same after a merge.
TEST(LoadReport, LatencyPercentiles) {
    doip_tools::LatencyHistogram low, high, merged;
    for (int us = 1; us <= 100; ++us) {
        low.add(us / 1000.0);  // 0.001 .. 0.100 ms
    }
    for (int i = 0; i < 100; ++i) {
        high.add(1000.0 + i);  // 1000 .. 1099 ms
    }
    merged.merge(low);
    merged.merge(high);
    const struct {
        const doip_tools::LatencyHistogram& h;
        double percent, expected, tolerance;
    } cases[] = {
        {low, 50, 0.050, 0},
        {low, 90, 0.090, 0},
        {low, 99, 0.099, 0},
        {low, 100, 0.100, 0},
        {high, 50, 1049, 1049 / 128.0},
        {high, 100, 1099, 0},
        {merged, 50, 0.100, 0},
        {merged, 51, 1000, 1000 / 128.0},
        {merged, 99, 1097, 1097 / 128.0},
    };
    for (const auto& c : cases) {
        const double p = c.h.percentile(c.percent);
        EXPECT_GE(p, c.expected - 1e-9) << "p" << c.percent;
        EXPECT_LE(p, c.expected + c.tolerance + 1e-9) << "p" << c.percent;
        EXPECT_LE(p, c.h.max_ms()) << "p" << c.percent;
    }
    EXPECT_EQ(merged.count(), 200u);
    EXPECT_EQ(merged.max_ms(), 1099);
    EXPECT_EQ(doip_tools::LatencyHistogram().percentile(50), 0);
}

}  // namespace
}  // namespace doip_e2e
