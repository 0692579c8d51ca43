#include "doip.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

const std::vector<uint8_t> kBytes = {0x02, 0xFD, 0x80, 0x01, 0x00, 0x00, 0x00,
                                     0x05, 0x0E, 0xF5, 0x0C, 0xE1, 0x3E};

doip_message_s heap_message(const std::vector<uint8_t>& bytes, uint8_t channel, uint32_t aux1,
                            uint32_t aux2) {
    doip_message_s m{};
    EXPECT_EQ(doip_message_init(&m, bytes.data(), static_cast<int>(bytes.size())), DOIP_OK);
    m.channel = channel;
    m.aux1 = aux1;
    m.aux2 = aux2;
    return m;
}

std::vector<uint8_t> contents(const doip_message_s& m) {
    return {m.data, m.data + m.length};
}

bool is_empty(const doip_message_s& m) {
    return m.channel == 0 && m.length == 0 && m.aux1 == 0 && m.aux2 == 0 && m.data == nullptr;
}

TEST(MessageInit, CopiesTheBytesAndKeepsTheOtherFields) {
    doip_message_s m{};
    m.channel = 7;
    m.aux1 = 11;
    ASSERT_EQ(doip_message_init(&m, kBytes.data(), static_cast<int>(kBytes.size())), DOIP_OK);
    EXPECT_EQ(contents(m), kBytes);
    EXPECT_NE(m.data, kBytes.data());
    EXPECT_EQ(m.channel, 7);
    EXPECT_EQ(m.aux1, 11u);
    // A second init replaces the buffer (the old one is released; ASan reports a leak otherwise).
    const uint8_t two[] = {1, 2};
    ASSERT_EQ(doip_message_init(&m, two, 2), DOIP_OK);
    EXPECT_EQ(m.length, 2u);
    doip_message_destory(&m);
}

