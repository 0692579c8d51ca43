// The generic header check, and message records: copies into malloc'ed buffers, moves, and the C++ owner
// doip_message_raii.
#include "doip.h"

#include <gtest/gtest.h>
#include <tuple>
#include "codec/message_vectors.h"

namespace {
using namespace codec_test;

// Recognisable fields, to show that a failing check writes nothing.
const doip_package_s kSentinel{0xAA, 0xBB, 0xCCDD, 0x11223344};

TEST(HeaderCheck, LengthThenBufferThenRecordThenVersionThenTypeThenPayloadLength) {
    const Bytes all_bad = hex("02 FC 00 09 00 00 00 64");
    const Bytes type_and_length_bad = hex("02 FD 00 09 00 00 00 64");
    const Bytes length_bad = hex("02 FD 00 01 00 00 00 64");
    doip_package_s out = kSentinel;
    EXPECT_EQ(doip_deserialize(nullptr, 0, &out), DOIP_ERR_INCOMPLETE_MESSAGE);
    EXPECT_EQ(doip_deserialize(nullptr, 7, nullptr), DOIP_ERR_INCOMPLETE_MESSAGE);
    EXPECT_EQ(doip_deserialize(nullptr, 8, nullptr), DOIP_ERR_NULL_INPUT);
    EXPECT_EQ(doip_deserialize(all_bad.data(), 8, nullptr), DOIP_ERR_NULL_RECORD);
    EXPECT_EQ(doip_deserialize(all_bad.data(), 8, &out), DOIP_ERR_BAD_PROTOCOL_VERSION);
    EXPECT_EQ(doip_deserialize(type_and_length_bad.data(), 8, &out), DOIP_ERR_UNKNOWN_PAYLOAD_TYPE);
    EXPECT_EQ(doip_deserialize(length_bad.data(), 8, &out), DOIP_ERR_INCOMPLETE_MESSAGE);
    EXPECT_EQ(std::memcmp(&out, &kSentinel, sizeof out), 0);
    // In heap blocks of exactly their size: both bytes of a version pair are free, a payload may be followed
    // by more bytes, and a payload length near 4 GiB does not wrap around.
    for (const auto& [header, more, expected, record] :
         {std::tuple("FF 00 00 07 00 00 00 00", 0, DOIP_OK, doip_package_s{0xFF, 0x00, 0x0007, 0}),
          std::tuple("00 00 00 07 00 00 00 00", 0, DOIP_ERR_BAD_PROTOCOL_VERSION, kSentinel),
          std::tuple("03 FC F1 23 00 00 01 02", 0x200, DOIP_OK, doip_package_s{0x03, 0xFC, 0xF123, 0x102}),
          std::tuple("02 FD 80 01 FF FF FF FF", 0x200, DOIP_ERR_INCOMPLETE_MESSAGE, kSentinel)}) {
        Bytes input = hex(header);
        input.resize(input.size() + more, 0x55);
        HeapBytes exact(input);
        doip_package_s out = kSentinel;
        EXPECT_EQ(doip_deserialize(exact.data(), exact.size(), &out), expected) << header;
        EXPECT_EQ(std::memcmp(&out, &record, sizeof out), 0) << header;
    }
}

TEST(HeaderCheck, AcceptsExactlyTheKnownPayloadTypesAndTheManufacturerRange) {
    const std::pair<uint16_t, bool> types[] = {
        {0x0000, true},  {0x0001, true},  {0x0004, true},  {0x0006, true},  {0x0008, true},  {0x0009, false},
        {0x00FF, false}, {0x4000, false}, {0x4001, true},  {0x4004, true},  {0x4005, false}, {0x8000, false},
        {0x8001, true},  {0x8003, true},  {0x8004, false}, {0xEFFF, false}, {0xF000, true},  {0xFFFF, true}};
    for (const auto& [type, accepted] : types) {
        const Bytes header{2, 0xFD, uint8_t(type >> 8), uint8_t(type), 0, 0, 0, 0};
        doip_package_s out = kSentinel;
        EXPECT_EQ(doip_deserialize(header.data(), 8, &out),
                  accepted ? DOIP_OK : DOIP_ERR_UNKNOWN_PAYLOAD_TYPE)
            << std::hex << type;
        EXPECT_EQ(out.payload_type, accepted ? type : kSentinel.payload_type);
    }
}

const Bytes kBytes = hex("02 FD 80 01 00 00 00 05 0E F5 0C E1 3E");

auto fields(const doip_message_s& m) {
    return std::tuple(m.channel, m.aux1, m.aux2, Bytes(m.data, m.data + m.length), m.data == nullptr);
}
const auto kEmpty = std::tuple(uint8_t{0}, 0u, 0u, Bytes(), true);
const auto kFilled = std::tuple(uint8_t{5}, 6u, 7u, kBytes, false);

// Init and copy take fresh buffers (the leak check of AddressSanitizer shows the old ones released); a move
// hands the buffer over; destroy empties the record. Null or empty input gives -29 and changes nothing.
TEST(MessageRecords, InitCopyMoveAndDestroy) {
    OwnedMessage m({1, 2, 3}, 5, 6, 7);
    EXPECT_EQ(doip_message_init(nullptr, kBytes.data(), 4), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_message_init(&m, nullptr, 4), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_message_init(&m, kBytes.data(), 0), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_message_init(&m, kBytes.data(), -1), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(m.bytes(), Bytes({1, 2, 3}));
    ASSERT_EQ(doip_message_init(&m, kBytes.data(), static_cast<int>(kBytes.size())), DOIP_OK);
    EXPECT_EQ(fields(m), kFilled);
    OwnedMessage copy({1}, 1, 1, 1);
    ASSERT_EQ(doip_message_init_bycopy(&copy, &m), DOIP_OK);
    EXPECT_NE(copy.data, m.data);
    EXPECT_EQ(doip_message_init_bycopy(&m, &m), DOIP_OK);
    EXPECT_EQ(fields(copy), kFilled);
    EXPECT_EQ(fields(m), kFilled);
    doip_message_s dst{}, empty{};
    EXPECT_EQ(doip_message_init_bycopy(nullptr, &m), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_message_init_bycopy(&dst, nullptr), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_message_init_bycopy(&dst, &empty), DOIP_ERR_INVALID_ARGUMENT);
    empty.data = m.data;  // data but length 0
    EXPECT_EQ(doip_message_init_bycopy(&dst, &empty), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fields(dst), kEmpty);
    uint8_t* const buffer = m.data;
    ASSERT_EQ(doip_message_move(&copy, &m), DOIP_OK);
    EXPECT_EQ(copy.data, buffer);
    EXPECT_EQ(fields(copy), kFilled);
    EXPECT_EQ(fields(m), kEmpty);
    ASSERT_EQ(doip_message_move(&copy, &copy), DOIP_OK);  // onto itself: the buffer is released
    EXPECT_EQ(fields(copy), kEmpty);
    EXPECT_EQ(doip_message_move(nullptr, &m), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_message_move(&m, nullptr), DOIP_ERR_INVALID_ARGUMENT);
    OwnedMessage c(kBytes, 5, 6, 7);
    EXPECT_EQ(doip_message_destory(&c), DOIP_OK);
    EXPECT_EQ(fields(c), kEmpty);
    EXPECT_EQ(doip_message_destory(&c), DOIP_OK);
    EXPECT_EQ(doip_message_destory(nullptr), DOIP_ERR_INVALID_ARGUMENT);
}

// The move constructor and move assignment copy too and leave their source as it was; an empty source
// leaves the target alone. get() views the object itself as a record.
TEST(MessageRaii, EveryCopyIsDeepAndAnEmptySourceCopiesNothing) {
    OwnedMessage s1(kBytes, 5, 6, 7), s2({9, 9}, 8, 8, 8), empty({}, 3);
    doip_message_raii a(&s1);
    EXPECT_EQ(static_cast<const void*>(a.get()), static_cast<const void*>(&a));
    doip_message_raii copied(a), moved(std::move(a)), copy_assigned(&s2), move_assigned(&s2);
    copy_assigned = a;             // NOLINT(bugprone-use-after-move): the source stays as it was
    move_assigned = std::move(a);  // NOLINT(bugprone-use-after-move)
    for (const doip_message_raii* m : {&a, &copied, &moved, &copy_assigned, &move_assigned}) {
        EXPECT_EQ(fields(*m->get()), kFilled);
        EXPECT_TRUE(m->data != s1.data && (m == &a || m->data != a.data));
    }
    EXPECT_EQ(fields(*doip_message_raii(&empty).get()), kEmpty);
    EXPECT_EQ(fields(*doip_message_raii(nullptr).get()), kEmpty);
    uint8_t* const kept = copied.data;
    copied = doip_message_raii(&empty);
    doip_message_raii& alias = copied;
    copied = alias;
    EXPECT_EQ(copied.data, kept);
    EXPECT_EQ(fields(*copied.get()), kFilled);
}
}  // namespace
