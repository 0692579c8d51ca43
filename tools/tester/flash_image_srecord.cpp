// Flash image formats read with the SRecord library (Debian's libsrecord-dev). The library reports errors
// through a srecord::quit whose default prints and exits: each input gets one that throws instead, so a bad
// record ends load_image() with an error, never the program.
#include <srecord/input/file/aomf.h>
#include <srecord/input/file/ascii_hex.h>
#include <srecord/input/file/atmel_generic.h>
#include <srecord/input/file/brecord.h>
#include <srecord/input/file/cosmac.h>
#include <srecord/input/file/dec_binary.h>
#include <srecord/input/file/emon52.h>
#include <srecord/input/file/fairchild.h>
#include <srecord/input/file/fastload.h>
#include <srecord/input/file/formatted_binary.h>
#include <srecord/input/file/four_packed_code.h>
#include <srecord/input/file/intel.h>
#include <srecord/input/file/mif.h>
#include <srecord/input/file/mips_flash.h>
#include <srecord/input/file/mos_tech.h>
#include <srecord/input/file/msbin.h>
#include <srecord/input/file/needham.h>
#include <srecord/input/file/os65v.h>
#include <srecord/input/file/ppb.h>
#include <srecord/input/file/ppx.h>
#include <srecord/input/file/signetics.h>
#include <srecord/input/file/spasm.h>
#include <srecord/input/file/spectrum.h>
#include <srecord/input/file/stewie.h>
#include <srecord/input/file/tektronix.h>
#include <srecord/input/file/tektronix_extended.h>
#include <srecord/input/file/ti_tagged.h>
#include <srecord/input/file/ti_tagged_16.h>
#include <srecord/input/file/ti_txt.h>
#include <srecord/input/file/trs80.h>
#include <srecord/input/file/vmem.h>
#include <srecord/input/file/wilson.h>
#include <srecord/memory.h>
#include <srecord/quit.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <new>

#include "flash_image_library.h"

#if __has_include(<srecord/input/file/motorola.h>)
#include <srecord/input/file/motorola.h>
#else
namespace srecord {
// Debian's libsrecord-dev installs no header for the library's S-record reader: its factory as the library
// declares it.
class input_file_motorola : public input_file {
  public:
    static input_file::pointer create(const std::string& file_name);
};
}  // namespace srecord
#endif

namespace doip_tools {

namespace {

struct LibraryFormat {
    const char* name;  // srec_cat's option without its '-', except ihex (-intel) and srec (-motorola)
    srecord::input_file::pointer (*open)(const std::string& path);
};

const LibraryFormat kFormats[] = {
    {"ihex", &srecord::input_file_intel::create},
    {"srec", &srecord::input_file_motorola::create},
    {"aomf", &srecord::input_file_aomf::create},
    {"ascii-hex", &srecord::input_file_ascii_hex::create},
    {"atmel-generic", &srecord::input_file_atmel_generic::create_be},
    {"b-record", &srecord::input_file_brecord::create},
    {"cosmac", &srecord::input_file_cosmac::create},
    {"dec-binary", &srecord::input_file_dec_binary::create},
    {"emon52", &srecord::input_file_emon52::create},
    {"fairchild", &srecord::input_file_fairchild::create},
    {"fast-load", &srecord::input_file_fastload::create},
    {"formatted-binary", &srecord::input_file_formatted_binary::create},
    {"four-packed-code", &srecord::input_file_four_packed_code::create},
    {"mif", &srecord::input_file_mif::create},
    {"mips-flash-be", &srecord::input_file_mips_flash::create_be},
    {"mips-flash-le", &srecord::input_file_mips_flash::create_le},
    {"mos-tech", &srecord::input_file_mos_tech::create},
    {"msbin", &srecord::input_file_msbin::create},
    {"needham-hexadecimal", &srecord::input_file_needham::create},
    {"ohio-scientific", &srecord::input_file_os65v::create},
    {"ppb", &srecord::input_file_ppb::create},
    {"ppx", &srecord::input_file_ppx::create},
    {"signetics", &srecord::input_file_signetics::create},
    {"spasm-be", &srecord::input_file_spasm::create_be},
    {"spasm-le",
     [](const std::string& path) { return srecord::input_file_spasm::create(path, srecord::endian_little); }},
    {"spectrum", &srecord::input_file_spectrum::create},
    {"stewie", &srecord::input_file_stewie::create},
    {"tektronix", &srecord::input_file_tektronix::create},
    {"tektronix-extended", &srecord::input_file_tektronix_extended::create},
    {"ti-tagged", &srecord::input_file_ti_tagged::create},
    {"ti-tagged-16", &srecord::input_file_ti_tagged_16::create},
    {"ti-txt", &srecord::input_file_ti_txt::create},
    {"trs80", &srecord::input_file_trs80::create},
    {"vmem", &srecord::input_file_vmem::create},
    {"wilson", &srecord::input_file_wilson::create},
};

struct RecordError {
    std::string text;
};

// Keeps the library's last message and throws it where the default would exit. Warnings (a missing start
// address record, say) leave the image intact and are dropped.
class ThrowingQuit : public srecord::quit {
  public:
    void message_v(const char* format, va_list args) override {
        char text[1024];
        vsnprintf(text, sizeof text, format, args);
        last_ = text;
    }
    void warning_v(const char*, va_list) override {}
    void exit(int) override { throw RecordError{last_}; }

