// A table names each payload type and gives the function that describes its fields.
#include "bytes.h"
#include "describe.h"
#include "doip.h"
#include "formatting.h"

namespace doip_tools {
namespace {

// The line for one message: `title` is the type's name and number ("alive check request (0x0007)"), `b`
// the whole message of `count` bytes, its header checked.
using Describer = std::string (*)(const std::string& title, const uint8_t* b, uint32_t count);

std::string undecodable(const std::string& title) {
    return title + ", undecodable";
}

std::string undecodable(const std::string& title, int code) {
    return undecodable(title) + " (" + std::to_string(code) + ")";
}

std::string title_only(const std::string& title, const uint8_t*, uint32_t) {
    return title;
}

std::string generic_nack(const std::string& title, const uint8_t* b, uint32_t count) {
    return count > DOIP_HEADER_SIZE ? title + ", code " + hex8(b[8]) + " " + generic_nack_name(b[8])
                                    : title + " without code";
}

std::string eid_request(const std::string& title, const uint8_t* b, uint32_t count) {
    return count >= 14 ? title + ", EID " + hex_bytes(b + 8, 6) : title;
}

std::string vin_request(const std::string& title, const uint8_t* b, uint32_t count) {
    return count >= 25 ? title + ", VIN \"" + printable(b + 8, 17) + "\"" : title;
}

std::string vehicle_id_response(const std::string& title, const uint8_t* b, uint32_t count) {
    vehicle_id_response_s r{};
    const int rc = doip_vid_response(b, count, &r);
    if (rc != DOIP_OK) {
        return undecodable(title, rc);
    }
    return title + ": VIN \"" + printable(r.vin, 17) + "\", logical address " + hex16(r.logical_address) +
           ", EID " + hex_bytes(r.eid, 6) + ", GID " + hex_bytes(r.gid, 6) + ", further action " +
           hex8(r.further_action) + (r.has_sync_status != 0 ? ", sync status " + hex8(r.sync_status) : "");
}

std::string activation_request(const std::string& title, const uint8_t* b, uint32_t count) {
    doip_routing_activation_request_s r{};
    if (count < 15 || doip_routing_activation_request_deserilize(b, count, &r) != DOIP_OK) {
        return undecodable(title);
    }
    return title + ": source " + hex16(r.source_address) + ", type " + hex8(r.activation_type) +
           (r.has_oem_specific != 0 ? ", OEM field " + hex_bytes(b + 15, 4) : ", no OEM field");
}

std::string activation_response(const std::string& title, const uint8_t* b, uint32_t count) {
    doip_routing_activation_response_s r{};
    const int rc = doip_routing_activation_response_deserilize(b, count, &r);
    if (rc != DOIP_OK) {
        return undecodable(title, rc);
    }
    return title + ": tester " + hex16(r.tester_address) + ", entity " + hex16(r.entity_address) + ", code " +
           hex8(r.response_code) + " " + routing_activation_code_name(r.response_code) +
           (r.has_oem_specific != 0 ? ", OEM field " + hex_bytes(b + 17, 4) : "");
}

std::string alive_check_response(const std::string& title, const uint8_t* b, uint32_t count) {
    doip_alive_check_response_s r{};
    if (doip_alive_check_response_deserilize(b, count, &r) != DOIP_OK) {
        return undecodable(title);
    }
    return title + ": source " + hex16(r.source_address);
}

const CodeName kNodeTypes[] = {{0x00, " gateway"}, {0x01, " node"}};

// A well-formed entity status payload is 3 bytes, or 7 with the max data size. Another length is said to be
// malformed, and the fields that are there are still shown.
std::string entity_status_response(const std::string& title, const uint8_t* b, uint32_t count) {
    const uint32_t payload = count - DOIP_HEADER_SIZE;
    const bool well_formed = payload == 3 || payload == 7;
    std::string text = title + (well_formed ? ":"
                                            : ", malformed: " + std::to_string(payload) +
                                                  " payload bytes where 3 or 7 belong;");
    if (payload >= 1) {
        const char* node = find_name(kNodeTypes, b[8]);
        text += " node type " + hex8(b[8]) + (node != nullptr ? node : "");
    }
    if (payload >= 2) {
        text += ", max sockets " + std::to_string(b[9]);
    }
    if (payload >= 3) {
        text += ", open sockets " + std::to_string(b[10]);
    }
    if (payload >= 7) {
        text += ", max data size " + std::to_string(load_be32(b + 11));
    }
    return text;
}

const CodeName kPowerModes[] = {{0x00, " not ready"}, {0x01, " ready"}, {0x02, " not supported"}};

std::string power_mode_response(const std::string& title, const uint8_t* b, uint32_t count) {
    doip_power_mode_response_s r{};
    if (doip_power_mode_response_deserilize(b, count, &r) != DOIP_OK) {
        return undecodable(title);
    }
    const char* mode = find_name(kPowerModes, r.power_mode);
    return title + ": " + hex8(r.power_mode) + (mode != nullptr ? mode : "");
}

// "0x0EF5 -> 0x0CE1": the source and target address of a diagnostic message or acknowledgement.
std::string addresses(const uint8_t* b) {
    return hex16(load_be16(b + 8)) + " -> " + hex16(load_be16(b + 10));
}

std::string diagnostic_message(const std::string& title, const uint8_t* b, uint32_t count) {
    if (count < 12) {
        return title + ", too short";
    }
    const std::vector<uint8_t> uds(b + 12, b + count);
    return title + " " + addresses(b) + ": " + hex_bytes(uds, 24) + " (" + describe_uds(uds) + ")";
}

std::string acknowledgement(const std::string& title, const uint8_t* b, uint32_t count) {
    if (count < 13) {
        return "diagnostic message acknowledgement, too short";
    }
    const bool positive = load_be16(b + 2) == DOIP_PT_DIAG_MSG_ACK;
    return title + " " + addresses(b) + ", code " + hex8(b[12]) +
           (positive ? "" : " " + diagnostic_nack_name(b[12])) +
           (count > 13 ? ", echo " + hex_bytes(b + 13, count - 13, 16) : "");
}

struct MessageKind {
    uint16_t type;
    const char* name;
    Describer describe;
};

const MessageKind kMessageKinds[] = {
    {DOIP_PT_GENERIC_NACK, "generic header NACK", &generic_nack},
    {DOIP_PT_VEHICLE_ID_REQUEST, "vehicle identification request", &title_only},
    {DOIP_PT_VEHICLE_ID_EID_REQUEST, "vehicle identification request with EID", &eid_request},
    {DOIP_PT_VEHICLE_ID_VIN_REQUEST, "vehicle identification request with VIN", &vin_request},
    {DOIP_PT_VEHICLE_ID_RESPONSE, "vehicle identification response", &vehicle_id_response},
    {DOIP_PT_ROUTING_ACTIVATION_REQUEST, "routing activation request", &activation_request},
    {DOIP_PT_ROUTING_ACTIVATION_RESPONSE, "routing activation response", &activation_response},
    {DOIP_PT_ALIVE_CHECK_REQUEST, "alive check request", &title_only},
    {DOIP_PT_ALIVE_CHECK_RESPONSE, "alive check response", &alive_check_response},
    {DOIP_PT_ENTITY_STATUS_REQUEST, "entity status request", &title_only},
    {DOIP_PT_ENTITY_STATUS_RESPONSE, "entity status response", &entity_status_response},
    {DOIP_PT_POWER_MODE_REQUEST, "diagnostic power mode request", &title_only},
    {DOIP_PT_POWER_MODE_RESPONSE, "diagnostic power mode response", &power_mode_response},
    {DOIP_PT_DIAG_MSG, "diagnostic message", &diagnostic_message},
    {DOIP_PT_DIAG_MSG_ACK, "diagnostic message positive ACK", &acknowledgement},
    {DOIP_PT_DIAG_MSG_NACK, "diagnostic message NACK", &acknowledgement},
};

}  // namespace

std::string describe_message(const std::vector<uint8_t>& m) {
    doip_package_s header{};
    const int checked = doip_deserialize(m.data(), static_cast<unsigned>(m.size()), &header);
    if (checked != DOIP_OK) {
        return "not a valid DoIP message (doip_deserialize " + std::to_string(checked) + ")";
    }
    const uint32_t count = DOIP_HEADER_SIZE + header.payload_length;
    for (const MessageKind& kind : kMessageKinds) {
        if (kind.type == header.payload_type) {
            return kind.describe(std::string(kind.name) + " (" + hex16(kind.type) + ")", m.data(), count);
        }
    }
    return "payload type " + hex16(header.payload_type) + ", " + std::to_string(header.payload_length) +
           " payload bytes";
}

}  // namespace doip_tools
