// The Interlink framing fed in arbitrary pieces, the way the handlers feed
// it: append whatever the socket delivered, then take every whole frame.
//
// The first input byte chooses one of two properties:
//
//  even: piece sizes, then any byte stream, cut into those pieces. The
//        result is compared with a model that keeps no buffer of its own but
//        a read position in the stream, and applies the rules
//        independently: a head that is not "L" or has a length below 3
//        throws away everything received so far; a whole frame is taken;
//        anything shorter waits. The buffer never holds more than one
//        frame's worth.
//
//  odd:  piece sizes, then well-formed frames followed by any garbage. The
//        frames must come out in order, whatever the pieces (each split is
//        tried, as are whole-stream and byte-by-byte), before anything the
//        garbage may produce.
//
// Every payload taken is also sent on as the server relays it
// (MakeInterlinkFrame) and must read back unchanged.

#include "InterlinkFrames.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Payloads = std::vector<std::string>;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "Interlink framing: %s\n", what);
    std::abort();
}

void CheckRelay(const std::string& payload)
{
    if (payload.size() > terminal::kMaxPayloadLength)
        Fail("payload longer than a frame can carry");
    std::string frame = terminal::MakeInterlinkFrame(payload);
    std::string back;
    if (!terminal::TakeInterlinkFrame(frame, back) || back != payload || !frame.empty())
        Fail("a relayed frame does not read back as its payload");
}

// Feeds the pieces like ClientDataAvailable / ServerDataAvailable do.
Payloads Feed(const std::vector<std::string>& pieces)
{
    Payloads out;
    std::string buffer;
    std::string payload;
    for (const auto& piece : pieces) {
        buffer += piece;
        while (terminal::TakeInterlinkFrame(buffer, payload)) {
            CheckRelay(payload);
            out.push_back(payload);
        }
        // What stays behind is an unfinished frame at most: never unbounded.
        if (buffer.size() >= terminal::kMaxFrameLength)
            Fail("buffer holds a whole frame's worth or more after taking");
        if (buffer.size() >= 3) {
            const size_t total = static_cast<unsigned char>(buffer[1]) + 256u * static_cast<unsigned char>(buffer[2]);
            if (buffer[0] != 'L' || total < 3 || buffer.size() >= total)
                Fail("buffer left with a bad head or a whole frame in it");
        }
    }
    return out;
}

// The rules on the stream as a whole: `pos` is where the buffer begins in
// the stream, `end` how much of the stream has arrived.
Payloads Model(const std::string& stream, const std::vector<size_t>& ends)
{
    Payloads out;
    size_t pos = 0;
    for (size_t end : ends) {
        while (end - pos >= 3) {
            const auto b1 = static_cast<unsigned char>(stream[pos + 1]);
            const auto b2 = static_cast<unsigned char>(stream[pos + 2]);
            const size_t total = b1 | (size_t{b2} << 8);
            if (stream[pos] != 'L' || total < 3) {
                pos = end; // all that has arrived is dropped
                break;
            }
            if (end - pos < total)
                break;
            out.push_back(stream.substr(pos + 3, total - 3));
            pos += total;
        }
    }
    return out;
}

// Reads the input front to back; past its end every read gives 0.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::string Bytes(size_t n)
    {
        n = std::min(n, size_ - at_);
        std::string s(reinterpret_cast<const char*>(data_ + at_), n);
        at_ += n;
        return s;
    }
    std::string Rest() { return Bytes(size_ - at_); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// Piece sizes: a count, then one byte per piece (255 stands for a piece
// larger than any frame, so frames near the 64 KiB limit also arrive whole).
// The stream left over after the last piece arrives as one more piece.
std::vector<size_t> PieceSizes(Input& in)
{
    std::vector<size_t> sizes(in.Byte());
    for (auto& n : sizes) {
        n = in.Byte();
        if (n == 255)
            n = 70000;
    }
    return sizes;
}

std::vector<std::string> Cut(const std::string& stream, const std::vector<size_t>& sizes, std::vector<size_t>* ends)
{
    std::vector<std::string> pieces;
    size_t at = 0;
    for (size_t i = 0; at < stream.size() || i < sizes.size(); ++i) {
        const size_t n = std::min(i < sizes.size() ? sizes[i] : stream.size(), stream.size() - at);
        pieces.push_back(stream.substr(at, n));
        at += n;
        if (ends)
            ends->push_back(at);
    }
    return pieces;
}

void AnyStream(Input& in)
{
    const std::vector<size_t> sizes = PieceSizes(in);
    const std::string stream = in.Rest();
    std::vector<size_t> ends;
    const auto pieces = Cut(stream, sizes, &ends);
    if (Feed(pieces) != Model(stream, ends))
        Fail("taken payloads differ from the framing rules");
}

// Frames: a count (up to 8), then per frame a length byte and the payload;
// length 255 stands for one of the largest frames. The rest is garbage.
void FramesThenGarbage(Input& in)
{
    const std::vector<size_t> sizes = PieceSizes(in);
    Payloads frames;
    std::string stream;
    const int count = in.Byte() % 9;
    for (int i = 0; i < count; ++i) {
        const size_t len = in.Byte();
        std::string payload;
        if (len == 255)
            payload.assign(terminal::kMaxPayloadLength - in.Byte() % 3, 'x');
        else
            payload = in.Bytes(len);
        stream += terminal::MakeInterlinkFrame(payload);
        frames.push_back(std::move(payload));
    }
    stream += in.Rest();

    std::vector<std::vector<std::string>> splits;
    splits.push_back({stream});
    // Byte by byte, as a slow link delivers it (skipped for the largest
    // frames only to keep the runs fast; the pieces below still cut them).
    if (stream.size() <= 4096) {
        std::vector<std::string> bytes;
        for (char c : stream)
            bytes.emplace_back(1, c);
        splits.push_back(std::move(bytes));
    }
    splits.push_back(Cut(stream, sizes, nullptr));

    for (const auto& pieces : splits) {
        const Payloads got = Feed(pieces);
        if (got.size() < frames.size())
            Fail("a well-formed frame was lost");
        for (size_t i = 0; i < frames.size(); ++i)
            if (got[i] != frames[i])
                Fail("a well-formed frame came out changed or out of order");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in(data, size);
    if (in.Byte() % 2 == 0)
        AnyStream(in);
    else
        FramesThenGarbage(in);
    return 0;
}
