#include "describe.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "doip.h"
#include "socket_layer.h"

namespace doip_tools {
namespace {

std::string hex8(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v & 0xFFu);
    return text;
}

std::string hex16(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", v & 0xFFFFu);
    return text;
}

uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

std::string printable(const uint8_t* bytes, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        out += std::isprint(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
    }
    return out;
}

const char* library_gloss(int code) {
    switch (code) {
        case DOIP_ERR_GENERAL:
            return "bad buffer arguments or allocation failure";
        case DOIP_ERR_NULL_ADDRESSING:
            return "null addressing block";
        case DOIP_ERR_BUFFER_TOO_SMALL:
            return "output buffer too small";
        case DOIP_ERR_NULL_INPUT:
            return "null input";
        case DOIP_ERR_INPUT_TOO_SHORT:
            return "input empty or too short for the message";
        case DOIP_ERR_NULL_RECORD:
            return "null record";
        case DOIP_ERR_NULL_OUTPUT:
            return "null output buffer";
        case DOIP_ERR_BAD_PROTOCOL_VERSION:
            return "inverse protocol version does not match";
        case DOIP_ERR_UNKNOWN_PAYLOAD_TYPE:
            return "unknown payload type";
        case DOIP_ERR_INCOMPLETE_MESSAGE:
            return "incomplete message";
        case DOIP_ERR_NO_SOCKET_OPEN:
            return "no socket-open function set";
        case DOIP_ERR_TIMEOUT:
            return "timeout: no matching message arrived";
        case DOIP_ERR_INVALID_ARGUMENT:
            return "invalid argument";
        case DOIP_ERR_NO_MESSAGE:
            return "no message cached";
        case DOIP_ERR_NO_MEMORY:
            return "out of memory";
        default:
            return nullptr;
    }
}

}  // namespace

std::string hex_bytes(const uint8_t* bytes, size_t count, size_t limit) {
    std::string out;
    const size_t n = limit != 0 && count > limit ? limit : count;
    char two[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, i == 0 ? "%02X" : " %02X", bytes[i]);
        out += two;
    }
    if (n < count) {
        out += " ...";
    }
    return out;
}

std::string hex_bytes(const std::vector<uint8_t>& bytes, size_t limit) {
    return hex_bytes(bytes.data(), bytes.size(), limit);
}

bool parse_hex_bytes(const std::string& text, std::vector<uint8_t>* out) {
    std::string digits;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            ++i;
            continue;
        }
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        } else if (c != ' ' && c != ',' && c != ':' && c != '-') {
            return false;
        }
    }
    if (digits.empty() || digits.size() % 2 != 0) {
        return false;
    }
    out->clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        out->push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return true;
}

std::string nrc_name(uint8_t nrc) {
    switch (nrc) {
        case 0x10:
            return "generalReject";
        case 0x11:
            return "serviceNotSupported";
        case 0x12:
            return "subFunctionNotSupported";
        case 0x13:
            return "incorrectMessageLengthOrInvalidFormat";
        case 0x14:
            return "responseTooLong";
        case 0x21:
            return "busyRepeatRequest";
        case 0x22:
            return "conditionsNotCorrect";
        case 0x24:
            return "requestSequenceError";
        case 0x25:
            return "noResponseFromSubnetComponent";
        case 0x26:
            return "failurePreventsExecutionOfRequestedAction";
        case 0x31:
            return "requestOutOfRange";
        case 0x33:
            return "securityAccessDenied";
        case 0x35:
            return "invalidKey";
        case 0x36:
            return "exceededNumberOfAttempts";
        case 0x37:
            return "requiredTimeDelayNotExpired";
        case 0x70:
            return "uploadDownloadNotAccepted";
        case 0x71:
            return "transferDataSuspended";
        case 0x72:
            return "generalProgrammingFailure";
        case 0x73:
            return "wrongBlockSequenceCounter";
        case 0x78:
            return "requestCorrectlyReceived-ResponsePending";
        case 0x7E:
            return "subFunctionNotSupportedInActiveSession";
        case 0x7F:
            return "serviceNotSupportedInActiveSession";
        case 0x81:
            return "rpmTooHigh";
        case 0x82:
            return "rpmTooLow";
        case 0x83:
            return "engineIsRunning";
        case 0x84:
            return "engineIsNotRunning";
        case 0x85:
            return "engineRunTimeTooLow";
        case 0x86:
            return "temperatureTooHigh";
        case 0x87:
            return "temperatureTooLow";
        case 0x88:
            return "vehicleSpeedTooHigh";
        case 0x89:
            return "vehicleSpeedTooLow";
        case 0x8A:
            return "throttlePedalTooHigh";
        case 0x8B:
            return "throttlePedalTooLow";
        case 0x8C:
            return "transmissionRangeNotInNeutral";
        case 0x8D:
            return "transmissionRangeNotInGear";
        case 0x8F:
            return "brakeSwitchesNotClosed";
        case 0x90:
            return "shifterLeverNotInPark";
        case 0x91:
            return "torqueConverterClutchLocked";
        case 0x92:
            return "voltageTooHigh";
        case 0x93:
            return "voltageTooLow";
        default:
            return "unknown NRC";
    }
}

