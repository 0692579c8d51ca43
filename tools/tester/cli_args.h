// Number parsing shared by the command-line programs: addresses and codes are hexadecimal (with or without
// "0x"), counts and times decimal.
#ifndef DOIP_TOOLS_TESTER_CLI_ARGS_H
#define DOIP_TOOLS_TESTER_CLI_ARGS_H

#include <cstdint>
#include <string>

namespace doip_tools {

// False when `text` is not a hexadecimal number or is above `max`.
bool parse_hex(const std::string& text, uint32_t max, uint32_t* out);
// False when `text` is not a decimal number or is above `max`.
bool parse_decimal(const std::string& text, uint32_t max, uint32_t* out);

}  // namespace doip_tools

#endif