TEST(MessageInit, RejectsNullPointersAndSizesNotAboveZeroWithoutChangingTheRecord) {
    doip_message_s m = heap_message(kBytes, 3, 4, 5);
    uint8_t* const before = m.data;
    EXPECT_EQ(doip_message_init(nullptr, kBytes.data(), 4), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_message_init(&m, nullptr, 4), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_message_init(&m, kBytes.data(), 0), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_message_init(&m, kBytes.data(), -1), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(m.data, before);
    EXPECT_EQ(contents(m), kBytes);
    doip_message_destory(&m);
}

TEST(MessageCopy, MakesAnIndependentDeepCopyOfAllFields) {
    doip_message_s src = heap_message(kBytes, 9, 0xDEADBEEF, 42);
    doip_message_s dst = heap_message({1, 2, 3}, 1, 1, 1);
    ASSERT_EQ(doip_message_init_bycopy(&dst, &src), DOIP_OK);
    EXPECT_NE(dst.data, src.data);
    EXPECT_EQ(contents(dst), kBytes);
    EXPECT_EQ(dst.channel, 9);
    EXPECT_EQ(dst.aux1, 0xDEADBEEFu);
    EXPECT_EQ(dst.aux2, 42u);
    src.data[0] = 0x77;
    EXPECT_EQ(dst.data[0], 0x02);
    doip_message_destory(&src);
    doip_message_destory(&dst);
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

TEST(MessageCopy, CopyOntoItselfKeepsTheMessage) {
    doip_message_s m = heap_message(kBytes, 2, 3, 4);
    EXPECT_EQ(doip_message_init_bycopy(&m, &m), DOIP_OK);
    EXPECT_EQ(contents(m), kBytes);
    doip_message_destory(&m);
}

TEST(MessageMove, HandsOverTheBufferAndEmptiesTheSource) {
    doip_message_s a = heap_message({1, 2, 3}, 1, 1, 1);
    doip_message_s b = heap_message(kBytes, 5, 6, 7);
    uint8_t* const b_buffer = b.data;
    ASSERT_EQ(doip_message_move(&a, &b), DOIP_OK);
    EXPECT_EQ(a.data, b_buffer);
    EXPECT_EQ(a.channel, 5);
    EXPECT_EQ(a.aux1, 6u);
    EXPECT_EQ(a.aux2, 7u);
    EXPECT_TRUE(is_empty(b));
    doip_message_destory(&a);
}

TEST(MessageMove, MoveOntoItselfReleasesTheBuffer) {
    doip_message_s a = heap_message(kBytes, 5, 6, 7);
    ASSERT_EQ(doip_message_move(&a, &a), DOIP_OK);
    EXPECT_TRUE(is_empty(a));
    EXPECT_EQ(doip_message_move(nullptr, &a), DOIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(doip_message_move(&a, nullptr), DOIP_ERR_INVALID_ARGUMENT);
}

TEST(MessageDestroy, ZeroesTheRecordAndRejectsNull) {
    doip_message_s m = heap_message(kBytes, 5, 6, 7);
    EXPECT_EQ(doip_message_destory(&m), DOIP_OK);
    EXPECT_TRUE(is_empty(m));
    EXPECT_EQ(doip_message_destory(&m), DOIP_OK);
    EXPECT_EQ(doip_message_destory(nullptr), DOIP_ERR_INVALID_ARGUMENT);
}

TEST(MessageRaii, HasTheLayoutOfTheCRecord) {
    EXPECT_TRUE(std::is_standard_layout<doip_message_raii>::value);
    EXPECT_EQ(sizeof(doip_message_raii), sizeof(doip_message_s));
    doip_message_s src = heap_message(kBytes, 4, 5, 6);
    doip_message_raii owned(&src);
    const doip_message_s* view = owned.get();
    EXPECT_EQ(static_cast<const void*>(view), static_cast<const void*>(&owned));
    EXPECT_EQ(view->length, kBytes.size());
    EXPECT_EQ(view->channel, 4);
    doip_message_destory(&src);
}

TEST(MessageRaii, ConstructsEmptyFromNullOrEmptySources) {
    doip_message_raii from_null(nullptr);
    EXPECT_TRUE(is_empty(*from_null.get()));
    doip_message_s empty{};
    empty.channel = 3;
    doip_message_raii from_empty(&empty);
    EXPECT_TRUE(is_empty(*from_empty.get()));
}

TEST(MessageRaii, CopyConstructionIsADeepCopy) {
    doip_message_s src = heap_message(kBytes, 4, 5, 6);
    doip_message_raii a(&src);
    doip_message_raii b(a);
    EXPECT_NE(a.data, b.data);
    EXPECT_EQ(contents(*b.get()), kBytes);
    EXPECT_EQ(b.aux2, 6u);
    doip_message_destory(&src);
}

TEST(MessageRaii, MoveConstructionAlsoCopiesAndLeavesTheSourceIntact) {
    doip_message_s src = heap_message(kBytes, 4, 5, 6);
    doip_message_raii a(&src);
    uint8_t* const a_buffer = a.data;
    doip_message_raii b(std::move(a));
    EXPECT_EQ(a.data, a_buffer);  // NOLINT(bugprone-use-after-move): the source stays as it was
    EXPECT_EQ(contents(*a.get()), kBytes);
    EXPECT_NE(b.data, a.data);
    EXPECT_EQ(contents(*b.get()), kBytes);
    doip_message_destory(&src);
}

TEST(MessageRaii, AssignmentCopiesIntoSeparateBuffers) {
    doip_message_s s1 = heap_message(kBytes, 1, 2, 3);
    doip_message_s s2 = heap_message({9, 9}, 8, 8, 8);
    doip_message_raii a(&s1);
    doip_message_raii b(&s2);
    b = a;
    EXPECT_NE(a.data, b.data);
    EXPECT_EQ(contents(*b.get()), kBytes);
    EXPECT_EQ(b.channel, 1);
    doip_message_raii c(&s2);
    c = std::move(a);
    EXPECT_EQ(contents(*c.get()), kBytes);
    EXPECT_EQ(contents(*a.get()), kBytes);  // NOLINT(bugprone-use-after-move)
    doip_message_destory(&s1);
    doip_message_destory(&s2);
}

TEST(MessageRaii, AssignmentFromEmptyOrSelfChangesNothing) {
    doip_message_s s = heap_message(kBytes, 1, 2, 3);
    doip_message_raii target(&s);
    uint8_t* const buffer = target.data;
    doip_message_raii empty;
    empty.channel = 99;
    target = empty;
    EXPECT_EQ(target.data, buffer);
    EXPECT_EQ(target.channel, 1);
    doip_message_raii& alias = target;
    target = alias;
    EXPECT_EQ(target.data, buffer);
    EXPECT_EQ(contents(*target.get()), kBytes);
    doip_message_destory(&s);
}

}  // namespace
