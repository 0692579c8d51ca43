// Human-readable descriptions of DoIP messages, UDS payloads and result codes, for the tester's output.
#ifndef DOIP_TOOLS_TESTER_DESCRIBE_H
#define DOIP_TOOLS_TESTER_DESCRIBE_H

#include <cstdint>
#include <string>
#include <vector>

namespace doip_tools {

// "22 F1 90"; long inputs are cut after `limit` bytes with " ..." appended (0: no limit).
std::string hex_bytes(const uint8_t* bytes, size_t count, size_t limit = 0);
std::string hex_bytes(const std::vector<uint8_t>& bytes, size_t limit = 0);
// Parses "22F190", "22 F1 90", "0x22,0xF1,0x90". False on odd digits or other characters.
bool parse_hex_bytes(const std::string& text, std::vector<uint8_t>* out);

// One line naming a whole DoIP message and its fields, decoded with the library's codecs.
std::string describe_message(const std::vector<uint8_t>& message);
// The meaning of a UDS request or response ("ReadDataByIdentifier positive response, F190 VIN ...").
std::string describe_uds(const std::vector<uint8_t>& uds);
std::string nrc_name(uint8_t nrc);
std::string service_name(uint8_t sid);
std::string routing_activation_code_name(uint8_t code);
std::string diagnostic_nack_name(uint8_t code);
std::string generic_nack_name(uint8_t code);

// What get_doip_err_str says about `code`.
std::string library_error_text(int code);
// A result code with every text known for it: "0x1007 (4103): <get_doip_err_str text>", the socket layer's
// text for its own codes, an English gloss of the library's negative codes.
std::string describe_result(int code);
// The name of a connection state of the library's registry.
std::string state_name(int state);

}  // namespace doip_tools

#endif
