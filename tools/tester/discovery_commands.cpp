// The tester's UDP_DISCOVERY commands: vehicle identification (asked, or announced by the entities) and the
// entity status / power mode questions over UDP.
#include <algorithm>
#include <iomanip>
#include <sstream>

#include "commands.h"
#include "describe.h"
#include "formatting.h"
#include "udp_exchange.h"

namespace doip_tools {
namespace {

// How long discovery collects answers unless --wait says otherwise: A_DoIP_Ctrl.
constexpr int kDefaultWindowMs = 2000;

uint16_t payload_type(const std::vector<uint8_t>& bytes) {
    return bytes.size() >= 4 ? static_cast<uint16_t>(bytes[2] << 8 | bytes[3]) : 0;
}

// True when `reply` is a vehicle identification response that decodes.
bool is_vehicle_identification(const UdpReply& reply) {
    vehicle_id_response_s r{};
    return payload_type(reply.bytes) == DOIP_PT_VEHICLE_ID_RESPONSE &&
           doip_vid_response(reply.bytes.data(), static_cast<unsigned>(reply.bytes.size()), &r) == DOIP_OK;
}

// Says what the collection passed over, when anything.
void print_skipped(const UdpSkipped& skipped, std::ostream& out) {
    if (skipped.undecodable > 0) {
        out << "   (" << skipped.undecodable << " datagrams skipped: not one whole DoIP message of at most "
            << kMaxUdpPayload << " payload bytes)\n";
    }
    if (skipped.not_kept > 0) {
        out << "   (" << skipped.not_kept << " more answers after the first " << kMaxUdpReplies
            << " not kept)\n";
    }
}

// Prints each datagram with its sender and its own arrival time; true when one of them is of `expected`
// type (a vehicle identification response must also decode). A generic header NACK among them is said in
// words: the entity refused the request.
bool print_replies(const std::vector<UdpReply>& replies, uint16_t expected, bool show_sender,
                   std::ostream& out) {
    bool found = false;
    for (const UdpReply& reply : replies) {
        out << "<- " << (show_sender ? reply.from.ip + ":" + std::to_string(reply.from.port) + " " : "")
            << describe_message(reply.bytes) << "  [" << ms_text(reply.ms) << "]\n";
        found = found || (expected == DOIP_PT_VEHICLE_ID_RESPONSE ? is_vehicle_identification(reply)
                                                                  : payload_type(reply.bytes) == expected);
    }
    if (found) {
        return true;
    }
    for (const UdpReply& reply : replies) {
        if (payload_type(reply.bytes) == DOIP_PT_GENERIC_NACK) {
            const bool has_code = reply.bytes.size() > DOIP_HEADER_SIZE;
            out << "error: " << reply.from.ip << " refused the request with a generic header NACK"
                << (has_code ? ", code " + hex8(reply.bytes[8]) + " " + generic_nack_name(reply.bytes[8])
                             : " without a code")
                << "\n";
        }
    }
    return false;
}

// What a UDP exchange waits for and prints.
struct UdpAsk {
    size_t enough;        // replies to wait for; 0: all that come within the window
    int window_ms;        // how long to wait for them
    uint16_t expected;    // the payload type of the answer
    bool show_sender;     // each reply with the address it came from
    const char* nothing;  // the error when nothing comes back at all
};

// Sends `request` to the options' entity over UDP and prints it and the replies. False, with the error
// printed, when sending fails or no answer of the expected type comes back.
bool exchange_over_udp(const TesterOptions& options, const std::vector<uint8_t>& request, const UdpAsk& ask,
                       std::vector<UdpReply>* replies, std::ostream& out) {
    out << "-> " << options.host << ":" << options.port << " (UDP) " << describe_message(request) << "\n";
    std::string error;
    UdpSkipped skipped;
    const int rc = udp_exchange(options.host, options.port, request, ask.window_ms, ask.enough, replies,
                                &error, &skipped);
    if (rc != DOIP_OK) {
        out << "error: " << describe_result(rc) << ": " << error << "\n";
        return false;
    }
    print_skipped(skipped, out);
    if (replies->empty()) {
        out << "error: " << ask.nothing << " within " << ask.window_ms << " ms\n";
        return false;
    }
    if (!print_replies(*replies, ask.expected, ask.show_sender, out)) {
        const bool nacked = std::any_of(replies->begin(), replies->end(), [](const UdpReply& reply) {
            return payload_type(reply.bytes) == DOIP_PT_GENERIC_NACK;
        });
        if (!nacked) {  // a NACK has been said in words
            out << "error: " << ask.nothing << " that decodes within " << ask.window_ms << " ms\n";
        }
        return false;
    }
    return true;
}

const CodeName kFurtherActions[] = {{0x00, "none"}, {0x10, "central security"}};
const CodeName kSyncStates[] = {{0x00, "synchronized"}, {0x10, "not synchronized"}};

std::string code_text(const CodeName (&names)[2], uint8_t code) {
    const char* name = find_name(names, code);
    return hex8(code) + (name != nullptr ? std::string(" ") + name : "");
}

// Every entity that sent a vehicle identification response or announcement, once (by address and logical
// address), in the order they first answered.
void print_entity_table(const std::vector<UdpReply>& replies, std::ostream& out) {
    std::vector<std::string> rows;
    std::vector<std::string> seen;
    for (const UdpReply& reply : replies) {
        vehicle_id_response_s r{};
        if (payload_type(reply.bytes) != DOIP_PT_VEHICLE_ID_RESPONSE ||
            doip_vid_response(reply.bytes.data(), static_cast<unsigned>(reply.bytes.size()), &r) != DOIP_OK) {
            continue;
        }
        const std::string key = reply.from.ip + "/" + hex16(r.logical_address);
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
            continue;
        }
        seen.push_back(key);
        std::ostringstream row;
        row << "  " << std::left << std::setw(16) << reply.from.ip << std::setw(9) << hex16(r.logical_address)
            << std::setw(19) << printable(r.vin, 17) << std::setw(19) << hex_bytes(r.eid, 6) << std::setw(19)
            << hex_bytes(r.gid, 6) << std::setw(23) << code_text(kFurtherActions, r.further_action)
            << (r.has_sync_status != 0 ? code_text(kSyncStates, r.sync_status) : "-");
        rows.push_back(row.str());
    }
    out << rows.size() << (rows.size() == 1 ? " entity" : " entities") << " answered:\n";
    out << "  " << std::left << std::setw(16) << "IP address" << std::setw(9) << "logical" << std::setw(19)
        << "VIN" << std::setw(19) << "EID" << std::setw(19) << "GID" << std::setw(23) << "further action"
        << "sync status\n";
    for (const std::string& row : rows) {
        out << row << "\n";
    }
}

int listen_for_announcements(const TesterOptions& options, int window_ms, std::ostream& out) {
    const net::Endpoint at{options.local_address, options.port};
    out << "listening for vehicle announcements on " << (at.ip.empty() ? "0.0.0.0" : at.ip) << ":" << at.port
        << " (UDP) for " << window_ms << " ms\n";
    std::vector<UdpReply> datagrams;
    std::string error;
    UdpSkipped skipped;
    const int rc = udp_listen(at, window_ms, &datagrams, &error, &skipped);
    if (rc != DOIP_OK) {
        out << "error: " << describe_result(rc) << ": " << error << "\n";
        return kExitFailure;
    }
    print_skipped(skipped, out);
    if (!print_replies(datagrams, DOIP_PT_VEHICLE_ID_RESPONSE, true, out)) {
        out << "error: no vehicle announcement within " << window_ms << " ms\n";
        return kExitFailure;
    }
    print_entity_table(datagrams, out);
    return kExitOk;
}

}  // namespace

