// Loopback throughput and latency between two TWSocket objects in one
// process: what the Interlink can carry at best.
//
//   throughput: 64 MB handed to SendString in 4 KB pieces, MB/s until the
//               last byte has been read by the other object;
//   latency:    round trip of a 16-byte message echoed by the other object,
//               median and 99th percentile over many trips.
#include "WSocket.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace net;

namespace {

struct Connection {
    std::unique_ptr<TWSocket> Listener = std::make_unique<TWSocket>();
    std::unique_ptr<TWSocket> Server = std::make_unique<TWSocket>();
    std::unique_ptr<TWSocket> Client = std::make_unique<TWSocket>();

    explicit Connection(bool NoDelay)
    {
        Listener->SetAddr("127.0.0.1");
        Listener->SetPort("0");
        Listener->BeginListen();
        Listener->OnSessionAvailable = [this](rtl::TObject*, uint16_t) {
            Server->AttachHandle(Listener->AcceptPending());
        };
        if (NoDelay)
            Client->ComponentOptions.Include(wsoTcpNoDelay);
        Client->SetAddr("127.0.0.1");
        Client->SetPort(Listener->LocalBoundPort());
        Client->BeginConnect();
        while (Client->State() != wsConnected || Server->State() != wsConnected)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        // Let the first write notifications of both ends go by.
        QCoreApplication::processEvents();
        if (NoDelay) {
            int On = 1;
            winsock::setsockopt(Server->Handle(), winsock::IPPROTO_TCP, winsock::TCP_NODELAY,
                                reinterpret_cast<const char*>(&On), sizeof On);
        }
    }
};

double Throughput()
{
    constexpr size_t kTotal = 64u * 1024 * 1024;
    constexpr size_t kPiece = 4096;
    Connection C(false);
    size_t Received = 0;
    QEventLoop Loop;
    C.Server->OnDataAvailable = [&](rtl::TObject*, uint16_t) {
        Received += C.Server->ReceiveAvailable().size();
        if (Received >= kTotal)
            Loop.quit();
    };
    const std::string Piece(kPiece, 'x');
    size_t Handed = 0;
    // Hands over the next pieces while the platform keeps taking them; a
    // full platform buffer waits for write readiness (OnDataSent).
    auto Feed = [&] {
        while (Handed < kTotal && C.Client->AllSent()) {
            C.Client->SendString(Piece);
            Handed += kPiece;
        }
    };
    C.Client->OnDataSent = [&](rtl::TObject*, uint16_t) { Feed(); };

    QElapsedTimer T;
    T.start();
    QTimer::singleShot(0, Feed);
    Loop.exec();
    const double Seconds = T.nsecsElapsed() / 1e9;
    return kTotal / (1024.0 * 1024.0) / Seconds;
}

void Latency(bool NoDelay, double& MedianUs, double& P99Us)
{
    constexpr int kWarmUp = 200;
    constexpr int kTrips = 5000;
    Connection C(NoDelay);
    const std::string Message(16, 'm');
    C.Server->OnDataAvailable = [&](rtl::TObject*, uint16_t) {
        std::string In = C.Server->ReceiveAvailable();
        if (!In.empty())
            C.Server->SendString(In);
    };
    std::vector<double> Samples;
    Samples.reserve(kTrips);
    QEventLoop Loop;
    QElapsedTimer T;
    size_t Back = 0;
    int Trip = 0;
    C.Client->OnDataAvailable = [&](rtl::TObject*, uint16_t) {
        Back += C.Client->ReceiveAvailable().size();
        if (Back < Message.size())
            return;
        Back -= Message.size();
        if (Trip >= kWarmUp)
            Samples.push_back(T.nsecsElapsed() / 1e3);
        if (++Trip == kWarmUp + kTrips) {
            Loop.quit();
            return;
        }
        T.start();
        C.Client->SendString(Message);
    };
    QTimer::singleShot(0, [&] {
        T.start();
        C.Client->SendString(Message);
    });
    Loop.exec();
    std::sort(Samples.begin(), Samples.end());
    MedianUs = Samples[Samples.size() / 2];
    P99Us = Samples[Samples.size() * 99 / 100];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication App(argc, argv);
    try {
        std::printf("bench_sockets: loopback TCP between two TWSocket objects in one process\n");
        const double MBps = Throughput();
        std::printf("throughput: %.0f MB/s (64 MB in 4 KB SendString calls)\n", MBps);
        double Median = 0, P99 = 0;
        Latency(false, Median, P99);
        std::printf("round trip, 16 bytes:               median %.1f us, p99 %.1f us\n", Median, P99);
        Latency(true, Median, P99);
        std::printf("round trip, 16 bytes, TCP_NODELAY:  median %.1f us, p99 %.1f us\n", Median, P99);
    } catch (const std::exception& E) {
        std::fprintf(stderr, "bench_sockets: %s\n", E.what());
        return 1;
    }
    return 0;
}