std::string service_name(uint8_t sid) {
    switch (sid) {
        case 0x10:
            return "DiagnosticSessionControl";
        case 0x11:
            return "ECUReset";
        case 0x14:
            return "ClearDiagnosticInformation";
        case 0x19:
            return "ReadDTCInformation";
        case 0x22:
            return "ReadDataByIdentifier";
        case 0x23:
            return "ReadMemoryByAddress";
        case 0x27:
            return "SecurityAccess";
        case 0x28:
            return "CommunicationControl";
        case 0x2E:
            return "WriteDataByIdentifier";
        case 0x2F:
            return "InputOutputControlByIdentifier";
        case 0x31:
            return "RoutineControl";
        case 0x34:
            return "RequestDownload";
        case 0x35:
            return "RequestUpload";
        case 0x36:
            return "TransferData";
        case 0x37:
            return "RequestTransferExit";
        case 0x3E:
            return "TesterPresent";
        case 0x85:
            return "ControlDTCSetting";
        default:
            return "service " + hex8(sid);
    }
}

std::string routing_activation_code_name(uint8_t code) {
    switch (code) {
        case 0x00:
            return "denied: unknown source address";
        case 0x01:
            return "denied: all TCP_DATA sockets registered and active";
        case 0x02:
            return "denied: source address differs from the one on this socket";
        case 0x03:
            return "denied: source address already active on another socket";
        case 0x04:
            return "denied: missing authentication";
        case 0x05:
            return "denied: rejected confirmation";
        case 0x06:
            return "denied: unsupported routing activation type";
        case 0x07:
            return "denied: activation type requires a TLS socket";
        case 0x10:
            return "routing successfully activated";
        case 0x11:
            return "routing will be activated; confirmation required";
        default:
            return "reserved code";
    }
}

std::string diagnostic_nack_name(uint8_t code) {
    switch (code) {
        case 0x02:
            return "invalid source address";
        case 0x03:
            return "unknown target address";
        case 0x04:
            return "diagnostic message too large";
        case 0x05:
            return "out of memory";
        case 0x06:
            return "target unreachable";
        case 0x07:
            return "unknown network";
        case 0x08:
            return "transport protocol error";
        default:
            return "reserved code";
    }
}

std::string generic_nack_name(uint8_t code) {
    switch (code) {
        case 0x00:
            return "incorrect pattern format";
        case 0x01:
            return "unknown payload type";
        case 0x02:
            return "message too large";
        case 0x03:
            return "out of memory";
        case 0x04:
            return "invalid payload length";
        default:
            return "reserved code";
    }
}

std::string describe_uds(const std::vector<uint8_t>& uds) {
    if (uds.empty()) {
        return "empty";
    }
    const uint8_t sid = uds[0];
    if (sid == 0x7F) {
        if (uds.size() < 3) {
            return "malformed negative response";
        }
        return "negative response to " + service_name(uds[1]) + ": NRC " + hex8(uds[2]) + " " +
               nrc_name(uds[2]);
    }
    if (sid >= 0x40 && sid < 0x80 && sid != 0x7F) {
        const uint8_t request = static_cast<uint8_t>(sid - 0x40);
        std::string text = service_name(request) + " positive response";
        if (request == 0x22 && uds.size() >= 3) {
            const uint16_t did = be16(uds.data() + 1);
            text += ", DID " + hex16(did);
            if (did == 0xF190) {
                text += " VIN \"" + printable(uds.data() + 3, uds.size() - 3) + "\"";
            } else {
                text += " data " + hex_bytes(uds.data() + 3, uds.size() - 3, 32);
            }
        } else if (request == 0x10 && uds.size() >= 6) {
            text += ", session " + hex8(uds[1]) + ", P2 " + std::to_string(be16(uds.data() + 2)) +
                    " ms, P2* " + std::to_string(be16(uds.data() + 4) * 10) + " ms";
        }
        return text;
    }
    return service_name(sid) + " request";
}

