// The entity's answers before and beside routing: vehicle identification, entity status, power mode.
#include <algorithm>
#include <cstring>

#include "entity.h"

namespace doip_tools {
namespace {

constexpr size_t kVinSize = 17;
constexpr size_t kEidSize = 6;
// The encoder of vehicle identification responses wants room for the optional sync status byte.
constexpr size_t kVehicleIdResponseRoom = DOIP_HEADER_SIZE + 33;

// The VIN as it goes on the wire: 17 bytes, padded with spaces.
std::string wire_vin(const std::string& vin) {
    std::string padded = vin;
    padded.resize(kVinSize, ' ');
    return padded;
}

}  // namespace

Replies Entity::vehicle_id(const Request& r) {
    doip_vehicle_id_request_s request{};
    if (doip_vehicle_id_request_deserilize(r.bytes, r.count, &request) != DOIP_OK) {
        return {};
    }
    const std::string vin = wire_vin(options_.vin);
    const uint16_t type = request.header.payload_type;
    const bool matches =
        type == DOIP_PT_VEHICLE_ID_REQUEST ||
        (type == DOIP_PT_VEHICLE_ID_EID_REQUEST &&
         std::memcmp(request.eid, options_.eid.data(), kEidSize) == 0) ||
        (type == DOIP_PT_VEHICLE_ID_VIN_REQUEST && std::memcmp(request.vin, vin.data(), kVinSize) == 0);
    if (!matches) {
        return {};
    }
    return {identification(r.reply_version)};
}

// Further action 0x00 (none), no sync status.
Bytes Entity::identification(uint8_t version) const {
    const std::string vin = wire_vin(options_.vin);
    const doip_addressing_s a = from(options_.logical_address, 0, version);
    vehicle_id_response_s record{};
    doip_vehicle_id_response_init(&a, &record, reinterpret_cast<const uint8_t*>(vin.data()),
                                  options_.logical_address, options_.eid.data(), options_.gid.data(), 0x00, 0,
                                  0);
    return encode(record, &doip_vehicle_id_response_serilize, kVehicleIdResponseRoom);
}

Bytes Entity::announcement() const {
    return identification(kEntityVersion);
}

Replies Entity::entity_status(const Request& r) {
    const doip_addressing_s a = from_entity(r);
    const auto open = static_cast<uint8_t>(std::min<size_t>(open_connections_(), 255));
    doip_entity_status_response_s record{};
    const auto max_sockets = static_cast<uint8_t>(std::min<uint32_t>(options_.max_sockets, 255));
    doip_entity_status_response_init(&a, &record, options_.node_type, max_sockets, open, 1,
                                     max_request_size_);
    return {encode(record, &doip_entity_status_response_serilize)};
}

Replies Entity::power_mode(const Request& r) {
    const doip_addressing_s a = from_entity(r);
    doip_power_mode_response_s record{};
    doip_power_mode_response_init(&a, &record, options_.power_mode);
    return {encode(record, &doip_power_mode_response_serilize)};
}

}  // namespace doip_tools
