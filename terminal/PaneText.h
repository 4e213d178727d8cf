#pragma once
// The text of one pane as bytes, with an index of where its lines start.
//
// A pane is watched for hours, so its text is kept as it arrived (one byte
// per byte, in fixed-size blocks) and its lines as a list of start offsets:
// an append costs what the appended bytes cost, however much is held, and
// the oldest lines leave in whole blocks once the capacity is reached.
//
// Offsets are absolute: they count every byte appended since the text was
// last replaced, so an offset stays valid while older lines are trimmed
// away in front of it. Line numbers are absolute the same way.
//
// A line ends behind CR LF (the break belongs to the line it ends). A line
// that grows to kMaxLineBytes without a break is continued on a new index
// line: the text is unchanged, but nobody has to lay out megabytes of one
// line to show its last row.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

namespace terminal {

class TPaneText {
public:
    static constexpr uint64_t kDefaultCapacity = 64ull << 20;
    static constexpr uint64_t kMinCapacity = 1ull << 20;
    static constexpr uint64_t kMaxCapacity = 1ull << 30;
    static constexpr uint64_t kMaxLineBytes = 8u << 10;

    explicit TPaneText(uint64_t capacity = kDefaultCapacity);

    // The most bytes the pane holds; clamped to kMinCapacity..kMaxCapacity.
    // Lowering it trims at once.
    void SetCapacity(uint64_t capacity);
    uint64_t Capacity() const { return capacity_; }

    // Empties the text; offsets and line numbers start again at 0.
    void Clear();
    // Appends bytes at the end. When the text then exceeds the capacity,
    // the oldest whole lines are dropped until it fits; returns whether any
    // were.
    bool Append(std::string_view bytes);
    // Replaces [from, to) by bytes and indexes the text anew (a user's cut or
    // paste: the cost of the whole text is paid once).
    void Replace(uint64_t from, uint64_t to, std::string_view bytes);

    uint64_t Begin() const { return begin_; }
    uint64_t End() const { return end_; }
    uint64_t Size() const { return end_ - begin_; }
    bool Empty() const { return end_ == begin_; }
    // The bytes of [from, to), clamped to what is held.
    std::string Bytes(uint64_t from, uint64_t to) const;
    std::string All() const { return Bytes(begin_, end_); }
    unsigned char At(uint64_t pos) const;
    // True when the text is empty or ends with CR LF.
    bool EndsWithLineBreak() const;

    // Lines held: FirstLine() .. FirstLine() + LineCount() - 1. There is
    // always at least one (an empty text is one empty line).
    uint64_t FirstLine() const { return firstLine_; }
    uint64_t LineCount() const { return starts_.size(); }
    uint64_t LastLine() const { return firstLine_ + starts_.size() - 1; }
    uint64_t LineStart(uint64_t line) const;
    // Where the next line starts (the end of the text for the last line).
    uint64_t LineNext(uint64_t line) const;
    // Where the line's shown characters end: before its CR LF, if it has one.
    uint64_t LineEnd(uint64_t line) const;
    // The line that shows offset pos (a pos inside a CR LF belongs to the
    // line it ends).
    uint64_t LineOf(uint64_t pos) const;

    // Heap bytes the text and its index take (for the benchmarks).
    size_t MemoryBytes() const;

private:
    static constexpr size_t kBlock = 64u << 10;

    void Index(const char* p, size_t n, uint64_t at);
    void TrimToCapacity();
    void DropFront(uint64_t newBegin);
    const char* Where(uint64_t pos, size_t& contiguous) const;

    uint64_t capacity_;
    uint64_t begin_ = 0;
    uint64_t end_ = 0;
    // Blocks of kBlock bytes; the first holds begin_ at offset frontSkip_.
    std::deque<std::unique_ptr<char[]>> blocks_;
    size_t frontSkip_ = 0;
    uint64_t firstLine_ = 0;
    std::deque<uint64_t> starts_;
    char last_ = 0; // the last byte appended, for a CR LF split over appends
};

} // namespace terminal
