#include "doip.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace {

std::vector<uint8_t> header_bytes(uint8_t version, uint8_t inverse, uint16_t type, uint32_t length) {
    return {version,
            inverse,
            static_cast<uint8_t>(type >> 8),
            static_cast<uint8_t>(type),
            static_cast<uint8_t>(length >> 24),
            static_cast<uint8_t>(length >> 16),
            static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length)};
}

// A record whose fields are recognisable, to show that a failing check writes nothing.
doip_package_s sentinel() {
    return doip_package_s{0xAA, 0xBB, 0xCCDD, 0x11223344};
}

void expect_sentinel(const doip_package_s& p) {
    EXPECT_EQ(p.protocol_version, 0xAA);
    EXPECT_EQ(p.inverse_protocol_version, 0xBB);
    EXPECT_EQ(p.payload_type, 0xCCDD);
    EXPECT_EQ(p.payload_length, 0x11223344u);
}

TEST(HeaderCheckOrder, LengthIsTestedBeforeTheBufferPointer) {
    doip_package_s out = sentinel();
    EXPECT_EQ(doip_deserialize(nullptr, 0, &out), DOIP_ERR_INCOMPLETE_MESSAGE);
    EXPECT_EQ(doip_deserialize(nullptr, 7, &out), DOIP_ERR_INCOMPLETE_MESSAGE);
    expect_sentinel(out);
}

TEST(HeaderCheckOrder, NullBufferThenNullRecordThenVersionThenTypeThenLength) {
    const auto bad_everything = header_bytes(0x02, 0xFC, 0x0009, 100);
    EXPECT_EQ(doip_deserialize(nullptr, 8, nullptr), DOIP_ERR_NULL_INPUT);
    EXPECT_EQ(doip_deserialize(bad_everything.data(), 8, nullptr), DOIP_ERR_NULL_RECORD);
    doip_package_s out = sentinel();
    EXPECT_EQ(doip_deserialize(bad_everything.data(), 8, &out), DOIP_ERR_BAD_PROTOCOL_VERSION);
    const auto bad_type_and_length = header_bytes(0x02, 0xFD, 0x0009, 100);
    EXPECT_EQ(doip_deserialize(bad_type_and_length.data(), 8, &out), DOIP_ERR_UNKNOWN_PAYLOAD_TYPE);
    const auto bad_length = header_bytes(0x02, 0xFD, 0x0001, 100);
    EXPECT_EQ(doip_deserialize(bad_length.data(), 8, &out), DOIP_ERR_INCOMPLETE_MESSAGE);
    expect_sentinel(out);
}

struct VersionCase {
    uint8_t version;
    uint8_t inverse;
    int expected;
};

class HeaderCheckVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(HeaderCheckVersion, InverseMustBeTheComplementWhateverTheVersion) {
    const VersionCase c = GetParam();
    const auto bytes = header_bytes(c.version, c.inverse, DOIP_PT_ALIVE_CHECK_REQUEST, 0);
    doip_package_s out = sentinel();
    EXPECT_EQ(doip_deserialize(bytes.data(), static_cast<unsigned>(bytes.size()), &out), c.expected);
    if (c.expected == DOIP_OK) {
        EXPECT_EQ(out.protocol_version, c.version);
        EXPECT_EQ(out.inverse_protocol_version, c.inverse);
    } else {
        expect_sentinel(out);
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, HeaderCheckVersion,
                         ::testing::Values(VersionCase{0x02, 0xFD, DOIP_OK}, VersionCase{0xFF, 0x00, DOIP_OK},
                                           VersionCase{0x03, 0xFC, DOIP_OK}, VersionCase{0x00, 0xFF, DOIP_OK},
                                           VersionCase{0x02, 0xFC, DOIP_ERR_BAD_PROTOCOL_VERSION},
                                           VersionCase{0x02, 0x02, DOIP_ERR_BAD_PROTOCOL_VERSION},
                                           VersionCase{0x00, 0x00, DOIP_ERR_BAD_PROTOCOL_VERSION}));

struct TypeCase {
    uint16_t type;
    bool accepted;
};

class HeaderCheckPayloadType : public ::testing::TestWithParam<TypeCase> {};

TEST_P(HeaderCheckPayloadType, AcceptsExactlyTheKnownTypesAndTheManufacturerRange) {
    const TypeCase c = GetParam();
    const auto bytes = header_bytes(0x02, 0xFD, c.type, 0);
    doip_package_s out = sentinel();
    const int rc = doip_deserialize(bytes.data(), static_cast<unsigned>(bytes.size()), &out);
    if (c.accepted) {
        EXPECT_EQ(rc, DOIP_OK) << std::hex << c.type;
        EXPECT_EQ(out.payload_type, c.type);
    } else {
        EXPECT_EQ(rc, DOIP_ERR_UNKNOWN_PAYLOAD_TYPE) << std::hex << c.type;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, HeaderCheckPayloadType,
    ::testing::Values(TypeCase{0x0000, true}, TypeCase{0x0001, true}, TypeCase{0x0004, true},
                      TypeCase{0x0006, true}, TypeCase{0x0008, true}, TypeCase{0x0009, false},
                      TypeCase{0x00FF, false}, TypeCase{0x4000, false}, TypeCase{0x4001, true},
                      TypeCase{0x4004, true}, TypeCase{0x4005, false}, TypeCase{0x8000, false},
                      TypeCase{0x8001, true}, TypeCase{0x8003, true}, TypeCase{0x8004, false},
                      TypeCase{0xEFFF, false}, TypeCase{0xF000, true}, TypeCase{0xFFFF, true}));

TEST(HeaderCheckLength, ExactLengthIsAcceptedOneByteLessIsIncomplete) {
    auto bytes = header_bytes(0x02, 0xFD, DOIP_PT_DIAG_MSG, 7);
    bytes.resize(15, 0x55);
    doip_package_s out{};
    // Exact-size heap copies so a read past the count would be caught by AddressSanitizer.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[15]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    EXPECT_EQ(doip_deserialize(exact.get(), 15, &out), DOIP_OK);
    EXPECT_EQ(out.payload_length, 7u);
    std::unique_ptr<uint8_t[]> short_copy(new uint8_t[14]);
    std::copy(bytes.begin(), bytes.begin() + 14, short_copy.get());
    doip_package_s untouched = sentinel();
    EXPECT_EQ(doip_deserialize(short_copy.get(), 14, &untouched), DOIP_ERR_INCOMPLETE_MESSAGE);
    expect_sentinel(untouched);
}

TEST(HeaderCheckLength, ExtraBytesAfterThePayloadAreIgnored) {
    auto bytes = header_bytes(0x02, 0xFD, DOIP_PT_ALIVE_CHECK_RESPONSE, 2);
    bytes.resize(64, 0x00);
    doip_package_s out{};
    EXPECT_EQ(doip_deserialize(bytes.data(), static_cast<unsigned>(bytes.size()), &out), DOIP_OK);
    EXPECT_EQ(out.payload_length, 2u);
}

TEST(HeaderCheckLength, HugeAnnouncedLengthDoesNotWrapAround) {
    const auto bytes = header_bytes(0x02, 0xFD, DOIP_PT_DIAG_MSG, 0xFFFFFFFFu);
    doip_package_s out = sentinel();
    EXPECT_EQ(doip_deserialize(bytes.data(), static_cast<unsigned>(bytes.size()), &out),
              DOIP_ERR_INCOMPLETE_MESSAGE);
    expect_sentinel(out);
}

TEST(HeaderCheckFields, MultiByteFieldsAreReadBigEndian) {
    auto bytes = header_bytes(0x03, 0xFC, 0xF123, 0x00000102);
    bytes.resize(8 + 0x102, 0);
    doip_package_s out{};
    ASSERT_EQ(doip_deserialize(bytes.data(), static_cast<unsigned>(bytes.size()), &out), DOIP_OK);
    EXPECT_EQ(out.payload_type, 0xF123);
    EXPECT_EQ(out.payload_length, 0x102u);
}

}  // namespace
