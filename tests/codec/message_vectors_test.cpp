// Every message vector through its encoder and decoder, and every prefix of it, in a heap block of exactly
// its size, through every decoder, parser and tool (AddressSanitizer sees any access outside input or
// record).
#include "doip.h"

#include <gtest/gtest.h>
#include <set>
#include "codec/message_vectors.h"

namespace {
using namespace codec_test;

class MessageVectors : public ::testing::TestWithParam<Vector> {};

// _init checks the addressing block, then the record (before any pointer argument); the encoder the record,
// the buffer, then the capacity: one byte short writes nothing, even when the header announces less.
TEST_P(MessageVectors, EncoderWritesExactlyTheMessageIntoExactlyItsCapacity) {
    const Vector& v = GetParam();
    EXPECT_EQ(v.init_into_null(nullptr), DOIP_ERR_NULL_ADDRESSING);
    EXPECT_EQ(v.init_into_null(&kAddressing), DOIP_ERR_NULL_RECORD);
    Block record = v.build(kAddressing);
    EXPECT_EQ(v.encode(nullptr, nullptr, 0), DOIP_ERR_NULL_RECORD);
    EXPECT_EQ(v.encode(&record, nullptr, 0), DOIP_ERR_NULL_OUTPUT);
    Bytes want = hex(v.message);
    want.resize(v.capacity, 0xEE);
    HeapBytes out(Bytes(v.capacity, 0xEE));
    ASSERT_EQ(v.encode(&record, out.data(), out.size()), DOIP_OK);
    EXPECT_EQ(out.bytes(), want);
    for (uint32_t payload_length : {record.as<doip_package_s>()->payload_length, 0u}) {
        record.as<doip_package_s>()->payload_length = payload_length;
        HeapBytes short_by_one(Bytes(v.capacity - 1, 0xEE));
        EXPECT_EQ(v.encode(&record, short_by_one.data(), short_by_one.size()), DOIP_ERR_BUFFER_TOO_SMALL);
        EXPECT_EQ(short_by_one.bytes(), Bytes(v.capacity - 1, 0xEE));
    }
    Block version3 = v.build({0x0EF5, 0xE001, 0x0CE1, 3});
    ASSERT_EQ(v.encode(&version3, out.data(), out.size()), DOIP_OK);
    EXPECT_EQ(Bytes(out.data(), out.data() + 2), hex("03 FC"));
}

// The decoder tests the count and the bytes in its own order, then the record; it gives back the record
// that was built, and leaves the record untouched when the header check fails.
TEST_P(MessageVectors, DecoderChecksInOrderAndGivesBackTheBuiltRecord) {
    const Vector& v = GetParam();
    const Bytes zeros(64);
    const bool bytes_first = v.refused < 0;
    const uint32_t refused = bytes_first ? v.shortest - 1 : v.refused;
    EXPECT_EQ(v.decode(nullptr, refused, nullptr),
              bytes_first ? DOIP_ERR_NULL_INPUT : DOIP_ERR_INPUT_TOO_SHORT);
    EXPECT_EQ(v.decode(zeros.data(), refused, nullptr), DOIP_ERR_INPUT_TOO_SHORT);
    EXPECT_EQ(v.decode(nullptr, v.shortest, nullptr), DOIP_ERR_NULL_INPUT);
    EXPECT_EQ(v.decode(zeros.data(), v.shortest, nullptr), DOIP_ERR_NULL_RECORD);
    HeapBytes message(hex(v.message));
    Block decoded;
    ASSERT_EQ(v.decode(message.data(), message.size(), &decoded), DOIP_OK);
    EXPECT_TRUE(decoded == v.build(kAddressing));
    for (const auto& [offset, value, expected] : {std::tuple{1, 0xFC, DOIP_ERR_BAD_PROTOCOL_VERSION},
                                                  std::tuple{2, 0x70, DOIP_ERR_UNKNOWN_PAYLOAD_TYPE}}) {
        Bytes bad = hex(v.message);
        bad[offset] = static_cast<uint8_t>(value);
        HeapBytes corrupt(bad);
        Block record(0xA5);
        EXPECT_EQ(v.decode(corrupt.data(), corrupt.size(), &record), expected);
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
        EXPECT_EQ(doip_remove_header(&m), DOIP_OK);
        EXPECT_LE(m.length, count);
    }
}

TEST_P(MessageVectors, EveryPrefixDecodesOrFailsCleanlyInAnExactSizeBuffer) {
    const Bytes message = hex(GetParam().message);
    for (size_t length = 0; length <= message.size(); ++length) {
        SCOPED_TRACE("prefix of " + std::to_string(length) + " bytes");
        run_everything_on(Bytes(message.begin(), message.begin() + length));
    }
}

// With a matching payload length each prefix reaches the decoders' length tests: the message's decoder takes
// it from its shortest form on and refuses a shorter one with -9, writing nothing.
TEST_P(MessageVectors, EveryPrefixWithAMatchingPayloadLengthStaysInBounds) {
    const Bytes message = hex(GetParam().message);
    for (size_t length = DOIP_HEADER_SIZE; length <= message.size(); ++length) {
        SCOPED_TRACE("prefix of " + std::to_string(length) + " bytes");
        Bytes prefix(message.begin(), message.begin() + length);
        prefix[7] = static_cast<uint8_t>(length - DOIP_HEADER_SIZE);
        HeapBytes exact(prefix);
        Block record(0xA5);
        const bool whole = length >= GetParam().shortest;
        EXPECT_EQ(GetParam().decode(exact.data(), exact.size(), &record),
                  whole ? DOIP_OK : DOIP_ERR_INPUT_TOO_SHORT);
        EXPECT_TRUE(whole || record == Block(0xA5));
        run_everything_on(prefix);
    }
}
}  // namespace
