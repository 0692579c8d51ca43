// doip-tester uds: routing activation, then the UDS requests one after the other, each to its own ECU or
// to a functional address; a connection the entity closed is reopened on request, and a request larger than
// the entity takes is refused before it is sent.
#include "commands.h"

#include <string>

#include "arguments.h"
#include "describe.h"
#include "formatting.h"
#include "functional.h"
#include "routing_upkeep.h"
#include "socket_layer.h"
#include "uds_match.h"

namespace doip_tools {
namespace {

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string()
                                      : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

class UdsRun {
  public:
    UdsRun(const TesterOptions& options, const UdsOptions& uds_options, std::ostream& out)
        : options_(options), uds_options_(uds_options), out_(out), session_(options) {}

    int run(const std::vector<UdsRequest>& requests) {
        if (!activate_routing(session_, out_)) {
            return kExitFailure;
        }
        routing_active();
        int worst = kExitOk;
        for (const UdsRequest& request : requests) {
            const int rc = one(request);
            if (rc == kExitFailure) {
                return rc;
            }
            if (rc != kExitOk) {
                worst = rc;
            }
        }
        return worst;
    }

  private:
    // An exchange's exit code, and whether the request may not have reached the entity at all: nothing
    // came back for it, not even an acknowledgement.
    struct Result {
        int rc;
        bool maybe_unsent;
    };

    int one(const UdsRequest& request) {
        const bool functional = !request.has_target && uds_options_.functional;
        const uint16_t target = request.has_target ? request.target
                                : functional       ? uds_options_.functional_address
                                                   : options_.target_address;
        const std::string title = "UDS " + hex_bytes(request.uds) + " to " +
                                  (functional ? "functional address " : "") + hex16(target);
        if (!connection_usable(title)) {
            return kExitFailure;
        }
        out_ << title << "\n";
        for (bool retried = false;; retried = true) {
            // The max data size is taken as the size of the whole DoIP message (generic header, addresses,
            // UDS bytes): the entity status states the largest logical request the entity processes, and a
            // message within it so counted also fits an entity that counts the payload only.
            const size_t size = kDiagnosticHeaderSize + request.uds.size();
            if (max_data_size_ != 0 && size > max_data_size_) {
                out_ << "    error: the request is " << size << " bytes; the entity accepts at most "
                     << max_data_size_ << " (max data size from its entity status)\n";
                return kExitFailure;
            }
            const Result r =
                functional ? exchange_functional(target, request.uds) : exchange(target, request.uds);
            if (r.rc != kExitFailure || SocketLayer::instance().is_open(session_.channel())) {
                return r.rc;
            }
            print_log_lines(out_);
            if (!r.maybe_unsent || retried || !uds_options_.reconnect) {
                out_ << "    error: " << closed_cause()
                     << (uds_options_.reconnect ? "" : "; --reconnect opens a new connection") << "\n";
                return r.rc;
            }
            // The connection ended before the entity took the request: it goes once more on a new one.
            out_ << closed_cause() << "; ";
            if (!reconnect()) {
                return kExitFailure;
            }
            out_ << title << " (again)\n";
        }
    }

    Result exchange(uint16_t target, const std::vector<uint8_t>& uds) {
        session_.context().target_address = target;
        const UdsExchange x = session_.uds(uds);
        const int rc = print_uds_exchange(x, out_);
        print_log_lines(out_);
        print_skipped({});
        return {rc, x.acknowledgement.empty()};
    }

