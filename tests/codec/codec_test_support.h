// Helpers for the codec tests: hex vectors, exact-size heap copies, owners of library records and the
// identifiers the vectors carry.
#ifndef DOIP_TESTS_CODEC_TEST_SUPPORT_H
#define DOIP_TESTS_CODEC_TEST_SUPPORT_H

#include "doip.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace codec_test {

using Bytes = std::vector<uint8_t>;

// "02 FD 80 01" -> {0x02, 0xFD, 0x80, 0x01}.
inline Bytes hex(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    for (unsigned byte = 0; in >> std::hex >> byte;) {
        out.push_back(static_cast<uint8_t>(byte));
    }
    return out;
}

inline constexpr char kVin[] = "WVWZZZ1JZXW000001";
inline const uint8_t* const kVinBytes = reinterpret_cast<const uint8_t*>(kVin);
inline const std::string kVinHex = "57 56 57 5A 5A 5A 31 4A 5A 58 57 30 30 30 30 30 31";
inline constexpr uint8_t kEid[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
inline constexpr uint8_t kGid[6] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
// Logical address 0x1001, kEid and kGid as they follow the VIN in a vehicle identification response.
inline const std::string kVidIdsHex = " 10 01 00 1A 2B 3C 4D 5E 0A 0B 0C 0D 0E 0F ";
// The addressing block an application passes: tester 0x0EF5, ECU 0x0CE1, version 2.
inline constexpr doip_addressing_s kAddressing{0x0EF5, 0xE001, 0x0CE1, 2};

// A copy of `bytes` in a heap block of exactly their size: AddressSanitizer reports any read past the end.
struct HeapBytes {
    explicit HeapBytes(const Bytes& b) : count(uint32_t(b.size())), block(new uint8_t[b.size()]) {
        std::copy(b.begin(), b.end(), block.get());
    }
    uint8_t* data() { return block.get(); }
    uint32_t size() const { return count; }
    Bytes bytes() const { return Bytes(block.get(), block.get() + count); }
    uint32_t count;
    std::unique_ptr<uint8_t[]> block;
};

// Aligned room for any record with up to 64 bytes of user data or echoed bytes, all set to `fill` and
// compared byte for byte (a copy of a record itself need not keep its padding bytes).
struct Block {
    uint64_t words[16];
    explicit Block(uint8_t fill = 0) { std::memset(words, fill, sizeof words); }
    template <typename Record>
    Record* as() {
        return reinterpret_cast<Record*>(words);
    }
    bool operator==(const Block& other) const { return std::memcmp(words, other.words, sizeof words) == 0; }
};

struct Release {
    void operator()(doip_diagnostic_request_s* r) const { doip_diag_msg_request_free(r); }
    void operator()(doip_diagnostic_response_s* r) const { doip_diag_msg_response_free(r); }
};
using RequestPtr = std::unique_ptr<doip_diagnostic_request_s, Release>;
using ResponsePtr = std::unique_ptr<doip_diagnostic_response_s, Release>;

// A message record holding a malloc'ed copy of `bytes`, released at the end of the scope.
struct OwnedMessage : doip_message_s {
    explicit OwnedMessage(const Bytes& b, uint8_t channel = 0, uint32_t aux1 = 0, uint32_t aux2 = 0)
        : doip_message_s{channel, 0, aux1, aux2, nullptr} {
        doip_message_init(this, b.data(), static_cast<int>(b.size()));
    }
    OwnedMessage(const OwnedMessage&) = delete;
    ~OwnedMessage() { doip_message_destory(this); }
    Bytes bytes() const { return Bytes(data, data + length); }
};

}  // namespace codec_test

#endif
