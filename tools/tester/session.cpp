#include "session.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <utility>

#include "bytes.h"
#include "describe.h"
#include "formatting.h"
#include "socket_layer.h"
#include "uds_match.h"

namespace doip_tools {
namespace {

std::mutex g_log_mutex;
std::vector<std::string> g_log_lines;

// After its deadline a wait looks at no more than this many messages, however fast they keep coming: a
// waiting loop that calls receive() again with what is left of its deadline (0) goes on counting.
constexpr size_t kLateLooks = 1000;

// The copy of a routing activation response is on the connection's queue before the library's own.
constexpr uint32_t kActivationCopyWaitMs = 1000;

// What is left of the time up to `deadline`, in milliseconds.
uint32_t left_until(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}

// The UDS bytes of a whole diagnostic message, stripped by the library.
std::vector<uint8_t> uds_of(const std::vector<uint8_t>& message) {
    doip_message_raii stripped;
    doip_message_s raw{};
    raw.length = static_cast<uint32_t>(message.size());
    raw.data = const_cast<uint8_t*>(message.data());
    doip_message_init_bycopy(stripped.get(), &raw);
    doip_remove_header(stripped.get());
    return std::vector<uint8_t>(stripped.data, stripped.data + stripped.length);
}

}  // namespace

void fill_context(const TesterOptions& options, doip_s* ctx) {
    doip_init(ctx);
    std::strncpy(ctx->local.ip_address, options.local_address.c_str(), sizeof ctx->local.ip_address - 1);
    std::strncpy(ctx->remote.ip_address, options.host.c_str(), sizeof ctx->remote.ip_address - 1);
    ctx->remote.port = options.port;
    ctx->source_address = options.source_address;
    ctx->target_address = options.target_address;
    ctx->protocol_version = options.protocol_version;
    ctx->activation_type = options.activation_type;
    ctx->oem_specific_present = options.oem_present ? 1 : 0;
    ctx->oem_specific = options.oem_value;
    ctx->t_tcp_initial_inactivity_ms = options.timeout_ms;
    ctx->a_doip_diagnostic_message_ms = options.timeout_ms;
}

int collect_log_line(int, const char* text, uint32_t length) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log_lines.emplace_back(text, length);
    return 0;
}

std::vector<std::string> take_log_lines() {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    std::vector<std::string> lines;
    lines.swap(g_log_lines);
    return lines;
}

const char* outcome_name(UdsExchange::Outcome outcome) {
    // In the order of the enumerators.
    static const char* const kNames[] = {"positive response",
                                         "negative response",
                                         "acknowledged (response suppressed)",
                                         "diagnostic message NACK",
                                         "generic header NACK",
                                         "no acknowledgement",
                                         "no response",
                                         "send failed",
                                         "connection lost",
                                         "reply in another protocol version",
                                         "response pending for too long"};
    static_assert(
        sizeof kNames / sizeof kNames[0] == static_cast<size_t>(UdsExchange::Outcome::pending_too_long) + 1,
        "a name per outcome");
    return kNames[static_cast<size_t>(outcome)];
}

std::vector<uint8_t> header_only_request(const doip_s& ctx, uint16_t type) {
    doip_package_s record{};
    const doip_addressing_s* addressing = DOIP_ADDRESSING(&ctx);
    switch (type) {
        case DOIP_PT_ENTITY_STATUS_REQUEST:
            doip_entity_status_request_init(addressing, &record);
            break;
        case DOIP_PT_POWER_MODE_REQUEST:
            doip_power_mode_request_init(addressing, &record);
            break;
        default:
            doip_alive_check_request_init(addressing, &record);
            break;
    }
    std::vector<uint8_t> message(DOIP_HEADER_SIZE);
    doip_entity_status_request_serilize(&record, message.data(), static_cast<uint32_t>(message.size()));
    return message;
}

Session::Session(const TesterOptions& options) : options_(options) {
    SocketLayerOptions layer_options;
    layer_options.logger = &collect_log_line;
    layer_options.delivery = Delivery::connection;
    layer_options.connect_timeout_ms = options.connect_timeout_ms;
    layer_options.tls = options.tls;
    configured_ = SocketLayer::instance().configure(layer_options, &configure_error_);
    SocketLayer::install();
    doip_set_logger_ops(&collect_log_line);
    fill_context(options_, &ctx_);
}

Session::~Session() {
    close();
}