std::string describe_message(const std::vector<uint8_t>& m) {
    doip_package_s header{};
    const int checked = doip_deserialize(m.data(), static_cast<unsigned>(m.size()), &header);
    if (checked != DOIP_OK) {
        return "not a valid DoIP message (doip_deserialize " + std::to_string(checked) + ")";
    }
    const uint32_t count = DOIP_HEADER_SIZE + header.payload_length;
    const uint8_t* b = m.data();
    switch (header.payload_type) {
        case DOIP_PT_GENERIC_NACK:
            return header.payload_length >= 1
                       ? "generic header NACK (0x0000), code " + hex8(b[8]) + " " + generic_nack_name(b[8])
                       : "generic header NACK (0x0000) without code";
        case DOIP_PT_VEHICLE_ID_REQUEST:
            return "vehicle identification request (0x0001)";
        case DOIP_PT_VEHICLE_ID_EID_REQUEST:
            return "vehicle identification request with EID (0x0002)" +
                   (count >= 14 ? ", EID " + hex_bytes(b + 8, 6) : std::string());
        case DOIP_PT_VEHICLE_ID_VIN_REQUEST:
            return "vehicle identification request with VIN (0x0003)" +
                   (count >= 25 ? ", VIN \"" + printable(b + 8, 17) + "\"" : std::string());
        case DOIP_PT_VEHICLE_ID_RESPONSE: {
            vehicle_id_response_s r{};
            const int rc = doip_vid_response(b, count, &r);
            if (rc != DOIP_OK) {
                return "vehicle identification response (0x0004), undecodable (" + std::to_string(rc) + ")";
            }
            return "vehicle identification response (0x0004): VIN \"" + printable(r.vin, 17) +
                   "\", logical address " + hex16(r.logical_address) + ", EID " + hex_bytes(r.eid, 6) +
                   ", GID " + hex_bytes(r.gid, 6) + ", further action " + hex8(r.further_action) +
                   (r.has_sync_status != 0 ? ", sync status " + hex8(r.sync_status) : std::string());
        }
        case DOIP_PT_ROUTING_ACTIVATION_REQUEST: {
            doip_routing_activation_request_s r{};
            if (count < 15 || doip_routing_activation_request_deserilize(b, count, &r) != DOIP_OK) {
                return "routing activation request (0x0005), undecodable";
            }
            return "routing activation request (0x0005): source " + hex16(r.source_address) + ", type " +
                   hex8(r.activation_type) +
                   (r.has_oem_specific != 0 ? ", OEM field " + hex_bytes(b + 15, 4) : ", no OEM field");
        }
        case DOIP_PT_ROUTING_ACTIVATION_RESPONSE: {
            doip_routing_activation_response_s r{};
            const int rc = doip_routing_activation_response_deserilize(b, count, &r);
            if (rc != DOIP_OK) {
                return "routing activation response (0x0006), undecodable (" + std::to_string(rc) + ")";
            }
            return "routing activation response (0x0006): tester " + hex16(r.tester_address) + ", entity " +
                   hex16(r.entity_address) + ", code " + hex8(r.response_code) + " " +
                   routing_activation_code_name(r.response_code) +
                   (r.has_oem_specific != 0 ? ", OEM field " + hex_bytes(b + 17, 4) : std::string());
        }
        case DOIP_PT_ALIVE_CHECK_REQUEST:
            return "alive check request (0x0007)";
        case DOIP_PT_ALIVE_CHECK_RESPONSE: {
            doip_alive_check_response_s r{};
            if (doip_alive_check_response_deserilize(b, count, &r) != DOIP_OK) {
                return "alive check response (0x0008), undecodable";
            }
            return "alive check response (0x0008): source " + hex16(r.source_address);
        }
        case DOIP_PT_ENTITY_STATUS_REQUEST:
            return "entity status request (0x4001)";
        case DOIP_PT_ENTITY_STATUS_RESPONSE: {
            doip_entity_status_response_s r{};
            if (doip_entity_status_response_deserilize(b, count, &r) != DOIP_OK) {
                return "entity status response (0x4002), undecodable";
            }
            return std::string("entity status response (0x4002): node type ") + hex8(r.node_type) +
                   (r.node_type == 0   ? " gateway"
                    : r.node_type == 1 ? " node"
                                       : "") +
                   ", max sockets " + std::to_string(r.max_concurrent_sockets) + ", open sockets " +
                   std::to_string(r.open_sockets) +
                   (r.has_max_data_size != 0 ? ", max data size " + std::to_string(r.max_data_size)
                                             : std::string());
        }
        case DOIP_PT_POWER_MODE_REQUEST:
            return "diagnostic power mode request (0x4003)";
        case DOIP_PT_POWER_MODE_RESPONSE: {
            doip_power_mode_response_s r{};
            if (doip_power_mode_response_deserilize(b, count, &r) != DOIP_OK) {
                return "diagnostic power mode response (0x4004), undecodable";
            }
            const char* names[] = {"not ready", "ready", "not supported"};
            return "diagnostic power mode response (0x4004): " + hex8(r.power_mode) +
                   (r.power_mode <= 2 ? std::string(" ") + names[r.power_mode] : std::string());
        }
        case DOIP_PT_DIAG_MSG: {
            if (count < 12) {
                return "diagnostic message (0x8001), too short";
            }
            const std::vector<uint8_t> uds(b + 12, b + count);
            return "diagnostic message (0x8001) " + hex16(be16(b + 8)) + " -> " + hex16(be16(b + 10)) + ": " +
                   hex_bytes(uds, 24) + " (" + describe_uds(uds) + ")";
        }
        case DOIP_PT_DIAG_MSG_ACK:
        case DOIP_PT_DIAG_MSG_NACK: {
            if (count < 13) {
                return "diagnostic message acknowledgement, too short";
            }
            const bool positive = header.payload_type == DOIP_PT_DIAG_MSG_ACK;
            std::string text =
                positive ? "diagnostic message positive ACK (0x8002) " : "diagnostic message NACK (0x8003) ";
            text += hex16(be16(b + 8)) + " -> " + hex16(be16(b + 10)) + ", code " + hex8(b[12]);
            if (!positive) {
                text += " " + diagnostic_nack_name(b[12]);
            }
            if (count > 13) {
                text += ", echo " + hex_bytes(b + 13, count - 13, 16);
            }
            return text;
        }
        default:
            return "payload type " + hex16(header.payload_type) + ", " +
                   std::to_string(header.payload_length) + " payload bytes";
    }
}

