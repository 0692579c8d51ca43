// The image `doip-tester flash` downloads: the regions of a file, each with its address. Intel HEX,
// Motorola S-record and the other formats of the SRecord library are read with that library (where the
// build has it); raw binary is read as it stands and placed at a given address.
#ifndef DOIP_TOOLS_TESTER_FLASH_IMAGE_H
#define DOIP_TOOLS_TESTER_FLASH_IMAGE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace doip_tools {

// One run of bytes at consecutive addresses.
struct FlashRegion {
    uint32_t address = 0;
    std::vector<uint8_t> data;
    uint64_t end() const { return uint64_t{address} + data.size(); }
};

struct FlashImage {
    // In address order, none empty, none overlapping or touching another (adjacent records are one region;
    // a gap of even one byte starts a new one).
    std::vector<FlashRegion> regions;
    uint64_t size() const;  // the bytes of every region
};

struct ImageSource {
    std::string path;
    // "auto" (by the file's first bytes: ':' Intel HEX, 'S' and a digit S-record, else raw binary),
    // "binary", "ihex", "srec", or another format name of image_format_names().
    std::string format = "auto";
    // Raw binary: the address of the file's first byte (default 0). Other formats: every record's address
    // is moved by this much (an offset; it may not take an address past 0xFFFFFFFF).
    std::optional<uint32_t> address;
};

// Reads the image. False with `error` saying what is wrong and what to do: an unreadable file, a format
// the build cannot read ("built without the SRecord library: convert the image to raw binary and give
// --address"), a record the library rejects (its file, line and reason), contradictory bytes at one
// address, an empty image, addresses beyond 32 bits.
bool load_image(const ImageSource& source, FlashImage* image, std::string* error);

// The format names load_image takes, "auto" and "binary" first; in a build without the SRecord library only
// those two.
std::vector<std::string> image_format_names();

}  // namespace doip_tools

#endif
