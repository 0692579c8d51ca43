// Which UDS response answers which request: a response belongs to the pending request only when it is that
// service's positive response (SID + 0x40) or its negative response (7F SID NRC). Anything else that comes
// is a late or unsolicited answer, not the answer to this request.
#ifndef DOIP_TOOLS_TESTER_UDS_MATCH_H
#define DOIP_TOOLS_TESTER_UDS_MATCH_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace doip_tools {

constexpr uint8_t kNegativeResponseSid = 0x7F;
constexpr uint8_t kPositiveResponseOffset = 0x40;
constexpr uint8_t kResponsePendingNrc = 0x78;

// True when the UDS bytes `response` are the positive or negative response to the request `request`.
bool answers_request(const std::vector<uint8_t>& request, const std::vector<uint8_t>& response);
// True when `response` is a negative response with NRC 0x78 (response pending).
bool is_response_pending(const std::vector<uint8_t>& response);
// True when the request asks the server to suppress its positive response (sub-function bit 7 set on a
// service that has one).
bool response_suppressed(const std::vector<uint8_t>& request);

}  // namespace doip_tools

#endif
