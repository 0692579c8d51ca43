// The flash's requests and the reading of the ECU's answers, without a connection: field sizes, the
// download answer's length field, the block's data size and counter, the key command's output.
#include "flash_requests.h"

#include "e2e_support.h"

namespace doip_e2e {
namespace {

using namespace doip_tools;

// RequestDownload in every ALFID's field sizes; a value that does not fit, or an ALFID outside 1-4 per
// nibble, builds nothing.
TEST(FlashRequests, AddressAndSizeTakeTheAlfidsFieldSizes) {
    struct Row {
        uint8_t alfid;
        uint32_t address;
        uint64_t size;
        const char* request;  // empty: refused
    };
    const Row rows[] = {
        {0x44, 0x00010000, 0x186A0, "34 00 44 00 01 00 00 00 01 86 A0"},
        {0x11, 0xFF, 0xFF, "34 00 11 FF FF"},
        {0x11, 0x100, 1, ""},
        {0x11, 1, 0x100, ""},
        {0x24, 0x08000000, 0x8000, "34 00 24 08 00 00 00 80 00"},
        {0x33, 0xFFFFFF, 0xFFFFFF, "34 00 33 FF FF FF FF FF FF"},
        {0x33, 0x1000000, 1, ""},
        {0x42, 0xFFFF, 0xFFFFFFFF, "34 00 42 FF FF FF FF FF FF"},
        {0x44, 0, 0x100000000, ""},
        {0x45, 0, 1, ""},
        {0x04, 0, 1, ""},
        {0x50, 0, 1, ""},
    };
    for (const Row& row : rows) {
        std::vector<uint8_t> request = {0xAA};
        std::string error;
        const bool ok = download_request(0x00, row.alfid, row.address, row.size, &request, &error);
        EXPECT_EQ(ok, *row.request != '\0') << int(row.alfid) << " " << row.address << " " << row.size;
        EXPECT_EQ(request, ok ? hex(row.request) : Bytes{0xAA}) << int(row.alfid) << " " << error;
        EXPECT_EQ(error.empty(), ok) << error;
    }
    std::vector<uint8_t> erase;
    std::string error;
    ASSERT_TRUE(erase_request(0xFF00, 0x24, 0x1234, 0x10, &erase, &error));
    EXPECT_EQ(erase, hex("31 01 FF 00 24 00 00 12 34 00 10"));
    EXPECT_EQ(check_request(0xFF01, 0xCBF43926), hex("31 01 FF 01 CB F4 39 26"));
}

// 74 LFID maxNumberOfBlockLength: a length field of 1-4 bytes; cut short, of 0 or more bytes, or zero:
// an error.
TEST(FlashRequests, DownloadAnswerGivesMaxNumberOfBlockLength) {
    const std::pair<const char*, uint32_t> rows[] = {
        // 0: refused
        {"74 10 82", 0x82},
        {"74 20 10 02", 0x1002},
        {"74 30 01 00 02", 0x10002},
        {"74 40 00 10 00 02", 0x100002},
        {"74 40 FF FF FF FF", 0xFFFFFFFF},
        {"74 20 10 02 99", 0x1002},  // a byte more is not read
        {"74 20 10", 0},
        {"74 40 00 00 10", 0},
        {"74", 0},
        {"74 00 10 02", 0},
        {"74 50 00 00 00 10 02", 0},
        {"74 20 00 00", 0},
        {"74 10 00", 0},
    };
    for (const auto& [answer, expected] : rows) {
        uint32_t length = 7;
        std::string error;
        EXPECT_EQ(parse_download_answer(hex(answer), &length, &error), expected != 0) << answer;
        EXPECT_EQ(error.empty(), expected != 0) << answer << ": " << error;
        if (expected != 0) {
            EXPECT_EQ(length, expected) << answer;
        }
    }
}

// The data per block: maxNumberOfBlockLength less SID and counter, within the entity's max data size less
// the diagnostic header, SID and counter, and within --block-size; nothing when nothing fits. The counter
// of block n wraps from 0xFF to 0x00.
TEST(FlashRequests, BlockDataSizeAndCounter) {
    struct Row {
        uint32_t max_block_length, max_data_size, block_size, expected;
    };
    const Row rows[] = {
        {4098, 0, 0, 4096},
        {4098, 4096, 0, 4082},
        {4098, 4110, 0, 4096},
        {4098, 0, 1000, 1000},
        {4098, 4096, 5000, 4082},
        {100, 4096, 1000, 98},
        {3, 0, 0, 1},
        {2, 0, 0, 0},
        {0, 0, 0, 0},
        {4098, 14, 0, 0},
        {4098, 15, 0, 1},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(block_data_size(r.max_block_length, r.max_data_size, r.block_size), r.expected)
            << r.max_block_length << " " << r.max_data_size << " " << r.block_size;
    }
    const std::pair<uint64_t, uint8_t> counters[] = {
        {1, 0x01}, {255, 0xFF}, {256, 0x00}, {257, 0x01}, {512, 0x00}};
    for (const auto& [block, counter] : counters) {
        EXPECT_EQ(block_counter(block), counter) << block;
    }
    std::vector<uint8_t> request;
    const uint8_t data[] = {0xDE, 0xAD, 0xBE, 0xEF};
    fill_transfer_data(0x00, data, 4, &request);
    fill_transfer_data(0x01, data + 1, 2, &request);
    EXPECT_EQ(request, hex("36 01 AD BE"));
}

// What a key command prints: hex bytes, together or apart, with line ends; anything else is no key. The seed
// goes to it as one line of uppercase hex.
TEST(FlashRequests, KeyCommandOutput) {
    const std::pair<const char*, const char*> rows[] = {
        // nullptr: refused
        {"1A2B3C4D\n", "1A 2B 3C 4D"},
        {"1a 2b 3c 4d\r\n", "1A 2B 3C 4D"},
        {"  0102\n0304  ", "01 02 03 04"},
        {"", nullptr},
        {"\n", nullptr},
        {"12345\n", nullptr},
        {"1 2 3 4", nullptr},
        {"0x1234", nullptr},
        {"key: 1234", nullptr},
        {"12G4", nullptr},
    };
    for (const auto& [text, key] : rows) {
        std::vector<uint8_t> parsed = {0xEE};
        EXPECT_EQ(parse_key(text, &parsed), key != nullptr) << text;
        EXPECT_EQ(parsed, key != nullptr ? hex(key) : Bytes{0xEE}) << text;
    }
    const uint8_t seed[] = {0x0A, 0xBC, 0x00, 0xFF};
    EXPECT_EQ(seed_line(seed, 4), "0ABC00FF\n");
}

}  // namespace
}  // namespace doip_e2e
