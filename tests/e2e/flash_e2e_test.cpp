// doip-tester flash (run_flash) against the simulator as a flashable ECU: images in three formats and three
// block sizes arrive byte for byte, and each way a flash can go wrong ends as it should, in bounded time.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include "e2e_support.h"
#include "flash.h"
#include "run_command.h"

namespace doip_e2e {
namespace {

namespace fs = std::filesystem;
using doip_tools::FlashSettings;
using doip_tools::FlashSummary;

constexpr uint32_t kMemoryAddress = 0x00000000;
constexpr uint32_t kMemorySize = 2u << 20;
constexpr uint32_t kImageAddress = 0x00010000;  // the image within the memory, after a margin left erased
constexpr uint32_t kImageSize = 1u << 20;

// A directory of its own for the test's files, removed afterwards.
class Scratch {
  public:
    Scratch() {
        path_ = fs::temp_directory_path() /
                ("doip-flash-" + std::to_string(getpid()) + "-" + std::to_string(std::random_device{}()));
        fs::create_directories(path_);
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// One random image for the whole program, as raw binary, Intel HEX and S-record files (srec_cat makes the
// latter two, so that the tester's reading is checked against another program's writing).
class Images {
  public:
    static const Images& get() {
        static const Images images;
        return images;
    }
    const Bytes& bytes() const { return bytes_; }
    std::string path(const std::string& format) const { return scratch_.file("image." + format); }

  private:
    Images() : bytes_(kImageSize) {
        std::mt19937 random(1340);
        for (uint8_t& b : bytes_) {
            b = static_cast<uint8_t>(random());
        }
        write_file(path("bin"), bytes_);
        char offset[16];
        std::snprintf(offset, sizeof offset, "0x%X", kImageAddress);
        for (const char* format : {"hex -intel", "srec -motorola"}) {
            const std::string f(format);
            const RunResult r = run("srec_cat " + path("bin") + " -binary -offset " + offset + " -o " +
                                    path(f.substr(0, f.find(' '))) + f.substr(f.find(' ')));
            EXPECT_EQ(r.exit_code, 0) << r.output << "(srec_cat comes with Debian's srecord)";
        }
    }

    Scratch scratch_;
    Bytes bytes_;
};

class FlashE2e : public E2eTest {
  protected:
    // Starts the simulator with a flashable memory as `ecu` changes the defaults.
    void start_ecu(const std::function<void(doip_tools::FlashEcuOptions&)>& ecu = {}) {
        doip_tools::SimulatorOptions options;
        options.flash.memory_address = kMemoryAddress;
        options.flash.memory_size = kMemorySize;
        options.flash.out_file = scratch_.file("received.bin");
        options.close_after_reset = true;  // the tester reconnects, as after a real ECU's restart
        if (ecu) {
            ecu(options.flash);
        }
        start(options);
    }

    // The raw binary image with the simulator's key program, as `change` alters them.
    FlashSettings settings(const std::function<void(FlashSettings&)>& change = {}) const {
        FlashSettings s;
        s.image.path = Images::get().path("bin");
        s.image.format = "binary";
        s.image.address = kImageAddress;
        s.key_command = DOIP_SIM_KEY_PATH;
        s.progress = doip_tools::ProgressStyle::lines;
        if (change) {
            change(s);
        }
        return s;
    }

    RunResult flash(const FlashSettings& s, FlashSummary* summary, uint32_t timeout_ms = 2000) {
        doip_tools::TesterOptions options;
        options.port = port();
        options.timeout_ms = timeout_ms;
        std::ostringstream out;
        RunResult r;
        r.exit_code = doip_tools::run_flash(options, s, out, summary);
        r.output = out.str();
        return r;
    }

    // The ECU's memory as it wrote it out: the image at its place, erased (0xFF) bytes around it.
    void expect_received_image() const {
        const Bytes received = read_file(scratch_.file("received.bin"));
        ASSERT_EQ(received.size(), kMemorySize);
        const Bytes& image = Images::get().bytes();
        const auto at = received.begin() + (kImageAddress - kMemoryAddress);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), at)) << "the received image differs";
        EXPECT_TRUE(std::all_of(received.begin(), at, [](uint8_t b) { return b == 0xFF; }));
        EXPECT_TRUE(std::all_of(at + static_cast<std::ptrdiff_t>(image.size()), received.end(),
                                [](uint8_t b) { return b == 0xFF; }));
    }

