#include "routing_upkeep.h"

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include "commands.h"
#include "describe.h"

namespace doip_tools {
namespace {

// The entity status is asked for only to learn the max data size: an entity that does not answer it
// soon is not waited for.
constexpr uint32_t kStatusWaitMs = 1000;
// Reconnection back-off: the first attempt after this, each further one after twice the one before, up to
// the most.
constexpr uint32_t kFirstBackoffMs = 100;
constexpr uint32_t kMostBackoffMs = 2000;

}  // namespace

bool reconnect_with_backoff(Session& session, uint32_t tries, std::ostream& out) {
    uint32_t backoff = kFirstBackoffMs;
    for (uint32_t attempt = 1; attempt <= tries; ++attempt) {
        out << "reconnecting (attempt " << attempt << " of " << tries << ", after " << backoff << " ms)... "
            << std::flush;
        session.close();
        std::this_thread::sleep_for(std::chrono::milliseconds(backoff));
        // The activation's own lines are shown when it fails (or with --verbose).
        std::ostringstream details;
        const bool active = activate_routing(session, details);
        out << (active ? "routing active again" : "failed") << "\n";
        if (!active || session.options().verbose) {
            std::istringstream lines(details.str());
            for (std::string line; std::getline(lines, line);) {
                out << "    " << line << "\n";
            }
        }
        if (active) {
            return true;
        }
        backoff = std::min(backoff * 2, kMostBackoffMs);
    }
    out << "error: routing not active again after " << tries << " attempts\n";
    return false;
}

uint32_t ask_max_data_size(Session& session, std::ostream& out) {
    const bool verbose = session.options().verbose;
    const uint32_t wait = std::min(session.options().timeout_ms, kStatusWaitMs);
    ReceivedMessage reply;
    if (session.send(header_only_request(session.context(), DOIP_PT_ENTITY_STATUS_REQUEST)) != DOIP_OK ||
        !session.receive({DOIP_PT_ENTITY_STATUS_RESPONSE, DOIP_PT_GENERIC_NACK}, wait, &reply) ||
        reply.payload_type() != DOIP_PT_ENTITY_STATUS_RESPONSE) {
        if (verbose) {
            out << "    entity status: "
                << (reply.bytes.empty() ? "no answer within " + std::to_string(wait) + " ms"
                                        : describe_message(reply.bytes))
                << "; going on without a max data size\n";
        }
        return 0;
    }
    uint32_t max_data_size = 0;
    doip_entity_status_response_s status{};
    if (doip_entity_status_response_deserilize(reply.bytes.data(), static_cast<uint32_t>(reply.bytes.size()),
                                               &status) == DOIP_OK &&
        status.has_max_data_size != 0) {
        max_data_size = status.max_data_size;
    }
    if (verbose) {
        out << "    <- " << describe_message(reply.bytes) << "\n";
    }
    return max_data_size;
}

}  // namespace doip_tools
