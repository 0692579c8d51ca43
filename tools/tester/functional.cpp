#include "functional.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "bytes.h"
#include "describe.h"
#include "formatting.h"
#include "uds_match.h"

namespace doip_tools {
namespace {

bool is_negative(const FunctionalAnswer& a) {
    return !a.uds.empty() && a.uds[0] == kNegativeResponseSid;
}

}  // namespace

size_t FunctionalExchange::positive() const {
    return answers.size() - negative();
}

size_t FunctionalExchange::negative() const {
    return static_cast<size_t>(std::count_if(answers.begin(), answers.end(), &is_negative));
}

FunctionalExchange functional_uds(Session& session, uint16_t address, const std::vector<uint8_t>& uds) {
    using std::chrono::milliseconds;
    FunctionalExchange x;
    doip_s& ctx = session.context();
    const uint16_t physical_target = ctx.target_address;
    ctx.target_address = address;
    x.request.resize(kDiagnosticHeaderSize + uds.size());
    x.code = doip_diag_request(&ctx, uds.data(), static_cast<unsigned>(uds.size()), x.request.data(),
                               static_cast<unsigned>(x.request.size()));
    ctx.target_address = physical_target;
    const auto start = Clock::now();
    if (x.code == DOIP_OK) {
        x.code = session.send(x.request);
    }
    if (x.code != DOIP_OK) {
        x.outcome = FunctionalExchange::Outcome::send_failed;
        return x;
    }
    const auto p2_deadline = start + milliseconds(session.options().timeout_ms);
    // However often ECUs ask for more time, the exchange ends pending_total_ms after the send.
    const auto pending_end = start + milliseconds(session.options().pending_total_ms);
    std::map<uint16_t, std::pair<Clock::time_point, int>> pending;  // ECU -> its deadline, 0x78 count
    const auto skip = [&x](const std::vector<uint8_t>& message) {
        if (x.skipped.size() < kMaxKept) {
            x.skipped.push_back(describe_message(message));
        } else {
            ++x.skipped_not_kept;
        }
    };
    for (;;) {
        auto deadline = p2_deadline;
        for (const auto& p : pending) {
            deadline = std::max(deadline, p.second.first);
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        ReceivedMessage m;
        if (left.count() <= 0 || !session.receive({DOIP_PT_DIAG_MSG_ACK, DOIP_PT_DIAG_MSG_NACK,
                                                   DOIP_PT_GENERIC_NACK, DOIP_PT_DIAG_MSG},
                                                  static_cast<uint32_t>(left.count()), &m)) {
            break;
        }
        const uint16_t type = m.payload_type();
        if (type != DOIP_PT_DIAG_MSG) {
            if (!x.acknowledgement.empty()) {
                skip(m.bytes);
                continue;
            }
            x.acknowledgement = m.bytes;
            x.ack_ms = ms_since(start);
            if (type == DOIP_PT_GENERIC_NACK || type == DOIP_PT_DIAG_MSG_NACK) {
                x.outcome = type == DOIP_PT_GENERIC_NACK ? FunctionalExchange::Outcome::generic_nack
                                                         : FunctionalExchange::Outcome::nacked;
                return x;
            }
            if (response_suppressed(uds) && x.answers.empty()) {
                x.outcome = FunctionalExchange::Outcome::no_response_expected;
                return x;
            }
            continue;
        }
        std::vector<uint8_t> answer;
        if (m.bytes.size() > kDiagnosticHeaderSize) {
            answer.assign(m.bytes.begin() + kDiagnosticHeaderSize, m.bytes.end());
        }
        if (answer.empty() || load_be16(m.bytes.data() + 10) != ctx.source_address ||
            !answers_request(uds, answer)) {
            skip(m.bytes);
            continue;
        }
        const uint16_t source = load_be16(m.bytes.data() + 8);
        if (x.answers.size() >= kMaxKept) {
            skip(m.bytes);
            continue;
        }
        if (is_response_pending(answer)) {
            auto& p = pending[source];
            p.first = std::min(Clock::now() + milliseconds(session.options().pending_ms), pending_end);
            ++p.second;
            continue;
        }
        FunctionalAnswer a;
        a.source = source;
        a.message = m.bytes;
        a.uds = std::move(answer);
        a.ms = ms_since(start);
        const auto p = pending.find(source);
        if (p != pending.end()) {
            a.pending_responses = p->second.second;
            pending.erase(p);
        }
        x.answers.push_back(std::move(a));
    }
    x.waited_ms = ms_since(start);
    for (const auto& p : pending) {
        x.still_pending.push_back(p.first);
        x.pending_total_ran_out = x.pending_total_ran_out || p.second.first >= pending_end;
    }
    if (!x.answers.empty()) {
        x.outcome = FunctionalExchange::Outcome::answered;
    } else {
        x.outcome = x.acknowledgement.empty() ? FunctionalExchange::Outcome::no_ack
                                              : FunctionalExchange::Outcome::no_answer;
    }
    return x;
}

}  // namespace doip_tools
