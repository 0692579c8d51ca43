#include "flash_requests.h"

#include <algorithm>
#include <cstring>

#include "arguments.h"
#include "bytes.h"
#include "formatting.h"

namespace doip_tools {
namespace {

// The largest number `bytes` big-endian bytes hold.
uint64_t field_max(size_t bytes) {
    return (uint64_t{1} << (8 * bytes)) - 1;
}

}  // namespace

bool alfid_valid(uint8_t alfid) {
    const unsigned address = alfid & 0x0Fu;
    const unsigned size = alfid >> 4;
    return address >= 1 && address <= 4 && size >= 1 && size <= 4;
}

bool append_address_and_size(uint8_t alfid, uint32_t address, uint64_t size, std::vector<uint8_t>* out,
                             std::string* error) {
    if (!alfid_valid(alfid)) {
        *error =
            "the addressAndLengthFormatIdentifier " + hex8(alfid) + " does not give 1-4 bytes for each field";
        return false;
    }
    const size_t address_bytes = alfid & 0x0Fu;
    const size_t size_bytes = alfid >> 4;
    if (address > field_max(address_bytes)) {
        *error = "the address does not fit the " + std::to_string(address_bytes) +
                 "-byte address field (--address-format)";
        return false;
    }
    if (size > field_max(size_bytes)) {
        *error = "the size " + std::to_string(size) + " does not fit the " + std::to_string(size_bytes) +
                 "-byte size field (--address-format)";
        return false;
    }
    const size_t at = out->size();
    out->resize(at + address_bytes + size_bytes);
    store_be(out->data() + at, address, address_bytes);
    store_be(out->data() + at + address_bytes, static_cast<uint32_t>(size), size_bytes);
    return true;
}

bool erase_request(uint16_t routine, uint8_t alfid, uint32_t address, uint64_t size,
                   std::vector<uint8_t>* out, std::string* error) {
    std::vector<uint8_t> r = {kRoutineControl, 0x01, static_cast<uint8_t>(routine >> 8),
                              static_cast<uint8_t>(routine), alfid};
    if (!append_address_and_size(alfid, address, size, &r, error)) {
        return false;
    }
    *out = std::move(r);
    return true;
}

bool download_request(uint8_t data_format, uint8_t alfid, uint32_t address, uint64_t size,
                      std::vector<uint8_t>* out, std::string* error) {
    std::vector<uint8_t> r = {kRequestDownload, data_format, alfid};
    if (!append_address_and_size(alfid, address, size, &r, error)) {
        return false;
    }
    *out = std::move(r);
    return true;
}

std::vector<uint8_t> check_request(uint16_t routine, uint32_t crc) {
    std::vector<uint8_t> r = {
        kRoutineControl, 0x01, static_cast<uint8_t>(routine >> 8), static_cast<uint8_t>(routine), 0, 0, 0, 0};
    store_be32(r.data() + 4, crc);
    return r;
}

uint8_t routine_status(const std::vector<uint8_t>& answer) {
    return answer.size() >= 5 ? answer[4] : 0;
}

bool parse_download_answer(const std::vector<uint8_t>& answer, uint32_t* max_block_length,
                           std::string* error) {
    if (answer.size() < 2) {
        *error = "the answer to RequestDownload has no lengthFormatIdentifier";
        return false;
    }
    const size_t bytes = answer[1] >> 4;
    if (bytes < 1 || bytes > 4) {
        *error = "the answer to RequestDownload gives a maxNumberOfBlockLength of " + std::to_string(bytes) +
                 " bytes (lengthFormatIdentifier " + hex8(answer[1]) + "); 1-4 are understood";
        return false;
    }
    if (answer.size() < 2 + bytes) {
        *error = "the answer to RequestDownload is cut short: its maxNumberOfBlockLength has " +
                 std::to_string(answer.size() - 2) + " of " + std::to_string(bytes) + " bytes";
        return false;
    }
    *max_block_length = load_be(answer.data() + 2, bytes);
    if (*max_block_length == 0) {
        *error = "the answer to RequestDownload gives a maxNumberOfBlockLength of 0";
        return false;
    }
    return true;
}

uint32_t block_data_size(uint32_t max_block_length, uint32_t max_data_size, uint32_t block_size) {
    constexpr uint32_t kSidAndCounter = 2;
    constexpr uint32_t kDiagnosticHeader = 12;
    if (max_block_length <= kSidAndCounter) {
        return 0;
    }
    uint32_t size = max_block_length - kSidAndCounter;
    if (max_data_size != 0) {
        if (max_data_size <= kDiagnosticHeader + kSidAndCounter) {
            return 0;
        }
        size = std::min(size, max_data_size - kDiagnosticHeader - kSidAndCounter);
    }
    if (block_size != 0) {
        size = std::min(size, block_size);
    }
    return size;
}

void fill_transfer_data(uint8_t counter, const uint8_t* data, size_t count, std::vector<uint8_t>* request) {
    request->resize(2 + count);
    (*request)[0] = kTransferData;
    (*request)[1] = counter;
    if (count > 0) {
        std::memcpy(request->data() + 2, data, count);
    }
}

bool parse_key(const std::string& text, std::vector<uint8_t>* key) {
    std::string digits;
    for (const char c : text) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            digits += c;
        }
    }
    // Bytes apart ("12 34") or together ("1234"); a lone digit between spaces is not a byte.
    for (size_t start = 0, end; start < text.size(); start = end) {
        start = text.find_first_not_of(" \t\r\n", start);
        if (start == std::string::npos) {
            break;
        }
        end = text.find_first_of(" \t\r\n", start);
        if (end == std::string::npos) {
            end = text.size();
        }
        if ((end - start) % 2 != 0) {
            return false;
        }
    }
    std::vector<uint8_t> bytes;
    if (digits.empty() || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos ||
        !parse_hex_bytes(digits, &bytes) || bytes.empty()) {
        return false;
    }
    *key = std::move(bytes);
    return true;
}

std::string seed_line(const uint8_t* seed, size_t count) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string line;
    line.reserve(2 * count + 1);
    for (size_t i = 0; i < count; ++i) {
        line += kDigits[seed[i] >> 4];
        line += kDigits[seed[i] & 0x0F];
    }
    return line + "\n";
}

}  // namespace doip_tools
