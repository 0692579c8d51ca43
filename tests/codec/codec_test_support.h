// Helpers for the payload codec tests: hex vectors, exact-size heap copies and owners of library records.
#ifndef DOIP_TESTS_CODEC_TEST_SUPPORT_H
#define DOIP_TESTS_CODEC_TEST_SUPPORT_H

#include "doip.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace codec_test {

using Bytes = std::vector<uint8_t>;

// "02 FD 80 01" -> {0x02, 0xFD, 0x80, 0x01}; blanks are ignored.
inline Bytes hex(const std::string& text) {
    Bytes out;
    std::string digits;
    for (char c : text) {
        if (c != ' ') {
            digits += c;
        }
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A copy of `bytes` (or of its first `count` bytes) in a heap block of exactly that size, so that
// AddressSanitizer reports any read past the end.
class HeapBytes {
  public:
    explicit HeapBytes(const Bytes& bytes, size_t count) : count_(count), data_(new uint8_t[count]) {
        if (count != 0) {
            std::memcpy(data_.get(), bytes.data(), count);
        }
    }
    explicit HeapBytes(const Bytes& bytes) : HeapBytes(bytes, bytes.size()) {}
    uint8_t* data() { return data_.get(); }
    uint32_t size() const { return static_cast<uint32_t>(count_); }
    Bytes bytes() const { return Bytes(data_.get(), data_.get() + count_); }

  private:
    size_t count_;
    std::unique_ptr<uint8_t[]> data_;
};

struct RequestFree {
    void operator()(doip_diagnostic_request_s* r) const { doip_diag_msg_request_free(r); }
};
struct ResponseFree {
    void operator()(doip_diagnostic_response_s* r) const { doip_diag_msg_response_free(r); }
};
using RequestPtr = std::unique_ptr<doip_diagnostic_request_s, RequestFree>;
using ResponsePtr = std::unique_ptr<doip_diagnostic_response_s, ResponseFree>;

// The addressing block an application passes: tester 0x0EF5, ECU 0x0CE1, version 2 by default.
inline doip_addressing_s addressing(uint8_t version = 2, uint16_t source = 0x0EF5, uint16_t target = 0x0CE1) {
    return doip_addressing_s{source, 0xE001, target, version};
}

// A record (or buffer) filled with a recognisable byte, to show that a failing call wrote nothing.
template <typename T>
T filled(uint8_t byte = 0xA5) {
    T value;
    std::memset(static_cast<void*>(&value), byte, sizeof value);
    return value;
}

template <typename T>
bool all_bytes_are(const T& value, uint8_t byte = 0xA5) {
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    for (size_t i = 0; i < sizeof value; ++i) {
        if (p[i] != byte) {
            return false;
        }
    }
    return true;
}

}  // namespace codec_test

#endif
