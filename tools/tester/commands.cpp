#include "commands.h"

#include "describe.h"
#include "formatting.h"
#include "udp_exchange.h"

namespace doip_tools {
namespace {

// Activates routing on the session and prints the outcome. True when routing is active.
bool activate(Session& session, std::ostream& out) {
    const doip_s& ctx = session.context();
    out << "routing activation: " << session.options().local_address
        << (session.options().local_address.empty() ? "" : " ") << "-> " << ctx.remote.ip_address << ":"
        << ctx.remote.port << ", source " << hex16(ctx.source_address) << ", activation type "
        << static_cast<int>(ctx.activation_type) << ", OEM field "
        << (ctx.oem_specific_present != 0 ? hex32(ctx.oem_specific) : "off") << "\n";
    const ActivationRun run = show_activation(session, out);
    out << "    result " << describe_result(run.result) << ", " << ms_text(run.ms) << "; registry state "
        << state_name(session.state()) << "; local port " << ctx.local.port << "\n";
    return run.result == DOIP_OK;
}

// What a UDP exchange waits for and prints.
struct UdpAsk {
    size_t enough;        // replies to wait for; 0: all that come within the timeout
    bool show_sender;     // each reply with the address it came from
    const char* nothing;  // the error when no reply comes
};

// Sends `request` to the options' entity over UDP and prints it and the replies. False, with the error
// printed, when sending fails or nothing comes back.
bool exchange_over_udp(const TesterOptions& options, const std::vector<uint8_t>& request, const UdpAsk& ask,
                       std::ostream& out) {
    out << "-> " << options.host << ":" << options.port << " (UDP) " << describe_message(request) << "\n";
    std::vector<UdpReply> replies;
    std::string error;
    const auto start = Clock::now();
    const int rc = udp_exchange(options.host, options.port, request, static_cast<int>(options.timeout_ms),
                                ask.enough, &replies, &error);
    if (rc != DOIP_OK) {
        out << "error: " << describe_result(rc) << ": " << error << "\n";
        return false;
    }
    for (const UdpReply& reply : replies) {
        out << "<- " << (ask.show_sender ? reply.from.ip + ":" + std::to_string(reply.from.port) + " " : "")
            << describe_message(reply.bytes) << "  [" << ms_text(ms_since(start)) << "]\n";
    }
    if (replies.empty()) {
        out << "error: " << ask.nothing << " within " << options.timeout_ms << " ms\n";
    }
    return !replies.empty();
}

const uint16_t kStatusRequests[][2] = {{DOIP_PT_ENTITY_STATUS_REQUEST, DOIP_PT_ENTITY_STATUS_RESPONSE},
                                       {DOIP_PT_POWER_MODE_REQUEST, DOIP_PT_POWER_MODE_RESPONSE}};

int status_over_tcp(const TesterOptions& options, std::ostream& out) {
    Session session(options);
    if (!activate(session, out)) {
        return kExitFailure;
    }
    for (const auto& r : kStatusRequests) {
        ReceivedMessage reply;
        double ms = 0;
        const int rc = session.request(r[0], r[1], &reply, &ms);
        if (rc != DOIP_OK) {
            out << "error: no answer to payload type " << hex16(r[0]) << ": " << describe_result(rc) << "\n";
            return kExitFailure;
        }
        out << "<- " << describe_message(reply.bytes) << "  [" << ms_text(ms) << "]\n";
        if (reply.payload_type() != r[1]) {
            return kExitFailure;
        }
    }
    return kExitOk;
}

}  // namespace

ActivationRun show_activation(Session& session, std::ostream& out) {
    const auto start = Clock::now();
    const int rc = session.activate();
    const ActivationRun run{rc, ms_since(start)};
    print_log_lines(out);
    if (!session.activation_response().empty()) {
        out << "    <- " << describe_message(session.activation_response()) << "\n";
    }
    return run;
}

void print_log_lines(std::ostream& out, const char* indent) {
    for (const std::string& line : take_log_lines()) {
        out << indent << "log: " << line << "\n";
    }
}

int print_uds_exchange(const UdsExchange& x, std::ostream& out, const char* indent) {
    if (!x.request.empty()) {
        out << indent << "-> " << describe_message(x.request) << "\n";
    }
    if (!x.acknowledgement.empty()) {
        out << indent << "<- " << describe_message(x.acknowledgement) << "  [" << ms_text(x.ack_ms) << "]\n";
    }
    if (x.pending_responses > 0) {
        out << indent << "   (" << x.pending_responses << " response-pending answers)\n";
    }
    if (!x.response.empty() &&
        (x.outcome == UdsExchange::Outcome::positive || x.outcome == UdsExchange::Outcome::negative)) {
        out << indent << "<- " << describe_message(x.response) << "  [" << ms_text(x.response_ms) << "]\n";
    }
    switch (x.outcome) {
        case UdsExchange::Outcome::positive:
        case UdsExchange::Outcome::no_response_expected:
            return kExitOk;
        case UdsExchange::Outcome::negative:
            if (x.uds.size() >= 3) {
                out << indent << "=> negative response, NRC " << hex8(x.uds[2]) << " " << nrc_name(x.uds[2])
                    << "\n";
            }
            return kExitNegativeResponse;
        case UdsExchange::Outcome::send_failed:
            out << indent << "error: send failed: " << describe_result(x.code) << "\n";
            return kExitFailure;
        default:
            out << indent << "error: " << outcome_name(x.outcome) << "\n";
            return kExitFailure;
    }
}

int run_activate(const TesterOptions& options, std::ostream& out) {
    Session session(options);
    return activate(session, out) ? kExitOk : kExitFailure;
}

int run_discover(const TesterOptions& options, const DiscoverOptions& discover, std::ostream& out) {
    doip_s ctx;
    fill_context(options, &ctx);
    std::vector<uint8_t> request(25);
    int rc;
    if (!discover.vin.empty()) {
        rc = doip_vid_vin_request(&ctx, discover.vin.c_str(), 17, request.data(), 25);
        request.resize(25);
    } else if (!discover.eid.empty()) {
        rc = doip_vid_eid_request(&ctx, discover.eid.data(), 6, request.data(), 14);
        request.resize(14);
    } else {
        rc = doip_vid_request(&ctx, request.data(), 8);
        request.resize(8);
    }
    if (rc != DOIP_OK) {
        out << "error: cannot build the request: " << describe_result(rc) << "\n";
        return kExitFailure;
    }
    const bool broadcast =
        options.host.size() > 4 && options.host.compare(options.host.size() - 4, 4, ".255") == 0;
    const UdpAsk ask{broadcast ? 0u : 1u, true, "no vehicle identification response"};
    return exchange_over_udp(options, request, ask, out) ? kExitOk : kExitFailure;
}

int run_status(const TesterOptions& options, bool via_tcp, std::ostream& out) {
    if (via_tcp) {
        return status_over_tcp(options, out);
    }
    doip_s ctx;
    fill_context(options, &ctx);
    for (const auto& r : kStatusRequests) {
        if (!exchange_over_udp(options, header_only_request(ctx, r[0]), UdpAsk{1, false, "no answer"}, out)) {
            return kExitFailure;
        }
    }
    return kExitOk;
}

bool activate_routing(Session& session, std::ostream& out) {
    return activate(session, out);
}

}  // namespace doip_tools
