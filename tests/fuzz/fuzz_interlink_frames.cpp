// TakeInterlinkFrame fed in arbitrary pieces, as the socket handlers feed it.
// An even first byte: any stream, whose payloads must be those of a model
// reading the stream as a whole; only a bad head (not "L", or a length below
// 3) makes the split matter, as it drops all that arrived. An odd one:
// well-formed frames and garbage; the frames come out first and in order.

#include "FuzzCheck.h"
#include "InterlinkFrames.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

size_t LengthField(const std::string& s, size_t at)
{
    return static_cast<uint8_t>(s[at + 1]) | size_t{static_cast<uint8_t>(s[at + 2])} << 8;
}

Strings Feed(const Strings& pieces)
{
    Strings out;
    std::string buffer, payload;
    for (const auto& piece : pieces) {
        buffer += piece;
        while (terminal::TakeInterlinkFrame(buffer, payload))
            out.push_back(payload);
        if (buffer.size() >= 3) {
            const size_t total = LengthField(buffer, 0);
            Check(buffer[0] == 'L' && total >= 3 && buffer.size() < total,
                  "the buffer keeps a bad head or a whole frame after taking");
        }
    }
    return out;
}

// Keeps no buffer, only where the buffer would begin in the stream.
Strings Model(const Strings& pieces)
{
    Strings out;
    std::string stream;
    size_t pos = 0;
    for (const auto& piece : pieces) {
        stream += piece;
        while (stream.size() - pos >= 3) {
            const size_t total = LengthField(stream, pos);
            if (stream[pos] != 'L' || total < 3) {
                pos = stream.size();
            } else if (stream.size() - pos >= total) {
                out.push_back(stream.substr(pos + 3, total - 3));
                pos += total;
            } else {
                break;
            }
        }
    }
    return out;
}

// Reads the input front to back; past its end every byte is 0.
struct Input {
    std::string_view data;

    uint8_t Byte() { return data.empty() ? 0 : Bytes(1)[0]; }
    std::string Bytes(size_t n)
    {
        std::string s(data.substr(0, n));
        data.remove_prefix(s.size());
        return s;
    }
};

// A count, then one size per piece; 255 is a piece larger than any frame. What
// the sizes leave of the stream arrives as a last piece.
std::vector<size_t> PieceSizes(Input& in)
{
    std::vector<size_t> sizes(in.Byte());
    for (auto& n : sizes)
        if ((n = in.Byte()) == 255)
            n = 70000;
    return sizes;
}

Strings Cut(const std::string& stream, const std::vector<size_t>& sizes)
{
    Strings pieces;
    size_t at = 0;
    for (size_t i = 0; at < stream.size() || i < sizes.size(); ++i) {
        const size_t n = std::min(i < sizes.size() ? sizes[i] : stream.size(), stream.size() - at);
        pieces.push_back(stream.substr(at, n));
        at += n;
    }
    return pieces;
}

// A count (up to 8), then per frame a length byte and the payload; 255 is
// one of the largest frames. The rest is garbage.
void FramesThenGarbage(Input& in, const std::vector<size_t>& sizes)
{
    Strings frames;
    std::string stream;
    for (int count = in.Byte() % 9; count > 0; --count) {
        const size_t len = in.Byte();
        frames.push_back(len == 255 ? std::string(terminal::kMaxPayloadLength - in.Byte() % 3, 'x') : in.Bytes(len));
        stream += terminal::MakeInterlinkFrame(frames.back());
    }
    stream += in.Bytes(in.data.size());

    std::vector<Strings> splits{{stream}, Cut(stream, sizes)};
    if (stream.size() <= 4096) // byte by byte, as a slow link delivers it
        splits.push_back(Cut(stream, std::vector<size_t>(stream.size(), 1)));
    for (const auto& pieces : splits) {
        const Strings got = Feed(pieces);
        Check(got.size() >= frames.size() && std::equal(frames.begin(), frames.end(), got.begin()),
              "a well-formed frame was lost, changed or reordered");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in{{reinterpret_cast<const char*>(data), size}};
    const bool wellFormed = in.Byte() % 2 == 1;
    const auto sizes = PieceSizes(in);
    if (wellFormed) {
        FramesThenGarbage(in, sizes);
    } else {
        const Strings pieces = Cut(in.Bytes(in.data.size()), sizes);
        Check(Feed(pieces) == Model(pieces), "taken payloads differ from the framing rules");
    }
    return 0;
}
