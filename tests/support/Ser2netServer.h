#pragma once
// A real serial device server for the network port's tests and benchmarks:
// ser2net (Debian's package) with an RFC 2217 accepter on 127.0.0.1 and a
// pty as its serial port. The test holds the pty's master, the far end of
// the cable; the code under test opens "rfc2217://127.0.0.1:PORT".
//
// ser2net wants an IPv4 address outside 127.0.0.0/8 on some interface to
// start its accepter, even one on 127.0.0.1; a namespace with only `lo` has
// none. The test binaries' main() gives such a machine one where it may
// (LoopbackOnly.h); Unusable() says when that was not possible.

#include "ChildProcess.h"
#include "LoopbackOnly.h"
#include "Pty.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

class Ser2netServer {
public:
    // Where Debian installs it; "" when it is not installed.
    static std::string Binary()
    {
        for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"})
            if (access(path, X_OK) == 0)
                return path;
        return {};
    }

    // Why the tests that need ser2net cannot run here; "" when they can.
    static std::string Unusable()
    {
        if (Binary().empty())
            return "ser2net is not installed (Debian package ser2net; `make setup` installs it)";
        if (!testsupport::HasIpv4OutsideLoopback())
            return "ser2net listens only where some interface has an IPv4 address outside 127.0.0.0/8; "
                   "this machine has none, and giving the tests a network namespace with one needs root";
        return {};
    }

    // A TCP port nobody listens on at the moment.
    static int FreePort()
    {
        int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        int port = -1;
        if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        ::close(s);
        return port;
    }

    // Starts ser2net on a new pty; false with `error` when it does not come
    // up within a few seconds.
    bool Start(std::string& error)
    {
        pty_ = std::make_unique<TestPty>();
        if (!pty_->Ok()) {
            error = "no pty";
            return false;
        }
        return StartOn(pty_->SlavePath(), error);
    }

    bool StartOn(const std::string& device, std::string& error)
    {
        const std::string binary = Binary();
        if (binary.empty()) {
            error = "ser2net is not installed";
            return false;
        }
        for (int attempt = 0; attempt < 5; ++attempt) {
            port_ = FreePort();
            ChildProcess::Options o;
            o.argv = {binary, "-n", "-d", "-u", "-Y", "connection: &tarrowin", "-Y",
                      "  accepter: telnet(rfc2217),tcp,127.0.0.1," + std::to_string(port_), "-Y",
                      "  connector: serialdev," + device + ",9600n81,local"};
            process_ = std::make_unique<ChildProcess>();
            if (!process_->Start(o, error))
                return false;
            if (WaitListening()) {
                device_ = device;
                return true;
            }
            process_->Kill();
        }
        process_->Drain();
        error = "ser2net did not listen: " + process_->Out() + process_->Err();
        return false;
    }

    // As when the device server is switched off.
    void Stop()
    {
        if (process_)
            process_->Kill();
    }

    // ser2net again, on the same port and pty.
    bool Restart(std::string& error)
    {
        Stop();
        ChildProcess::Options o;
        o.argv = {Binary(), "-n", "-d", "-u", "-Y", "connection: &tarrowin", "-Y",
                  "  accepter: telnet(rfc2217),tcp,127.0.0.1," + std::to_string(port_), "-Y",
                  "  connector: serialdev," + device_ + ",9600n81,local"};
        process_ = std::make_unique<ChildProcess>();
        if (!process_->Start(o, error))
            return false;
        if (WaitListening())
            return true;
        error = "ser2net did not listen again";
        return false;
    }

    int Port() const { return port_; }
    pid_t Pid() const { return process_ ? process_->Pid() : -1; }
    std::string Address() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
    TestPty& Pty() { return *pty_; }

private:
    bool WaitListening()
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end) {
            if (!process_->Running())
                return false;
            int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port_));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            // A bind that fails says someone listens there; connecting
            // would take the server's one connection.
            int one = 1;
            setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            bool taken = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
            ::close(s);
            if (taken)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    std::unique_ptr<TestPty> pty_;
    std::unique_ptr<ChildProcess> process_;
    std::string device_;
    int port_ = -1;
};
