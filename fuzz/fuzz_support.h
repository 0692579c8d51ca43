// What the fuzz targets share: a check that aborts (libFuzzer keeps the input), exact-size heap copies so
// that AddressSanitizer sees a single byte read or written past a buffer, big-endian reads written apart
// from the library's, a model of the header check, and a reader for inputs that are small programs.
#ifndef DOIP_FUZZ_SUPPORT_H
#define DOIP_FUZZ_SUPPORT_H

#include "doip.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace fuzz {

// `n` bytes in a heap block of exactly that size (new[0] gives a valid block of no bytes, never null).
struct Heap {
    Heap(const uint8_t* bytes, size_t n) : size(n), block(new uint8_t[n]) {
        if (n != 0) {
            std::memcpy(block.get(), bytes, n);
        }
    }
    explicit Heap(size_t n, uint8_t fill = 0) : size(n), block(new uint8_t[n]) {
        std::memset(block.get(), fill, n);
    }
    uint8_t* data() const { return block.get(); }
    uint32_t count() const { return static_cast<uint32_t>(size); }
    size_t size;
    std::unique_ptr<uint8_t[]> block;
};

inline uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] * 256u + p[1]);
}
inline uint32_t be32(const uint8_t* p) {
    return be16(p) * 65536u + be16(p + 2);
}

// The payload types the header check accepts.
inline bool known_type(uint16_t t) {
    return t <= 0x0008 || (t >= 0x4001 && t <= 0x4004) || (t >= 0x8001 && t <= 0x8003) || t >= 0xF000;
}

// What doip_deserialize must return for `count` non-null bytes and a record, filling `out` on DOIP_OK.
inline int header_model(const uint8_t* bytes, uint32_t count, doip_package_s* out) {
    if (count < 8) {
        return DOIP_ERR_INCOMPLETE_MESSAGE;
    }
    if ((bytes[0] ^ bytes[1]) != 0xFF) {
        return DOIP_ERR_BAD_PROTOCOL_VERSION;
    }
    if (!known_type(be16(bytes + 2))) {
        return DOIP_ERR_UNKNOWN_PAYLOAD_TYPE;
    }
    if (be32(bytes + 4) > count - 8) {
        return DOIP_ERR_INCOMPLETE_MESSAGE;
    }
    *out = doip_package_s{bytes[0], bytes[1], be16(bytes + 2), be32(bytes + 4)};
    return DOIP_OK;
}

inline bool same_header(const doip_package_s& a, const doip_package_s& b) {
    return a.protocol_version == b.protocol_version &&
           a.inverse_protocol_version == b.inverse_protocol_version && a.payload_type == b.payload_type &&
           a.payload_length == b.payload_length;
}

// Reads an input front to back; past the end every byte reads as 0 and every span is empty.
struct Reader {
    const uint8_t* p;
    size_t left;
    bool empty() const { return left == 0; }
    uint8_t byte() {
        if (left == 0) {
            return 0;
        }
        --left;
        return *p++;
    }
    uint32_t word() {
        uint32_t w = 0;
        for (int i = 0; i < 4; ++i) {
            w = w << 8 | byte();
        }
        return w;
    }
    // Up to `n` bytes (fewer at the end), followed by `pad` zero bytes in the returned block.
    Heap take(size_t n, size_t pad = 0) {
        const size_t k = std::min(n, left);
        Heap h(k + pad);
        if (k != 0) {
            std::memcpy(h.data(), p, k);
        }
        p += k;
        left -= k;
        return h;
    }
};

}  // namespace fuzz

#endif
