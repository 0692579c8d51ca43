// doip-tester demo: the simulator in-process on an ephemeral loopback port and a walk through the library:
// discovery, a refused and a granted routing activation, UDS requests, entity status, power mode and a
// protocol timer, each step with its decoded messages, result texts and round-trip time; at the end, in a
// build with TLS, a routing activation and a UDS request over TLS to a second simulator.
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <random>
#include <system_error>

#include "certificates.h"
#include "commands.h"
#include "describe.h"
#include "formatting.h"
#include "simulator.h"
#include "tls.h"
#include "udp_exchange.h"

namespace doip_tools {
namespace {

// Lives as long as the process: a timer that fires late must still find it.
struct TimerFiring {
    std::mutex mutex;
    std::condition_variable cv;
    bool fired = false;
    Clock::time_point at;
};

TimerFiring& timer_firing() {
    static TimerFiring* firing = new TimerFiring;
    return *firing;
}

void on_timer(void* arg) {
    auto* firing = static_cast<TimerFiring*>(arg);
    {
        std::lock_guard<std::mutex> lock(firing->mutex);
        firing->fired = true;
        firing->at = Clock::now();
    }
    firing->cv.notify_all();
}

// Steps 2 and 3: an activation with its log lines, the entity's response, the result and the registry
// state, the last line left open for the step to finish. Returns the result.
int demo_activation(Session& session, std::ostream& out) {
    const ActivationRun run = show_activation(session, out);
    out << "    result " << describe_result(run.result) << "  [" << ms_text(run.ms) << "]\n"
        << "    get_doip_state: " << state_name(session.state());
    return run.result;
}

class Transcript {
  public:
    explicit Transcript(std::ostream& out) : out_(out) {}

    std::ostream& step(const std::string& title) {
        out_ << "\n[" << ++steps_ << "] " << title << "\n";
        return out_;
    }
    // Records whether the step went as expected.
    void expect(bool ok, const std::string& what) {
        if (!ok) {
            ++failures_;
            out_ << "    UNEXPECTED: " << what << "\n";
        }
    }
    int steps() const { return steps_; }
    int failures() const { return failures_; }