std::string library_error_text(int code) {
    char text[512];
    int length = sizeof text;
    if (get_doip_err_str(code, text, &length) != DOIP_OK) {
        return std::string();
    }
    return std::string(text, static_cast<size_t>(length));
}

std::string describe_result(int code) {
    char number[32];
    if (code >= 0x1000) {
        std::snprintf(number, sizeof number, "0x%04X (%d)", code, code);
    } else {
        std::snprintf(number, sizeof number, "%d", code);
    }
    std::string text = number;
    if (code == DOIP_OK) {
        return text + " (OK)";
    }
    if (const char* socket_text = SocketLayer::error_text(code)) {
        return text + " (" + socket_text + ")";
    }
    text += " (get_doip_err_str: \"" + library_error_text(code) + "\"";
    if (const char* gloss = library_gloss(code)) {
        text += std::string("; ") + gloss;
    }
    return text + ")";
}

std::string state_name(int state) {
    switch (state) {
        case DOIP_STATE_ACTIVATED:
            return "0 activated";
        case DOIP_STATE_NONE:
            return "1 no entry";
        case DOIP_STATE_PENDING:
            return "2 pending";
        case DOIP_STATE_CONFIRMATION:
            return "3 confirmation";
        case DOIP_STATE_UNSUPPORTED_TYPE:
            return "4 unsupported activation type";
        case DOIP_STATE_UNKNOWN_SOURCE:
            return "5 unknown source address";
        case DOIP_STATE_NO_AUTHENTICATION:
            return "6 missing authentication";
        case DOIP_STATE_TLS_REQUIRED:
            return "7 TLS required";
        default:
            return std::to_string(state);
    }
}

}  // namespace doip_tools
