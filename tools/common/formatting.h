// Texts the tools print: elapsed times, hexadecimal numbers, byte dumps and constant tables of names.
#ifndef DOIP_TOOLS_COMMON_FORMATTING_H
#define DOIP_TOOLS_COMMON_FORMATTING_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace doip_tools {

using Clock = std::chrono::steady_clock;

// Milliseconds from `start` to now.
double ms_since(Clock::time_point start);
// "12.34 ms".
std::string ms_text(double ms);

// The number with `decimals` digits after the point: "12.35".
std::string fixed_text(double value, int decimals);
// A JSON string: quotes, backslashes and control characters escaped; other bytes (UTF-8) as they are.
std::string json_string(const std::string& text);

// "0x0F", "0x0CE1", "0x0000ABCD".
std::string hex8(unsigned value);
std::string hex16(unsigned value);
std::string hex32(uint32_t value);

// "22 F1 90"; longer inputs are cut after `limit` bytes with " ..." appended (0: no limit).
std::string hex_bytes(const uint8_t* bytes, size_t count, size_t limit = 0);
std::string hex_bytes(const std::vector<uint8_t>& bytes, size_t limit = 0);
// The bytes as text, '.' for each byte that is not printable.
std::string printable(const uint8_t* bytes, size_t count);

// One row of a constant table that names codes.
struct CodeName {
    int code;
    const char* name;
};

// The name of `code` in `table`, or nullptr.
template <size_t N>
const char* find_name(const CodeName (&table)[N], int code) {
    for (const CodeName& row : table) {
        if (row.code == code) {
            return row.name;
        }
    }
    return nullptr;
}

}  // namespace doip_tools

#endif
