// Big-endian fields of DoIP messages: the tools read and write them only through these helpers.
#ifndef DOIP_TOOLS_COMMON_BYTES_H
#define DOIP_TOOLS_COMMON_BYTES_H

#include <cstddef>
#include <cstdint>

namespace doip_tools {

// The `size`-byte big-endian number at `p` (size at most 4).
inline uint32_t load_be(const uint8_t* p, size_t size) {
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) {
        value = value << 8 | p[i];
    }
    return value;
}

// Writes the low `size` bytes of `value` big-endian at `p`.
inline void store_be(uint8_t* p, uint32_t value, size_t size) {
    for (size_t i = size; i > 0; --i, value >>= 8) {
        p[i - 1] = static_cast<uint8_t>(value);
    }
}

inline uint16_t load_be16(const uint8_t* p) {
    return static_cast<uint16_t>(load_be(p, 2));
}
inline uint32_t load_be32(const uint8_t* p) {
    return load_be(p, 4);
}
inline void store_be16(uint8_t* p, uint16_t value) {
    store_be(p, value, 2);
}
inline void store_be32(uint8_t* p, uint32_t value) {
    store_be(p, value, 4);
}

}  // namespace doip_tools

#endif
