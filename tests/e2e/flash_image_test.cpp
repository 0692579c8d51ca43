// Flash images: every format srec_cat writes loads back to the regions it was made from, each failure says
// what is wrong, and the CRC-32 both ends of a download compute.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>

#include "crc32.h"
#include "flash_image.h"
#include "formatting.h"
#include "run_command.h"

namespace doip_e2e {
namespace {

namespace fs = std::filesystem;
using doip_tools::FlashImage;
using doip_tools::FlashRegion;

// One line a region: its size, address and CRC, so that a mismatch prints briefly.
std::string describe(const std::vector<FlashRegion>& regions) {
    std::string text;
    for (const FlashRegion& r : regions) {
        text += std::to_string(r.data.size()) + "@" + doip_tools::hex32(r.address) + " crc " +
                doip_tools::hex32(doip_tools::crc32(r.data.data(), r.data.size())) + "\n";
    }
    return text;
}

class FlashImageTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = fs::temp_directory_path() / ("doip-flash-image-" + std::to_string(std::random_device{}()));
        fs::create_directories(dir_);
        // A gap of one byte between the second and the third region; the last crosses 0x10000, where Intel
        // HEX needs an extended address record (S19 cannot hold it and gets the first three).
        std::mt19937 random(7);
        for (auto [address, size] :
             {std::pair{0x1000u, 1000u}, {0x8000u, 300u}, {0x812Du, 20u}, {0xFF00u, 512u}}) {
            FlashRegion region{address, std::vector<uint8_t>(size)};
            for (uint8_t& b : region.data) {
                b = static_cast<uint8_t>(random());
            }
            region.data[0] = 0x7F;  // raw binary that "auto" cannot take for a text format
            pieces_.push_back(" '" + write("piece" + std::to_string(regions_.size()), region.data) +
                              "' -binary -offset " + std::to_string(address));
            regions_.push_back(std::move(region));
        }
    }
    static void TearDownTestSuite() { fs::remove_all(dir_); }

    static std::string write(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path;
    }
    static std::string write(const std::string& name, const std::string& text) {
        return write(name, std::vector<uint8_t>(text.begin(), text.end()));
    }
    // The first `count` regions written by srec_cat with `output` (its format options); "" on failure.
    static std::string convert(const std::string& name, const std::string& output, size_t count = 4) {
        const std::string path = (dir_ / name).string();
        std::string inputs;
        for (size_t i = 0; i < count; ++i) {
            inputs += pieces_[i];
        }
        const RunResult r = run("srec_cat" + inputs + " -o '" + path + "' " + output);
        EXPECT_EQ(r.exit_code, 0) << "srec_cat (from the srecord package): " << r.output;
        return r.exit_code == 0 ? path : "";
    }
    static bool with_library() { return doip_tools::image_format_names().size() > 2; }

    static inline fs::path dir_;
    // srec_cat's inputs: each region's raw file at its address.
    static inline std::vector<std::string> pieces_;
    static inline std::vector<FlashRegion> regions_;
};