  private:
    std::string last_;
};

// The library's runs of set bytes, at most one of its chunks each, in address order.
class RunCollector : public srecord::memory_walker {
  public:
    explicit RunCollector(std::vector<FlashRegion>* regions) : regions_(regions) {}
    void observe(unsigned long address, const void* data, int size) override {
        const auto* bytes = static_cast<const uint8_t*>(data);
        if (uint64_t{address} + static_cast<uint64_t>(size) > uint64_t{1} << 32) {
            beyond_32_bits_ = true;
            return;
        }
        if (regions_->empty() || regions_->back().end() != address) {
            regions_->push_back(FlashRegion{static_cast<uint32_t>(address), {}});
        }
        regions_->back().data.insert(regions_->back().data.end(), bytes, bytes + size);
    }
    bool beyond_32_bits() const { return beyond_32_bits_; }

  private:
    std::vector<FlashRegion>* regions_;
    bool beyond_32_bits_ = false;
};

}  // namespace

std::vector<std::string> library_format_names() {
    std::vector<std::string> names;
    for (const LibraryFormat& format : kFormats) {
        names.push_back(format.name);
    }
    return names;
}

bool read_library_image(const std::string& path, const std::string& format, FlashImage* image,
                        std::string* error) {
    const auto* entry = std::find_if(std::begin(kFormats), std::end(kFormats),
                                     [&](const LibraryFormat& f) { return format == f.name; });
    if (entry == std::end(kFormats)) {
        *error = "unknown image format \"" + format + "\": give --format NAME with one of";
        for (const std::string& name : image_format_names()) {
            *error += " " + name;
        }
        return false;
    }
    ThrowingQuit quit;  // declared before the input, which points at it until its destructor has run
    try {
        srecord::input::pointer input = entry->open(path);
        input->set_quit(quit);
        srecord::memory memory;
        // The same byte twice is harmless; two different values for one address are an error.
        memory.reader(input, srecord::defcon_ignore, srecord::defcon_fatal_error);
        boost::shared_ptr<RunCollector> runs(new RunCollector(&image->regions));
        memory.walk(runs);
        if (runs->beyond_32_bits()) {
            *error = path + ": data past address 0xFFFFFFFF: the tester flashes 32-bit addresses only";
            return false;
        }
    } catch (const RecordError& e) {
        *error = e.text + " (read as " + format + "; give --format NAME if the file is in another format)";
        return false;
    } catch (const std::bad_alloc&) {
        *error = path + ": out of memory reading the image";
        return false;
    }
    return true;
}

}  // namespace doip_tools
