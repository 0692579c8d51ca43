// The entity's answer to a diagnostic message: an acknowledgement, then the target ECU's UDS response.
#include <algorithm>

#include "entity.h"
#include "formatting.h"
#include "uds_table.h"

namespace doip_tools {
namespace {

constexpr uint8_t kAckConfirmed = 0x00;
constexpr uint8_t kNackInvalidSourceAddress = 0x02;
constexpr uint8_t kNackUnknownTargetAddress = 0x03;

// A positive (0x8002) or negative (0x8003) acknowledgement echoing the first `echo` bytes of `uds`.
Bytes acknowledgement(const doip_addressing_s& from_ecu, bool positive, uint8_t code, const Bytes& uds,
                      uint32_t echo) {
    doip_diagnostic_response_s* record = doip_diag_msg_response_create(echo);
    const auto init = positive ? &doip_diag_msg_ack_response_init : &doip_diag_msg_nack_response_init;
    init(&from_ecu, record, code, uds.data(), echo);
    Bytes out = encode(*record, &doip_diag_msg_response_serilize);
    doip_diag_msg_response_free(record);
    return out;
}

Bytes diagnostic(const doip_addressing_s& from_ecu, const Bytes& uds) {
    const auto size = static_cast<uint32_t>(uds.size());
    doip_diagnostic_request_s* record = doip_diag_msg_request_create(size);
    doip_diag_msg_request_init(&from_ecu, record, uds.data(), size);
    Bytes out = encode(*record, &doip_diag_msg_request_serilize);
    doip_diag_msg_request_free(record);
    return out;
}

}  // namespace

// A functional request (to options_.functional_address) is acknowledged once, from the functional
// address, and answered by every target in address order, each from its own address.
Replies Entity::diagnostic_message(const Request& r) {
    ++diagnostic_messages_;
    doip_diagnostic_request_s* request = nullptr;
    if (doip_diag_request_parse(r.bytes, r.count, &request) != DOIP_OK || request == nullptr) {
        doip_diag_msg_request_free(request);
        return {};
    }
    const uint16_t tester = request->source_address;
    const uint16_t target = request->target_address;
    const Bytes uds(request->user_data, request->user_data + request->user_data_length);
    doip_diag_msg_request_free(request);

    Connection& connection = *r.connection;
    const doip_addressing_s from_ecu = from(target, tester, r.reply_version);
    if (tester_of(connection) != tester) {
        log_event(options_, connection.name() + ": diagnostic message from " + hex16(tester) +
                                " without routing activation: NACK 0x02, closing");
        connection.close_after_reply = true;
        return {acknowledgement(from_ecu, false, kNackInvalidSourceAddress, uds, 0)};
    }
    const bool functional = target == options_.functional_address;
    if (!functional && !knows_target(target)) {
        return {acknowledgement(from_ecu, false, kNackUnknownTargetAddress, uds, 0)};
    }
    const uint32_t echo = std::min<uint32_t>(options_.ack_echo_bytes, static_cast<uint32_t>(uds.size()));
    Replies replies = {acknowledgement(from_ecu, true, kAckConfirmed, uds, echo)};
    const EcuAnswer flash = flash_ && target == options_.logical_address ? flash_->answer(uds) : EcuAnswer{};
    if (flash.handled) {
        replies = flash_replies(connection, from_ecu, std::move(replies[0]), uds[0], flash);
    }
    for (uint16_t ecu : flash.handled ? std::vector<uint16_t>{}
                        : functional  ? targets()
                                      : std::vector<uint16_t>{target}) {
        const Bytes response = uds_response(uds, UdsTarget{ecu, vin_of(ecu)});
        if (!response.empty() && !(functional && suppressed_when_functional(response))) {
            replies.push_back(diagnostic(from(ecu, tester, r.reply_version), response));
        }
    }
    if (options_.close_after_reset && is_ecu_reset(uds)) {
        log_event(options_, connection.name() + ": ECU reset, closing the connection");
        connection.close_after_reply = true;
    }
    return replies;
}

// The ACK and each response-pending answer go out as they are due; the final response is returned.
Replies Entity::flash_replies(Connection& connection, const doip_addressing_s& from_ecu, Bytes ack,
                              uint8_t sid, const EcuAnswer& answer) {
    Replies replies = {std::move(ack)};
    if (answer.drop_connection) {
        log_event(options_, connection.name() + ": flash: dropped the connection at a TransferData block");
        connection.close_after_reply = true;
        return replies;
    }
    if (answer.pending_ms == 0 && answer.delay_ms == 0) {
        if (!answer.response.empty()) {
            replies.push_back(diagnostic(from_ecu, answer.response));
        }
        return replies;
    }
    const auto start = std::chrono::steady_clock::now();
    if (!send_now(connection, std::move(replies[0]))) {
        return {};
    }
    const Bytes pending = diagnostic(from_ecu, {0x7F, sid, 0x78});
    for (uint32_t at = 0; at < answer.pending_ms; at += FlashEcu::kPendingIntervalMs) {
        const uint32_t next = std::min(at + FlashEcu::kPendingIntervalMs, answer.pending_ms);
        if (!send_now(connection, pending) ||
            !wait_unless_stopping(start + std::chrono::milliseconds(next))) {
            return {};
        }
    }
    const auto due = start + std::chrono::milliseconds(uint64_t{answer.pending_ms} + answer.delay_ms);
    if (!wait_unless_stopping(due) || answer.response.empty()) {
        return {};
    }
    return {diagnostic(from_ecu, answer.response)};
}

// Without a sender (an entity not behind a server) the reply is dropped.
bool Entity::send_now(Connection& connection, Bytes reply) {
    if (send_) {
        send_(connection, std::move(reply));
    }
    return !connection.cut_off;
}

}  // namespace doip_tools
