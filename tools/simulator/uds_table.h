// The simulated ECUs' answers to UDS requests.
#ifndef DOIP_TOOLS_SIMULATOR_UDS_TABLE_H
#define DOIP_TOOLS_SIMULATOR_UDS_TABLE_H

#include <cstdint>
#include <string>
#include <vector>

namespace doip_tools {

// What tells one diagnostic target behind the entity from another.
struct UdsTarget {
    uint16_t address;
    std::string vin;  // 17 characters
};

// The UDS response of `target` to `request`, empty when none is due (the suppress-positive-response bit
// set):
//   3E 00          -> 7E 00                           TesterPresent
//   10 xx          -> 50 xx 00 32 01 F4               DiagnosticSessionControl (P2 50 ms, P2* 5000 ms)
//   11 xx          -> 51 xx                           ECUReset
//   31 01 02 00 .. -> 71 01 02 00 ..                  RoutineControl start of the echo routine 0x0200: the
//                                                     option record comes back as the status record
//   22 F1 90       -> 62 F1 90 + the 17 VIN bytes     ReadDataByIdentifier VIN
//   22 F1 8C       -> 62 F1 8C "SN" + address in hex  ReadDataByIdentifier ECU serial number ("SN1001")
//   anything else  -> 7F sid 11                       serviceNotSupported
std::vector<uint8_t> uds_response(const std::vector<uint8_t>& request, const UdsTarget& target);

// True for an ECU reset request (11 xx), after whose answer the ECU restarts.
bool is_ecu_reset(const std::vector<uint8_t>& request);

// True for a negative response an ECU does not send to a functionally addressed request: NRC 0x11, 0x12,
// 0x31, 0x7E or 0x7F.
bool suppressed_when_functional(const std::vector<uint8_t>& response);

}  // namespace doip_tools

#endif
