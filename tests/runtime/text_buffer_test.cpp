#include "runtime/text_buffer.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

void expectConsistent(const TextBuffer* buffer) {
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(static_cast<size_t>(buffer->length), std::strlen(buffer->text));
    EXPECT_LE(buffer->length, buffer->capacity - 1);
}

TEST(TextBuffer, FillsToCapacityMinusOneThenDoubles) {
    TextBuffer* buffer = textBufferCreate("0123456789", 16);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->capacity, 16);
    const char* storage = buffer->text;
    textBufferAppend(buffer, "abcde"); // 15 characters: fits exactly
    EXPECT_EQ(buffer->capacity, 16);
    EXPECT_EQ(buffer->text, storage);
    textBufferAppend(buffer, "f");
    EXPECT_EQ(buffer->capacity, 32);
    EXPECT_STREQ(buffer->text, "0123456789abcdef");
    expectConsistent(buffer);
    textBufferFree(buffer);
}

TEST(TextBuffer, LargeAppendGrowsStraightToNeededSize) {
    TextBuffer* buffer = textBufferCreate("0123456789", 16);
    std::string forty(40, 'x');
    textBufferAppend(buffer, forty.c_str());
    EXPECT_EQ(buffer->capacity, 51);
    EXPECT_EQ(buffer->length, 50);
    expectConsistent(buffer);
    textBufferFree(buffer);

    std::string initial(5000, 'y');
    buffer = textBufferCreate(initial.c_str(), 4096);
    EXPECT_EQ(buffer->capacity, 8192);
    EXPECT_EQ(buffer->length, 5000);
    EXPECT_EQ(std::string(buffer->text), initial);
    textBufferFree(buffer);
}

TEST(TextBuffer, NothingToAppendChangesNothing) {
    TextBuffer* buffer = textBufferCreate(nullptr, 1);
    EXPECT_EQ(buffer->length, 0);
    EXPECT_STREQ(buffer->text, "");
    EXPECT_EQ(textBufferAppend(buffer, nullptr), buffer);
    EXPECT_EQ(textBufferAppend(buffer, ""), buffer);
    EXPECT_EQ(buffer->capacity, 1);
    EXPECT_EQ(textBufferAppend(nullptr, "x"), nullptr);
    textBufferFree(buffer);
    textBufferClear(nullptr);
    textBufferFree(nullptr);
}

TEST(TextBuffer, ClearKeepsStorageForTheNextAppend) {
    TextBuffer* buffer = textBufferCreate("some request text", 8);
    int32_t capacity = buffer->capacity;
    const char* storage = buffer->text;
    textBufferClear(buffer);
    EXPECT_EQ(buffer->length, 0);
    EXPECT_STREQ(buffer->text, "");
    EXPECT_EQ(buffer->capacity, capacity);
    textBufferAppend(buffer, "short");
    EXPECT_EQ(buffer->text, storage);
    EXPECT_STREQ(buffer->text, "short");
    textBufferFree(buffer);
}

TEST(TextBuffer, ReservedRoomTakesAppendsWithoutMovingTheText) {
    TextBuffer* buffer = textBufferCreate("head", 8);
    ASSERT_TRUE(textBufferReserve(buffer, 5000));
    EXPECT_GE(buffer->capacity, 4 + 5000 + 1);
    const char* storage = buffer->text;
    for (int i = 0; i < 50; i++) {
        textBufferAppend(buffer, std::string(100, 'b').c_str());
    }
    EXPECT_EQ(buffer->text, storage);
    EXPECT_EQ(buffer->length, 5004);
    EXPECT_FALSE(buffer->lost);
    EXPECT_TRUE(textBufferReserve(buffer, 0));
    textBufferFree(buffer);
}

TEST(TextBuffer, ManySmallAppendsStayLinearAndExact) {
    TextBuffer* buffer = textBufferCreate(nullptr, 4);
    std::string expected;
    int grows = 0;
    int32_t last = buffer->capacity;
    for (int i = 0; i < 20000; i++) {
        const char* piece = (i % 3 == 0) ? "<item/>" : "ab";
        textBufferAppend(buffer, piece);
        expected += piece;
        if (buffer->capacity != last) {
            EXPECT_GE(buffer->capacity, 2 * last);
            last = buffer->capacity;
            grows++;
        }
    }
    EXPECT_EQ(std::string(buffer->text), expected);
    EXPECT_LT(grows, 20); // doubling: logarithmic number of reallocations
    expectConsistent(buffer);
    textBufferFree(buffer);
}

TEST(TextBuffer, FormattedAppendUsesTheSameGrowthRule) {
    TextBuffer* buffer = textBufferCreate("0123456789", 16);
    textBufferAppendFormat(buffer, "%d-%s", 42, "ab"); // 15 characters: fits
    EXPECT_EQ(buffer->capacity, 16);
    textBufferAppendFormat(buffer, "%s", "!");
    EXPECT_EQ(buffer->capacity, 32);
    std::string wide(100, 'z');
    textBufferAppendFormat(buffer, "<%s>", wide.c_str());
    EXPECT_EQ(buffer->capacity, 16 + 102 + 1);
    EXPECT_EQ(std::string(buffer->text), "012345678942-ab!<" + wide + ">");
    expectConsistent(buffer);
    textBufferFree(buffer);
}

// A counted append takes exactly its bytes (a longer source is not read past them) with the
// growth rule of textBufferAppend; truncating keeps the storage for what follows.
TEST(TextBuffer, CountedAppendAndTruncate) {
    TextBuffer* buffer = textBufferCreate("0123456789", 16);
    textBufferAppendLength(buffer, "abcdefgh", 5); // 15 characters: fits
    EXPECT_EQ(buffer->capacity, 16);
    EXPECT_STREQ(buffer->text, "0123456789abcde");
    textBufferAppendLength(buffer, "xyz", 1);
    EXPECT_EQ(buffer->capacity, 32);
    textBufferAppendLength(buffer, "ignored", 0);
    textBufferAppendLength(buffer, "ignored", -3);
    EXPECT_STREQ(buffer->text, "0123456789abcdex");
    textBufferTruncate(buffer, 10);
    EXPECT_STREQ(buffer->text, "0123456789");
    textBufferTruncate(buffer, 50); // not below the length: nothing changes
    textBufferTruncate(buffer, -1);
    EXPECT_EQ(buffer->length, 10);
    EXPECT_EQ(buffer->capacity, 32);
    expectConsistent(buffer);
    textBufferFree(buffer);
}

} // namespace
