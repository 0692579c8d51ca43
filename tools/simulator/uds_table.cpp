#include "uds_table.h"

#include "formatting.h"

namespace doip_tools {
namespace {

constexpr uint8_t kNegativeResponse = 0x7F;
constexpr uint8_t kServiceNotSupported = 0x11;
constexpr uint8_t kSuppressPositiveResponse = 0x80;
constexpr uint8_t kPositiveOffset = 0x40;

// A positive response to a request with a sub-function: empty when the request suppresses it.
std::vector<uint8_t> positive(const std::vector<uint8_t>& request, std::vector<uint8_t> response) {
    if ((request[1] & kSuppressPositiveResponse) != 0) {
        return {};
    }
    return response;
}

// RoutineControl start (31 01) of the echo routine 0x0200, whatever its option record.
bool starts_echo_routine(const std::vector<uint8_t>& request) {
    return request.size() >= 4 && request[0] == 0x31 && request[1] == 0x01 && request[2] == 0x02 &&
           request[3] == 0x00;
}

bool reads(const std::vector<uint8_t>& request, uint8_t high, uint8_t low) {
    return request[0] == 0x22 && request.size() == 3 && request[1] == high && request[2] == low;
}

}  // namespace

std::vector<uint8_t> uds_response(const std::vector<uint8_t>& request, const UdsTarget& target) {
    if (request.empty()) {
        return {};
    }
    const uint8_t sid = request[0];
    if (sid == 0x3E && request.size() == 2 && (request[1] & 0x7F) == 0x00) {
        return positive(request, {0x7E, 0x00});
    }
    if (sid == 0x10 && request.size() == 2) {
        return positive(request, {0x50, request[1], 0x00, 0x32, 0x01, 0xF4});
    }
    if (is_ecu_reset(request)) {
        return positive(request, {0x51, request[1]});
    }
    if (starts_echo_routine(request)) {
        std::vector<uint8_t> response = request;
        response[0] = static_cast<uint8_t>(sid + kPositiveOffset);
        return response;
    }
    std::string text;
    if (reads(request, 0xF1, 0x90)) {
        text = target.vin;
        text.resize(17, ' ');
    } else if (reads(request, 0xF1, 0x8C)) {
        text = "SN" + hex16(target.address).substr(2);
    } else {
        return {kNegativeResponse, sid, kServiceNotSupported};
    }
    std::vector<uint8_t> response = {static_cast<uint8_t>(sid + kPositiveOffset), request[1], request[2]};
    response.insert(response.end(), text.begin(), text.end());
    return response;
}

bool is_ecu_reset(const std::vector<uint8_t>& request) {
    return request.size() == 2 && request[0] == 0x11;
}

bool suppressed_when_functional(const std::vector<uint8_t>& response) {
    if (response.size() < 3 || response[0] != kNegativeResponse) {
        return false;
    }
    const uint8_t nrc = response[2];
    return nrc == 0x11 || nrc == 0x12 || nrc == 0x31 || nrc == 0x7E || nrc == 0x7F;
}

}  // namespace doip_tools
