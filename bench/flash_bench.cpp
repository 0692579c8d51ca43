// Flash programming throughput: doip-tester's flash (run_flash: library, socket layer, Session) against a raw
// client on a blocking TCP socket that sends the same TransferData requests with the same block size and
// reads each acknowledgement and response, both against the same in-process simulator with a flashable ECU,
// rounds alternating. The figure is the data rate from the first RequestDownload to the transfer exit (the
// span both sides time), in MiB/s, for a 16 MiB image in blocks of 1, 4 and 64 KiB; counters figure and
// floor (MiB/s) and ratio = figure / floor. Linux only.
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <fstream>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "bytes.h"
#include "flash.h"
#include "raw_client.h"
#include "session_support.h"

namespace {

using namespace doip_bench;  // NOLINT(google-build-using-namespace): the benchmarks' own helpers

bool g_smoke = false;

constexpr uint32_t kImageAddress = 0;
constexpr uint16_t kRawSource = 0x0E80;

uint32_t image_size() {
    return g_smoke ? 1u << 20 : 16u << 20;
}

// The random image as a raw binary file, written once per program run and removed at its end.
class ImageFile {
  public:
    static const ImageFile& get() {
        static const ImageFile file;
        return file;
    }
    const std::string& path() const { return path_; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    ~ImageFile() { std::filesystem::remove(path_); }

  private:
    ImageFile() : bytes_(image_size()) {
        std::mt19937 random(13400);
        for (uint8_t& b : bytes_) {
            b = static_cast<uint8_t>(random());
        }
        path_ = (std::filesystem::temp_directory_path() /
                 ("doip-flash-bench-" + std::to_string(getpid()) + ".bin"))
                    .string();
        std::ofstream out(path_, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()));
    }
    std::string path_;
    std::vector<uint8_t> bytes_;
};

std::unique_ptr<doip_tools::Simulator> flash_simulator(uint32_t block_data, std::string* error) {
    doip_tools::SimulatorOptions o;
    o.udp = false;
    o.flash.memory_address = kImageAddress;
    o.flash.memory_size = image_size();
    o.flash.max_block_length = block_data + 2;
    auto simulator = std::make_unique<doip_tools::Simulator>(o);
    return simulator->start(error) ? std::move(simulator) : nullptr;
}

// The simulator's documented test key.
uint32_t sim_key(uint32_t seed) {
    return (seed ^ 0xA5C30F96u) + 0x12345678u;
}

// A raw client's download: programming session, security access, erase (all untimed), then
// RequestDownload, the TransferData blocks and the transfer exit: their seconds, or a negative number on
// failure.
class RawFlasher {
  public:
    explicit RawFlasher(uint16_t port) : port_(port) {}

    double download(const std::vector<uint8_t>& image) {
        RawClient raw;
        if (!raw.connect(port_) || !raw.activate(kRawSource) || !ask(raw, {0x10, 0x02}, 0x50) ||
            !ask(raw, {0x27, 0x01}, 0x67) || raw.response_size() != 6) {
            return -1;
        }
        const uint32_t key = sim_key(doip_tools::load_be32(raw.response() + 2));
        std::vector<uint8_t> send_key = {0x27, 0x02, 0, 0, 0, 0};
        doip_tools::store_be32(send_key.data() + 2, key);
        const auto size = static_cast<uint32_t>(image.size());
        std::vector<uint8_t> erase = {0x31, 0x01, 0xFF, 0x00, 0x44, 0, 0, 0, 0, 0, 0, 0, 0};
        doip_tools::store_be32(erase.data() + 5, kImageAddress);
        doip_tools::store_be32(erase.data() + 9, size);
        if (!ask(raw, send_key, 0x67) || !ask(raw, erase, 0x71)) {
            return -1;
        }
        std::vector<uint8_t> download = {0x34, 0x00, 0x44, 0, 0, 0, 0, 0, 0, 0, 0};
        doip_tools::store_be32(download.data() + 3, kImageAddress);
        doip_tools::store_be32(download.data() + 7, size);
        const auto begin = Clock::now();
        if (!ask(raw, download, 0x74) || raw.response_size() < 3) {
            return -1;
        }
        const size_t length_bytes = raw.response()[1] >> 4;
        if (length_bytes < 1 || length_bytes > 4 || raw.response_size() < 2 + length_bytes) {
            return -1;
        }
        const uint32_t block_length = doip_tools::load_be(raw.response() + 2, length_bytes);
        if (block_length < 3) {
            return -1;
        }
        const size_t block_data = block_length - 2;
        uint8_t counter = 1;
        for (size_t at = 0; at < image.size(); at += block_data, ++counter) {
            const size_t n = std::min(block_data, image.size() - at);
            message_.resize(RawClient::kDiagnosticHeader + 2 + n);
            message_[RawClient::kDiagnosticHeader] = 0x36;
            message_[RawClient::kDiagnosticHeader + 1] = counter;
            std::memcpy(message_.data() + RawClient::kDiagnosticHeader + 2, image.data() + at, n);
            if (!raw.exchange(kRawSource, message_) || raw.response()[0] != 0x76) {
                return -1;
            }
        }
        if (!ask(raw, {0x37}, 0x77)) {
            return -1;
        }
        return seconds(Clock::now() - begin);
    }