int Session::activate() {
    activation_response_.clear();
    if (configured_ != DOIP_OK) {
        // No connection with settings the layer refused, and no plain one instead.
        activation_result_ = configured_;
        activation_failure_ = describe_result(configured_) +
                              (configure_error_.empty() ? std::string() : ": " + configure_error_);
        return configured_;
    }
    open_ = true;
    const uint32_t serial_before = SocketLayer::instance().serial(options_.channel);
    const int rc = doip_activate(options_.channel, &ctx_);
    const uint32_t serial = SocketLayer::instance().serial(options_.channel);
    // Only a connection opened by this call can have sent a response, and only when the library took one.
    const bool opened = serial != 0 && serial != serial_before;
    const bool answered = rc == DOIP_OK || rc >= DOIP_RA_UNKNOWN_SOURCE_ADDRESS ||
                          rc == DOIP_ERR_INPUT_TOO_SHORT || rc == DOIP_ERR_BAD_PROTOCOL_VERSION;
    std::string nack;
    receive_failure_.clear();
    ReceivedMessage m;
    if (opened && answered) {
        if (receive({DOIP_PT_ROUTING_ACTIVATION_RESPONSE}, kActivationCopyWaitMs, &m)) {
            activation_response_ = std::move(m.bytes);
        }
    } else if (opened && rc == DOIP_ERR_TIMEOUT) {
        // The library's wait ran out: what did the connection bring meanwhile?
        if (receive({DOIP_PT_ROUTING_ACTIVATION_RESPONSE, DOIP_PT_GENERIC_NACK}, 0, &m)) {
            if (m.payload_type() == DOIP_PT_GENERIC_NACK) {
                nack = describe_message(m.bytes);
            } else {
                activation_response_ = std::move(m.bytes);
            }
        }
    }
    activation_result_ = rc;
    activation_failure_ = judge_activation(rc, nack);
    return rc;
}

std::string Session::activation_hint() const {
    if (activation_failure_.empty()) {
        return std::string();
    }
    doip_routing_activation_response_s r{};
    const bool answered =
        !activation_response_.empty() &&
        doip_routing_activation_response_deserilize(
            activation_response_.data(), static_cast<uint32_t>(activation_response_.size()), &r) == DOIP_OK;
    if (!options_.tls) {
        if (answered && r.response_code == 0x07) {
            return "the entity requires a secure (TLS) connection for this activation type: retry with --tls "
                   "(port " +
                   std::to_string(kTlsPort) + ") and --ca FILE";
        }
        if (!answered && options_.port == kTlsPort) {
            return "port " + std::to_string(kTlsPort) + " is the TLS port: add --tls";
        }
    } else if (activation_result_ == DOIP_SOCKET_ERR_TLS_HANDSHAKE && options_.port == kPlainPort) {
        return std::to_string(kPlainPort) + " is the plain DoIP port; TLS is usually on " +
               std::to_string(kTlsPort);
    }
    return std::string();
}

std::string Session::security() const {
    return open_ ? SocketLayer::instance().security(options_.channel) : std::string();
}

std::string Session::judge_activation(int rc, const std::string& nack) const {
    const std::string library = "the library returned " + result_number(rc) + (rc == DOIP_OK ? " (OK)" : "") +
                                " and left registry state " + state_name(state());
    doip_routing_activation_response_s r{};
    if (!activation_response_.empty() &&
        doip_routing_activation_response_deserilize(
            activation_response_.data(), static_cast<uint32_t>(activation_response_.size()), &r) == DOIP_OK) {
        if (r.tester_address != ctx_.source_address) {
            return "the routing activation response was for tester " + hex16(r.tester_address) +
                   ", not for us (" + hex16(ctx_.source_address) + "); " + library;
        }
        if (r.response_code != 0x10) {
            return "the entity did not activate routing: code " + hex8(r.response_code) + ", " +
                   routing_activation_code_name(r.response_code) + "; " + library;
        }
    }
    if (rc == DOIP_OK) {
        return std::string();
    }
    if (rc == DOIP_ERR_TIMEOUT && activation_response_.empty()) {
        const std::string lost = connection_lost();
        if (!nack.empty()) {
            return "the entity answered with a " + nack + (lost.empty() ? "" : "; " + lost);
        }
        if (!receive_failure_.empty()) {
            return receive_failure_;
        }
        if (!lost.empty()) {
            return lost;
        }
        return "no routing activation response within " + std::to_string(ctx_.t_tcp_initial_inactivity_ms) +
               " ms";
    }
    const std::string why =
        is_socket_error(rc) ? SocketLayer::instance().open_failure(options_.channel) : std::string();
    return describe_result(rc) + (why.empty() ? std::string() : ": " + why);
}

int Session::state() const {
    int state = DOIP_STATE_NONE;
    get_doip_state(&ctx_, &state);
    return state;
}

std::string Session::connection_lost() const {
    if (!open_) {
        return std::string();
    }
    if (SocketLayer::instance().serial(options_.channel) == 0) {
        return "no connection is open";
    }
    return SocketLayer::instance().end_reason(options_.channel).text;
}

