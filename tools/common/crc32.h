// CRC-32 as in Ethernet, zip and PNG (reflected polynomial 0xEDB88320, initial value and final XOR
// 0xFFFFFFFF): the check value of "123456789" is 0xCBF43926. The flash tester and the simulated ECU both use
// it to check a downloaded image.
#ifndef DOIP_TOOLS_COMMON_CRC32_H
#define DOIP_TOOLS_COMMON_CRC32_H

#include <cstddef>
#include <cstdint>

namespace doip_tools {

// A running CRC-32 over data given in pieces: update() with each, value() at any point.
class Crc32 {
  public:
    void update(const uint8_t* data, size_t count);
    uint32_t value() const { return ~state_; }

  private:
    uint32_t state_ = 0xFFFFFFFFu;
};

inline uint32_t crc32(const uint8_t* data, size_t count) {
    Crc32 crc;
    crc.update(data, count);
    return crc.value();
}

}  // namespace doip_tools

#endif