  private:
    std::ostream& out_;
    int steps_ = 0;
    int failures_ = 0;
};

// A directory of its own under the system's temporary directory, removed with everything in it when the
// object goes.
class TemporaryDirectory {
  public:
    TemporaryDirectory() {
        std::random_device random;
        std::error_code error;
        const std::filesystem::path base = std::filesystem::temp_directory_path(error);
        for (int attempt = 0; !error && attempt < 100; ++attempt) {
            const std::filesystem::path candidate = base / ("doip-demo-certs-" + std::to_string(random()));
            if (std::filesystem::create_directory(candidate, error)) {
                path_ = candidate;
                return;
            }
        }
    }
    ~TemporaryDirectory() {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    // Empty when no directory could be made.
    std::string path() const { return path_.string(); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  private:
    std::filesystem::path path_;
};

// The last step: throw-away certificates, a second simulator that speaks TLS, a routing activation with the
// entity's certificate checked against the throw-away CA, and 22 F1 90 over it.
void tls_step(Transcript& t, const TesterOptions& base, std::ostream& out) {
    if (!tls::available()) {
        out << "\n(the TLS step is skipped: " << tls::kUnavailableText << ")\n";
        return;
    }
    t.step(
        "DoIP over TLS: routing activation and UDS 22 F1 90 to a second simulator, its certificate checked "
        "against a throw-away CA");
    const TemporaryDirectory dir;
    const tls::CertificateFiles files;
    std::string error;
    const auto made = Clock::now();
    if (dir.path().empty() || !tls::make_certificates(dir.path(), "127.0.0.1", "doip-sim.local", &error)) {
        t.expect(false, "no throw-away certificates: " + (error.empty() ? "no temporary directory" : error));
        return;
    }
    out << "    tls::make_certificates: a CA, and the entity's certificate (IP:127.0.0.1) made by it, in a "
           "temporary directory  ["
        << ms_text(ms_since(made)) << "]\n";
    SimulatorOptions sim_options;
    sim_options.bind_ip = "127.0.0.1";
    sim_options.port = 0;
    sim_options.udp = false;
    sim_options.tls.enabled = true;
    sim_options.tls.port = 0;
    sim_options.tls.cert_file = dir.file(files.entity);
    sim_options.tls.key_file = dir.file(files.entity_key);
    Simulator simulator(sim_options);
    if (!simulator.start(&error)) {
        t.expect(false, "the TLS simulator cannot start on 127.0.0.1: " + error);
        return;
    }
    TesterOptions options = base;
    options.port = simulator.tls_port();
    tls::ClientOptions tls_options;
    tls_options.ca_file = dir.file(files.ca);
    options.tls = tls_options;
    out << "    simulator with TLS on 127.0.0.1:" << options.port << "; the tester trusts that CA only ("
        << files.ca << ")\n";

    Session session(options);
    const ActivationRun run = show_activation(session, out);
    out << "    result " << describe_result(run.result) << "  [" << ms_text(run.ms)
        << ", the TLS handshake included]\n";
    const std::string security = session.security();
    const bool active = session.activation_failure().empty();
    if (!active) {
        out << "    error: " << session.activation_failure() << "\n";
    }
    t.expect(active && !security.empty(), "routing over TLS not active");
    if (active) {
        const UdsExchange x = session.uds({0x22, 0xF1, 0x90});
        print_uds_exchange(x, out);
        print_log_lines(out);
        const std::string vin = x.uds.size() == 20 ? std::string(x.uds.begin() + 3, x.uds.end()) : "";
        out << "    VIN read over " << security << ": \"" << vin << "\", round trip "
            << ms_text(x.response_ms) << "\n";
        t.expect(x.outcome == UdsExchange::Outcome::positive && vin == sim_options.vin,
                 std::string("expected the VIN in a positive response, got ") + outcome_name(x.outcome));
    }
    session.close();
    print_log_lines(out);
    simulator.stop();
}

}  // namespace

int run_demo(const TesterOptions& base, std::ostream& out) {
    SimulatorOptions sim_options;
    sim_options.bind_ip = "127.0.0.1";
    sim_options.port = 0;
    Simulator simulator(sim_options);
    std::string error;
    if (!simulator.start(&error)) {
        out << "error: the simulator cannot listen on 127.0.0.1: " << error << "\n";
        return kExitFailure;
    }
    TesterOptions options = base;
    options.host = "127.0.0.1";
    options.local_address = "127.0.0.1";
    options.port = simulator.port();

    out << "doip-tester demo\n"
        << "DoIP entity simulator in-process on 127.0.0.1:" << simulator.port()
        << " (TCP and UDP), logical address 0x0CE1, VIN " << sim_options.vin << "\n"
        << "tester: source address 0x0EF5, channel " << static_cast<int>(options.channel)
        << ", socket layer doip_socket (one receive thread per connection)\n";

    Transcript t(out);

    // 1. Vehicle identification over UDP.
    {
        doip_s ctx;
        fill_context(options, &ctx);
        std::vector<uint8_t> request(8);
        const int built = doip_vid_request(&ctx, request.data(), 8);
        t.step("vehicle identification over UDP: doip_vid_request, then doip_vid_response on the answer")
            << "    -> " << describe_message(request) << "\n";
        std::vector<UdpReply> replies;
        const auto start = Clock::now();
        const int rc = udp_exchange(options.host, options.port, request, 2000, 1, &replies, &error);
        const double ms = ms_since(start);
        vehicle_id_response_s vid{};
        const int decoded = replies.empty()
                                ? DOIP_ERR_TIMEOUT
                                : doip_vid_response(replies[0].bytes.data(),
                                                    static_cast<unsigned>(replies[0].bytes.size()), &vid);
        if (!replies.empty()) {
            out << "    <- " << describe_message(replies[0].bytes) << "  [" << ms_text(ms) << "]\n";
        }
        out << "    doip_vid_response: " << describe_result(decoded) << "\n";
        t.expect(built == DOIP_OK && rc == DOIP_OK && decoded == DOIP_OK &&
                     std::string(reinterpret_cast<const char*>(vid.vin), 17) == sim_options.vin,
                 "no vehicle identification response with the simulator's VIN");
    }

    Session session(options);
    doip_s& ctx = session.context();

    // 2. A refused activation: the simulator does not know activation type 0x42.
    {
        ctx.activation_type = 0x42;
        t.step("routing activation with an unsupported activation type 0x42: doip_activate(1, ctx)");
        const int rc = demo_activation(session, out);
        out << "\n    doip_uninitialize(1, ctx) closes the connection; delete_doip_state(ctx) forgets it\n";
        t.expect(rc == DOIP_RA_UNSUPPORTED_TYPE && session.state() == DOIP_STATE_UNSUPPORTED_TYPE,
                 "expected result 0x1007 and registry state 4");
        session.close();
        ctx.activation_type = 0x00;
    }

    // 3. The granted activation.
    {
        t.step("routing activation, activation type 0x00: doip_activate(1, ctx)");
        const int rc = demo_activation(session, out);
        out << "; connection " << ctx.local.ip_address << ":" << ctx.local.port << " -> "
            << ctx.remote.ip_address << ":" << ctx.remote.port << "\n";
        t.expect(rc == DOIP_OK && session.state() == DOIP_STATE_ACTIVATED, "routing activation not granted");
        if (rc != DOIP_OK) {
            out << "\ndemo aborted: routing activation failed\n";
            return kExitFailure;
        }
    }

    // 4-6. UDS requests through doip_diag_request; replies through the cache, doip_diag_response,
    // doip_get_expalininfo and doip_remove_header.
    struct UdsStep {
        const char* title;
        std::vector<uint8_t> uds;
        UdsExchange::Outcome expected;
    };
    const UdsStep uds_steps[] = {
        {"read the VIN: UDS 22 F1 90 (ReadDataByIdentifier F190)",
         {0x22, 0xF1, 0x90},
         UdsExchange::Outcome::positive},
        {"tester present: UDS 3E 00", {0x3E, 0x00}, UdsExchange::Outcome::positive},
        {"a service the ECU does not support: UDS 19 02 FF (ReadDTCInformation)",
         {0x19, 0x02, 0xFF},
         UdsExchange::Outcome::negative},
    };
    for (const UdsStep& s : uds_steps) {
        t.step(s.title);
        const UdsExchange x = session.uds(s.uds);
        print_uds_exchange(x, out);
        print_log_lines(out);
        t.expect(x.outcome == s.expected,
                 std::string("expected ") + outcome_name(s.expected) + ", got " + outcome_name(x.outcome));
        if (s.uds[0] == 0x22) {
            const std::string vin = x.uds.size() == 20 ? std::string(x.uds.begin() + 3, x.uds.end()) : "";
            out << "    VIN read: \"" << vin << "\"\n";
            t.expect(vin == sim_options.vin, "the VIN read differs from the simulator's");
        }
    }

    // 7-8. Entity status and power mode on the TCP connection.
    const struct {
        const char* title;
        uint16_t request;
        uint16_t response;
    } header_only[] = {
        {"entity status (0x4001 -> 0x4002)", DOIP_PT_ENTITY_STATUS_REQUEST, DOIP_PT_ENTITY_STATUS_RESPONSE},
        {"diagnostic power mode (0x4003 -> 0x4004)", DOIP_PT_POWER_MODE_REQUEST, DOIP_PT_POWER_MODE_RESPONSE},
    };
    for (const auto& h : header_only) {
        t.step(h.title);
        ReceivedMessage reply;
        double ms = 0;
        const int rc = session.request(h.request, h.response, &reply, &ms);
        if (rc == DOIP_OK) {
            out << "    <- " << describe_message(reply.bytes) << "  [" << ms_text(ms) << "]\n";
        } else {
            out << "    result " << describe_result(rc) << "\n";
        }
        t.expect(rc == DOIP_OK && reply.payload_type() == h.response, "no answer of the expected type");
    }

    // 9. A protocol timer on the library's timer thread.
    {
        t.step("protocol timer: start_timer_a_doip_ctrl(ctx, 50 ms, callback)");
        TimerFiring& firing = timer_firing();
        const auto start = Clock::now();
        const int rc = start_timer_a_doip_ctrl(&ctx, 50.0, &on_timer, &firing);
        bool fired;
        Clock::time_point at;
        {
            std::unique_lock<std::mutex> lock(firing.mutex);
            fired = firing.cv.wait_for(lock, std::chrono::seconds(5), [&] { return firing.fired; });
            at = firing.at;
        }
        delete_timer(&ctx, DOIP_TIMER_A_DOIP_CTRL);
        out << "    result " << describe_result(rc) << "\n";
        if (fired) {
            out << "    callback ran on the timer thread after "
                << ms_text(std::chrono::duration<double, std::milli>(at - start).count()) << "\n";
        }
        out << "    delete_timer(ctx, DOIP_TIMER_A_DOIP_CTRL)\n";
        t.expect(rc == DOIP_OK && fired, "the timer callback did not run within 5 s");
    }

    // 10. Close.
    {
        t.step("close: doip_uninitialize(1, ctx), delete_doip_state(ctx)");
        session.close();
        out << "    get_doip_state: " << state_name(session.state()) << "\n";
        t.expect(session.state() == DOIP_STATE_NONE, "the registry still holds the connection");
    }
    for (const std::string& line : session.take_skipped()) {
        out << "    (not awaited: " << line << ")\n";
    }
    simulator.stop();

    // 11. TLS.
    tls_step(t, options, out);

    out << "\n"
        << t.steps() << " steps, " << (t.failures() == 0 ? "all as expected" : "UNEXPECTED results: ")
        << (t.failures() == 0 ? "" : std::to_string(t.failures())) << "\n";
    return t.failures() == 0 ? kExitOk : kExitFailure;
}

}  // namespace doip_tools
