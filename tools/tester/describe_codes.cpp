#include <cstdio>

#include "describe.h"
#include "doip.h"
#include "formatting.h"
#include "socket_layer.h"

namespace doip_tools {
namespace {

const CodeName kRoutingActivationCodes[] = {
    {0x00, "denied: unknown source address"},
    {0x01, "denied: all TCP_DATA sockets registered and active"},
    {0x02, "denied: source address differs from the one on this socket"},
    {0x03, "denied: source address already active on another socket"},
    {0x04, "denied: missing authentication"},
    {0x05, "denied: rejected confirmation"},
    {0x06, "denied: unsupported routing activation type"},
    {0x07, "denied: activation type requires a TLS socket"},
    {0x10, "routing successfully activated"},
    {0x11, "routing will be activated; confirmation required"},
};

const CodeName kDiagnosticNackCodes[] = {
    {0x02, "invalid source address"},       {0x03, "unknown target address"},
    {0x04, "diagnostic message too large"}, {0x05, "out of memory"},
    {0x06, "target unreachable"},           {0x07, "unknown network"},
    {0x08, "transport protocol error"},
};

const CodeName kGenericNackCodes[] = {
    {0x00, "incorrect pattern format"}, {0x01, "unknown payload type"},
    {0x02, "message too large"},        {0x03, "out of memory"},
    {0x04, "invalid payload length"},
};

// English glosses beside the library's own texts of its negative codes.
const CodeName kLibraryGlosses[] = {
    {DOIP_ERR_GENERAL, "bad buffer arguments or allocation failure"},
    {DOIP_ERR_NULL_ADDRESSING, "null addressing block"},
    {DOIP_ERR_BUFFER_TOO_SMALL, "output buffer too small"},
    {DOIP_ERR_NULL_INPUT, "null input"},
    {DOIP_ERR_INPUT_TOO_SHORT, "input empty or too short for the message"},
    {DOIP_ERR_NULL_RECORD, "null record"},
    {DOIP_ERR_NULL_OUTPUT, "null output buffer"},
    {DOIP_ERR_BAD_PROTOCOL_VERSION, "inverse protocol version does not match"},
    {DOIP_ERR_UNKNOWN_PAYLOAD_TYPE, "unknown payload type"},
    {DOIP_ERR_INCOMPLETE_MESSAGE, "incomplete message"},
    {DOIP_ERR_NO_SOCKET_OPEN, "no socket-open function set"},
    {DOIP_ERR_TIMEOUT, "timeout: no matching message arrived"},
    {DOIP_ERR_INVALID_ARGUMENT, "invalid argument"},
    {DOIP_ERR_NO_MESSAGE, "no message cached"},
    {DOIP_ERR_NO_MEMORY, "out of memory"},
};

const CodeName kStateNames[] = {
    {DOIP_STATE_ACTIVATED, "0 activated"},
    {DOIP_STATE_NONE, "1 no entry"},
    {DOIP_STATE_PENDING, "2 pending"},
    {DOIP_STATE_CONFIRMATION, "3 confirmation"},
    {DOIP_STATE_UNSUPPORTED_TYPE, "4 unsupported activation type"},
    {DOIP_STATE_UNKNOWN_SOURCE, "5 unknown source address"},
    {DOIP_STATE_NO_AUTHENTICATION, "6 missing authentication"},
    {DOIP_STATE_TLS_REQUIRED, "7 TLS required"},
};

template <size_t N>
std::string name_or_reserved(const CodeName (&table)[N], uint8_t code) {
    const char* name = find_name(table, code);
    return name != nullptr ? name : "reserved code";
}

}  // namespace

std::string routing_activation_code_name(uint8_t code) {
    return name_or_reserved(kRoutingActivationCodes, code);
}

std::string diagnostic_nack_name(uint8_t code) {
    return name_or_reserved(kDiagnosticNackCodes, code);
}

std::string generic_nack_name(uint8_t code) {
    return name_or_reserved(kGenericNackCodes, code);
}

std::string library_error_text(int code) {
    char text[512];
    int length = sizeof text;
    if (get_doip_err_str(code, text, &length) != DOIP_OK) {
        return std::string();
    }
    return std::string(text, static_cast<size_t>(length));
}

std::string result_number(int code) {
    char number[32];
    if (code >= 0x1000) {
        std::snprintf(number, sizeof number, "0x%04X (%d)", code, code);
    } else {
        std::snprintf(number, sizeof number, "%d", code);
    }
    return number;
}

bool is_socket_error(int code) {
    return code <= DOIP_SOCKET_ERR_BAD_ADDRESS && code >= DOIP_SOCKET_ERR_TLS;
}

std::string describe_result(int code) {
    const std::string text = result_number(code);
    if (code == DOIP_OK) {
        return text + " (OK)";
    }
    if (const char* socket_text = SocketLayer::error_text(code)) {
        return text + " (" + socket_text + ")";
    }
    if (is_socket_error(code)) {  // the library knows nothing of the layer's codes
        return text + " (socket layer error)";
    }
    const char* gloss = find_name(kLibraryGlosses, code);
    return text + " (get_doip_err_str: \"" + library_error_text(code) + "\"" +
           (gloss != nullptr ? std::string("; ") + gloss : std::string()) + ")";
}

std::string state_name(int state) {
    const char* name = find_name(kStateNames, state);
    return name != nullptr ? name : std::to_string(state);
}

}  // namespace doip_tools
