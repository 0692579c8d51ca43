// Human-readable descriptions of DoIP messages, UDS payloads and result codes, for the tester's output.
#ifndef DOIP_TOOLS_TESTER_DESCRIBE_H
#define DOIP_TOOLS_TESTER_DESCRIBE_H

#include <cstdint>
#include <string>
#include <vector>

namespace doip_tools {

// One line naming a whole DoIP message and its fields, decoded with the library's codecs
// (describe_message.cpp).
std::string describe_message(const std::vector<uint8_t>& message);

// The meaning of a UDS request or response ("ReadDataByIdentifier positive response, F190 VIN ...") and the
// names of UDS codes (describe_uds.cpp).
std::string describe_uds(const std::vector<uint8_t>& uds);
std::string nrc_name(uint8_t nrc);
std::string service_name(uint8_t sid);

// The names of DoIP response codes and the texts of result codes (describe_codes.cpp).
std::string routing_activation_code_name(uint8_t code);
std::string diagnostic_nack_name(uint8_t code);
std::string generic_nack_name(uint8_t code);
// What get_doip_err_str says about `code`.
std::string library_error_text(int code);
// A result code with every text known for it: "0x1007 (4103): <get_doip_err_str text>", the socket layer's
// text for its own codes, an English gloss of the library's negative codes.
std::string describe_result(int code);
// True for the socket layer's own result codes (DOIP_SOCKET_ERR_*).
bool is_socket_error(int code);
// A result code as a number: "0", "-26", "0x1007 (4103)".
std::string result_number(int code);
// The name of a connection state of the library's registry.
std::string state_name(int state);

}  // namespace doip_tools

#endif
