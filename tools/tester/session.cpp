#include "session.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "bytes.h"
#include "describe.h"
#include "formatting.h"
#include "socket_layer.h"
#include "uds_match.h"

namespace doip_tools {
namespace {

std::mutex g_log_mutex;
std::vector<std::string> g_log_lines;

// The copy of a routing activation response reaches the demultiplexer right after the library's own.
constexpr uint32_t kActivationCopyWaitMs = 1000;

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
                                         "send failed"};
    static_assert(
        sizeof kNames / sizeof kNames[0] == static_cast<size_t>(UdsExchange::Outcome::send_failed) + 1,
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

Session::Session(const TesterOptions& options, MessageDemux* demux) : options_(options) {
    SocketLayerOptions layer_options;
    layer_options.logger = &collect_log_line;
    layer_options.connect_timeout_ms = options.connect_timeout_ms;
    SocketLayer::instance().configure(layer_options);
    SocketLayer::install();
    doip_set_logger_ops(&collect_log_line);
    fill_context(options_, &ctx_);
    if (demux == nullptr) {
        own_demux_ = std::make_unique<MessageDemux>();
        demux = own_demux_.get();
    }
    demux_ = demux;
}

Session::~Session() {
    close();
}

int Session::activate() {
    open_ = true;
    demux_->clear(options_.channel);
    activation_response_.clear();
    const uint32_t serial_before = SocketLayer::instance().serial(options_.channel);
    const int rc = doip_activate(options_.channel, &ctx_);
    const uint32_t serial = SocketLayer::instance().serial(options_.channel);
    // Only a connection opened by this call can have sent a response, and only when the library took one.
    const bool answered = rc == DOIP_OK || rc >= DOIP_RA_UNKNOWN_SOURCE_ADDRESS ||
                          rc == DOIP_ERR_INPUT_TOO_SHORT || rc == DOIP_ERR_BAD_PROTOCOL_VERSION;
    if (serial != 0 && serial != serial_before && answered) {
        ReceivedMessage m;
        if (receive({DOIP_PT_ROUTING_ACTIVATION_RESPONSE}, kActivationCopyWaitMs, &m)) {
            activation_response_ = std::move(m.bytes);
        }
    }
    return rc;
}

int Session::state() const {
    int state = DOIP_STATE_NONE;
    get_doip_state(&ctx_, &state);
    return state;
}

int Session::send(const std::vector<uint8_t>& message) {
    return SocketLayer::instance().send(options_.channel, message.data(),
                                        static_cast<uint32_t>(message.size()));
}

bool Session::receive(std::initializer_list<uint16_t> types, uint32_t timeout_ms, ReceivedMessage* out) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        ReceivedMessage m;
        if (left.count() < 0 ||
            !demux_->take(options_.channel, SocketLayer::instance().serial(options_.channel), &m, left)) {
            return false;
        }
        const uint16_t type = m.payload_type();
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
        skipped_.push_back(describe_message(m.bytes));
    }
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
    ReceivedMessage m;
    if (!receive({DOIP_PT_DIAG_MSG_ACK, DOIP_PT_DIAG_MSG_NACK, DOIP_PT_GENERIC_NACK}, options_.timeout_ms,
                 &m)) {
        x.outcome = UdsExchange::Outcome::no_ack;
        return x;
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
    if (response_suppressed(uds)) {
        x.outcome = UdsExchange::Outcome::no_response_expected;
        return x;
    }
    uint32_t wait = options_.timeout_ms;
    for (;;) {
        if (!receive({DOIP_PT_DIAG_MSG}, wait, &m)) {
            x.outcome = UdsExchange::Outcome::no_response;
            return x;
        }
        const explain_info_s info =
            doip_get_expalininfo(m.bytes.data(), static_cast<unsigned>(m.bytes.size()));
        if (m.bytes.size() < 13 || info.sender_address != ctx_.target_address ||
            load_be16(m.bytes.data() + 10) != ctx_.source_address) {
            skipped_.push_back(describe_message(m.bytes));
            continue;
        }
        x.response = m.bytes;
        x.response_source = info.sender_address;
        x.response_target = load_be16(m.bytes.data() + 10);
        doip_message_raii stripped;
        doip_message_s raw{};
        raw.length = static_cast<uint32_t>(m.bytes.size());
        raw.data = m.bytes.data();
        doip_message_init_bycopy(stripped.get(), &raw);
        doip_remove_header(stripped.get());
        x.uds.assign(stripped.data, stripped.data + stripped.length);
        if (x.uds.size() >= 3 && x.uds[0] == 0x7F && x.uds[2] == 0x78) {
            ++x.pending_responses;
            wait = options_.pending_ms;
            continue;
        }
        x.response_ms = ms_since(start);
        x.outcome = !x.uds.empty() && x.uds[0] == 0x7F ? UdsExchange::Outcome::negative
                                                       : UdsExchange::Outcome::positive;
        return x;
    }
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

std::vector<std::string> Session::take_skipped() {
    std::vector<std::string> skipped;
    skipped.swap(skipped_);
    return skipped;
}

}  // namespace doip_tools
