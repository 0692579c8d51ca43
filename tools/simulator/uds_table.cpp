#include "uds_table.h"

namespace doip_tools {
namespace {

constexpr uint8_t kNegativeResponse = 0x7F;
constexpr uint8_t kServiceNotSupported = 0x11;
constexpr uint8_t kSuppressPositiveResponse = 0x80;

}  // namespace

std::vector<uint8_t> uds_response(const std::vector<uint8_t>& request, const std::string& vin) {
    if (request.empty()) {
        return {};
    }
    const uint8_t sid = request[0];
    if (sid == 0x3E && request.size() == 2 && (request[1] & 0x7F) == 0x00) {
        if ((request[1] & kSuppressPositiveResponse) != 0) {
            return {};
        }
        return {0x7E, 0x00};
    }
    if (sid == 0x10 && request.size() == 2) {
        if ((request[1] & kSuppressPositiveResponse) != 0) {
            return {};
        }
        return {0x50, request[1], 0x00, 0x32, 0x01, 0xF4};
    }
    if (sid == 0x22 && request.size() == 3 && request[1] == 0xF1 && request[2] == 0x90) {
        std::vector<uint8_t> response = {0x62, 0xF1, 0x90};
        std::string padded = vin;
        padded.resize(17, ' ');
        response.insert(response.end(), padded.begin(), padded.end());
        return response;
    }
    return {kNegativeResponse, sid, kServiceNotSupported};
}

}  // namespace doip_tools
