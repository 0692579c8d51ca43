#include "arguments.h"

#include <cctype>

namespace doip_tools {
namespace {

bool parse_number(const std::string& digits, int base, uint32_t max, uint32_t* out) {
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

bool has_hex_prefix(const std::string& text, size_t at) {
    return text.size() > at + 1 && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X');
}

}  // namespace

bool parse_hex(const std::string& text, uint32_t max, uint32_t* out) {
    const bool prefixed = text.size() > 2 && has_hex_prefix(text, 0);
    return parse_number(prefixed ? text.substr(2) : text, 16, max, out);
}

bool parse_decimal(const std::string& text, uint32_t max, uint32_t* out) {
    return parse_number(text, 10, max, out);
}

bool parse_hex_bytes(const std::string& text, std::vector<uint8_t>* out) {
    std::string digits;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (has_hex_prefix(text, i)) {
            ++i;
        } else if (std::isxdigit(static_cast<unsigned char>(c))) {
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

OptionTable& OptionTable::flag(const char* name, std::function<void()> set) {
    options_[name] = Option{false, std::move(set), nullptr};
    return *this;
}

OptionTable& OptionTable::value(const char* name, Apply apply) {
    options_[name] = Option{true, nullptr, std::move(apply)};
    return *this;
}

OptionTable& OptionTable::text(const char* name, std::string* out, bool (*valid)(const std::string&)) {
    return value(name, [out, valid](const std::string& v) {
        *out = v;
        return valid == nullptr || valid(v);
    });
}

OptionTable::Result OptionTable::parse(const std::vector<std::string>& args,
                                       const Positional& positional) const {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            return Result{Status::help, a, ""};
        }
        if (positional && a.rfind("--", 0) != 0) {
            if (!positional(a)) {
                return Result{Status::unexpected_argument, a, ""};
            }
            continue;
        }
        const auto found = options_.find(a);
        if (found == options_.end()) {
            return Result{Status::unknown_option, a, ""};
        }
        const Option& option = found->second;
        if (!option.takes_value) {
            option.set();
            continue;
        }
        if (i + 1 >= args.size()) {
            return Result{Status::missing_value, a, ""};
        }
        const std::string& v = args[++i];
        if (!option.apply(v)) {
            return Result{Status::bad_value, a, v};
        }
    }
    return Result{};
}

}  // namespace doip_tools
