// How late OnTxEmpty runs on the main thread after the last stop bit of a
// frame has left the line, on the loopback plug.
//
// For each rate and frame size the program writes frames one after another
// and, in OnTxEmpty, takes the time and the plug's simulated moment of the
// last stop bit; the difference is the latency the window would see before
// it can release TXEN. Two loads: the main thread idle between frames, and
// the main thread kept busy appending text to a plain-text pane (a timer
// that fires as often as it can, plus the received bytes), as the receive
// pane does under traffic.
//
// Usage: bench_txempty [frames per case, default 500] [rate] [frame bytes] [idle|busy]
// (a rate, a frame size, a load run only those cases; 0 means all)

#include "Figures.h"
#include "Loopback.h"
#include "VaComm.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <string>
#include <vector>

using bench::Figures;
using bench::Summarise;

namespace {

using Clock = std::chrono::steady_clock;

const char* RateName(TVaBaudrate rate) { return rate == br9600 ? "9600" : "115200"; }

// Frames of `size` bytes at `rate`; the latencies in microseconds.
std::vector<double> Run(TVaBaudrate rate, int size, bool busy, int frames)
{
    TVaComm com;
    com.SetDeviceName("loopback");
    com.SetPortNum(1);
    com.SetBaudrate(rate);
    com.SetFlowControl(fcNone);
    com.SetMonitorEvents({ceRxChar, ceTxEmpty, ceBreak, ceError});

    QPlainTextEdit pane;
    pane.setMaximumBlockCount(2000); // a long run must not grow without bound
    pane.resize(600, 400);
    pane.show();

    std::vector<double> latencies;
    latencies.reserve(size_t(frames));
    bool emptied = false;
    com.OnRxChar = [&](rtl::TObject*, int32_t) {
        std::string text = com.ReadString();
        if (busy)
            pane.appendPlainText(QString::fromLatin1(text.data(), int(text.size())));
    };
    com.OnTxEmpty = [&](rtl::TObject*) {
        Clock::time_point now = Clock::now();
        loopback::Trace trace = loopback::CurrentTrace();
        latencies.push_back(std::chrono::duration<double, std::micro>(now - trace.lastStopBitOut).count());
        emptied = true;
    };

    QTimer load;
    const QString line = QString(64, QChar('r'));
    QObject::connect(&load, &QTimer::timeout, [&] { pane.appendPlainText(line); });
    if (busy)
        load.start(0);

    com.OpenPort();
    const std::string frame(size_t(size), 'U');
    for (int i = 0; i < frames; ++i) {
        emptied = false;
        if (!com.WriteString(frame)) {
            std::fprintf(stderr, "write timed out\n");
            std::exit(1);
        }
        while (!emptied)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    load.stop();
    com.ClosePort();
    return latencies;
}

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    int frames = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
    int onlyRate = argc > 2 ? std::atoi(argv[2]) : 0;
    int onlySize = argc > 3 ? std::atoi(argv[3]) : 0;
    std::string onlyLoad = argc > 4 ? argv[4] : "";

    // A plug of our own, whatever else runs on the machine.
    char lockDir[] = "/tmp/tarrowin-bench-XXXXXX";
    const char* made = mkdtemp(lockDir);
    if (made)
        loopback::SetLockDirectory(made);

    std::printf("OnTxEmpty latency after the simulated last stop bit, loopback plug, %d frames per case\n", frames);
    std::printf("(microseconds; the main thread idle, or busy appending text to a plain-text pane)\n\n");
    std::printf("%-8s %6s %-5s %10s %10s %10s %10s\n", "rate", "bytes", "load", "median", "p99", "max", "min");
    for (TVaBaudrate rate : {br9600, br115200}) {
        if (onlyRate && onlyRate != std::atoi(RateName(rate)))
            continue;
        for (int size : {1, 16, 256}) {
            if (onlySize && onlySize != size)
                continue;
            for (bool busy : {false, true}) {
                if (!onlyLoad.empty() && onlyLoad != (busy ? "busy" : "idle"))
                    continue;
                Figures f = Summarise(Run(rate, size, busy, frames));
                std::printf("%-8s %6d %-5s %10.1f %10.1f %10.1f %10.1f\n", RateName(rate), size, busy ? "busy" : "idle",
                            f.median, f.p99, f.max, f.min);
                std::fflush(stdout);
            }
        }
    }
    if (made) {
        unlink(loopback::LockFilePath().c_str());
        rmdir(made);
    }
    return 0;
}
