#pragma once
// Two connected TWSocket objects on 127.0.0.1 (a port the system picks):
// Client made the connection, Server took it over from the listener. Also
// the small helpers every socket test needs.

#include "EventLoopWait.h"
#include "WSocket.h"

#include <QDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace nettest {

using namespace net;

// The message of the ESocketException F raises; "" when it raises none.
template <class F>
std::string Raised(F&& f)
{
    try {
        f();
    } catch (const ESocketException& E) {
        return E.Message;
    }
    return "";
}

// Points S at Port on 127.0.0.1.
inline void AimAt(TWSocket& S, const std::string& Port)
{
    S.SetAddr("127.0.0.1");
    S.SetPort(Port);
}

// Listens on 127.0.0.1, port 0.
inline std::unique_ptr<TWSocket> MakeListener()
{
    auto L = std::make_unique<TWSocket>();
    AimAt(*L, "0");
    L->BeginListen();
    return L;
}

// A port on 127.0.0.1 that nobody listens on: one the system just handed out.
inline std::string FreePort()
{
    return MakeListener()->LocalBoundPort();
}

class LoopbackPair {
public:
    LoopbackPair()
    {
        Listener = MakeListener();
        Port = Listener->LocalBoundPort();
        Server = std::make_unique<TWSocket>();
        Listener->OnSessionAvailable = [this](rtl::TObject*, uint16_t) {
            Server->AttachHandle(Listener->AcceptPending());
        };
        Client = std::make_unique<TWSocket>();
        AimAt(*Client, Port);
    }

    // Connects and lets the first notifications (FD_CONNECT, the first
    // FD_WRITE on both ends) pass before the test binds its handlers.
    bool Connect()
    {
        Client->BeginConnect();
        bool ok = testsupport::PumpUntil(
            [&] { return Client->State() == wsConnected && Server->State() == wsConnected; });
        testsupport::PumpFor(50);
        return ok;
    }

    std::unique_ptr<TWSocket> Listener;
    std::unique_ptr<TWSocket> Server;
    std::unique_ptr<TWSocket> Client;
    std::string Port;
};

// Uses up every descriptor the process may open but Spare, until Release();
// whatever happens, the descriptors and the limit are given back.
class DescriptorShortage {
public:
    explicit DescriptorShortage(int Spare = 1)
    {
        getrlimit(RLIMIT_NOFILE, &Saved);
        rlimit Low = Saved;
        Low.rlim_cur = static_cast<rlim_t>(QDir("/proc/self/fd").count()) + 32;
        if (Low.rlim_cur < Saved.rlim_cur)
            setrlimit(RLIMIT_NOFILE, &Low);
        for (;;) {
            int Fd = fcntl(0, F_DUPFD_CLOEXEC, 0);
            if (Fd < 0)
                break;
            Held.push_back(Fd);
        }
        for (; Spare > 0 && !Held.empty(); --Spare) {
            close(Held.back());
            Held.pop_back();
        }
    }
    ~DescriptorShortage() { Release(); }
    void Release()
    {
        for (int Fd : Held)
            close(Fd);
        Held.clear();
        setrlimit(RLIMIT_NOFILE, &Saved);
    }
    bool Filled() const { return !Held.empty(); }

private:
    rlimit Saved{};
    std::vector<int> Held;
};

} // namespace nettest
