// What load_image leaves to the SRecord library: flash_image_srecord.cpp reads the formats with it, and
// flash_image_none.cpp, in a build without it, refuses them with what to do instead.
#ifndef DOIP_TOOLS_TESTER_FLASH_IMAGE_LIBRARY_H
#define DOIP_TOOLS_TESTER_FLASH_IMAGE_LIBRARY_H

#include <string>
#include <vector>

#include "flash_image.h"

namespace doip_tools {

// Reads `path` as `format` (a name of library_format_names()) into `image`: regions in address order,
// adjacent records merged, addresses as in the file. False with `error`: the file, line and reason of a
// record the library rejects, an unknown format, or (without the library) how to convert the file to raw
// binary.
bool read_library_image(const std::string& path, const std::string& format, FlashImage* image,
                        std::string* error);

// The format names read_library_image takes, "ihex" and "srec" first; empty without the library.
std::vector<std::string> library_format_names();

}  // namespace doip_tools

#endif