    Scratch scratch_;
};

struct Transfer {
    const char* format;   // the image file: "bin" (with --address), "hex" or "srec"
    uint32_t block_data;  // data bytes per TransferData (the ECU's maxNumberOfBlockLength - 2)
    friend void PrintTo(const Transfer& t, std::ostream* os) { *os << t.format << "_" << t.block_data; }
};

class FlashTransfer : public FlashE2e, public ::testing::WithParamInterface<Transfer> {};

TEST_P(FlashTransfer, ArrivesByteForByte) {
    const Transfer& t = GetParam();
    start_ecu([&](doip_tools::FlashEcuOptions& ecu) { ecu.max_block_length = t.block_data + 2; });
    const FlashSettings s = settings([&](FlashSettings& f) {
        f.image.path = Images::get().path(t.format);
        f.image.format = "auto";
        if (std::string(t.format) != "bin") {
            f.image.address.reset();
        }
    });
    FlashSummary summary;
    const RunResult r = flash(s, &summary);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(summary.ok);
    EXPECT_EQ(summary.bytes, kImageSize);
    EXPECT_EQ(summary.blocks, (kImageSize + t.block_data - 1) / t.block_data);
    EXPECT_EQ(summary.block_data_size, t.block_data);
    EXPECT_EQ(summary.retries, 0u);
    EXPECT_EQ(summary.crc32, doip_tools::crc32(Images::get().bytes().data(), kImageSize));
    expect_output(r.output, "100%");
    expect_received_image();
}

const Transfer kTransfers[] = {
    {"bin", 1024},  {"bin", 4096},  {"bin", 65536},   //
    {"hex", 1024},  {"hex", 4096},  {"hex", 65536},   //
    {"srec", 1024}, {"srec", 4096}, {"srec", 65536},  //
};
INSTANTIATE_TEST_SUITE_P(Formats, FlashTransfer, ::testing::ValuesIn(kTransfers),
                         ::testing::PrintToStringParamName());

// How a flash goes wrong, and how it must end.
struct Mishap {
    const char* name;
    std::function<void(doip_tools::FlashEcuOptions&)> ecu;
    std::function<void(FlashSettings&)> tester;
    int exit_code;
    const char* output;     // expect_output()
    uint64_t failed_block;  // 0: none, or not in a transfer
    uint32_t retries;
    uint32_t least_pending;  // response-pending answers followed, at least
    friend void PrintTo(const Mishap& m, std::ostream* os) { *os << m.name; }
};

class FlashMishap : public FlashE2e, public ::testing::WithParamInterface<Mishap> {};

// Blocks of 4 KiB (the ECU's default), so block N starts at kImageAddress + (N - 1) * 4096.
TEST_P(FlashMishap, EndsAsItShould) {
    const Mishap& m = GetParam();
    start_ecu(m.ecu);
    FlashSummary summary;
    const auto began = Clock::now();
    const RunResult r = flash(settings(m.tester), &summary, 1000);
    EXPECT_LT(Clock::now() - began, std::chrono::seconds(30));
    EXPECT_EQ(r.exit_code, m.exit_code) << r.output;
    expect_output(r.output, m.output);
    EXPECT_EQ(summary.ok, m.exit_code == 0) << r.output;
    EXPECT_EQ(summary.failed_block, m.failed_block) << r.output;
    if (m.failed_block != 0) {
        EXPECT_EQ(summary.failed_address, kImageAddress + (m.failed_block - 1) * 4096) << r.output;
    }
    EXPECT_EQ(summary.retries, m.retries) << r.output;
    EXPECT_GE(summary.pending, m.least_pending) << r.output;
    if (m.exit_code == 0) {
        expect_received_image();
    }
}

const Mishap kMishaps[] = {
    {"wrong_key",
     {},
     [](FlashSettings& s) { s.key_command = "cat >/dev/null; echo DEADBEEF"; },
     3,
     "0x35",
     0,
     0,
     0},
    {"key_program_fails",
     {},
     [](FlashSettings& s) { s.key_command = "cat >/dev/null; exit 4"; },
     1,
     "",
     0,
     0,
     0},
    {"no_programming_session",
     {},
     [](FlashSettings& s) {
         s.extended_session = 0;
         s.programming_session = 0;
         s.key_command.clear();
     },
     3,
     "0x22",
     0,
     0,
     0},
    {"locked", {}, [](FlashSettings& s) { s.key_command.clear(); }, 3, "0x33", 0, 0, 0},
    {"address_out_of_range",
     {},
     [](FlashSettings& s) { s.image.address = kMemorySize - 4096; },
     3,
     "0x31",
     0,
     0,
     0},
    {"counter_error",
     [](doip_tools::FlashEcuOptions& e) { e.counter_error_at_block = 5; },
     {},
     3,
     "0x73|block 5",
     5,
     0,
     0},
    {"programming_failure",
     [](doip_tools::FlashEcuOptions& e) { e.program_error_at_block = 9; },
     {},
     3,
     "0x72|block 9",
     9,
     0,
     0},
    {"response_lost_once",
     [](doip_tools::FlashEcuOptions& e) { e.lose_response_at_block = 3; },
     {},
     0,
     "block 3",
     0,
     1,
     0},
    {"long_erase", [](doip_tools::FlashEcuOptions& e) { e.erase_pending_ms = 2500; }, {}, 0, "", 0, 0, 2},
    {"connection_dropped",
     [](doip_tools::FlashEcuOptions& e) { e.drop_at_block = 7; },
     {},
     1,
     "block 7",
     7,
     0,
     0},
};
INSTANTIATE_TEST_SUITE_P(Cases, FlashMishap, ::testing::ValuesIn(kMishaps),
                         ::testing::PrintToStringParamName());

}  // namespace
}  // namespace doip_e2e
