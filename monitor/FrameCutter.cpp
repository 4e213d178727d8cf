#include "FrameCutter.h"

namespace monitor {

namespace {

int64_t Ns(journal::Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// The shortest character at 19200 bit/s (5 data bits, no parity, 1 stop
// bit) takes 7 bit times; a shorter one can only come at a higher rate.
constexpr int64_t kShortestCharAt19200Ns = 7 * 1000000000LL / 19200;
constexpr int64_t kHighRateGapNs = 1750000;
// Echo bytes come back through the receive path after our stop bit.
constexpr int64_t kEchoToleranceChars = 2;

} // namespace

int64_t FrameCutter::GapNs(int64_t charNs) const
{
    if (userGapNs_ > 0)
        return userGapNs_;
    const bool highRate = bitRate_ != 0 ? bitRate_ > 19200 : (charNs > 0 && charNs < kShortestCharAt19200Ns);
    if (highRate)
        return kHighRateGapNs;
    return charNs * 7 / 2;
}

void FrameCutter::Received(const journal::Record& record)
{
    for (size_t i = 0; i < record.bytes.size(); ++i)
        Byte(static_cast<unsigned char>(record.bytes[i]), Ns(journal::ByteStart(record, i)), record.charNs);
}

void FrameCutter::Byte(unsigned char byte, int64_t startNs, int64_t charNs)
{
    // A byte's start is worked back from when it was read, so a late read
    // puts it late. An echo that has begun to come back goes on while its
    // bytes keep matching, for as long as a read may be late; one that
    // never began ends with the window, so that an adapter that does not
    // hear itself does not take the answer for a collision.
    if (window_.active && startNs > window_.endNs) {
        const bool echoGoesOn = window_.matched > 0 && startNs <= window_.endNs + holdNs_ &&
                                static_cast<unsigned char>(window_.expected[window_.matched]) == byte;
        if (!echoGoesOn) {
            window_.active = false;
            if (open_ && frame_.echoPart)
                Close();
        }
    }
    const bool echoPart = window_.active && startNs >= window_.startNs;
    if (open_ && (frame_.echoPart != echoPart || startNs - frame_.endNs >= GapNs(frameCharNs_)))
        Close();
    if (!open_)
        Start(startNs, echoPart);
    frameCharNs_ = charNs;
    if (echoPart) {
        const size_t at = window_.matched++;
        if (!frame_.collision && static_cast<unsigned char>(window_.expected[at]) != byte) {
            frame_.collision = true;
            frame_.collisionAt = static_cast<uint32_t>(frame_.bytes.size());
        }
    }
    frame_.bytes.push_back(static_cast<char>(byte));
    frame_.endNs = startNs + charNs;
    if (echoPart && window_.matched == window_.expected.size()) {
        // All we sent has come back: what follows is somebody's answer.
        window_.active = false;
        Close();
    }
}

void FrameCutter::Transmitting(int64_t windowStartNs, int64_t wireEndNs, int64_t charNs, std::string_view sent)
{
    if (open_ && !frame_.echoPart)
        Close();
    if (sent.empty())
        return;
    const int64_t endNs = wireEndNs + kEchoToleranceChars * charNs;
    if (window_.active && windowStartNs <= window_.endNs) {
        // A write queued behind the last one: its bytes follow on the wire
        // and come back after the last one's echo.
        window_.expected.append(sent);
        window_.endNs = endNs;
        return;
    }
    if (open_)
        Close();
    window_.active = true;
    window_.startNs = windowStartNs;
    window_.endNs = endNs;
    window_.expected.assign(sent);
    window_.matched = 0;
}

void FrameCutter::Tick(int64_t nowNs, int64_t holdNs)
{
    if (window_.active && nowNs > window_.endNs + holdNs) {
        window_.active = false;
        if (open_ && frame_.echoPart)
            Close();
    }
    if (open_ && nowNs >= frame_.endNs + GapNs(frameCharNs_) + holdNs)
        Close();
}

void FrameCutter::Flush()
{
    if (open_)
        Close();
    window_.active = false;
}

void FrameCutter::Start(int64_t startNs, bool echoPart)
{
    open_ = true;
    frame_ = CutFrame{};
    frame_.startNs = startNs;
    frame_.endNs = startNs;
    frame_.echoPart = echoPart;
}

void FrameCutter::Close()
{
    open_ = false;
    sink_(std::move(frame_));
    frame_ = CutFrame{};
}

} // namespace monitor
