// Secure DoIP beside plain TCP, through the same tester path (Session, library, socket layer) against the
// same in-process simulator, measured side by side in one process:
// - UDS exchanges (3E 00) on eight connections at once, TLS 1.3 against plain TCP (aggregate per second);
// - sequential exchanges on one connection, TLS against plain;
// - the TLS handshake alone (TCP connect, then the handshake) against the TCP connect alone (median);
// - doip_activate over TLS (connect, handshake, routing activation) against doip_activate on plain TCP.
// Counters: figure (TLS) and floor (plain TCP), ratio = figure / floor. Certificates are made for the run.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include "certificates.h"
#include "doip.h"
#include "net.h"
#include "session_support.h"
#include "socket_layer.h"
#include "tls.h"

namespace {

using namespace doip_bench;  // NOLINT(google-build-using-namespace): the benchmarks' own helpers
namespace tls = doip_tools::tls;

bool g_smoke = false;
std::string g_dir;  // the certificates
const tls::CertificateFiles kFiles;

std::string file(const std::string& name) {
    return g_dir + "/" + name;
}

doip_tools::SimulatorTls entity_tls() {
    doip_tools::SimulatorTls t;
    t.enabled = true;
    t.cert_file = file(kFiles.entity);
    t.key_file = file(kFiles.entity_key);
    return t;
}

tls::ClientOptions tester_tls() {
    tls::ClientOptions o;
    o.ca_file = file(kFiles.ca);
    return o;
}

int64_t block_size() {
    return g_smoke ? 10 : 200;
}

// Activates routing on a Session per connection, TLS or not; false when one fails.
bool activate_all(std::vector<std::unique_ptr<doip_tools::Session>>& sessions,
                  const BenchSimulator& simulator, bool secure, int first_index, int count) {
    for (int i = 0; i < count; ++i) {
        doip_tools::TesterOptions o =
            tester_options(secure ? simulator.tls_port() : simulator.port(), first_index + i);
        if (secure) {
            o.tls = tester_tls();
        }
        sessions.push_back(std::make_unique<doip_tools::Session>(o));
        if (sessions.back()->activate() != DOIP_OK || !sessions.back()->activation_failure().empty()) {
            return false;
        }
    }
    return true;
}

// Exchanges on `count` TLS and `count` plain connections, in blocks that alternate.
void exchanges(benchmark::State& state, int count) {
    BenchSimulator simulator(entity_tls());
    if (!simulator.started()) {
        state.SkipWithError(("simulator: " + simulator.error()).c_str());
        return;
    }
    std::vector<std::unique_ptr<doip_tools::Session>> secure;
    std::vector<std::unique_ptr<doip_tools::Session>> plain;
    if (!activate_all(secure, simulator, true, 0, count) ||
        !activate_all(plain, simulator, false, 8, count)) {
        state.SkipWithError("routing activation failed");
        return;
    }
    const int64_t block = block_size();
    std::vector<double> figures;
    std::vector<double> floors;
    std::atomic<int> failures{0};
    auto run = [&](std::vector<std::unique_ptr<doip_tools::Session>>& sessions) {
        auto work = [&](int i) {
            if (i < count) {
                for (int64_t k = 0; k < block && failures == 0; ++k) {
                    failures += !positive(sessions[static_cast<size_t>(i)]->uds(kTesterPresent));
                }
            }
        };
        return count == 1 ? [&] {
            const auto begin = Clock::now();
            work(0);
            return Clock::now() - begin;
        }()
                          : in_parallel(work);
    };
    for (auto _ : state) {
        const Clock::duration figure = run(secure);
        const Clock::duration floor = run(plain);
        if (failures != 0) {
            break;
        }
        figures.push_back(static_cast<double>(block * count) / seconds(figure));
        floors.push_back(static_cast<double>(block * count) / seconds(floor));
        state.SetIterationTime(seconds(figure));
    }
    for (auto* sessions : {&secure, &plain}) {
        for (auto& session : *sessions) {
            session->close();
        }
    }
    doip_tools::take_log_lines();
    if (failures != 0) {
        state.SkipWithError("an exchange failed");
        return;
    }
    state.SetItemsProcessed(state.iterations() * block * count);
    report_rates(state, figures, floors);
}

void BM_Tls_EightConnections_vs_Plain(benchmark::State& state) {
    exchanges(state, kConnections);
}

void BM_Tls_SequentialExchanges_vs_Plain(benchmark::State& state) {
    exchanges(state, 1);
}

double us_since(Clock::time_point begin) {
    return std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
}

void BM_TlsHandshake_vs_TcpConnect(benchmark::State& state) {
    BenchSimulator simulator(entity_tls());
    std::string error;
    const std::shared_ptr<tls::Context> context = tls::client_context(tester_tls(), &error);
    if (!simulator.started() || !context) {
        state.SkipWithError((simulator.error() + error).c_str());
        return;
    }
    const doip_tools::net::Endpoint entity{"127.0.0.1", simulator.tls_port()};
    std::vector<double> figures;
    std::vector<double> floors;
    int failures = 0;
    for (auto _ : state) {
        const Clock::time_point begin = Clock::now();
        const doip_tools::net::ConnectResult c = doip_tools::net::tcp_connect({}, entity, 2000);
        tls::HandshakeResult result;
        std::unique_ptr<tls::Session> session = tls::connect(context, c.handle, entity.ip, 2000, &result);
        figures.push_back(us_since(begin));
        failures += !session;
        if (session) {
            session->close_notify();
        }
        session.reset();
        doip_tools::net::shutdown_both(c.handle);
        doip_tools::net::close(c.handle);
        failures += !simulator.settle(0);

        const Clock::time_point raw_begin = Clock::now();
        const doip_tools::net::ConnectResult raw = doip_tools::net::tcp_connect({}, entity, 2000);
        floors.push_back(us_since(raw_begin));
        failures += raw.handle == doip_tools::net::kInvalid;
        doip_tools::net::close(raw.handle);
        failures += !simulator.settle(0);
        if (failures != 0) {
            break;
        }
        state.SetIterationTime(figures.back() / 1e6);
    }
    if (failures != 0) {
        state.SkipWithError("a handshake failed");
        return;
    }
    report_medians(state, figures, floors, "us");
}

// doip_activate on channel 1 with the layer set up for TLS or not; its time in microseconds, or -1.
double timed_activation(const BenchSimulator& simulator, bool secure) {
    doip_tools::SocketLayerOptions options;
    if (secure) {
        options.tls = tester_tls();
    }
    doip_tools::SocketLayer::instance().configure(options);
    doip_s ctx;
    doip_init(&ctx);
    std::strcpy(ctx.remote.ip_address, "127.0.0.1");
    ctx.remote.port = secure ? simulator.tls_port() : simulator.port();
    constexpr uint8_t kChannel = 1;
    const Clock::time_point begin = Clock::now();
    const int rc = doip_activate(kChannel, &ctx);
    const double us = us_since(begin);
    doip_uninitialize(kChannel, &ctx);
    delete_doip_state(&ctx);
    doip_clear_message(0);
    doip_clear_message(kChannel);
    return rc == DOIP_OK && simulator.settle(0) ? us : -1;
}

void BM_TlsActivation_vs_PlainActivation(benchmark::State& state) {
    BenchSimulator simulator(entity_tls());
    if (!simulator.started()) {
        state.SkipWithError(("simulator: " + simulator.error()).c_str());
        return;
    }
    doip_tools::SocketLayer::install();
    doip_set_logger_ops(nullptr);
    std::vector<double> figures;
    std::vector<double> floors;
    for (auto _ : state) {
        figures.push_back(timed_activation(simulator, true));
        floors.push_back(timed_activation(simulator, false));
        if (figures.back() < 0 || floors.back() < 0) {
            state.SkipWithError("an activation failed");
            return;
        }
        state.SetIterationTime(figures.back() / 1e6);
    }
    report_medians(state, figures, floors, "us");
}

}  // namespace

