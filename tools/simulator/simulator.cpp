#include "simulator.h"

#include "formatting.h"

namespace doip_tools {

Simulator::Simulator(SimulatorOptions options)
    : options_(std::move(options)),
      entity_(options_, [this] { return server_.open_connections(); }),
      server_(options_, entity_) {}

Simulator::~Simulator() {
    stop();
}

bool Simulator::start(std::string* error) {
    if (!server_.start(error)) {
        return false;
    }
    log_event(options_,
              "listening on " + options_.bind_ip + ":" + std::to_string(server_.port()) +
                  (options_.udp ? " (TCP and UDP)" : " (TCP)") +
                  (options_.tls.enabled ? ", TLS on port " + std::to_string(server_.tls_port()) : "") +
                  ", logical address " + hex16(options_.logical_address));
    return true;
}

// The entity first, so that a routing activation waiting for alive check responses (or a flash answer
// waiting to go out) lets its thread go.
void Simulator::stop() {
    entity_.stop();
    server_.stop();
    entity_.finish();
}

SimulatorStats Simulator::stats() const {
    SimulatorStats s = entity_.stats();
    s.connections = server_.connections();
    s.connections_refused = server_.connections_refused();
    return s;
}

}  // namespace doip_tools
