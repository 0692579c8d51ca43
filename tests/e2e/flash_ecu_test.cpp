// The simulator's flashable ECU: programming sequences straight into FlashEcu, its memory and out file,
// and the parts of its answers that only the entity puts on the wire (pending, delay, drop).
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "crc32.h"
#include "e2e_support.h"
#include "flash_ecu.h"
#include "scripted_peer.h"

namespace doip_e2e {
namespace {

using doip_tools::EcuAnswer;
using doip_tools::FlashEcu;
using doip_tools::FlashEcuOptions;

// Steps "request > expected" between '|'. In a request KEY is the key of the last seed (BADKEY a wrong
// one), CRC:hex the CRC-32 of those bytes and PAT:N of bytes 00 01 02 ... (N of them); "BLOCKS:N" alone
// sends N TransferData blocks of pattern bytes from counter 1, each as long as the block length allows,
// and expects each answered. Expected: the response's hex ('*' at the end: a prefix), "none" (handled, no
// response), "drop", or "table" (not handled); "pending=MS" and "delay=MS" after it, else both must be 0.
struct Row {
    const char* name;
    const char* steps;
    void (*tweak)(FlashEcuOptions&) = nullptr;
    const char* memory = "";  // "ADDRESS: hex" the memory holds afterwards
    friend void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }
};

#define UNLOCK "10 03 > 50 03 00 32 01 F4|10 02 > 50 02 00 32 01 F4|27 01 > 67 01 *|27 02 KEY > 67 02|"
#define ERASE "31 01 FF 00 22 10 00 01 00 > 71 01 FF 00 00|"
#define DOWNLOAD4 UNLOCK ERASE "34 00 22 10 10 00 04 > 74 20 10 02|"

const Row kRows[] = {
    {"HappyPathAndRepeatedBlock",
     DOWNLOAD4 "36 01 AA BB > 76 01|36 01 11 22 > 76 01|36 02 CC DD > 76 02|37 > 77|"
               "31 01 FF 01 CRC:AABBCCDD > 71 01 FF 01 00|31 01 FF 01 CRC:AABBCCDE > 71 01 FF 01 01",
     nullptr, "100F: FF AA BB CC DD FF"},
    {"CounterWrapsPastFF",
     UNLOCK
     "31 01 FF 00 22 10 00 02 00 > 71 01 FF 00 00|34 00 22 10 00 01 04 > 74 20 00 03|BLOCKS:260|"
     "36 05 00 > 7F 36 71|36 07 00 > 7F 36 73|36 04 00 > 76 04|37 > 77|31 01 FF 01 PAT:260 > 71 01 FF 01 00",
     [](FlashEcuOptions& o) {
         o.max_block_length = 3;
         o.memory_size = 0x200;
     },
     "10FE: FE FF 00 01 02"},
    {"BlockLengthAboveFFFF", UNLOCK ERASE "34 00 22 10 00 00 10 > 74 40 00 01 11 70",
     [](FlashEcuOptions& o) { o.max_block_length = 70000; }},
    {"Nrc13Length",
     "10 > 7F 10 13|10 03 00 > 7F 10 13|11 01 00 > 7F 11 13|27 > 7F 27 13|27 01 00 > 7F 27 13|"
     "31 01 FF > 7F 31 13|" UNLOCK "31 01 FF 00 22 10 00 01 > 7F 31 13|31 01 FF 01 00 > 7F 31 13|" ERASE
     "34 00 > 7F 34 13|34 00 22 10 00 00 04 00 > 7F 34 13|34 00 22 10 00 00 04 > 74 20 00 04|"
     "36 > 7F 36 13|36 01 AA BB CC > 7F 36 13|36 01 AA BB > 76 01",
     [](FlashEcuOptions& o) { o.max_block_length = 4; }},
    {"Nrc22Conditions",
     "27 01 > 7F 27 22|27 02 00 00 00 00 > 7F 27 22|10 03 > 50 03 *|27 01 > 67 01 *|27 02 KEY > 67 02|"
     "31 01 FF 00 22 10 00 01 00 > 7F 31 22|"
     "34 00 22 10 00 00 04 > 7F 34 22|" DOWNLOAD4 "34 00 22 10 10 00 04 > 7F 34 22|"
     "31 01 FF 00 22 10 00 01 00 > 7F 31 22"},
    {"Nrc24Sequence",
     "36 01 AA > 7F 36 24|37 > 7F 37 24|31 01 FF 01 00 00 00 00 > 7F 31 24|10 03 > 50 03 *|"
     "27 02 00 00 00 00 > 7F 27 24|" DOWNLOAD4
     "36 01 AA BB > 76 01|37 > 7F 37 24|36 02 CC DD > 76 02|37 > 77|"
     "37 > 7F 37 24|" ERASE
     "31 01 FF 01 CRC:AABBCCDD > 7F 31 24|34 00 22 10 10 00 02 > 74 20 10 02|36 01 11 22 > 76 01|37 > 77|"
     "31 01 FF 01 CRC:1122 > 71 01 FF 01 00"},
    {"Nrc31OutOfRange",
     "31 01 12 34 > 7F 31 31|31 02 FF 00 > 7F 31 31|" UNLOCK "31 01 FF 00 22 11 00 00 01 > 7F 31 31|"
     "31 01 FF 00 22 0F FF 00 01 > 7F 31 31|31 01 FF 00 50 10 00 00 00 00 > 7F 31 31|" ERASE
     "34 11 22 10 00 00 04 > 7F 34 31|34 00 22 10 00 00 00 > 7F 34 31|34 00 22 10 FF 00 02 > 7F 34 31|"
     "34 00 05 10 00 00 00 00 > 7F 34 31|34 00 44 00 00 10 00 00 00 00 04 > 74 20 10 02"},
    {"Nrc33Locked",
     "10 02 > 50 02 *|31 01 FF 00 22 10 00 01 00 > 7F 31 33|34 00 22 10 00 00 04 > 7F 34 33|27 01 > 67 01 *|"
     "34 00 22 10 00 00 04 > 7F 34 33|27 02 KEY > 67 02|27 01 > 67 01 00 00 00 00|10 02 > 50 02 *|"
     "31 01 FF 00 22 10 00 01 00 > 7F 31 33"},
    {"Nrc35To37WrongKeys",
     "10 03 > 50 03 *|27 01 > 67 01 *|27 02 BADKEY > 7F 27 35|27 02 KEY > 7F 27 24|27 01 > 67 01 *|"
     "27 02 BADKEY > 7F 27 35|27 01 > 67 01 *|27 02 BADKEY > 7F 27 36|27 01 > 7F 27 37|"
     "27 02 00 00 00 00 > 7F 27 24"},
    {"Nrc70NotErased", UNLOCK "34 00 22 10 00 00 04 > 7F 34 70|31 01 FF 00 22 10 00 00 10 > 71 01 FF 00 00|"
                              "34 00 22 10 08 00 10 > 7F 34 70|31 01 FF 00 22 10 10 00 10 > 71 01 FF 00 00|"
                              "34 00 22 10 08 00 10 > 74 20 10 02|11 01 > 51 01|36 01 AA > 7F 36 24|" UNLOCK
                              "34 00 22 10 00 00 04 > 7F 34 70"},
    {"Nrc71And73Blocks",
     DOWNLOAD4 "36 01 AA BB CC DD EE > 7F 36 71|36 02 AA > 7F 36 73|36 01 AA BB CC > 76 01|36 00 > 7F 36 73|"
               "36 01 00 > 76 01|36 02 DD EE > 7F 36 71|36 02 DD > 76 02",
     nullptr, "1010: AA BB CC DD"},
    {"OtherSecurityLevel", "10 03 > 50 03 *|27 01 > table|27 05 > 67 05 *|27 06 KEY > 67 06",
     [](FlashEcuOptions& o) { o.security_level = 0x05; }},
    {"TableServices", "22 F1 90 > table|3E 00 > table|10 04 > table|10 81 > table|11 03 > table|3E > table"},
    {"LostResponse", DOWNLOAD4 "36 01 AA BB > 76 01|36 02 CC DD > none|36 02 EE FF > 76 02|37 > 77",
     [](FlashEcuOptions& o) { o.lose_response_at_block = 2; }, "1010: AA BB CC DD"},
    {"DroppedBlock", DOWNLOAD4 "36 01 AA BB > 76 01|36 02 CC DD > drop|36 02 EE FF > 76 02|37 > 77",
     [](FlashEcuOptions& o) { o.drop_at_block = 2; }, "1010: AA BB EE FF"},
    {"CounterError", DOWNLOAD4 "36 01 AA BB > 7F 36 73|36 01 AA BB > 76 01|36 02 CC DD > 76 02",
     [](FlashEcuOptions& o) { o.counter_error_at_block = 1; }, "1010: AA BB CC DD"},
    {"ProgramError", DOWNLOAD4 "36 01 AA BB > 76 01|36 02 CC DD > 7F 36 72|36 02 CC DD > 76 02",
     [](FlashEcuOptions& o) { o.program_error_at_block = 2; }, "1010: AA BB CC DD"},
    {"ErasePendingAndLatency",
     UNLOCK "31 01 FF 00 22 10 00 01 00 > 71 01 FF 00 00 pending=2500|34 00 22 10 10 00 04 > 74 20 10 02|"
            "36 01 AA BB CC DD > 76 01 delay=30|36 07 > 7F 36 73 delay=30|37 > 77",
     [](FlashEcuOptions& o) {
         o.erase_pending_ms = 2500;
         o.latency_ms = 30;
     }},
};

std::string trim(const std::string& text) {
    const size_t begin = text.find_first_not_of(' ');
    return begin == std::string::npos ? "" : text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

std::string hex_of(uint32_t value) {
    char text[12];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

Bytes pattern(size_t count) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    return bytes;
}

// The number after `name` in `text`, taken out of it; 0 without one.
uint32_t take_number(std::string* text, const std::string& name) {
    const size_t at = text->find(name);
    if (at == std::string::npos) {
        return 0;
    }
    size_t digits = 0;
    const auto n = static_cast<uint32_t>(std::stoul(text->substr(at + name.size()), &digits));
    text->erase(at, name.size() + digits);
    *text = trim(*text);
    return n;
}

// Runs a row's steps on `ecu`.
class Runner {
  public:
    Runner(FlashEcu& ecu, const FlashEcuOptions& options) : ecu_(ecu), options_(options) {}

    void run(const std::string& steps) {
        for (const std::string& step : split(steps)) {
            const size_t arrow = step.find('>');
            if (step.rfind("BLOCKS:", 0) == 0) {
                blocks(std::stoul(step.substr(7)));
            } else {
                check(request(trim(step.substr(0, arrow))), trim(step.substr(arrow + 1)), step);
            }
        }
    }

  private:
    Bytes request(const std::string& text) {
        std::istringstream tokens(text);
        std::string out;
        for (std::string t; tokens >> t;) {
            const uint32_t key = (seed_ ^ 0xA5C30F96u) + 0x12345678u;
            if (t == "KEY" || t == "BADKEY") {
                t = hex_of(t == "KEY" ? key : key ^ 1);
            } else if (t.rfind("CRC:", 0) == 0) {
                const Bytes data = hex(t.substr(4));
                t = hex_of(doip_tools::crc32(data.data(), data.size()));
            } else if (t.rfind("PAT:", 0) == 0) {
                const Bytes data = pattern(std::stoul(t.substr(4)));
                t = hex_of(doip_tools::crc32(data.data(), data.size()));
            }
            out += t + " ";
        }
        return hex(out);
    }

    void check(const Bytes& request, std::string expected, const std::string& step) {
        SCOPED_TRACE(step);
        const EcuAnswer a = ecu_.answer(request);
        const uint32_t pending = take_number(&expected, "pending=");
        const uint32_t delay = take_number(&expected, "delay=");
        if (expected == "table") {
            EXPECT_FALSE(a.handled);
            return;
        }
        ASSERT_TRUE(a.handled);
        EXPECT_EQ(a.pending_ms, pending);
        EXPECT_EQ(a.delay_ms, delay);
        EXPECT_EQ(a.drop_connection, expected == "drop");
        if (expected == "none" || expected == "drop") {
            EXPECT_TRUE(a.response.empty()) << doip_tools::hex_bytes(a.response);
            return;
        }
        const bool prefix = expected.back() == '*';
        const Bytes want = hex(prefix ? expected.substr(0, expected.size() - 1) : expected);
        Bytes got = a.response;
        got.resize(prefix ? std::min(want.size(), got.size()) : got.size());
        EXPECT_EQ(doip_tools::hex_bytes(got), doip_tools::hex_bytes(want));
        if (a.response.size() == 6 && a.response[0] == 0x67 && doip_tools::load_be32(&a.response[2]) != 0) {
            seed_ = doip_tools::load_be32(&a.response[2]);
        }
    }

    void blocks(size_t count) {
        const size_t room = options_.max_block_length - 2;
        const Bytes data = pattern(count * room);
        for (size_t i = 0; i < count; ++i) {
            Bytes request = {0x36, static_cast<uint8_t>(i + 1)};
            request.insert(request.end(), data.begin() + i * room, data.begin() + (i + 1) * room);
            const EcuAnswer a = ecu_.answer(request);
            ASSERT_EQ(a.response, (Bytes{0x76, request[1]})) << "block " << i + 1;
        }
    }

    FlashEcu& ecu_;
    const FlashEcuOptions& options_;
    uint32_t seed_ = 0;
};

FlashEcuOptions options_of(const Row& row) {
    FlashEcuOptions options;
    options.memory_size = 0x100;
    options.memory_address = 0x1000;
    if (row.tweak != nullptr) {
        row.tweak(options);
    }
    return options;
}

class FlashSequence : public ::testing::TestWithParam<Row> {};

TEST_P(FlashSequence, AnswersEachStepAsTheBootloaderMust) {
    const FlashEcuOptions options = options_of(GetParam());
    FlashEcu ecu(options);
    Runner(ecu, options).run(GetParam().steps);
    const std::string memory = GetParam().memory;
    if (!memory.empty()) {
        const Bytes want = hex(memory.substr(memory.find(':') + 1));
        Bytes got;
        ASSERT_TRUE(ecu.read(static_cast<uint32_t>(std::stoul(memory, nullptr, 16)),
                             static_cast<uint32_t>(want.size()), &got));
        EXPECT_EQ(doip_tools::hex_bytes(got), doip_tools::hex_bytes(want));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, FlashSequence, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

// The out file holds the whole memory, the downloaded bytes at their place; outside the memory read()
// refuses, and an out file that cannot be written is an error.
TEST(FlashEcuOut, WritesTheWholeMemoryAtTransferExit) {
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() /
        ("doip-flash-out-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".bin");
    FlashEcuOptions options = options_of(kRows[0]);
    options.out_file = file.string();
    FlashEcu ecu(options);
    Runner(ecu, options).run(kRows[0].steps);
    std::ifstream in(file, std::ios::binary);
    const Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Bytes want(0x100, 0xFF);
    std::copy_n(hex("AA BB CC DD").begin(), 4, want.begin() + 0x10);
    EXPECT_EQ(image, want);
    in.close();
    std::filesystem::remove(file);
    Bytes out;
    EXPECT_FALSE(ecu.read(0x0FFF, 2, &out));
    EXPECT_FALSE(ecu.read(0x10FF, 2, &out));
    options.out_file = (file / "no" / "such.bin").string();
    std::string error;
    EXPECT_FALSE(FlashEcu(options).write_out(&error));
    EXPECT_FALSE(error.empty());
}

// Routing activation, programming session and security access on a fresh link to `simulator`.
void unlock(ScriptedPeer::Link& link) {
    ASSERT_TRUE(link.write(activation_request("F5")));
    ASSERT_EQ(link.read(), hex(activation_response("F5", 0x10)));
    uint32_t seed = 0;
    for (const char* uds : {"10 02", "27 01"}) {
        ASSERT_TRUE(link.write(diag(kTester, kEntity, hex(uds))));
        ASSERT_EQ(link.read(), ack(kEntity));
        const Bytes response = link.read();
        seed = response.size() == 18 ? doip_tools::load_be32(&response[14]) : seed;
    }
    ASSERT_TRUE(
        link.write(diag(kTester, kEntity, hex("27 02 " + hex_of((seed ^ 0xA5C30F96u) + 0x12345678u)))));
    ASSERT_EQ(link.read(), ack(kEntity));
    ASSERT_EQ(link.read(), diag(kEntity, "67 02"));
}

// Sends `uds` and expects the ACK and then each of `responses`; returns how long the last one took.
Clock::duration exchange(ScriptedPeer::Link& link, const Bytes& uds,
                         const std::vector<std::string>& responses) {
    const auto start = Clock::now();
    EXPECT_TRUE(link.write(diag(kTester, kEntity, uds)));
    EXPECT_EQ(link.read(), ack(kEntity));
    for (const std::string& response : responses) {
        EXPECT_EQ(link.read(), diag(kEntity, response)) << response;
    }
    return Clock::now() - start;
}

// On the wire: the ACK and response-pending answers go out while the erase goes on, the final answer when
// it is over; a block of the block length is admitted and answered late; a dropped block closes the
// connection after its ACK; stop() ends a wait at once.
TEST(FlashEcuWire, PendingDelayDropAndStopReachTheConnection) {
    doip_tools::SimulatorOptions options;
    options.flash.memory_size = 0x2000;
    options.flash.memory_address = 0x1000;
    options.flash.max_block_length = 8000;  // above the default max request size
    options.flash.erase_pending_ms = 1500;
    options.flash.latency_ms = 300;
    options.flash.drop_at_block = 2;
    auto simulator = std::make_unique<doip_tools::Simulator>(options);
    std::string error;
    ASSERT_TRUE(simulator->start(&error)) << error;
    {
        ScriptedPeer::Link link(simulator->port());
        unlock(link);
        const Bytes erase = hex("31 01 FF 00 22 10 00 20 00");
        EXPECT_GE(exchange(link, erase, {"7F 31 78", "7F 31 78", "71 01 FF 00 00"}),
                  std::chrono::milliseconds(1400));
        exchange(link, hex("34 00 22 10 00 1F 3E"), {"74 20 1F 40"});
        Bytes block = {0x36, 0x01};
        block.resize(8000, 0x5A);
        EXPECT_GE(exchange(link, block, {"76 01"}), std::chrono::milliseconds(250));
        exchange(link, hex("36 02 00"), {});
        EXPECT_TRUE(link.closed());
    }
    simulator->stop();
    options.flash.erase_pending_ms = 600000;
    simulator = std::make_unique<doip_tools::Simulator>(options);
    ASSERT_TRUE(simulator->start(&error)) << error;
    ScriptedPeer::Link link(simulator->port());
    unlock(link);
    exchange(link, hex("31 01 FF 00 22 10 00 00 10"), {"7F 31 78"});
    const auto start = Clock::now();
    simulator->stop();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    EXPECT_TRUE(link.closed());
}

}  // namespace
}  // namespace doip_e2e
