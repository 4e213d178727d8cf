// The panes' byte store: lines found in any split of the input, whole lines
// dropped at the capacity, and a window that says so once per pane.

#include "MyRegistry.h"
#include "PaneText.h"
#include "TerminalFixture.h"

#include <random>

using terminal::TPaneText;

namespace {

// The lines as the index cuts them, each with its break.
std::vector<std::string> IndexedLines(const TPaneText& text)
{
    std::vector<std::string> lines;
    for (uint64_t l = text.FirstLine(); l <= text.LastLine(); ++l)
        lines.push_back(text.Bytes(text.LineStart(l), text.LineNext(l)));
    return lines;
}

} // namespace

// Whatever the split of the appends, the text and its lines are the same:
// CR LF ends a line also when CR and LF arrive apart, a lone CR or LF does
// not, and an endless line is cut for display without changing the text.
TEST(PaneText, LinesAreTheSameInEverySplitOfTheInput)
{
    std::mt19937 rng(7);
    std::string input = "a\r\nb\rc\nd\r\r\n\n\r\n" + std::string(TPaneText::kMaxLineBytes * 2 + 5, 'x') + "\r";
    input += std::string(TPaneText::kMaxLineBytes - 1, 'y') + "\r\n\r\n";
    for (int i = 0; i < 3000; ++i)
        input.push_back("\r\nab\0"[rng() % 5]);

    TPaneText whole;
    whole.Append(input);
    ASSERT_EQ(whole.All(), input);
    const std::vector<std::string> lines = IndexedLines(whole);
    EXPECT_EQ(lines[0], "a\r\n");
    EXPECT_EQ(lines[1], "b\rc\nd\r\r\n");
    EXPECT_EQ(lines[2], "\n\r\n");
    for (const std::string& line : lines) {
        EXPECT_LE(line.size(), TPaneText::kMaxLineBytes + 2);
        // No break inside a line.
        EXPECT_EQ(line.substr(0, line.size() - 2).find("\r\n"), std::string::npos);
    }
    for (int round = 0; round < 20; ++round) {
        TPaneText split;
        for (size_t at = 0; at < input.size();) {
            const size_t take = std::min<size_t>(input.size() - at, rng() % 40);
            split.Append(std::string_view(input).substr(at, take));
            at += take;
        }
        ASSERT_EQ(IndexedLines(split), lines) << "round " << round;
    }
    // Every offset belongs to the line that shows it; the break to the line it ends.
    for (uint64_t l = whole.FirstLine(); l <= whole.LastLine(); ++l)
        for (uint64_t pos = whole.LineStart(l); pos < whole.LineNext(l); ++pos)
            ASSERT_EQ(whole.LineOf(pos), l);
    EXPECT_EQ(whole.LineEnd(0), 1u);
}

// At the capacity the oldest whole lines leave; offsets and line numbers of
// what stays keep their meaning, and the memory stays near the text's size.
TEST(PaneText, TheCapacityDropsTheOldestWholeLines)
{
    TPaneText text(TPaneText::kMinCapacity);
    std::string line(99, 'z');
    line += "\r\n"; // 101 bytes
    uint64_t appended = 0;
    bool trimmed = false;
    while (appended < 5 * TPaneText::kMinCapacity) {
        trimmed = text.Append(line) || trimmed;
        appended += line.size();
        ASSERT_LE(text.Size(), text.Capacity());
    }
    EXPECT_TRUE(trimmed);
    EXPECT_EQ(text.End(), appended);
    EXPECT_GT(text.Size(), text.Capacity() - line.size());
    EXPECT_EQ(text.Begin() % line.size(), 0u) << "a line was cut";
    EXPECT_EQ(text.FirstLine(), text.Begin() / line.size());
    EXPECT_EQ(text.Bytes(text.Begin(), text.Begin() + line.size()), line);
    EXPECT_LT(text.MemoryBytes(), text.Size() + text.Size() / 4);

    // A lower capacity trims at once; Replace keeps the offsets' base.
    text.SetCapacity(0);
    EXPECT_EQ(text.Capacity(), TPaneText::kMinCapacity);
    const uint64_t begin = text.Begin();
    text.Replace(begin + 1, begin + 99, "-");
    EXPECT_EQ(text.Bytes(begin, begin + 5), "z-\r\nz");
    EXPECT_EQ(text.LineNext(text.FirstLine()), begin + 4);
}

// The capacity is read from the program's own subkey and written back there
// at the close, beside the 21 values.
TEST_F(TerminalFixture, ThePaneCapacityLivesInItsOwnSubkey)
{
    WriteRegistry(NeutralSettings() + "\r\n[HKEY_CURRENT_USER\\Software\\Brenlow\\Tarrowin\\Panes]\r\n"
                                      "\"CapacityMiB\"=dword:00000003\r\n");
    TForm1& f = Form();
    EXPECT_EQ(f.MemoIn->Capacity(), 3u << 20);
    EXPECT_EQ(f.MemoOut->Capacity(), 3u << 20);
    ASSERT_TRUE(f.close());
    form.reset();
    TMyRegistry saved;
    ASSERT_TRUE(saved.OpenKey("Software\\Brenlow\\Tarrowin\\Panes", false));
    EXPECT_EQ(saved.ReadInteger("CapacityMiB"), 3);

    // No value (a first start) gives the stated default.
    WriteRegistry(NeutralSettings());
    EXPECT_EQ(Form().MemoIn->Capacity(), TPaneText::kDefaultCapacity);
}
