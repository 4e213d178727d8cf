#pragma once
// Two connected TWSocket objects on 127.0.0.1 (a port the system picks):
// Client made the connection, Server took it over from the listener.

#include "EventLoopWait.h"
#include "WSocket.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace nettest {

using namespace net;

// Listens on 127.0.0.1, port 0.
inline std::unique_ptr<TWSocket> MakeListener()
{
    auto L = std::make_unique<TWSocket>();
    L->SetAddr("127.0.0.1");
    L->SetPort("0");
    L->BeginListen();
    return L;
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
        Client->SetAddr("127.0.0.1");
        Client->SetPort(Port);
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

} // namespace nettest
