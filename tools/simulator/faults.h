// The simulator's fault injection: a layer between the entity's replies and a TCP connection that sends
// them as SimulatorFaults says (late, changed, cut, split, after garbage, or not at all), and floods a
// tester with unsolicited diagnostic messages after its routing activation on request.
#ifndef DOIP_TOOLS_SIMULATOR_FAULTS_H
#define DOIP_TOOLS_SIMULATOR_FAULTS_H

#include <cstdint>
#include <vector>

#include "connection.h"
#include "simulator_options.h"
#include "stop_signal.h"

namespace doip_tools {

class ReplyWriter {
  public:
    // `options` and `stop` must outlive the writer; a delayed reply is dropped once `stop` is requested.
    ReplyWriter(const SimulatorOptions& options, const StopSignal& stop) : options_(options), stop_(stop) {}

    // The connection's thread. Sends one reply; `connection.cut_off` is set when the fault injection has
    // ended the connection or the reply could not be sent whole, and nothing more goes out on it.
    void send(Connection& connection, std::vector<uint8_t> bytes) const;

  private:
    // The reply's bytes as the faults change them.
    std::vector<uint8_t> rewrite(std::vector<uint8_t> bytes) const;
    void send_garbage(Connection& connection) const;
    // After `response`, a routing activation response as sent: the unsolicited burst when it grants routing.
    void send_burst(Connection& connection, const std::vector<uint8_t>& response) const;

    const SimulatorOptions& options_;
    const StopSignal& stop_;
};

}  // namespace doip_tools

#endif