  private:
    bool ask(RawClient& raw, const std::vector<uint8_t>& uds, uint8_t positive) {
        message_.resize(RawClient::kDiagnosticHeader);
        message_.insert(message_.end(), uds.begin(), uds.end());
        return raw.exchange(kRawSource, message_) && raw.response()[0] == positive;
    }

    uint16_t port_;
    std::vector<uint8_t> message_;
};

void BM_Flash_vs_RawClient(benchmark::State& state) {
    const auto block_data = static_cast<uint32_t>(state.range(0));
    const ImageFile& image = ImageFile::get();
    std::string error;
    const std::unique_ptr<doip_tools::Simulator> simulator = flash_simulator(block_data, &error);
    if (!simulator) {
        state.SkipWithError(("simulator: " + error).c_str());
        return;
    }
    doip_tools::TesterOptions options;
    options.port = simulator->port();
    doip_tools::FlashSettings settings;
    settings.image.path = image.path();
    settings.image.format = "binary";
    settings.image.address = kImageAddress;
    settings.key_command = DOIP_SIM_KEY_PATH;
    settings.reset = false;
    settings.progress = doip_tools::ProgressStyle::none;
    RawFlasher raw(simulator->port());
    std::ostream nowhere(nullptr);
    const double mib = static_cast<double>(image.bytes().size()) / (1 << 20);
    std::vector<double> figures;
    std::vector<double> floors;
    std::string failure;
    for (auto _ : state) {
        doip_tools::FlashSummary summary;
        if (doip_tools::run_flash(options, settings, nowhere, &summary) != 0 ||
            summary.transfer_seconds <= 0) {
            failure = "the flash failed: " + summary.error;
            break;
        }
        simulator->wait_for_open_connections(0, std::chrono::seconds(2));
        const double raw_seconds = raw.download(image.bytes());
        if (raw_seconds <= 0) {
            failure = "the raw client's download failed";
            break;
        }
        simulator->wait_for_open_connections(0, std::chrono::seconds(2));
        figures.push_back(mib / summary.transfer_seconds);
        floors.push_back(mib / raw_seconds);
        state.SetIterationTime(summary.transfer_seconds);
    }
    doip_tools::take_log_lines();
    if (!failure.empty()) {
        state.SkipWithError(failure.c_str());
        return;
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(image.bytes().size()));
    report_medians(state, figures, floors, "mib_per_s");
}

}  // namespace

int main(int argc, char** argv) {
    g_smoke = doip_bench::smoke_run(argc, argv);
    benchmark::RegisterBenchmark("BM_Flash_vs_RawClient", BM_Flash_vs_RawClient)
        ->ArgName("block")
        ->Arg(1024)
        ->Arg(4096)
        ->Arg(65536)
        ->Iterations(g_smoke ? 1 : 5)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    return doip_bench::run_registered(argc, argv);
}
