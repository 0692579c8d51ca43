#include "faults.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "bytes.h"
#include "doip.h"

namespace doip_tools {

std::vector<uint8_t> ReplyWriter::rewrite(std::vector<uint8_t> bytes) const {
    const SimulatorFaults& f = options_.faults;
    if (f.reply_version >= 0) {
        bytes[0] = static_cast<uint8_t>(f.reply_version);
        bytes[1] = static_cast<uint8_t>(~bytes[0]);
    }
    if (f.bad_inverse_version) {
        bytes[1] = bytes[0];
    }
    if (f.cut_reply_to > 0 && f.cut_reply_to < bytes.size()) {
        bytes.resize(f.cut_reply_to);
        if (bytes.size() >= DOIP_HEADER_SIZE) {
            store_be32(bytes.data() + 4, static_cast<uint32_t>(bytes.size() - DOIP_HEADER_SIZE));
        }
    }
    return bytes;
}

// Starts with 0xAA 0xAA, which no protocol version and its inverse make, then varies.
void ReplyWriter::send_garbage(Connection& connection) const {
    std::vector<uint8_t> garbage(options_.faults.garbage_before_reply);
    uint8_t x = 0xAA;
    for (size_t i = 0; i < garbage.size(); ++i) {
        garbage[i] = i < 2 ? 0xAA : (x = static_cast<uint8_t>(x * 37 + 11));
    }
    connection.send(garbage.data(), garbage.size());
}

// Periodic data (DID 0xF200) with a counter, from the entity to the tester the response names; all of it
// in one write, as fast as the tester's end takes it.
void ReplyWriter::send_burst(Connection& connection, const std::vector<uint8_t>& response) const {
    const uint32_t count = options_.faults.unsolicited_burst;
    constexpr uint8_t kGranted = 0x10;
    if (count == 0 || response.size() < DOIP_HEADER_SIZE + 9 ||
        load_be16(response.data() + 2) != DOIP_PT_ROUTING_ACTIVATION_RESPONSE || response[12] != kGranted) {
        return;
    }
    constexpr size_t kSize = DOIP_HEADER_SIZE + 4 + 5;
    std::vector<uint8_t> burst(kSize * count);
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t* m = burst.data() + kSize * i;
        m[0] = response[0];
        m[1] = response[1];
        store_be16(m + 2, DOIP_PT_DIAG_MSG);
        store_be32(m + 4, kSize - DOIP_HEADER_SIZE);
        std::copy(response.begin() + 10, response.begin() + 12, m + 8);  // the entity
        std::copy(response.begin() + 8, response.begin() + 10, m + 10);  // the tester
        m[12] = 0x62;
        store_be16(m + 13, 0xF200);
        store_be16(m + 15, static_cast<uint16_t>(i));
    }
    log_event(options_, connection.name() + ": " + std::to_string(count) +
                            " unsolicited diagnostic messages (fault injection)");
    if (!connection.send(burst.data(), burst.size())) {
        log_event(options_, connection.name() + ": closed: the unsolicited messages could not be sent (" +
                                connection.send_error() + ")");
        connection.cut_off = true;
    }
}

void ReplyWriter::send(Connection& connection, std::vector<uint8_t> bytes) const {
    const SimulatorFaults& f = options_.faults;
    if (f.silent || connection.cut_off) {
        return;
    }
    if (f.reply_delay_ms > 0 && !stop_.pause(f.reply_delay_ms)) {
        return;
    }
    bytes = rewrite(std::move(bytes));
    if (f.garbage_before_reply > 0) {
        send_garbage(connection);
    }
    if (f.close_mid_message) {
        connection.send(bytes.data(), std::max<size_t>(1, bytes.size() / 2));
        log_event(options_, connection.name() + ": closing in the middle of a reply (fault injection)");
        connection.shut_down();
        connection.cut_off = true;
        return;
    }
    // Split: a pause after each piece, so that it leaves as a segment of its own.
    const bool sent = f.split_segment_size == 0
                          ? connection.send(bytes.data(), bytes.size())
                          : connection.send_pieces(bytes.data(), bytes.size(), f.split_segment_size, [] {
                                std::this_thread::sleep_for(std::chrono::microseconds(500));
                            });
    // A reply half out (the tester took nothing for the send timeout) leaves no stream to go on with.
    if (!sent) {
        const std::string why = connection.send_error();
        log_event(options_, connection.name() + ": closed: a reply could not be sent (" + why + ")");
        connection.cut_off = true;
        return;
    }
    send_burst(connection, bytes);
}

}  // namespace doip_tools