int Session::send(const std::vector<uint8_t>& message) {
    return SocketLayer::instance().send(options_.channel, message.data(),
                                        static_cast<uint32_t>(message.size()));
}

bool Session::receive(std::initializer_list<uint16_t> types, uint32_t timeout_ms, ReceivedMessage* out) {
    receive_failure_.clear();
    receive_lost_ = false;
    const uint32_t serial = SocketLayer::instance().serial(options_.channel);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    if (timeout_ms > 0) {
        late_looks_ = 0;  // a new wait; one with 0 goes on counting those of the wait whose deadline passed
    }
    for (;;) {
        const auto left =
            std::max(std::chrono::milliseconds(0),
                     std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
        // What is there at the deadline is still looked at, but messages that keep coming do not keep the
        // wait going.
        if (left.count() == 0 && ++late_looks_ > kLateLooks) {
            return false;
        }
        ReceivedMessage m;
        switch (SocketLayer::instance().take(options_.channel, serial, &m, left)) {
            case Inbox::Taken::timeout:
                return false;
            case Inbox::Taken::ended:
                receive_failure_ = connection_lost();
                receive_lost_ = true;
                return false;
            case Inbox::Taken::message:
                break;
        }
        const uint16_t type = m.payload_type();
        // An entity that does not support our version says so with a generic NACK in its own.
        if (type != DOIP_PT_GENERIC_NACK && m.bytes[0] != ctx_.protocol_version) {
            receive_failure_ = "the entity replied with protocol version " + hex8(m.bytes[0]) + " where " +
                               hex8(ctx_.protocol_version) + " was sent";
            skip(m.bytes);
            return false;
        }
        if (std::find(types.begin(), types.end(), type) != types.end()) {
            *out = std::move(m);
            return true;
        }
        if (type == DOIP_PT_ALIVE_CHECK_REQUEST) {
            doip_alive_check_response_s record{};
            doip_alive_check_response_init(DOIP_ADDRESSING(&ctx_), &record, ctx_.source_address);
            std::vector<uint8_t> reply(DOIP_HEADER_SIZE + record.header.payload_length);
            doip_alive_check_response_serilize(&record, reply.data(), static_cast<uint32_t>(reply.size()));
            send(reply);
        }
        skip(m.bytes);
    }
}

void Session::fail(UdsExchange& x, UdsExchange::Outcome outcome) const {
    x.outcome = outcome;
    if (!receive_failure_.empty()) {
        x.outcome =
            receive_lost_ ? UdsExchange::Outcome::connection_lost : UdsExchange::Outcome::wrong_version;
        x.cause = receive_failure_;
    }
}

void Session::keep_unsolicited(UdsExchange& x, const ReceivedMessage& m, const std::vector<uint8_t>& earlier,
                               Clock::time_point start) const {
    if (x.unsolicited.size() >= kMaxKept) {
        ++x.unsolicited_not_kept;
        return;
    }
    UdsExchange::Unsolicited u;
    u.message = m.bytes;
    u.ms = ms_since(start);
    if (answers_request(earlier, uds_of(m.bytes))) {
        u.earlier_request = earlier;
    }
    x.unsolicited.push_back(std::move(u));
}

UdsExchange Session::uds(const std::vector<uint8_t>& uds) {
    UdsExchange x;
    x.request.resize(12 + uds.size());
    x.code = doip_diag_request(&ctx_, uds.data(), static_cast<unsigned>(uds.size()), x.request.data(),
                               static_cast<unsigned>(x.request.size()));
    if (x.code != DOIP_OK) {
        x.outcome = UdsExchange::Outcome::send_failed;
        return x;
    }
    const auto start = Clock::now();
    x.code = send(x.request);
    if (x.code != DOIP_OK) {
        x.outcome = UdsExchange::Outcome::send_failed;
        return x;
    }
    const std::vector<uint8_t> previous = std::exchange(last_request_, uds);
    // A diagnostic message from the target to us is (in the order of the stream) a response; anything else
    // on 0x8001 is someone else's.
    const auto from_target = [this](const ReceivedMessage& m) {
        const explain_info_s info =
            doip_get_expalininfo(m.bytes.data(), static_cast<unsigned>(m.bytes.size()));
        return m.bytes.size() >= 13 && info.sender_address == ctx_.target_address &&
               load_be16(m.bytes.data() + 10) == ctx_.source_address;
    };
    ReceivedMessage m;
    const auto ack_deadline = start + std::chrono::milliseconds(options_.timeout_ms);
    for (;;) {
        if (!receive({DOIP_PT_DIAG_MSG_ACK, DOIP_PT_DIAG_MSG_NACK, DOIP_PT_GENERIC_NACK, DOIP_PT_DIAG_MSG},
                     left_until(ack_deadline), &m)) {
            fail(x, UdsExchange::Outcome::no_ack);
            return x;
        }
        if (m.payload_type() != DOIP_PT_DIAG_MSG) {
            break;
        }
        // Before this request's acknowledgement: a late answer to an earlier request.
        if (from_target(m)) {
            keep_unsolicited(x, m, previous, start);
        } else {
            skip(m.bytes);
        }
    }
    x.ack_ms = ms_since(start);
    x.acknowledgement = m.bytes;
    if (m.payload_type() == DOIP_PT_GENERIC_NACK) {
        x.ack_code = m.bytes.size() > 8 ? m.bytes[8] : 0;
        x.outcome = UdsExchange::Outcome::generic_nack;
        return x;
    }
    doip_diagnostic_response_s* ack = nullptr;
    const int parsed =
        doip_diag_response(nullptr, m.bytes.data(), static_cast<unsigned>(m.bytes.size()), &ack);
    x.ack_code = parsed == DOIP_OK && ack != nullptr ? ack->ack_code : 0xFF;
    doip_free_diag_response(ack);
    if (m.payload_type() == DOIP_PT_DIAG_MSG_NACK || parsed != DOIP_OK) {
        x.outcome = UdsExchange::Outcome::nacked;
        return x;
    }
    // A suppressed positive response leaves room for a negative one: the settle time.
    const bool suppressed = response_suppressed(uds);
    auto deadline =
        Clock::now() + std::chrono::milliseconds(suppressed ? options_.settle_ms : options_.timeout_ms);
    const auto pending_end = start + std::chrono::milliseconds(options_.pending_total_ms);
    for (;;) {
        if (!receive({DOIP_PT_DIAG_MSG}, left_until(deadline), &m)) {
            // The wait that ran out was the one cut short by the total.
            if (x.pending_responses > 0 && receive_failure_.empty() && deadline == pending_end) {
                break;
            }
            fail(x, suppressed && x.pending_responses == 0 ? UdsExchange::Outcome::no_response_expected
                                                           : UdsExchange::Outcome::no_response);
            return x;
        }
        if (!from_target(m)) {
            skip(m.bytes);
            continue;
        }
        std::vector<uint8_t> answer = uds_of(m.bytes);
        if (!answers_request(uds, answer)) {
            keep_unsolicited(x, m, previous, start);
            continue;
        }
        x.response = m.bytes;
        x.response_source = ctx_.target_address;
        x.response_target = ctx_.source_address;
        x.uds = std::move(answer);
        if (is_response_pending(x.uds)) {
            ++x.pending_responses;
            // Each 0x78 buys pending_ms more, but never past pending_total_ms after the request.
            deadline = std::min(Clock::now() + std::chrono::milliseconds(options_.pending_ms), pending_end);
            if (Clock::now() >= pending_end) {
                break;
            }
            continue;
        }
        x.response_ms = ms_since(start);
        x.outcome = x.uds[0] == kNegativeResponseSid ? UdsExchange::Outcome::negative
                                                     : UdsExchange::Outcome::positive;
        return x;
    }
    x.outcome = UdsExchange::Outcome::pending_too_long;
    x.cause = "the ECU answered response pending (NRC 0x78) " + std::to_string(x.pending_responses) +
              " times and gave no final answer within " + std::to_string(options_.pending_total_ms) +
              " ms (--pending-total)";
    return x;
}

int Session::request(uint16_t request_type, uint16_t response_type, ReceivedMessage* reply, double* ms) {
    const auto start = Clock::now();
    const int sent = send(header_only_request(ctx_, request_type));
    if (sent != DOIP_OK) {
        return sent;
    }
    if (!receive({response_type, DOIP_PT_GENERIC_NACK}, options_.timeout_ms, reply)) {
        return DOIP_ERR_TIMEOUT;
    }
    *ms = ms_since(start);
    return DOIP_OK;
}

void Session::close() {
    if (!open_) {
        return;
    }
    open_ = false;
    doip_uninitialize(options_.channel, &ctx_);
    delete_doip_state(&ctx_);
}

void Session::skip(const std::vector<uint8_t>& message) {
    if (skipped_.size() < kMaxKept) {
        skipped_.push_back(describe_message(message));
    } else {
        ++skipped_not_kept_;
    }
}

std::vector<std::string> Session::take_skipped() {
    std::vector<std::string> skipped;
    skipped.swap(skipped_);
    if (skipped_not_kept_ > 0) {
        skipped.push_back("(" + std::to_string(std::exchange(skipped_not_kept_, 0)) +
                          " more messages passed over, not kept)");
    }
    return skipped;
}

}  // namespace doip_tools
