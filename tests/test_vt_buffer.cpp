// Byte buffers: exact growth, printing, reserving at an offset, rings.
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "vt_buffer.h"

namespace {

struct BufferTest : ::testing::Test {
    vt_buffer *buffer = nullptr;
    void SetUp() override { ASSERT_EQ(vt_buffer_init(&buffer, 0), 0); }
    void TearDown() override { vt_buffer_deit(&buffer); }
    std::string content() const { return std::string(reinterpret_cast<char *>(buffer->data), buffer->used); }
};

TEST_F(BufferTest, PrintThenWriteOverwritesTheTerminator)
{
    ASSERT_EQ(vt_buffer_print(buffer, "%s", "ab"), 0);
    EXPECT_EQ(buffer->used, 2u);
    EXPECT_EQ(buffer->data[2], 0);
    ASSERT_EQ(vt_buffer_write(buffer, "cd", 2), 0);
    EXPECT_EQ(content(), "abcd");
    EXPECT_EQ(buffer->capacity, 4u); // exact growth: no room kept for a terminator
}

TEST_F(BufferTest, EmptyPrintAndZeroCountsFailUnchanged)
{
    ASSERT_EQ(vt_buffer_write(buffer, "x", 1), 0);
    EXPECT_EQ(vt_buffer_print(buffer, "%s", ""), 1);
    EXPECT_EQ(vt_buffer_write(buffer, "y", 0), 1);
    EXPECT_EQ(vt_buffer_write(buffer, nullptr, 1), 1);
    EXPECT_EQ(vt_buffer_resize(buffer, 0), 1);
    EXPECT_EQ(content(), "x");
}

TEST_F(BufferTest, ReserveBeyondCapacity)
{
    vt_buffer *small = nullptr;
    ASSERT_EQ(vt_buffer_init(&small, 4), 0);
    uint8_t *p = nullptr;
    ASSERT_EQ(vt_buffer_malloc_(small, &p, 10, 6), 0);
    EXPECT_EQ(p, small->data + 10);
    EXPECT_EQ(small->used, 10u);
    EXPECT_GE(small->capacity, 16u);
    for (size_t i = 4; i < 10; ++i) // the gap is zero-filled, never garbage
        EXPECT_EQ(small->data[i], 0);
    EXPECT_EQ(vt_buffer_malloc_(small, &p, 2, 0), 1);
    ASSERT_EQ(vt_buffer_calloc_(small, &p, 2, 3), 0);
    EXPECT_EQ(small->used, 2u);
    vt_buffer_deit(&small);
}

TEST_F(BufferTest, ReserveRejectsOverflowingSizes)
{
    uint8_t *p = nullptr;
    EXPECT_EQ(vt_buffer_malloc_(buffer, &p, SIZE_MAX - 2, 8), 1);
    ASSERT_EQ(vt_buffer_write(buffer, "abc", 3), 0);
    EXPECT_EQ(vt_buffer_resize(buffer, SIZE_MAX), 1);
    EXPECT_EQ(content(), "abc");
}

TEST_F(BufferTest, DumpsCallbackReportsMinusOneOnFailure)
{
    EXPECT_EQ(vt_buffer_dumps("ab", 2, buffer), 0);
    EXPECT_EQ(vt_buffer_dumps("ab", 0, buffer), -1);
    EXPECT_EQ(vt_buffer_dumps("ab", 2, nullptr), -1);
    EXPECT_EQ(content(), "ab");
}

TEST(BufferRing, AppendSplicesOtherRingBeforeHead)
{
    vt_buffer *head = nullptr, *a = nullptr, *b = nullptr, *c = nullptr;
    for (vt_buffer **slot : {&head, &a, &b, &c})
        ASSERT_EQ(vt_buffer_init(slot, 0), 0);
    vt_buffer_append(head, a);     // head a
    vt_buffer_append(b, c);        // b c
    vt_buffer_append(head, b);     // the element after b (c) comes first, b last
    vt_buffer *expected[] = {head, a, c, b};
    vt_buffer *walk = head;
    for (vt_buffer *e : expected) {
        EXPECT_EQ(walk, e);
        EXPECT_EQ(walk->next->prev, walk);
        walk = walk->next;
    }
    EXPECT_EQ(walk, head);
    vt_buffer_remove(c);
    EXPECT_EQ(c->next, c);
    EXPECT_EQ(a->next, b);
    EXPECT_EQ(b->prev, a);
    for (vt_buffer *x : {head, a, b, c})
        vt_buffer_remove(x);
    for (vt_buffer **slot : {&head, &a, &b, &c})
        vt_buffer_deit(slot);
}

} // namespace
