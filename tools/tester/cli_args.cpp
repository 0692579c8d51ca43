#include "cli_args.h"

#include <cctype>

namespace doip_tools {
namespace {

bool parse(const std::string& digits, int base, uint32_t max, uint32_t* out) {
    if (digits.empty() || digits.size() > 10) {
        return false;
    }
    uint64_t value = 0;
    for (char c : digits) {
        const auto u = static_cast<unsigned char>(c);
        int digit;
        if (std::isdigit(u)) {
            digit = c - '0';
        } else if (base == 16 && std::isxdigit(u)) {
            digit = std::tolower(u) - 'a' + 10;
        } else {
            return false;
        }
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    }
    if (value > max) {
        return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

bool parse_hex(const std::string& text, uint32_t max, uint32_t* out) {
    const bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    return parse(prefixed ? text.substr(2) : text, 16, max, out);
}

bool parse_decimal(const std::string& text, uint32_t max, uint32_t* out) {
    return parse(text, 10, max, out);
}

}  // namespace doip_tools
