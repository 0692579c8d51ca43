#include "formatting.h"

#include <cctype>
#include <cstdio>

namespace doip_tools {
namespace {

std::string hex_number(unsigned long value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*lX", digits, value);
    return text;
}

}  // namespace

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string ms_text(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f ms", ms);
    return text;
}

std::string fixed_text(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string hex8(unsigned value) {
    return hex_number(value & 0xFFu, 2);
}

std::string hex16(unsigned value) {
    return hex_number(value & 0xFFFFu, 4);
}

std::string hex32(uint32_t value) {
    return hex_number(value, 8);
}

std::string hex_bytes(const uint8_t* bytes, size_t count, size_t limit) {
    const size_t shown = limit != 0 && count > limit ? limit : count;
    std::string out;
    char two[4];
    for (size_t i = 0; i < shown; ++i) {
        std::snprintf(two, sizeof two, i == 0 ? "%02X" : " %02X", bytes[i]);
        out += two;
    }
    return shown < count ? out + " ..." : out;
}

std::string hex_bytes(const std::vector<uint8_t>& bytes, size_t limit) {
    return hex_bytes(bytes.data(), bytes.size(), limit);
}

std::string printable(const uint8_t* bytes, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        out += std::isprint(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
    }
    return out;
}

}  // namespace doip_tools
