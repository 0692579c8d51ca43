#include "uds_match.h"

#include <algorithm>
#include <iterator>

namespace doip_tools {

bool answers_request(const std::vector<uint8_t>& request, const std::vector<uint8_t>& response) {
    if (request.empty() || response.empty()) {
        return false;
    }
    const uint8_t sid = request[0];
    if (response[0] == kNegativeResponseSid) {
        return response.size() >= 3 && response[1] == sid;
    }
    return response[0] == static_cast<uint8_t>(sid + kPositiveResponseOffset);
}

bool is_response_pending(const std::vector<uint8_t>& response) {
    return response.size() >= 3 && response[0] == kNegativeResponseSid && response[2] == kResponsePendingNrc;
}

// Services whose sub-function may carry the suppress-positive-response bit.
bool response_suppressed(const std::vector<uint8_t>& request) {
    static const uint8_t kServices[] = {0x10, 0x11, 0x28, 0x3E, 0x85};
    return request.size() >= 2 && (request[1] & 0x80) != 0 &&
           std::find(std::begin(kServices), std::end(kServices), request[0]) != std::end(kServices);
}

}  // namespace doip_tools
