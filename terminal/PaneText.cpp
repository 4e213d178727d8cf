#include "PaneText.h"

#include <algorithm>
#include <cstring>

namespace terminal {

TPaneText::TPaneText(uint64_t capacity)
{
    capacity_ = std::clamp(capacity, kMinCapacity, kMaxCapacity);
    starts_.push_back(0);
}

void TPaneText::SetCapacity(uint64_t capacity)
{
    capacity_ = std::clamp(capacity, kMinCapacity, kMaxCapacity);
    TrimToCapacity();
}

void TPaneText::Clear()
{
    blocks_.clear();
    frontSkip_ = 0;
    begin_ = end_ = 0;
    firstLine_ = 0;
    starts_.assign(1, 0);
    last_ = 0;
}

bool TPaneText::Append(std::string_view bytes)
{
    const uint64_t at = end_;
    const char* p = bytes.data();
    size_t n = bytes.size();
    while (n > 0) {
        const size_t used = frontSkip_ + static_cast<size_t>(end_ - begin_);
        const size_t slots = blocks_.size() * kBlock;
        if (used == slots) {
            blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlock));
            continue;
        }
        const size_t take = std::min(n, slots - used);
        std::memcpy(blocks_[used / kBlock].get() + used % kBlock, p, take);
        p += take;
        n -= take;
        end_ += take;
    }
    Index(bytes.data(), bytes.size(), at);
    const uint64_t before = firstLine_;
    TrimToCapacity();
    return firstLine_ != before;
}

void TPaneText::Index(const char* p, size_t n, uint64_t at)
{
    uint64_t lineStart = starts_.back();
    char prev = last_;
    for (size_t i = 0; i < n; ++i) {
        const char c = p[i];
        const uint64_t pos = at + i;
        const bool breakEnd = prev == '\r' && c == '\n';
        if (!breakEnd && pos - lineStart >= kMaxLineBytes) {
            starts_.push_back(pos);
            lineStart = pos;
        }
        if (breakEnd) {
            starts_.push_back(pos + 1);
            lineStart = pos + 1;
        }
        prev = c;
    }
    if (n > 0)
        last_ = p[n - 1];
}

void TPaneText::TrimToCapacity()
{
    if (Size() <= capacity_)
        return;
    // The first line start at or beyond the cut that follows a line break
    // keeps the lines whole; only a text without any break left is cut at
    // one of its display lines. A display line is never longer than the
    // least capacity, so one is always left.
    const uint64_t cut = end_ - capacity_;
    auto keep = std::lower_bound(starts_.begin() + 1, starts_.end(), cut);
    if (keep == starts_.end())
        --keep;
    auto whole = keep;
    while (whole != starts_.end() && !(At(*whole - 1) == '\n' && At(*whole - 2) == '\r'))
        ++whole;
    if (whole != starts_.end())
        keep = whole;
    const auto dropped = keep - starts_.begin();
    DropFront(*keep);
    starts_.erase(starts_.begin(), keep);
    firstLine_ += static_cast<uint64_t>(dropped);
}

void TPaneText::DropFront(uint64_t newBegin)
{
    frontSkip_ += static_cast<size_t>(newBegin - begin_);
    begin_ = newBegin;
    while (frontSkip_ >= kBlock && !blocks_.empty()) {
        blocks_.pop_front();
        frontSkip_ -= kBlock;
    }
    if (begin_ == end_ && blocks_.size() > 1) {
        blocks_.clear();
        frontSkip_ = 0;
    }
}

void TPaneText::Replace(uint64_t from, uint64_t to, std::string_view bytes)
{
    from = std::clamp(from, begin_, end_);
    to = std::clamp(to, from, end_);
    std::string text = Bytes(begin_, from);
    text.append(bytes);
    text += Bytes(to, end_);
    const uint64_t base = begin_;
    const uint64_t firstLine = firstLine_;
    Clear();
    begin_ = end_ = base;
    starts_.assign(1, base);
    firstLine_ = firstLine;
    Append(text);
}

const char* TPaneText::Where(uint64_t pos, size_t& contiguous) const
{
    const size_t offset = frontSkip_ + static_cast<size_t>(pos - begin_);
    contiguous = kBlock - offset % kBlock;
    return blocks_[offset / kBlock].get() + offset % kBlock;
}

std::string TPaneText::Bytes(uint64_t from, uint64_t to) const
{
    from = std::clamp(from, begin_, end_);
    to = std::clamp(to, from, end_);
    std::string out;
    out.resize(static_cast<size_t>(to - from));
    size_t done = 0;
    while (from < to) {
        size_t contiguous = 0;
        const char* p = Where(from, contiguous);
        const size_t take = static_cast<size_t>(std::min<uint64_t>(contiguous, to - from));
        std::memcpy(out.data() + done, p, take);
        done += take;
        from += take;
    }
    return out;
}

unsigned char TPaneText::At(uint64_t pos) const
{
    if (pos < begin_ || pos >= end_)
        return 0;
    size_t contiguous = 0;
    return static_cast<unsigned char>(*Where(pos, contiguous));
}

bool TPaneText::EndsWithLineBreak() const
{
    return Empty() || (Size() >= 2 && At(end_ - 2) == '\r' && At(end_ - 1) == '\n');
}

uint64_t TPaneText::LineStart(uint64_t line) const
{
    if (line < firstLine_)
        return begin_;
    if (line > LastLine())
        return end_;
    return starts_[static_cast<size_t>(line - firstLine_)];
}

uint64_t TPaneText::LineNext(uint64_t line) const
{
    if (line >= LastLine())
        return end_;
    return LineStart(line + 1);
}

uint64_t TPaneText::LineEnd(uint64_t line) const
{
    const uint64_t start = LineStart(line);
    const uint64_t next = LineNext(line);
    if (next - start >= 2 && At(next - 1) == '\n' && At(next - 2) == '\r')
        return next - 2;
    return next;
}

uint64_t TPaneText::LineOf(uint64_t pos) const
{
    auto after = std::upper_bound(starts_.begin(), starts_.end(), pos);
    if (after == starts_.begin())
        return firstLine_;
    return firstLine_ + static_cast<uint64_t>(after - starts_.begin() - 1);
}

size_t TPaneText::MemoryBytes() const
{
    return blocks_.size() * (kBlock + sizeof(void*)) + starts_.size() * sizeof(uint64_t);
}

} // namespace terminal
