// The image loader's own part: format detection, raw binary, the checks every format gets. The other
// formats go to read_library_image().
#include "flash_image.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include "flash_image_library.h"

namespace doip_tools {

namespace {

constexpr uint64_t kAddressSpace = uint64_t{1} << 32;

bool read_file(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path + ": check the path and that the file is readable";
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *error = "cannot read " + path + ": check the file";
        return false;
    }
    return true;
}

bool is_blank(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The first non-blank bytes: ':' Intel HEX, 'S' and a digit S-record, anything else raw binary.
std::string detect_format(const std::vector<uint8_t>& bytes) {
    size_t i = 0;
    while (i < bytes.size() && is_blank(bytes[i])) {
        ++i;
    }
    if (i < bytes.size() && bytes[i] == ':') {
        return "ihex";
    }
    if (i + 1 < bytes.size() && bytes[i] == 'S' && bytes[i + 1] >= '0' && bytes[i + 1] <= '9') {
        return "srec";
    }
    return "binary";
}

std::string past_end_error(const std::string& path, uint64_t end) {
    std::ostringstream text;
    text << path << ": the image would end at 0x" << std::uppercase << std::hex << end
         << ", past 0xFFFFFFFF: give a lower --address";
    return text.str();
}

}  // namespace

uint64_t FlashImage::size() const {
    uint64_t total = 0;
    for (const FlashRegion& region : regions) {
        total += region.data.size();
    }
    return total;
}

std::vector<std::string> image_format_names() {
    std::vector<std::string> names{"auto", "binary"};
    for (std::string& name : library_format_names()) {
        names.push_back(std::move(name));
    }
    return names;
}

bool load_image(const ImageSource& source, FlashImage* image, std::string* error) {
    std::vector<uint8_t> bytes;
    if (!read_file(source.path, &bytes, error)) {
        return false;
    }
    if (bytes.empty()) {
        *error = source.path + " is empty: give the image file to flash";
        return false;
    }
    const std::string format = source.format == "auto" ? detect_format(bytes) : source.format;
    FlashImage loaded;
    if (format == "binary") {
        const uint32_t address = source.address.value_or(0);
        if (address + uint64_t{bytes.size()} > kAddressSpace) {
            *error = past_end_error(source.path, address + uint64_t{bytes.size()});
            return false;
        }
        loaded.regions.push_back(FlashRegion{address, std::move(bytes)});
    } else {
        if (!read_library_image(source.path, format, &loaded, error)) {
            return false;
        }
        if (loaded.regions.empty()) {
            *error = source.path + " has no data records as " + format +
                     ": check the file, or give --format NAME for its format";
            return false;
        }
        const uint32_t offset = source.address.value_or(0);
        if (offset + loaded.regions.back().end() > kAddressSpace) {
            *error = past_end_error(source.path, offset + loaded.regions.back().end());
            return false;
        }
        for (FlashRegion& region : loaded.regions) {
            region.address += offset;
        }
    }
    *image = std::move(loaded);
    return true;
}

}  // namespace doip_tools
