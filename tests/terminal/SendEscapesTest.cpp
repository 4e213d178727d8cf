#include "DecodeText.h"
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

TEST(SendEscapes, RawLineEndAppendedBeforeParsing)
{
    EXPECT_EQ(ExpandSendEscapes("#13#10\r\n"), "\r\n\r\n");
    // The escape ends at the CR, which is not ">".
    EXPECT_EQ(ExpandSendEscapes("<13\r\n"), "\r\r\n");
    EXPECT_EQ(ExpandSendEscapes("x#\r\n"), "x#\r\n");
    EXPECT_EQ(ExpandSendEscapes("x<\r\n"), "x<\r\n");
    EXPECT_EQ(ExpandSendEscapes(""), "");
}

TEST(SendEscapes, RewrittenPaneTextSendsTheOriginalBytes)
{
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    // Printable "#" and "<" are not rewritten, so double them as a user would.
    std::string decoded;
    for (char c : terminal::DecodeText(all)) {
        decoded.push_back(c);
        if (c == '#')
            decoded.push_back('#');
    }
    std::string doubled;
    for (size_t i = 0; i < decoded.size(); ++i) {
        doubled.push_back(decoded[i]);
        // A literal "<" (byte 60) appears as "<" followed by a non-digit.
        if (decoded[i] == '<' && (i + 1 >= decoded.size() || decoded[i + 1] < '0' || decoded[i + 1] > '9'))
            doubled.push_back('<');
    }
    EXPECT_EQ(ExpandSendEscapes(doubled), all);
}
