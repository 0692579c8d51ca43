#include "bytes.h"
#include "describe.h"
#include "formatting.h"

namespace doip_tools {
namespace {

constexpr uint8_t kNegativeResponse = 0x7F;
constexpr uint8_t kPositiveResponseOffset = 0x40;
constexpr uint16_t kVinIdentifier = 0xF190;

const CodeName kNrcNames[] = {
    {0x10, "generalReject"},
    {0x11, "serviceNotSupported"},
    {0x12, "subFunctionNotSupported"},
    {0x13, "incorrectMessageLengthOrInvalidFormat"},
    {0x14, "responseTooLong"},
    {0x21, "busyRepeatRequest"},
    {0x22, "conditionsNotCorrect"},
    {0x24, "requestSequenceError"},
    {0x25, "noResponseFromSubnetComponent"},
    {0x26, "failurePreventsExecutionOfRequestedAction"},
    {0x31, "requestOutOfRange"},
    {0x33, "securityAccessDenied"},
    {0x35, "invalidKey"},
    {0x36, "exceededNumberOfAttempts"},
    {0x37, "requiredTimeDelayNotExpired"},
    {0x70, "uploadDownloadNotAccepted"},
    {0x71, "transferDataSuspended"},
    {0x72, "generalProgrammingFailure"},
    {0x73, "wrongBlockSequenceCounter"},
    {0x78, "requestCorrectlyReceived-ResponsePending"},
    {0x7E, "subFunctionNotSupportedInActiveSession"},
    {0x7F, "serviceNotSupportedInActiveSession"},
    {0x81, "rpmTooHigh"},
    {0x82, "rpmTooLow"},
    {0x83, "engineIsRunning"},
    {0x84, "engineIsNotRunning"},
    {0x85, "engineRunTimeTooLow"},
    {0x86, "temperatureTooHigh"},
    {0x87, "temperatureTooLow"},
    {0x88, "vehicleSpeedTooHigh"},
    {0x89, "vehicleSpeedTooLow"},
    {0x8A, "throttlePedalTooHigh"},
    {0x8B, "throttlePedalTooLow"},
    {0x8C, "transmissionRangeNotInNeutral"},
    {0x8D, "transmissionRangeNotInGear"},
    {0x8F, "brakeSwitchesNotClosed"},
    {0x90, "shifterLeverNotInPark"},
    {0x91, "torqueConverterClutchLocked"},
    {0x92, "voltageTooHigh"},
    {0x93, "voltageTooLow"},
};

const CodeName kServiceNames[] = {
    {0x10, "DiagnosticSessionControl"},
    {0x11, "ECUReset"},
    {0x14, "ClearDiagnosticInformation"},
    {0x19, "ReadDTCInformation"},
    {0x22, "ReadDataByIdentifier"},
    {0x23, "ReadMemoryByAddress"},
    {0x27, "SecurityAccess"},
    {0x28, "CommunicationControl"},
    {0x2E, "WriteDataByIdentifier"},
    {0x2F, "InputOutputControlByIdentifier"},
    {0x31, "RoutineControl"},
    {0x34, "RequestDownload"},
    {0x35, "RequestUpload"},
    {0x36, "TransferData"},
    {0x37, "RequestTransferExit"},
    {0x3E, "TesterPresent"},
    {0x85, "ControlDTCSetting"},
};

// The details of the positive responses the tester knows: read data by identifier, session control.
std::string positive_response_details(uint8_t service, const std::vector<uint8_t>& uds) {
    if (service == 0x22 && uds.size() >= 3) {
        const uint16_t did = load_be16(uds.data() + 1);
        return ", DID " + hex16(did) +
               (did == kVinIdentifier ? " VIN \"" + printable(uds.data() + 3, uds.size() - 3) + "\""
                                      : " data " + hex_bytes(uds.data() + 3, uds.size() - 3, 32));
    }
    if (service == 0x10 && uds.size() >= 6) {
        return ", session " + hex8(uds[1]) + ", P2 " + std::to_string(load_be16(uds.data() + 2)) +
               " ms, P2* " + std::to_string(load_be16(uds.data() + 4) * 10) + " ms";
    }
    return std::string();
}

}  // namespace

std::string nrc_name(uint8_t nrc) {
    const char* name = find_name(kNrcNames, nrc);
    return name != nullptr ? name : "unknown NRC";
}

std::string service_name(uint8_t sid) {
    const char* name = find_name(kServiceNames, sid);
    return name != nullptr ? name : "service " + hex8(sid);
}

std::string describe_uds(const std::vector<uint8_t>& uds) {
    if (uds.empty()) {
        return "empty";
    }
    const uint8_t sid = uds[0];
    if (sid == kNegativeResponse) {
        return uds.size() < 3 ? "malformed negative response"
                              : "negative response to " + service_name(uds[1]) + ": NRC " + hex8(uds[2]) +
                                    " " + nrc_name(uds[2]);
    }
    if (sid >= kPositiveResponseOffset && sid < 0x80) {
        const auto service = static_cast<uint8_t>(sid - kPositiveResponseOffset);
        return service_name(service) + " positive response" + positive_response_details(service, uds);
    }
    return service_name(sid) + " request";
}

}  // namespace doip_tools
