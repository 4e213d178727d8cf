// The listening server on loopback, in one process, with 1, 8 and 32
// connected peers (TWSocket objects):
//
//   accept rate: with N clients connected, connections per second of one
//                more peer at a time, from BeginConnect until the peer has
//                received the banner (and has gone again);
//   fan-out:     time to hand one 1 KB frame to every client object and
//                until every peer has read all of it, median and 99th
//                percentile over many frames;
//   burst:       N peers connecting at once, until all are greeted.
#include "WSocketS.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace net;

namespace {

constexpr size_t kBannerSize = 19; // "Welcome to TcpSrv" CR LF

struct Peer {
    explicit Peer(const std::string& Port)
    {
        S.SetAddr("127.0.0.1");
        S.SetPort(Port);
        S.OnDataAvailable = [this](rtl::TObject*, uint16_t) { Received += S.ReceiveAvailable().size(); };
        S.BeginConnect();
    }
    size_t Received = 0;
    TWSocket S;
};

void WaitFor(const std::function<bool()>& Done)
{
    while (!Done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// As WaitFor, but gives up after LimitMs; false then.
bool WaitAtMost(const std::function<bool()>& Done, qint64 LimitMs)
{
    QElapsedTimer T;
    T.start();
    while (!Done()) {
        if (T.elapsed() > LimitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

std::unique_ptr<TWSocketServer> StartServer()
{
    auto Srv = std::make_unique<TWSocketServer>();
    Srv->SetName("Server");
    Srv->SetAddr("127.0.0.1");
    Srv->SetPort("0");
    Srv->BeginListen();
    return Srv;
}

// Connections per second while N clients stay connected: one more peer at a
// time connects, is greeted and leaves, Total times: the rate the server
// sustains, with nothing waiting in the listening backlog.
double AcceptRate(size_t N, size_t Total)
{
    auto Srv = StartServer();
    const std::string Port = Srv->LocalBoundPort();
    std::vector<std::unique_ptr<Peer>> Staying;
    for (size_t i = 0; i < N; ++i)
        Staying.push_back(std::make_unique<Peer>(Port));
    WaitFor([&] {
        return std::all_of(Staying.begin(), Staying.end(), [](auto& P) { return P->Received >= kBannerSize; });
    });
    QElapsedTimer T;
    T.start();
    for (size_t i = 0; i < Total; ++i) {
        auto Guest = std::make_unique<Peer>(Port);
        WaitFor([&] { return Guest->Received >= kBannerSize; });
        Guest.reset();
        WaitFor([&] { return static_cast<size_t>(Srv->CountClients()) == N; });
    }
    return Total / (T.nsecsElapsed() / 1e9);
}

// Milliseconds from N peers connecting at once until all are greeted, and
// how many were. Connections beyond the listening backlog depend on the
// network stack sending the handshake again once there is room (1 s, then
// 3 s, ...), so a burst is given 10 s at most.
double Burst(size_t N, size_t& Greeted)
{
    auto Srv = StartServer();
    const std::string Port = Srv->LocalBoundPort();
    std::vector<std::unique_ptr<Peer>> Peers;
    QElapsedTimer T;
    T.start();
    for (size_t i = 0; i < N; ++i)
        Peers.push_back(std::make_unique<Peer>(Port));
    auto Count = [&] {
        return static_cast<size_t>(
            std::count_if(Peers.begin(), Peers.end(), [](auto& P) { return P->Received >= kBannerSize; }));
    };
    WaitAtMost([&] { return Count() == N; }, 10000);
    Greeted = Count();
    return T.nsecsElapsed() / 1e6;
}

void FanOut(size_t N, int Frames, double& MedianUs, double& P99Us)
{
    auto Srv = StartServer();
    const std::string Port = Srv->LocalBoundPort();
    std::vector<std::unique_ptr<Peer>> Peers;
    for (size_t i = 0; i < N; ++i)
        Peers.push_back(std::make_unique<Peer>(Port));
    WaitFor([&] {
        return std::all_of(Peers.begin(), Peers.end(), [](auto& P) { return P->Received >= kBannerSize; });
    });

    // An Interlink frame: "L", its 16-bit little-endian total length, payload.
    std::string Frame(1024, 'p');
    Frame[0] = 'L';
    Frame[1] = static_cast<char>(1024 & 0xff);
    Frame[2] = static_cast<char>(1024 >> 8);

    std::vector<double> Samples;
    Samples.reserve(static_cast<size_t>(Frames));
    size_t Expected = kBannerSize;
    for (int f = 0; f < Frames + 100; ++f) {
        Expected += Frame.size();
        QElapsedTimer T;
        T.start();
        for (TWSocketClient* C : Srv->LiveClients())
            C->SendString(Frame);
        WaitFor([&] {
            return std::all_of(Peers.begin(), Peers.end(), [&](auto& P) { return P->Received >= Expected; });
        });
        if (f >= 100) // the first ones warm up
            Samples.push_back(T.nsecsElapsed() / 1e3);
    }
    std::sort(Samples.begin(), Samples.end());
    MedianUs = Samples[Samples.size() / 2];
    P99Us = Samples[Samples.size() * 99 / 100];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication App(argc, argv);
    try {
        std::printf("bench_server: TWSocketServer on 127.0.0.1 with N TWSocket peers in one process\n");
        for (size_t N : {1u, 8u, 32u}) {
            const double Rate = AcceptRate(N, 1000);
            double Median = 0, P99 = 0;
            FanOut(N, 2000, Median, P99);
            std::printf("%2zu clients: accept %6.0f connections/s (one at a time, to greeting); "
                        "1 KB frame to every client: median %7.1f us, p99 %7.1f us\n",
                        N, Rate, Median, P99);
            std::fflush(stdout);
        }
        for (size_t N : {1u, 8u, 32u}) {
            size_t Greeted = 0;
            const double Ms = Burst(N, Greeted);
            std::printf("%2zu peers connecting at once: %2zu greeted after %8.1f ms\n", N, Greeted, Ms);
            std::fflush(stdout);
        }
    } catch (const std::exception& E) {
        std::fprintf(stderr, "bench_server: %s\n", E.what());
        return 1;
    }
    return 0;
}
