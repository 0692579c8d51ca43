// A UDS request to a functional address: one diagnostic message that every ECU behind the entity may answer.
// The entity acknowledges it once; each ECU answers from its own source address, and any of them may first
// ask for more time (NRC 0x78).
#ifndef DOIP_TOOLS_TESTER_FUNCTIONAL_H
#define DOIP_TOOLS_TESTER_FUNCTIONAL_H

#include <cstdint>
#include <string>
#include <vector>

#include "session.h"

namespace doip_tools {

// One ECU's final answer to a functional request.
struct FunctionalAnswer {
    uint16_t source = 0;
    std::vector<uint8_t> message;  // the whole 0x8001 message
    std::vector<uint8_t> uds;      // its UDS bytes
    int pending_responses = 0;     // NRC 0x78 answers of this ECU before this one
    double ms = 0;                 // from the send
};

struct FunctionalExchange {
    enum class Outcome {
        answered,
        no_response_expected,
        no_answer,
        nacked,
        generic_nack,
        no_ack,
        send_failed
    };
    Outcome outcome = Outcome::no_ack;
    int code = DOIP_OK;  // send or build failure
    std::vector<uint8_t> request;
    std::vector<uint8_t> acknowledgement;  // the entity's 0x8002/0x8003 (or generic NACK)
    double ack_ms = 0;
    std::vector<FunctionalAnswer> answers;  // in the order they came
    std::vector<uint16_t> still_pending;    // ECUs whose last word was NRC 0x78 when the wait ended
    bool pending_total_ran_out = false;     // an ECU in still_pending was cut off by pending_total_ms
    std::vector<std::string> skipped;       // diagnostic messages that answer something else (kMaxKept)
    size_t skipped_not_kept = 0;            // those passed over after the first kMaxKept
    double waited_ms = 0;

    size_t positive() const;
    size_t negative() const;
};

// Sends `uds` from the session's tester address to `address` and collects every answer to it until P2
// (options().timeout_ms from the send) has passed, and while an ECU whose last answer was NRC 0x78 has
// not yet answered for good, until options().pending_ms after that answer, but never longer than
// options().pending_total_ms from the send. Only diagnostic messages to the
// tester that answer the request's service count (answers_request); the others are skipped. A request with
// the suppress-positive-response bit ends with the acknowledgement. Session thread only.
FunctionalExchange functional_uds(Session& session, uint16_t address, const std::vector<uint8_t>& uds);

}  // namespace doip_tools

#endif
