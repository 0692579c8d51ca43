// The simulated ECU's answers to UDS requests.
#ifndef DOIP_TOOLS_SIMULATOR_UDS_TABLE_H
#define DOIP_TOOLS_SIMULATOR_UDS_TABLE_H

#include <cstdint>
#include <string>
#include <vector>

namespace doip_tools {

// The UDS response to `request`, empty when none is due (the suppress-positive-response bit set):
//   3E 00          -> 7E 00                      TesterPresent
//   10 xx          -> 50 xx 00 32 01 F4          DiagnosticSessionControl (P2 50 ms, P2* 5000 ms)
//   22 F1 90       -> 62 F1 90 + the 17 VIN bytes ReadDataByIdentifier VIN
//   anything else  -> 7F sid 11                  serviceNotSupported
std::vector<uint8_t> uds_response(const std::vector<uint8_t>& request, const std::string& vin);

}  // namespace doip_tools

#endif
