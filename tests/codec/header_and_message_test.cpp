// The generic header check, and message records: copies into malloc'ed buffers, moves, and the C++ owner
// doip_message_raii.
#include "doip.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <utility>

#include "codec/codec_test_support.h"

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
}

struct HeaderCase {
    std::string header;
    size_t payload_bytes;  // bytes that follow the header
    int expected;
    doip_package_s record;  // afterwards
};

// Each input lies in a heap block of exactly its size.
TEST(HeaderCheck, VersionPairsAndPayloadLengths) {
    const HeaderCase cases[] = {
        {"02 FD 00 07 00 00 00 00", 0, DOIP_OK, {0x02, 0xFD, 0x0007, 0}},
        {"FF 00 00 07 00 00 00 00", 0, DOIP_OK, {0xFF, 0x00, 0x0007, 0}},
        {"03 FC 00 07 00 00 00 00", 0, DOIP_OK, {0x03, 0xFC, 0x0007, 0}},
        {"00 FF 00 07 00 00 00 00", 0, DOIP_OK, {0x00, 0xFF, 0x0007, 0}},
        {"02 FC 00 07 00 00 00 00", 0, DOIP_ERR_BAD_PROTOCOL_VERSION, kSentinel},
        {"02 02 00 07 00 00 00 00", 0, DOIP_ERR_BAD_PROTOCOL_VERSION, kSentinel},
        {"00 00 00 07 00 00 00 00", 0, DOIP_ERR_BAD_PROTOCOL_VERSION, kSentinel},
        {"02 FD 80 01 00 00 00 07", 7, DOIP_OK, {0x02, 0xFD, 0x8001, 7}},
        {"02 FD 80 01 00 00 00 07", 6, DOIP_ERR_INCOMPLETE_MESSAGE, kSentinel},
        {"02 FD 00 08 00 00 00 02", 56, DOIP_OK, {0x02, 0xFD, 0x0008, 2}},
        {"02 FD 80 01 FF FF FF FF", 0, DOIP_ERR_INCOMPLETE_MESSAGE, kSentinel},
        {"03 FC F1 23 00 00 01 02", 0x102, DOIP_OK, {0x03, 0xFC, 0xF123, 0x102}},
    };
    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(c.header + " and " + std::to_string(c.payload_bytes) + " payload bytes");
        Bytes input = hex(c.header);
        input.resize(input.size() + c.payload_bytes, 0x55);
        HeapBytes exact(input);
        doip_package_s out = kSentinel;
        EXPECT_EQ(doip_deserialize(exact.data(), exact.size(), &out), c.expected);
        EXPECT_EQ(std::memcmp(&out, &c.record, sizeof out), 0);
    }
}

TEST(HeaderCheck, AcceptsExactlyTheKnownPayloadTypesAndTheManufacturerRange) {
    const std::pair<uint16_t, bool> types[] = {
        {0x0000, true},  {0x0001, true},  {0x0004, true},  {0x0006, true},  {0x0008, true},  {0x0009, false},
        {0x00FF, false}, {0x4000, false}, {0x4001, true},  {0x4004, true},  {0x4005, false}, {0x8000, false},
        {0x8001, true},  {0x8003, true},  {0x8004, false}, {0xEFFF, false}, {0xF000, true},  {0xFFFF, true}};
    for (const auto& [type, accepted] : types) {
        const Bytes header = {0x02, 0xFD, static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), 0, 0,
                              0,    0};
        doip_package_s out = kSentinel;
        EXPECT_EQ(doip_deserialize(header.data(), 8, &out),
                  accepted ? DOIP_OK : DOIP_ERR_UNKNOWN_PAYLOAD_TYPE)
            << std::hex << type;
        EXPECT_EQ(out.payload_type, accepted ? type : kSentinel.payload_type);
    }
}

const Bytes kBytes = hex("02 FD 80 01 00 00 00 05 0E F5 0C E1 3E");

Bytes contents(const doip_message_s& m) {
    return Bytes(m.data, m.data + m.length);
}

bool is_empty(const doip_message_s& m) {
    return m.channel == 0 && m.length == 0 && m.aux1 == 0 && m.aux2 == 0 && m.data == nullptr;
}

auto channel_and_aux(const doip_message_s& m) {
    return std::tuple(m.channel, m.aux1, m.aux2);
}

// The leak check of AddressSanitizer shows that the buffer of the first init is released.
TEST(MessageInit, ReplacesTheBytesWithACopyAndKeepsTheOtherFields) {
    OwnedMessage m({1, 2, 3}, 7, 11, 13);
    ASSERT_EQ(doip_message_init(&m.msg, kBytes.data(), static_cast<int>(kBytes.size())), DOIP_OK);
    EXPECT_EQ(m.bytes(), kBytes);
    EXPECT_NE(m.msg.data, kBytes.data());
    EXPECT_EQ(channel_and_aux(m.msg), std::tuple(7, 11u, 13u));
}