int main(int argc, char** argv) {
    g_smoke = smoke_run(argc, argv);
    g_dir = (std::filesystem::temp_directory_path() /
             ("doip-tls-bench-" + std::to_string(std::random_device{}())))
                .string();
    std::string error;
    if (!tls::make_certificates(g_dir, "127.0.0.1", "localhost", &error)) {
        std::fprintf(stderr, "tls_bench: cannot make certificates: %s\n", error.c_str());
        return 1;
    }
    benchmark::RegisterBenchmark("BM_Tls_SequentialExchanges_vs_Plain", BM_Tls_SequentialExchanges_vs_Plain)
        ->Iterations(g_smoke ? 2 : 30)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_Tls_EightConnections_vs_Plain", BM_Tls_EightConnections_vs_Plain)
        ->Iterations(g_smoke ? 2 : 15)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_TlsHandshake_vs_TcpConnect", BM_TlsHandshake_vs_TcpConnect)
        ->Iterations(g_smoke ? 5 : 200)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_TlsActivation_vs_PlainActivation", BM_TlsActivation_vs_PlainActivation)
        ->Iterations(g_smoke ? 5 : 200)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    const int status = run_registered(argc, argv);
    std::error_code ignored;
    std::filesystem::remove_all(g_dir, ignored);
    return status;
}
