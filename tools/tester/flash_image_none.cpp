// A build without the SRecord library: only raw binary images, and a way to get one from anything else.
#include "flash_image_library.h"

namespace doip_tools {

std::vector<std::string> library_format_names() {
    return {};
}

bool read_library_image(const std::string& path, const std::string& format, FlashImage*, std::string* error) {
    const std::string option = format == "ihex" ? "intel" : format == "srec" ? "motorola" : format;
    *error = "built without the SRecord library: convert the image to raw binary (srec_cat " + path + " -" +
             option + " -o image.bin -binary) and give --address";
    return false;
}

}  // namespace doip_tools