TEST(MessageInit, RejectsNullPointersAndSizesNotAboveZeroWithoutChangingTheRecord) {
    OwnedMessage m(kBytes);
    uint8_t* const before = m.msg.data;
    EXPECT_EQ(doip_message_init(nullptr, kBytes.data(), 4), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_message_init(&m.msg, nullptr, 4), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_message_init(&m.msg, kBytes.data(), 0), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_message_init(&m.msg, kBytes.data(), -1), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(m.msg.data, before);
    EXPECT_EQ(m.bytes(), kBytes);
}

TEST(MessageCopy, MakesAnIndependentDeepCopyOfAllFields) {
    OwnedMessage src(kBytes, 9, 0xDEADBEEF, 42);
    OwnedMessage dst({1, 2, 3}, 1, 1, 1);
    ASSERT_EQ(doip_message_init_bycopy(&dst.msg, &src.msg), DOIP_OK);
    EXPECT_NE(dst.msg.data, src.msg.data);
    EXPECT_EQ(dst.bytes(), kBytes);
    EXPECT_EQ(channel_and_aux(dst.msg), std::tuple(9, 0xDEADBEEFu, 42u));
}

TEST(MessageCopy, CopyOntoItselfKeepsTheMessage) {
    OwnedMessage m(kBytes);
    EXPECT_EQ(doip_message_init_bycopy(&m.msg, &m.msg), DOIP_OK);
    EXPECT_EQ(m.bytes(), kBytes);
}

TEST(MessageCopy, RejectsNullAndEmptySources) {
    doip_message_s dst{};
    doip_message_s src{};
    EXPECT_EQ(doip_message_init_bycopy(nullptr, &src), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_message_init_bycopy(&dst, nullptr), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_message_init_bycopy(&dst, &src), DOIP_ERR_INVALID_ARGUMENT);
    uint8_t byte = 1;
    src.data = &byte;  // data set but length 0
    EXPECT_EQ(doip_message_init_bycopy(&dst, &src), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_TRUE(is_empty(dst));
}

TEST(MessageMove, HandsOverTheBufferAndEmptiesTheSource) {
    OwnedMessage a({1, 2, 3}, 1, 1, 1);
    OwnedMessage b(kBytes, 5, 6, 7);
    uint8_t* const b_buffer = b.msg.data;
    ASSERT_EQ(doip_message_move(&a.msg, &b.msg), DOIP_OK);
    EXPECT_EQ(a.msg.data, b_buffer);
    EXPECT_EQ(a.msg.length, kBytes.size());
    EXPECT_EQ(channel_and_aux(a.msg), std::tuple(5, 6u, 7u));
    EXPECT_TRUE(is_empty(b.msg));
}

TEST(MessageMove, MoveOntoItselfReleasesTheBufferAndNullGivesMinus29) {
    OwnedMessage a(kBytes, 5, 6, 7);
    ASSERT_EQ(doip_message_move(&a.msg, &a.msg), DOIP_OK);
    EXPECT_TRUE(is_empty(a.msg));
    EXPECT_EQ(doip_message_move(nullptr, &a.msg), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_message_move(&a.msg, nullptr), DOIP_ERR_INVALID_ARGUMENT);
}

TEST(MessageDestroy, ZeroesTheRecordAndRejectsNull) {
    OwnedMessage m(kBytes, 5, 6, 7);
    EXPECT_EQ(doip_message_destory(&m.msg), DOIP_OK);
    EXPECT_TRUE(is_empty(m.msg));
    EXPECT_EQ(doip_message_destory(&m.msg), DOIP_OK);
    EXPECT_EQ(doip_message_destory(nullptr), DOIP_ERR_INVALID_ARGUMENT);
}

TEST(MessageRaii, CopiesOnlyANonEmptyRecordAndGetViewsTheObjectAsOne) {
    OwnedMessage src(kBytes, 4, 5, 6);
    doip_message_raii owned(&src.msg);
    const doip_message_s* view = owned.get();
    EXPECT_EQ(static_cast<const void*>(view), static_cast<const void*>(&owned));
    EXPECT_NE(view->data, src.msg.data);
    EXPECT_EQ(contents(*view), kBytes);
    EXPECT_EQ(channel_and_aux(*view), std::tuple(4, 5u, 6u));
    doip_message_s empty{};
    empty.channel = 3;
    EXPECT_TRUE(is_empty(*doip_message_raii(nullptr).get()));
    EXPECT_TRUE(is_empty(*doip_message_raii(&empty).get()));
}

// The move constructor and move assignment copy too, and leave their source as it was.
TEST(MessageRaii, CopyAndMoveMakeDeepCopies) {
    OwnedMessage s1(kBytes, 1, 2, 3);
    OwnedMessage s2({9, 9}, 8, 8, 8);
    doip_message_raii a(&s1.msg);
    uint8_t* const a_buffer = a.data;
    doip_message_raii copied(a);
    doip_message_raii moved(std::move(a));
    doip_message_raii copy_assigned(&s2.msg);
    doip_message_raii move_assigned(&s2.msg);
    copy_assigned = a;             // NOLINT(bugprone-use-after-move): the source stays as it was
    move_assigned = std::move(a);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(a.data, a_buffer);   // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(contents(*a.get()), kBytes);
    for (const doip_message_raii* m : {&copied, &moved, &copy_assigned, &move_assigned}) {
        EXPECT_NE(m->data, a_buffer);
        EXPECT_EQ(contents(*m->get()), kBytes);
        EXPECT_EQ(channel_and_aux(*m->get()), std::tuple(1, 2u, 3u));
    }
}

TEST(MessageRaii, AssignmentFromEmptyOrSelfChangesNothing) {
    OwnedMessage s(kBytes, 1, 2, 3);
    doip_message_raii target(&s.msg);
    uint8_t* const buffer = target.data;
    doip_message_raii empty;
    empty.channel = 99;
    target = empty;
    doip_message_raii& alias = target;
    target = alias;
    EXPECT_EQ(target.data, buffer);
    EXPECT_EQ(contents(*target.get()), kBytes);
    EXPECT_EQ(channel_and_aux(*target.get()), std::tuple(1, 2u, 3u));
}

}  // namespace
