// The discovery and diagnostic request builders: message bytes from a context, zeroing of the whole
// capacity, and their order of checks.
#include "doip.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "codec/codec_test_support.h"

namespace {

using namespace codec_test;

const unsigned char kUds[2] = {0x10, 0x03};
constexpr uint8_t kDirty = 0xEE;

struct BuilderCase {
    std::string name;
    std::function<int(const doip_s*, unsigned char*, unsigned int)> build;
    std::string expected;  // from a context fresh from doip_init
};

doip_s fresh_context() {
    doip_s ctx;
    doip_init(&ctx);
    return ctx;
}

class RequestBuilders : public ::testing::TestWithParam<BuilderCase> {};

// Bytes past the message, and the whole buffer when it is too small, are zeroed.
TEST_P(RequestBuilders, LargerExactAndOneByteShortCapacities) {
    const doip_s ctx = fresh_context();
    const Bytes message = hex(GetParam().expected);
    for (size_t capacity : {message.size() + 8, message.size(), message.size() - 1}) {
        SCOPED_TRACE(capacity);
        const bool fits = capacity >= message.size();
        Bytes written = fits ? message : Bytes();
        written.resize(capacity, 0);
        HeapBytes out(Bytes(capacity, kDirty));
        EXPECT_EQ(GetParam().build(&ctx, out.data(), out.size()), fits ? DOIP_OK : DOIP_ERR_BUFFER_TOO_SMALL);
        EXPECT_EQ(out.bytes(), written);
    }
}

TEST_P(RequestBuilders, NullContextGivesMinus9ThenNullOutputGivesMinus11) {
    const doip_s ctx = fresh_context();
    HeapBytes out(Bytes(4, kDirty));
    EXPECT_EQ(GetParam().build(nullptr, nullptr, 0), DOIP_ERR_INPUT_TOO_SHORT);
    EXPECT_EQ(GetParam().build(nullptr, out.data(), out.size()), DOIP_ERR_INPUT_TOO_SHORT);
    EXPECT_EQ(out.bytes(), Bytes(4, kDirty));
    EXPECT_EQ(GetParam().build(&ctx, nullptr, 64), DOIP_ERR_NULL_OUTPUT);
}

TEST_P(RequestBuilders, VersionAndAddressesComeFromTheContext) {
    doip_s ctx = fresh_context();
    ctx.protocol_version = 3;
    ctx.source_address = 0x0E80;
    ctx.target_address = 0x1FFF;
    std::string expected = "03 FC" + GetParam().expected.substr(5);
    if (const size_t at = expected.find("0E F5 0C E1"); at != std::string::npos) {
        expected.replace(at, 11, "0E 80 1F FF");
    }
    HeapBytes out(hex(expected));
    ASSERT_EQ(GetParam().build(&ctx, out.data(), out.size()), DOIP_OK);
    EXPECT_EQ(out.bytes(), hex(expected));
}

INSTANTIATE_TEST_SUITE_P(
    AllFour, RequestBuilders,
    ::testing::ValuesIn(std::vector<BuilderCase>{
        {"VehicleId", doip_vid_request, "02 FD 00 01 00 00 00 00"},
        {"VehicleIdWithEid", [](auto c, auto o, auto n) { return doip_vid_eid_request(c, kEid, 6, o, n); },
         "02 FD 00 02 00 00 00 06 00 1A 2B 3C 4D 5E"},
        // The count is not used: all 17 VIN bytes are read whatever it says.
        {"VehicleIdWithVin", [](auto c, auto o, auto n) { return doip_vid_vin_request(c, kVin, 5, o, n); },
         "02 FD 00 03 00 00 00 11 " + kVinHex},
        {"Diagnostic", [](auto c, auto o, auto n) { return doip_diag_request(c, kUds, 2, o, n); },
         "02 FD 80 01 00 00 00 06 0E F5 0C E1 10 03"},
        {"DiagnosticWithoutUds",
         [](auto c, auto o, auto n) { return doip_diag_request(c, nullptr, 0, o, n); },
         "02 FD 80 01 00 00 00 04 0E F5 0C E1"}}),
    [](const auto& info) { return info.param.name; });

TEST(RequestBuilderArguments, NullIdentifierOrUdsGivesMinus29AndLeavesTheBufferAlone) {
    const doip_s ctx = fresh_context();
    Bytes out(32, kDirty);
    EXPECT_EQ(doip_vid_eid_request(&ctx, nullptr, 6, out.data(), 32), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_vid_vin_request(&ctx, nullptr, 17, out.data(), 32), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_diag_request(&ctx, nullptr, 2, out.data(), 32), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(out, Bytes(32, kDirty));
}

}  // namespace
