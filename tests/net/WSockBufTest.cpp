// TBuffer, the block of the send queue.
#include "WSockBuf.h"

#include <gtest/gtest.h>

#include <string>

using net::TBuffer;

TEST(TBuffer, WriteTakesOnlyWhatFits)
{
    TBuffer B(10);
    EXPECT_EQ(B.Write("abcdefgh", 8), 8);
    EXPECT_EQ(B.Write("12345", 5), 2);
    EXPECT_EQ(B.Write("x", 1), 0);
    int Len = 0;
    const char* p = B.Peek(Len);
    ASSERT_EQ(Len, 10);
    EXPECT_EQ(std::string(p, 10), "abcdefgh12");
}

TEST(TBuffer, RemoveAdvancesOverSentBytes)
{
    TBuffer B(10);
    B.Write("abcdef", 6);
    EXPECT_EQ(B.Remove(4), 4);
    int Len = 0;
    const char* p = B.Peek(Len);
    ASSERT_EQ(Len, 2);
    EXPECT_EQ(std::string(p, 2), "ef");
    EXPECT_EQ(B.Remove(5), 2);
    EXPECT_EQ(B.Remove(1), 0);
}

TEST(TBuffer, SpaceFreedAtTheFrontIsReusedOnlyOnceTheBlockHasDrained)
{
    TBuffer B(4);
    B.Write("abcd", 4);
    B.Remove(2);
    EXPECT_EQ(B.Write("e", 1), 0);
    B.Remove(2);
    int Len = -1;
    EXPECT_EQ(B.Peek(Len), nullptr);
    EXPECT_EQ(Len, 0);
    EXPECT_EQ(B.Write("wxyz", 4), 4);
}

TEST(TBuffer, SizeZeroOrLessMeansOneFrame)
{
    EXPECT_EQ(TBuffer(0).Capacity(), 1514);
    EXPECT_EQ(TBuffer(-3).Capacity(), 1514);
    EXPECT_EQ(TBuffer(1460).Capacity(), 1460);
}
