// The discovery and diagnostic request builders: message bytes from a context, zeroing of the whole
// capacity, and their order of checks.
#include "doip.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "codec/codec_test_support.h"

namespace {

using codec_test::Bytes;
using codec_test::hex;

const char kVin[] = "WVWZZZ1JZXW000001";
const unsigned char kEid[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const unsigned char kUds[2] = {0x10, 0x03};

using Build = std::function<int(const doip_s*, unsigned char*, unsigned int)>;

struct BuilderCase {
    std::string name;
    Build build;
    std::string expected;
};

doip_s fresh_context() {
    doip_s ctx;
    doip_init(&ctx);
    return ctx;
}

class RequestBuilders : public ::testing::TestWithParam<BuilderCase> {};

constexpr uint8_t kDirty = 0xEE;

TEST_P(RequestBuilders, WritesTheMessageAndZeroesTheRestOfTheCapacity) {
    const doip_s ctx = fresh_context();
    const Bytes expected = hex(GetParam().expected);
    codec_test::HeapBytes out(Bytes(expected.size() + 8, kDirty));
    ASSERT_EQ(GetParam().build(&ctx, out.data(), out.size()), DOIP_OK);
    EXPECT_EQ(out.bytes(), codec_test::concat(expected, Bytes(8, 0)));
}

TEST_P(RequestBuilders, ExactCapacityFits) {
    const doip_s ctx = fresh_context();
    const Bytes expected = hex(GetParam().expected);
    codec_test::HeapBytes out(Bytes(expected.size(), kDirty));
    ASSERT_EQ(GetParam().build(&ctx, out.data(), out.size()), DOIP_OK);
    EXPECT_EQ(out.bytes(), expected);
}

TEST_P(RequestBuilders, OneByteShortGivesMinus4WithTheCapacityZeroed) {
    const doip_s ctx = fresh_context();
    const size_t short_size = hex(GetParam().expected).size() - 1;
    codec_test::HeapBytes out(Bytes(short_size, kDirty));
    EXPECT_EQ(GetParam().build(&ctx, out.data(), out.size()), DOIP_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(out.bytes(), Bytes(short_size, 0));
}

TEST_P(RequestBuilders, NullOutputGivesMinus11) {
    const doip_s ctx = fresh_context();
    EXPECT_EQ(GetParam().build(&ctx, nullptr, 64), DOIP_ERR_NULL_OUTPUT);
}

TEST_P(RequestBuilders, NullContextGivesMinus9BeforeAnyOtherCheck) {
    codec_test::HeapBytes out(Bytes(4, kDirty));
    EXPECT_EQ(GetParam().build(nullptr, nullptr, 0), DOIP_ERR_INPUT_TOO_SHORT);
    EXPECT_EQ(GetParam().build(nullptr, out.data(), out.size()), DOIP_ERR_INPUT_TOO_SHORT);
    EXPECT_EQ(out.bytes(), Bytes(4, kDirty));
}

TEST_P(RequestBuilders, HeaderFollowsTheContextsProtocolVersion) {
    doip_s ctx = fresh_context();
    ctx.protocol_version = 3;
    Bytes out(hex(GetParam().expected).size());
    ASSERT_EQ(GetParam().build(&ctx, out.data(), static_cast<unsigned int>(out.size())), DOIP_OK);
    EXPECT_EQ(out[0], 0x03);
    EXPECT_EQ(out[1], 0xFC);
}

INSTANTIATE_TEST_SUITE_P(
    AllFour, RequestBuilders,
    ::testing::Values(BuilderCase{"VehicleId", doip_vid_request, "02 FD 00 01 00 00 00 00"},
                      BuilderCase{"VehicleIdWithEid",
                                  [](const doip_s* c, unsigned char* o, unsigned int n) {
                                      return doip_vid_eid_request(c, kEid, 6, o, n);
                                  },
                                  "02 FD 00 02 00 00 00 06 00 1A 2B 3C 4D 5E"},
                      // The count is not used: all 17 VIN bytes are read whatever it says.
                      BuilderCase{
                          "VehicleIdWithVin",
                          [](const doip_s* c, unsigned char* o, unsigned int n) {
                              return doip_vid_vin_request(c, kVin, 5, o, n);
                          },
                          "02 FD 00 03 00 00 00 11 57 56 57 5A 5A 5A 31 4A 5A 58 57 30 30 30 30 30 31"},
                      BuilderCase{"Diagnostic",
                                  [](const doip_s* c, unsigned char* o, unsigned int n) {
                                      return doip_diag_request(c, kUds, 2, o, n);
                                  },
                                  "02 FD 80 01 00 00 00 06 0E F5 0C E1 10 03"},
                      BuilderCase{"DiagnosticWithoutUds",
                                  [](const doip_s* c, unsigned char* o, unsigned int n) {
                                      return doip_diag_request(c, nullptr, 0, o, n);
                                  },
                                  "02 FD 80 01 00 00 00 04 0E F5 0C E1"}),
    [](const auto& info) { return info.param.name; });

TEST(RequestBuilderArguments, AddressesComeFromTheContext) {
    doip_s ctx = fresh_context();
    ctx.source_address = 0x0E80;
    ctx.target_address = 0x1FFF;
    unsigned char out[14];
    ASSERT_EQ(doip_diag_request(&ctx, kUds, 2, out, sizeof out), DOIP_OK);
    EXPECT_EQ(Bytes(out, out + 14), hex("02 FD 80 01 00 00 00 06 0E 80 1F FF 10 03"));
}

TEST(RequestBuilderArguments, NullIdentifierOrUdsGivesMinus29AndLeavesTheBufferAlone) {
    const doip_s ctx = fresh_context();
    Bytes out(32, kDirty);
    EXPECT_EQ(doip_vid_eid_request(&ctx, nullptr, 6, out.data(), 32), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_vid_vin_request(&ctx, nullptr, 17, out.data(), 32), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_diag_request(&ctx, nullptr, 2, out.data(), 32), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(out, Bytes(32, kDirty));
}

}  // namespace