const uint16_t kStatusRequests[2][2] = {{DOIP_PT_ENTITY_STATUS_REQUEST, DOIP_PT_ENTITY_STATUS_RESPONSE},
                                        {DOIP_PT_POWER_MODE_REQUEST, DOIP_PT_POWER_MODE_RESPONSE}};

int run_discover(const TesterOptions& options, const DiscoverOptions& discover, std::ostream& out) {
    const int window_ms = discover.wait_ms >= 0 ? discover.wait_ms : kDefaultWindowMs;
    if (discover.listen) {
        return listen_for_announcements(options, window_ms, out);
    }
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
    // A broadcast reaches any number of entities: wait the whole window. One entity answers once.
    const bool broadcast =
        options.host.size() > 4 && options.host.compare(options.host.size() - 4, 4, ".255") == 0;
    const UdpAsk ask{broadcast ? 0u : 1u, window_ms, DOIP_PT_VEHICLE_ID_RESPONSE, true,
                     "no vehicle identification response"};
    std::vector<UdpReply> replies;
    if (!exchange_over_udp(options, request, ask, &replies, out)) {
        return kExitFailure;
    }
    print_entity_table(replies, out);
    return kExitOk;
}

int run_status(const TesterOptions& options, bool via_tcp, std::ostream& out) {
    if (via_tcp) {
        return run_status_over_tcp(options, out);
    }
    doip_s ctx;
    fill_context(options, &ctx);
    for (const auto& r : kStatusRequests) {
        const UdpAsk ask{1, static_cast<int>(options.timeout_ms), r[1], false, "no answer"};
        std::vector<UdpReply> replies;
        if (!exchange_over_udp(options, header_only_request(ctx, r[0]), ask, &replies, out)) {
            return kExitFailure;
        }
    }
    return kExitOk;
}

}  // namespace doip_tools
