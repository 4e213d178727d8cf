#include "InterlinkFrames.h"

#include "Ticks.h"

#include <algorithm>
#include <stdexcept>

namespace terminal {

std::string MyStr(int32_t Value, int Width)
{
    std::string digits = std::to_string(Value);
    if (static_cast<int>(digits.size()) < Width)
        digits.insert(0, static_cast<size_t>(Width) - digits.size(), ' ');
    return digits;
}

std::string InterlinkTimeStamp()
{
    return MyStr(static_cast<int32_t>(platform::GetTickCount()), 10);
}

std::string MakeInterlinkFrame(const std::string& payload)
{
    if (payload.size() > kMaxPayloadLength)
        throw std::length_error("Interlink payload longer than one frame");
    const size_t total = payload.size() + 3;
    std::string frame;
    frame.reserve(total);
    frame.push_back('L');
    frame.push_back(static_cast<char>(total % 256));
    frame.push_back(static_cast<char>(total / 256 % 256));
    frame += payload;
    return frame;
}

bool TakeInterlinkFrame(std::string& buffer, std::string& payload)
{
    if (buffer.size() < 3)
        return false;
    const size_t total = static_cast<unsigned char>(buffer[1]) + 256u * static_cast<unsigned char>(buffer[2]);
    if (buffer[0] != 'L' || total < 3) {
        buffer.clear();
        return false;
    }
    if (buffer.size() < total)
        return false;
    payload.assign(buffer, 3, total - 3);
    buffer.erase(0, total);
    return true;
}

bool HoldsWholeFrame(const std::string& buffer)
{
    if (buffer.size() < 3)
        return false;
    const size_t total = static_cast<unsigned char>(buffer[1]) + 256u * static_cast<unsigned char>(buffer[2]);
    return buffer[0] != 'L' || total < 3 || buffer.size() >= total;
}

bool TakeGreeting(std::string& buffer)
{
    if (buffer.starts_with('L'))
        return true;
    const size_t end = buffer.find("\r\n");
    if (end != std::string::npos) {
        buffer.erase(0, end + 2);
        return true;
    }
    if (buffer.size() <= kMaxGreetingLength)
        return false;
    buffer.clear();
    return true;
}

std::vector<std::string> MakeNotificationPayloads(const std::string& kind, const std::string& data)
{
    std::vector<std::string> payloads;
    size_t offset = 0;
    do {
        std::string payload = kind + InterlinkTimeStamp();
        const size_t room = kMaxPayloadLength - payload.size();
        const size_t take = std::min(room, data.size() - offset);
        payload.append(data, offset, take);
        offset += take;
        payloads.push_back(std::move(payload));
    } while (offset < data.size());
    return payloads;
}

} // namespace terminal
