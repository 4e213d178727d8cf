#pragma once
// Driving a device through the comm API, for the tests of ttys and of the
// loopback plug, which speak to their devices the same way.

#include "CommApi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace testsupport {

// A safety net against hangs, not a timing check.
constexpr win::DWORD Patience = 10000;

// An OVERLAPPED with its own manual-reset event.
struct Overlapped {
    Overlapped() { ov.hEvent = win::CreateEvent(true, false); }
    ~Overlapped() { win::CloseHandle(ov.hEvent); }
    Overlapped(const Overlapped&) = delete;

    bool Completed(win::DWORD ms = Patience) { return win::WaitForSingleObject(ov.hEvent, ms) == win::WAIT_OBJECT_0; }
    win::OVERLAPPED ov{};
};

// 8N1 without flow control, DTR and RTS raised: what every device takes.
inline win::DCB PlainDcb(win::DWORD rate)
{
    win::DCB dcb;
    dcb.BaudRate = rate;
    dcb.Flags = win::fBinary | (win::DTR_CONTROL_ENABLE << 4) | (win::RTS_CONTROL_ENABLE << 12);
    return dcb;
}

// 115200 8N1, reads that return at once.
inline win::HANDLE OpenPlain(const std::string& path)
{
    win::HANDLE device = win::CreateFile(path);
    EXPECT_NE(device, win::INVALID_HANDLE_VALUE) << path << ": " << win::FormatMessage(win::GetLastError());
    win::COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = win::MAXDWORD;
    if (device != win::INVALID_HANDLE_VALUE) {
        EXPECT_TRUE(win::SetCommState(device, PlainDcb(115200)));
        EXPECT_TRUE(win::SetCommTimeouts(device, timeouts));
    }
    return device;
}

// 0 when the call succeeded: one assertion checks that it failed and why.
inline win::DWORD Failure(bool succeeded) { return succeeded ? 0 : win::GetLastError(); }

inline win::DWORD InQueue(win::HANDLE device)
{
    win::COMSTAT stat;
    EXPECT_TRUE(win::ClearCommError(device, nullptr, &stat));
    return stat.cbInQue;
}

inline bool WaitForInQueue(win::HANDLE device, win::DWORD count)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(Patience);
    while (InQueue(device) < count && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return InQueue(device) >= count;
}

// Everything waiting to be read, under OpenPlain's time-outs.
inline std::string ReadWaiting(win::HANDLE device)
{
    char buffer[1024];
    Overlapped read;
    win::DWORD done = 0;
    EXPECT_TRUE(win::ReadFile(device, buffer, sizeof buffer, &done, &read.ov)) << win::FormatMessage(win::GetLastError());
    return std::string(buffer, done);
}

// Reads until `count` bytes have come, or the patience has run out.
inline std::string ReadAtLeast(win::HANDLE device, size_t count)
{
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(Patience);
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
        if (InQueue(device) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        got += ReadWaiting(device);
    }
    return got;
}

// The event word of the next report.
inline win::DWORD NextEvents(win::HANDLE device)
{
    Overlapped wait;
    win::DWORD events = 0xDEAD;
    if (!win::WaitCommEvent(device, &events, &wait.ov)) {
        EXPECT_EQ(win::GetLastError(), win::ERROR_IO_PENDING);
        EXPECT_TRUE(wait.Completed());
    }
    return events;
}

// Returns once the write has completed in full.
inline void WriteAll(win::HANDLE device, const std::string& bytes)
{
    Overlapped write;
    win::DWORD done = 0;
    if (!win::WriteFile(device, bytes.data(), win::DWORD(bytes.size()), &done, &write.ov)) {
        ASSERT_EQ(win::GetLastError(), win::ERROR_IO_PENDING);
        ASSERT_TRUE(write.Completed());
    }
    ASSERT_TRUE(win::GetOverlappedResult(device, &write.ov, &done, false));
    ASSERT_EQ(done, bytes.size());
}

} // namespace testsupport
