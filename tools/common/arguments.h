// Command-line parsing shared by the programs: numbers, byte strings, and a table of options. Addresses
// and codes are hexadecimal (with or without "0x"), counts and times decimal.
#ifndef DOIP_TOOLS_COMMON_ARGUMENTS_H
#define DOIP_TOOLS_COMMON_ARGUMENTS_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace doip_tools {

// False when `text` is not a hexadecimal number or is above `max`.
bool parse_hex(const std::string& text, uint32_t max, uint32_t* out);
// False when `text` is not a decimal number or is above `max`.
bool parse_decimal(const std::string& text, uint32_t max, uint32_t* out);
// Parses "22F190", "22 F1 90", "0x22,0xF1,0x90". False on odd digits or other characters.
bool parse_hex_bytes(const std::string& text, std::vector<uint8_t>* out);

// A program's options, each a name and what it does with its value. parse() reports what went wrong and
// leaves the wording of the message to the program.
class OptionTable {
  public:
    // Takes the option's value; false when the value is bad.
    using Apply = std::function<bool(const std::string& value)>;
    // Takes an argument that is not an option; false when it is unexpected.
    using Positional = std::function<bool(const std::string& argument)>;

    OptionTable& flag(const char* name, std::function<void()> set);
    OptionTable& value(const char* name, Apply apply);
    // Stores the value into `*out`; `valid`, when given, judges it.
    OptionTable& text(const char* name, std::string* out, bool (*valid)(const std::string&) = nullptr);
    template <typename T>
    OptionTable& hex(const char* name, uint32_t max, T* out) {
        return number(name, &parse_hex, 0, max, out);
    }
    template <typename T>
    OptionTable& decimal(const char* name, uint32_t max, T* out, uint32_t min = 0) {
        return number(name, &parse_decimal, min, max, out);
    }

    enum class Status { ok, help, unknown_option, missing_value, bad_value, unexpected_argument };
    struct Result {
        Status status = Status::ok;
        std::string argument;  // the option or argument that stopped the parse
        std::string value;     // its value, for bad_value
    };
    // Applies `args` in order and stops at the first problem or at "-h"/"--help". Arguments that do not
    // start with "--" go to `positional`; without one they are unknown options.
    Result parse(const std::vector<std::string>& args, const Positional& positional = nullptr) const;

  private:
    template <typename T>
    OptionTable& number(const char* name, bool (*parse)(const std::string&, uint32_t, uint32_t*),
                        uint32_t min, uint32_t max, T* out) {
        return value(name, [=](const std::string& text) {
            uint32_t n = 0;
            if (!parse(text, max, &n) || n < min) {
                return false;
            }
            *out = static_cast<T>(n);
            return true;
        });
    }

    struct Option {
        bool takes_value;
        std::function<void()> set;
        Apply apply;
    };
    std::map<std::string, Option> options_;
};

}  // namespace doip_tools

#endif