    Result exchange_functional(uint16_t address, const std::vector<uint8_t>& uds) {
        using Outcome = FunctionalExchange::Outcome;
        const FunctionalExchange x = functional_uds(session_, address, uds);
        if (!x.request.empty()) {
            out_ << "    -> " << describe_message(x.request) << "\n";
        }
        if (!x.acknowledgement.empty()) {
            out_ << "    <- " << describe_message(x.acknowledgement) << "  [" << ms_text(x.ack_ms) << "]\n";
        }
        for (const FunctionalAnswer& a : x.answers) {
            if (a.pending_responses > 0) {
                out_ << "       (" << a.pending_responses << " response-pending answers from "
                     << hex16(a.source) << ")\n";
            }
            out_ << "    <- " << describe_message(a.message) << "  [" << ms_text(a.ms) << "]\n";
            if (a.uds.size() >= 3 && a.uds[0] == kNegativeResponseSid) {
                out_ << "    => " << hex16(a.source) << ": negative response, NRC " << hex8(a.uds[2]) << " "
                     << nrc_name(a.uds[2]) << "\n";
            }
        }
        for (uint16_t ecu : x.still_pending) {
            out_ << "    " << hex16(ecu) << " asked for more time (NRC 0x78) and did not answer within "
                 << options_.pending_ms << " ms\n";
        }
        if (x.pending_total_ran_out) {
            out_ << "    the wait for the ECUs that asked for more time ended after "
                 << options_.pending_total_ms << " ms in all (--pending-total)\n";
        }
        print_log_lines(out_);
        std::vector<std::string> skipped = x.skipped;
        if (x.skipped_not_kept > 0) {
            skipped.push_back("(" + std::to_string(x.skipped_not_kept) +
                              " more messages passed over, not kept)");
        }
        print_skipped(skipped);
        switch (x.outcome) {
            case Outcome::answered:
                out_ << "    => " << x.answers.size() << (x.answers.size() == 1 ? " ECU" : " ECUs")
                     << " answered: " << x.positive() << " positive, " << x.negative() << " negative\n";
                return {x.positive() > 0 ? kExitOk : kExitNegativeResponse, false};
            case Outcome::no_response_expected:
                return {kExitOk, false};
            case Outcome::send_failed:
                out_ << "    error: send failed: " << describe_result(x.code) << "\n";
                return {kExitFailure, x.acknowledgement.empty()};
            case Outcome::nacked:
                out_ << "    error: diagnostic message NACK\n";
                return {kExitFailure, false};
            case Outcome::generic_nack:
                out_ << "    error: generic header NACK\n";
                return {kExitFailure, false};
            case Outcome::no_ack:
            case Outcome::no_answer:
                break;
        }
        out_ << "    error: no ECU answered the functional request within " << options_.timeout_ms << " ms"
             << (x.outcome == Outcome::no_ack ? " (and the entity did not acknowledge it)" : "") << "\n";
        return {kExitFailure, x.acknowledgement.empty()};
    }

    // In --verbose, what the session passed over while waiting.
    void print_skipped(const std::vector<std::string>& more) {
        std::vector<std::string> skipped = session_.take_skipped();
        if (!options_.verbose) {
            return;
        }
        skipped.insert(skipped.end(), more.begin(), more.end());
        for (const std::string& line : skipped) {
            out_ << "    skipped: " << line << "\n";
        }
    }

    // True when the connection is open, or was reopened (--reconnect); else prints why it is not.
    bool connection_usable(const std::string& title) {
        if (SocketLayer::instance().is_open(session_.channel())) {
            return true;
        }
        print_log_lines(out_);
        if (!uds_options_.reconnect) {
            out_ << "error: " << closed_cause() << " before " << title
                 << "; --reconnect opens a new connection\n";
            return false;
        }
        out_ << closed_cause() << "; ";
        return reconnect();
    }

    // Why the connection ended, as the socket layer recorded it.
    std::string closed_cause() const {
        const std::string cause = session_.connection_lost();
        return cause.empty() ? "the connection is no longer open" : cause;
    }

    // Reopens the connection with back-off (the caller has printed why, on the line this continues), then
    // asks the entity's limit again.
    bool reconnect() {
        if (!reconnect_with_backoff(session_, uds_options_.reconnect_tries, out_)) {
            return false;
        }
        routing_active();
        return true;
    }

    // After each activation: the entity's limit.
    void routing_active() { max_data_size_ = ask_max_data_size(session_, out_); }

    const TesterOptions& options_;
    const UdsOptions& uds_options_;
    std::ostream& out_;
    Session session_;
    uint32_t max_data_size_ = 0;  // 0: no limit known
};

}  // namespace

bool parse_uds_request(const std::string& text, UdsRequest* out) {
    UdsRequest request;
    std::string bytes = text;
    const size_t colon = text.find(':');
    if (colon != std::string::npos) {
        const std::string head = trimmed(text.substr(0, colon));
        const bool prefixed = head.size() > 2 && head[0] == '0' && (head[1] == 'x' || head[1] == 'X');
        uint32_t target = 0;
        if ((prefixed || head.size() == 4) && parse_hex(head, 0xFFFF, &target)) {
            request.has_target = true;
            request.target = static_cast<uint16_t>(target);
            bytes = text.substr(colon + 1);
        }
    }
    if (!parse_hex_bytes(bytes, &request.uds)) {
        return false;
    }
    *out = std::move(request);
    return true;
}

int run_uds(const TesterOptions& options, const UdsOptions& uds_options,
            const std::vector<UdsRequest>& requests, std::ostream& out) {
    return UdsRun(options, uds_options, out).run(requests);
}

}  // namespace doip_tools
