#pragma once
// What the sending side of the Interlink needs: the frame format, the
// notification payloads and the walk over the peer list.
//
// A frame is the byte "L", the total length including these three header
// bytes as an unsigned 16-bit little-endian number, and the payload.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace terminal {

constexpr size_t kMaxFrameLength = 65535;
constexpr size_t kMaxPayloadLength = kMaxFrameLength - 3;

// Decimal form of Value, right-aligned with blanks to at least Width
// characters, never cut.
std::string MyStr(int32_t Value, int Width);

// The time stamp of a notification: the tick count as a signed 32-bit number.
std::string InterlinkTimeStamp();

// One frame around a payload of at most kMaxPayloadLength bytes (a longer one
// is a programming error: std::length_error).
std::string MakeInterlinkFrame(const std::string& payload);

// The payloads of a notification ("RCVD" or "SENT") for data of any length:
// kind, time stamp, data. Data that does not fit one frame is split into
// several notifications of the same kind, in order, each with its own time
// stamp. Empty data gives one payload without data bytes.
std::vector<std::string> MakeNotificationPayloads(const std::string& kind, const std::string& data);

// Takes the frame at the head of an input buffer. Returns true with the
// frame's payload and the frame removed from the buffer when a whole frame
// is there; false while it is incomplete. A buffer that does not begin with
// "L", or whose length field is below 3 (it cannot describe a frame), is
// discarded whole so the link cannot stall on it.
bool TakeInterlinkFrame(std::string& buffer, std::string& payload);

// Whether TakeInterlinkFrame would do something with the buffer now: take a
// whole frame, or discard input that cannot be one.
bool HoldsWholeFrame(const std::string& buffer);

// Runs steps that must each run even when one before has failed, and
// raises the first failure once they have all run.
class TFirstFailure {
public:
    template <class Step>
    void Run(Step step)
    {
        try {
            step();
        } catch (...) {
            if (!first_)
                first_ = std::current_exception();
        }
    }
    void Raise()
    {
        if (first_)
            std::rethrow_exception(std::exchange(first_, nullptr));
    }

private:
    std::exception_ptr first_;
};

// Takes every whole frame from the buffer and hands each payload to `act`.
// A payload whose act fails must not strand the frames behind it, which
// might wait for ever for another data event: all are taken, and the first
// failure is raised afterwards.
template <class Act>
void TakeEveryFrame(std::string& buffer, Act act)
{
    TFirstFailure failures;
    std::string payload;
    while (TakeInterlinkFrame(buffer, payload))
        failures.Run([&] { act(payload); });
    failures.Raise();
}

// A client's input begins with the server's greeting, one line ending in
// CR LF. Takes that line off the head of the buffer and returns true; false
// while the line is incomplete. A server that greets with nothing starts
// with a frame at once: input beginning with "L" is left as it is, and true
// returned. Input that runs on past kMaxGreetingLength without a line end is
// no greeting: it is discarded and true returned, so that the framing takes
// over.
constexpr size_t kMaxGreetingLength = 1024;
bool TakeGreeting(std::string& buffer);

// Sends a frame to every connected peer exactly once. A peer that is not
// connected is dropped from the list (the last entry takes its place, so the
// order may change); its socket is not touched. A send that fails keeps the
// frame from no later peer: the first failure is raised after the walk.
template <class Peer, class IsConnected>
void WalkPeers(std::vector<Peer*>& peers, const std::string& frame, IsConnected isConnected)
{
    TFirstFailure failures;
    size_t i = 0;
    while (i < peers.size()) {
        if (isConnected(peers[i])) {
            failures.Run([&] { peers[i]->SendString(frame); });
            ++i;
        } else {
            peers[i] = peers.back();
            peers.pop_back();
        }
    }
    failures.Raise();
}

} // namespace terminal
