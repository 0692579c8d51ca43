// The figures of a `doip-tester load` run, printed as a table and written as JSON.
#ifndef DOIP_TOOLS_TESTER_LOAD_REPORT_H
#define DOIP_TOOLS_TESTER_LOAD_REPORT_H

#include <cstdint>
#include <ostream>
#include <string>

#include "latency.h"
#include "session.h"

namespace doip_tools {

// What went wrong with an exchange, by the column it is counted in.
enum class LoadError {
    none,     // a positive response, or none expected (suppressed)
    timeout,  // no acknowledgement, no response, response pending for too long
    nack,     // diagnostic message NACK, generic header NACK
    nrc,      // a negative response: the exchange completed, the answer is an error
    closed,   // the connection was lost or a send failed; the connection stops
    other     // a reply in another protocol version
};
LoadError classify(UdsExchange::Outcome outcome);

struct LoadFigures {
    uint32_t connections_requested = 0;
    uint32_t connections_activated = 0;
    uint64_t activation_failures = 0;
    std::string first_activation_failure;  // "connection 3 (tester 0x0E02): ..."
    double seconds = 0;                    // from the start of the exchanges to the end of the last
    uint64_t exchanges = 0;                // requests sent, whatever came of them
    uint64_t completed = 0;                // with a final response (positive or negative) or none expected
    uint64_t timeouts = 0, nacks = 0, nrcs = 0, closed = 0, other = 0;
    std::string first_error;  // the first exchange error: "connection 3: no response"
    LatencyHistogram latency;

    uint64_t errors() const { return timeouts + nacks + nrcs + closed + other + activation_failures; }
    double exchanges_per_second() const { return seconds > 0 ? static_cast<double>(completed) / seconds : 0; }
    // Counts one exchange error of `kind` (not none).
    void count_error(LoadError kind);
    // Adds another connection's figures (not the connection counts, not the seconds).
    void merge(const LoadFigures& other);
};

void print_load_table(const LoadFigures& f, std::ostream& out);
// The figures as one JSON object.
std::string load_json(const LoadFigures& f);

}  // namespace doip_tools

#endif
