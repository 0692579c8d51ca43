#include "commands.h"

#include "describe.h"
#include "formatting.h"

namespace doip_tools {
namespace {

// Activates routing on the session and prints the outcome: what the library returned and, when routing is
// not active for us whatever it returned, why. True when routing is active.
bool activate(Session& session, std::ostream& out) {
    const doip_s& ctx = session.context();
    out << "routing activation: " << session.options().local_address
        << (session.options().local_address.empty() ? "" : " ") << "-> " << ctx.remote.ip_address << ":"
        << ctx.remote.port << (session.options().tls ? " (TLS)" : "") << ", source "
        << hex16(ctx.source_address) << ", activation type " << static_cast<int>(ctx.activation_type)
        << ", OEM field " << (ctx.oem_specific_present != 0 ? hex32(ctx.oem_specific) : "off") << "\n";
    const ActivationRun run = show_activation(session, out);
    // On a timeout the library's text says no more than that; the error line below names the cause.
    const std::string result = run.result == DOIP_ERR_TIMEOUT
                                   ? result_number(run.result) + " (the library's wait of " +
                                         std::to_string(ctx.t_tcp_initial_inactivity_ms) +
                                         " ms for a response ran out)"
                                   : describe_result(run.result);
    out << "    result " << result << ", " << ms_text(run.ms) << "; registry state "
        << state_name(session.state()) << "; local port " << ctx.local.port << "\n";
    const std::string& failure = session.activation_failure();
    if (!failure.empty()) {
        if (failure != result) {  // more than the result line says
            out << "    error: " << failure << "\n";
        }
        const std::string hint = session.activation_hint();
        if (!hint.empty()) {
            out << "    hint: " << hint << "\n";
        }
        return false;
    }
    return run.result == DOIP_OK;
}

}  // namespace

int run_status_over_tcp(const TesterOptions& options, std::ostream& out) {
    Session session(options);
    if (!activate(session, out)) {
        return kExitFailure;
    }
    for (const auto& r : kStatusRequests) {
        ReceivedMessage reply;
        double ms = 0;
        const int rc = session.request(r[0], r[1], &reply, &ms);
        if (rc != DOIP_OK) {
            out << "error: no answer to payload type " << hex16(r[0]) << ": "
                << (session.receive_failure().empty() ? describe_result(rc) : session.receive_failure())
                << "\n";
            return kExitFailure;
        }
        out << "<- " << describe_message(reply.bytes) << "  [" << ms_text(ms) << "]\n";
        if (reply.payload_type() != r[1]) {
            return kExitFailure;
        }
    }
    return kExitOk;
}

ActivationRun show_activation(Session& session, std::ostream& out) {
    const auto start = Clock::now();
    const int rc = session.activate();
    const ActivationRun run{rc, ms_since(start)};
    print_log_lines(out);
    const std::string security = session.security();
    if (!security.empty()) {
        out << "    TLS: " << security << "\n";
    }
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
    for (const UdsExchange::Unsolicited& u : x.unsolicited) {
        out << indent << "<- " << describe_message(u.message) << "  [" << ms_text(u.ms) << "]\n"
            << indent << "   ("
            << (u.earlier_request.empty() ? std::string("unsolicited: it does not answer this request")
                                          : "late: the answer to the earlier request " +
                                                hex_bytes(u.earlier_request) + ", not to this one")
            << ")\n";
    }
    if (x.unsolicited_not_kept > 0) {
        out << indent << "   (" << x.unsolicited_not_kept
            << " more responses that do not answer this request)\n";
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
        case UdsExchange::Outcome::connection_lost:
            out << indent << "error: connection lost: " << x.cause << "\n";
            return kExitFailure;
        case UdsExchange::Outcome::wrong_version:
        case UdsExchange::Outcome::pending_too_long:
            out << indent << "error: " << x.cause << "\n";
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

bool activate_routing(Session& session, std::ostream& out) {
    return activate(session, out);
}

}  // namespace doip_tools
