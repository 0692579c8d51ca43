// Every message vector: the encoder writes exactly its bytes, needs exactly its capacity and writes nothing
// when it fails; the decoder gives back the record that was built; and every prefix of the message, in a
// heap block of exactly its size, goes through every decoder, parser and tool with a known result and no
// access outside the input or the record (AddressSanitizer), the parsers agreeing with the decoders.
#include "doip.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "codec/message_vectors.h"

namespace {

using namespace codec_test;

constexpr uint8_t kUntouched = 0xEE;

class MessageVectors : public ::testing::TestWithParam<Vector> {};

TEST_P(MessageVectors, ExactCapacityGivesTheMessageAndNothingMore) {
    Block record = GetParam().build(kAddressing);
    Bytes want = hex(GetParam().message);
    want.resize(GetParam().capacity, kUntouched);
    HeapBytes out(Bytes(GetParam().capacity, kUntouched));
    ASSERT_EQ(GetParam().encode(&record, out.data(), out.size()), DOIP_OK);
    EXPECT_EQ(out.bytes(), want);
}

TEST_P(MessageVectors, VersionComesFromTheAddressingBlock) {
    Block record = GetParam().build({0x0EF5, 0xE001, 0x0CE1, 3});
    HeapBytes out(Bytes(GetParam().capacity));
    ASSERT_EQ(GetParam().encode(&record, out.data(), out.size()), DOIP_OK);
    EXPECT_EQ(Bytes(out.data(), out.data() + 2), hex("03 FC"));
}

// Also when the header announces fewer bytes than the fields hold: the capacity test does not trust it.
TEST_P(MessageVectors, OneByteShortGivesMinus4AndWritesNothing) {
    Block record = GetParam().build(kAddressing);
    const uint32_t announced = record.as<doip_package_s>()->payload_length;
    for (uint32_t payload_length : {announced, 0u}) {
        record.as<doip_package_s>()->payload_length = payload_length;
        const Bytes untouched(GetParam().capacity - 1, kUntouched);
        HeapBytes out(untouched);
        EXPECT_EQ(GetParam().encode(&record, out.data(), out.size()), DOIP_ERR_BUFFER_TOO_SMALL);
        EXPECT_EQ(out.bytes(), untouched);
        HeapBytes exact(Bytes(GetParam().capacity));
        EXPECT_EQ(GetParam().encode(&record, exact.data(), exact.size()), DOIP_OK);
    }
}

// The _init function tests the addressing block, then the record (before null pointer arguments too); the
// encoder tests the record, then the output buffer, then the capacity.
TEST_P(MessageVectors, ArgumentChecksRunInOrder) {
    Block record = GetParam().build(kAddressing);
    EXPECT_EQ(GetParam().init_into_null(nullptr), DOIP_ERR_NULL_ADDRESSING);
    EXPECT_EQ(GetParam().init_into_null(&kAddressing), DOIP_ERR_NULL_RECORD);
    EXPECT_EQ(GetParam().encode(nullptr, nullptr, 0), DOIP_ERR_NULL_RECORD);
    EXPECT_EQ(GetParam().encode(&record, nullptr, 0), DOIP_ERR_NULL_OUTPUT);
}

TEST_P(MessageVectors, DecodingGivesBackTheBuiltRecord) {
    HeapBytes message(hex(GetParam().message));
    Block decoded;
    ASSERT_EQ(GetParam().decode(message.data(), message.size(), &decoded), DOIP_OK);
    EXPECT_TRUE(decoded == GetParam().build(kAddressing));
}

TEST_P(MessageVectors, HeaderCheckFailureLeavesTheRecordUntouched) {
    for (const auto& [offset, value, expected] : {std::tuple{1, 0xFC, DOIP_ERR_BAD_PROTOCOL_VERSION},
                                                  std::tuple{2, 0x70, DOIP_ERR_UNKNOWN_PAYLOAD_TYPE}}) {
        Bytes bad = hex(GetParam().message);
        bad[offset] = static_cast<uint8_t>(value);
        HeapBytes message(bad);
        Block record(0xA5);
        EXPECT_EQ(GetParam().decode(message.data(), message.size(), &record), expected);
        EXPECT_TRUE(record == Block(0xA5));
    }
}

INSTANTIATE_TEST_SUITE_P(AllPayloadTypes, MessageVectors, ::testing::ValuesIn(vectors()),
                         [](const auto& info) { return info.param.name; });

// Every decoder (as Vector::decode runs it), parser and tool on `input` in a heap block of exactly its size.
void run_everything_on(const Bytes& input) {
    static const std::set<int> known({DOIP_OK, DOIP_ERR_NULL_INPUT, DOIP_ERR_INPUT_TOO_SHORT,
                                      DOIP_ERR_NULL_RECORD, DOIP_ERR_BAD_PROTOCOL_VERSION,
                                      DOIP_ERR_UNKNOWN_PAYLOAD_TYPE, DOIP_ERR_INCOMPLETE_MESSAGE});
    HeapBytes exact(input);
    const uint8_t* bytes = exact.data();
    const uint32_t count = exact.size();
    for (const Vector& v : vectors()) {
        SCOPED_TRACE(v.name);
        Block record;
        EXPECT_EQ(known.count(v.decode(bytes, count, &record)), 1u);
    }
    const auto header = std::make_unique<doip_package_s>();
    EXPECT_EQ(known.count(doip_deserialize(bytes, count, header.get())), 1u);
    // The parsers hand out a record whatever the result, filled as the decoders fill one.
    Block request_wanted, response_wanted;
    doip_diagnostic_request_s* request = nullptr;
    doip_diagnostic_response_s* response = nullptr;
    EXPECT_EQ(doip_diag_request_parse(bytes, count, &request),
              doip_diag_msg_request_deserilize(bytes, count, request_wanted.as<doip_diagnostic_request_s>()));
    EXPECT_EQ(
        doip_diag_response(nullptr, bytes, count, &response),
        doip_diag_msg_response_deserilize(bytes, count, response_wanted.as<doip_diagnostic_response_s>()));
    const RequestPtr request_owner(request);
    const ResponsePtr response_owner(response);
    ASSERT_TRUE(request != nullptr && response != nullptr);
    EXPECT_EQ(std::memcmp(request, request_wanted.words, exact_size<doip_diagnostic_request_s>(count)), 0);
    EXPECT_EQ(std::memcmp(response, response_wanted.words, exact_size<doip_diagnostic_response_s>(count)), 0);
    doip_get_expalininfo(bytes, count);
    if (count != 0) {  // a message record cannot hold zero bytes
        OwnedMessage m(input);
        EXPECT_EQ(doip_remove_header(&m.msg), DOIP_OK);
        EXPECT_LE(m.msg.length, count);
    }
}

TEST_P(MessageVectors, EveryPrefixDecodesOrFailsCleanlyInAnExactSizeBuffer) {
    const Bytes message = hex(GetParam().message);
    for (size_t length = 0; length <= message.size(); ++length) {
        SCOPED_TRACE("prefix of " + std::to_string(length) + " bytes");
        run_everything_on(Bytes(message.begin(), message.begin() + length));
    }
}

// With its payload length rewritten to match, each prefix passes the header check and reaches the
// decoders' own length tests.
TEST_P(MessageVectors, EveryPrefixWithAMatchingPayloadLengthStaysInBounds) {
    const Bytes message = hex(GetParam().message);
    for (size_t length = DOIP_HEADER_SIZE; length <= message.size(); ++length) {
        SCOPED_TRACE("prefix of " + std::to_string(length) + " bytes");
        Bytes prefix(message.begin(), message.begin() + length);
        prefix[7] = static_cast<uint8_t>(length - DOIP_HEADER_SIZE);
        doip_package_s header;
        ASSERT_EQ(doip_deserialize(prefix.data(), static_cast<uint32_t>(length), &header), DOIP_OK);
        run_everything_on(prefix);
    }
}

}  // namespace
