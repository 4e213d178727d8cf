// What the send box turns into bytes: "#n" and "<n>" escapes.

#include "SendEscapes.h"

#include <gtest/gtest.h>

using terminal::ExpandSendEscapes;

namespace {
std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}
} // namespace

TEST(SendEscapes, TableOfExamples)
{
    EXPECT_EQ(ExpandSendEscapes("AT#13"), Bytes({'A', 'T', 13}));
    EXPECT_EQ(ExpandSendEscapes("<2>Hallo<3>"), Bytes({2, 'H', 'a', 'l', 'l', 'o', 3}));
    EXPECT_EQ(ExpandSendEscapes("<13><10>"), Bytes({13, 10}));
    EXPECT_EQ(ExpandSendEscapes("a##b"), "a#b");
    EXPECT_EQ(ExpandSendEscapes("50%<<"), "50%<");
    EXPECT_EQ(ExpandSendEscapes("#1234"), Bytes({123, '4'}));
    EXPECT_EQ(ExpandSendEscapes("<1234>"), Bytes({123, '4', '>'}));
    EXPECT_EQ(ExpandSendEscapes("<65"), "A");
    EXPECT_EQ(ExpandSendEscapes("#256"), Bytes({0}));
    EXPECT_EQ(ExpandSendEscapes("#999"), Bytes({231}));
    EXPECT_EQ(ExpandSendEscapes("#A"), "#A");
    EXPECT_EQ(ExpandSendEscapes("<>"), "<>");
    EXPECT_EQ(ExpandSendEscapes("#"), "#");
}

