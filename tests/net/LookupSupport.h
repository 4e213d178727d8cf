#pragma once
// Helpers for tests of the asynchronous look-ups: a stand-in resolver that
// answers on command, and a way to know that every answer has come through.

#include "EventLoopWait.h"
#include "WinSock.h"
#include "WinSockInternal.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace nettest {

// Answers host names in place of the system resolver while it lives:
// "nowhere" is unknown, a name starting with "slow" waits until Release(),
// every other name gets Addresses. Counts the names it was asked.
class FakeResolver {
public:
    explicit FakeResolver(std::vector<uint32_t> addresses = {winsock::htonl(0x0a000001)})
        : Addresses(std::move(addresses))
    {
        winsock::detail::SetHostNameResolver([this](const std::string& name, std::string& canonical,
                                                    std::vector<uint32_t>& out) {
            {
                std::unique_lock lock(Mutex);
                Asked.push_back(name);
                if (name.rfind("slow", 0) == 0)
                    Released.wait(lock, [this] { return Open; });
            }
            if (name == "nowhere")
                return winsock::WSAHOST_NOT_FOUND;
            canonical = name;
            out = Addresses;
            return 0;
        });
    }
    ~FakeResolver()
    {
        Release();
        winsock::detail::SetHostNameResolver(nullptr);
        testsupport::PumpUntil([] { return winsock::LookupThreadCount() == 0; });
    }
    void Release()
    {
        std::lock_guard lock(Mutex);
        Open = true;
        Released.notify_all();
    }
    std::vector<std::string> Names()
    {
        std::lock_guard lock(Mutex);
        return Asked;
    }

private:
    std::vector<uint32_t> Addresses;
    std::mutex Mutex;
    std::condition_variable Released;
    bool Open = false;
    std::vector<std::string> Asked;
};

// Returns once every answer any look-up will ever post has been handled: no
// look-up thread is left, and a message posted after them all has come
// through the thread's one queue.
inline void SettleLookups()
{
    ASSERT_TRUE(testsupport::PumpUntil([] { return winsock::LookupThreadCount() == 0; }));
    bool Seen = false;
    winsock::HWND Marker = winsock::CreateMessageWindow(
        [&](winsock::HWND, winsock::UINT, winsock::WPARAM, winsock::LPARAM) -> winsock::LRESULT {
            Seen = true;
            return 0;
        });
    winsock::PostMessage(Marker, winsock::WM_USER, 0, 0);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return Seen; }));
    winsock::DestroyMessageWindow(Marker);
}

} // namespace nettest