TEST_F(FlashImageTest, EveryFormatLoadsBackToItsRegions) {
    struct Row {
        const char* name;
        const char* output;  // srec_cat's output options; "": the first region's raw bytes
        const char* format;
        bool detected;        // "auto" finds the format too
        size_t region_count;  // of regions_, from the first
        std::optional<uint32_t> address;
    };
    const Row rows[] = {
        {"ihex", "-intel", "ihex", true, 4, {}},
        {"ihex moved by --address", "-intel", "ihex", true, 4, 0x10000000},
        {"S19", "-motorola -address-length=2", "srec", true, 3, {}},
        {"S28", "-motorola -address-length=3", "srec", true, 4, {}},
        {"S37", "-motorola -address-length=4", "srec", true, 4, {}},
        {"TI-TXT", "-ti-txt", "ti-txt", false, 4, {}},
        {"raw binary at --address", "", "binary", true, 1, 0x1000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path =
            *row.output == 0 ? write("raw", regions_[0].data)
                             : convert(std::string(row.name) + ".image", row.output, row.region_count);
        std::vector<FlashRegion> expected(regions_.begin(), regions_.begin() + row.region_count);
        for (FlashRegion& r : expected) {
            r.address += *row.output == 0 ? 0 : row.address.value_or(0);
        }
        for (const char* format : {"auto", row.format}) {
            if (format == std::string("auto") && !row.detected) {
                continue;
            }
            SCOPED_TRACE(format);
            FlashImage image;
            std::string error;
            const bool ok = doip_tools::load_image({path, format, row.address}, &image, &error);
            if (!with_library() && row.format != std::string("binary")) {
                EXPECT_FALSE(ok);
                EXPECT_NE(error.find("built without the SRecord library"), std::string::npos) << error;
                continue;
            }
            ASSERT_TRUE(ok) << error;
            EXPECT_EQ(describe(image.regions), describe(expected));
            EXPECT_EQ(image.size(), FlashImage{expected}.size());
        }
    }
}

TEST_F(FlashImageTest, FailuresSayWhatIsWrong) {
    const std::string hex = convert("good.hex", "-intel");
    ASSERT_FALSE(hex.empty());
    std::string bad_checksum;
    std::ifstream(hex) >> bad_checksum >> bad_checksum;  // the second line's record, its last digit changed
    std::string text = bad_checksum;
    text.back() = text.back() == '0' ? '1' : '0';
    struct Row {
        const char* name;
        std::string path;
        const char* format;
        std::optional<uint32_t> address;
        bool library;  // needs the SRecord library (without it: "built without")
        const char* fragment;
    };
    const Row rows[] = {
        {"missing file", (dir_ / "missing.hex").string(), "auto", {}, false, "cannot open"},
        {"empty file", write("empty.bin", ""), "auto", {}, false, "is empty"},
        {"bad checksum",
         write("bad.hex", ":020000040000FA\n" + text + "\n:00000001FF\n"),
         "auto",
         {},
         true,
         "bad.hex: 2: checksum mismatch"},
        {"contradictory bytes",
         write("twice.hex", ":0110000001EE\n:0110000001EE\n:0110000002ED\n:00000001FF\n"),
         "ihex",
         {},
         true,
         "twice.hex: 3: multiple 0x00001000 values"},
        {"unknown format", hex, "elf", {}, true, "give --format NAME with one of auto binary ihex srec"},
        {"raw binary past 0xFFFFFFFF", write("raw.bin", std::vector<uint8_t>(16)), "binary", 0xFFFFFFF8,
         false, "would end at 0x100000008, past 0xFFFFFFFF: give a lower --address"},
        {"ihex moved past 0xFFFFFFFF", hex, "auto", 0xFFFF0000, true, "give a lower --address"},
        {"S-record without data", write("none.s19", "S9030000FC\n"), "auto", {}, true, "--format NAME"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FlashImage image{{FlashRegion{1, {1}}}};
        std::string error;
        EXPECT_FALSE(doip_tools::load_image({row.path, row.format, row.address}, &image, &error));
        const char* fragment =
            row.library && !with_library() ? "built without the SRecord library" : row.fragment;
        EXPECT_NE(error.find(fragment), std::string::npos) << error;
        EXPECT_EQ(image.regions.size(), 1u) << "a failed load leaves the image as it was";
    }
}

TEST(Crc32Test, CheckValueAndPieces) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(doip_tools::crc32(check, sizeof check), 0xCBF43926u);
    std::vector<uint8_t> buffer(1025);
    std::mt19937 random(3);
    for (uint8_t& b : buffer) {
        b = static_cast<uint8_t>(random());
    }
    doip_tools::Crc32 running;
    size_t at = 0;
    for (size_t piece : {0, 1, 7, 8, 9, 1000}) {
        running.update(buffer.data() + at, piece);
        at += piece;
        EXPECT_EQ(running.value(), doip_tools::crc32(buffer.data(), at)) << "after " << at << " bytes";
    }
    EXPECT_EQ(at, buffer.size());
}

}  // namespace
}  // namespace doip_e2e
