// The bus monitor against the loopback plug's true wire times.
//
// Accuracy: the window with automatic TXEN switching sends short requests
// (a click on the send button) on the plug; a scripted far end answers each
// with 8 bytes after a random 2-10 ms; the monitor window is open. Then
// every received frame's start time is compared with the true start of its
// first start bit, and every reply time with the true time from TXEN
// released (as the plug saw DTR drop) to the answer's first start bit. The
// frame count checks the cutting: each request's echo and each answer must
// be one frame of exactly its own bytes.
//
// Throughput: 10,000 frames a second fed into the open monitor window (as
// if the journal had held them) for 10 s, the view following the newest
// row: the frames shown per second and the main thread's CPU. Then one
// million rows to measure the memory each costs.
//
// Usage: bench_busmonitor [requests per rate, default 200]

#include "Busmonitor.h"
#include "BusmonitorModel.h"
#include "TerminalBench.h"

#include <QApplication>
#include <QDoubleSpinBox>

#include <random>

using namespace bench;
using namespace std::chrono_literals;

namespace {

struct Accuracy {
    std::vector<double> startErrorUs;
    std::vector<double> replyErrorUs;
    size_t frames = 0;      // received frames the monitor cut
    size_t exactFrames = 0; // ... that are exactly one true frame
    size_t trueFrames = 0;
    Figures wake; // the machine's scheduling noise meanwhile
};

int64_t Ns(Clock::time_point t) { return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count(); }

Accuracy RunAccuracy(const Sandbox& sandbox, TVaBaudrate rate, int requests)
{
    Accuracy out;
    std::unique_ptr<TForm1> form = MakeWindow(sandbox);
    form->CheckCRNL->setChecked(false);
    OpenPlugForSends(*form, rate);
    form->PopBusmonitorClick(nullptr);
    terminal::TBusmonitor& monitor = *form->Busmonitor();
    Idle(100);
    monitor.Pump();
    const uint64_t firstSeq = monitor.Monitor().Rows().EndSeq();
    loopback::TakeArrivals();

    std::mt19937 random(4711);
    std::uniform_int_distribution<int> delayUs(2000, 10000);
    const int64_t charNs = 10 * 1'000'000'000LL / VaBaudrateValue(rate);
    WakeProbe wake;
    for (int i = 0; i < requests; ++i) {
        const auto delay = std::chrono::microseconds(delayUs(random));
        loopback::SetFarEnd({delay, [](const std::string& request) { return "A" + request.substr(1) + "\x0d\x0a"; }, {}});
        char command[16];
        std::snprintf(command, sizeof command, "Q%05d", i);
        form->EditSend->setText(QString::fromLatin1(command));
        form->CmdSend->click();
        // The echo, the pause and the answer, and a little more.
        Idle(static_cast<int>((16 * charNs + delay.count() * 1000) / 1'000'000) + 8);
    }
    loopback::SetFarEnd({});
    out.wake = wake.Stop();
    Idle(50);
    monitor.Pump();
    const std::vector<loopback::Arrival> arrivals = loopback::TakeArrivals();
    const loopback::Trace trace = loopback::CurrentTrace();

    // The true frames: runs of one source without a pause between bytes.
    std::vector<size_t> frameStarts;
    for (size_t k = 0; k < arrivals.size(); ++k)
        if (k == 0 || arrivals[k].fromFarEnd != arrivals[k - 1].fromFarEnd ||
            arrivals[k].start > arrivals[k - 1].start + std::chrono::nanoseconds(charNs + charNs / 2))
            frameStarts.push_back(k);
    frameStarts.push_back(arrivals.size());
    out.trueFrames = frameStarts.size() - 1;

    const monitor::RowStore& rows = monitor.Monitor().Rows();
    size_t k = 0; // the true byte that the next received frame starts with
    for (uint64_t seq = firstSeq; seq < rows.EndSeq() && k < arrivals.size(); ++seq) {
        const monitor::Row& row = rows.At(seq);
        if (row.kind != monitor::RowKind::Rx)
            continue;
        ++out.frames;
        out.startErrorUs.push_back(double(row.startNs - Ns(arrivals[k].start)) / 1000.0);
        auto boundary = std::find(frameStarts.begin(), frameStarts.end(), k);
        if (boundary != frameStarts.end() && boundary + 1 != frameStarts.end() && *(boundary + 1) == k + row.length)
            ++out.exactFrames;
        if (row.replyNs != monitor::kNoTime) {
            // TXEN released before the answer: the last DTR drop before it.
            Clock::time_point released{};
            for (const loopback::LineChange& change : trace.lineChanges)
                if (!change.dtr && change.at <= arrivals[k].start)
                    released = change.at;
            if (released != Clock::time_point{}) {
                const int64_t trueReply = Ns(arrivals[k].start) - Ns(released);
                out.replyErrorUs.push_back(double(row.replyNs - trueReply) / 1000.0);
            }
        }
        k += row.length;
    }
    form->Com->ClosePort();
    return out;
}

struct Throughput {
    double framesPerSecond = 0;
    double cpuShare = 0; // of one core, main thread
    double bytesPerRow = 0;
    size_t rowsKept = 0;
};

// `count` received frames of 8 bytes, 100 us apart from `from` on.
std::vector<journal::Record> Frames(Clock::time_point from, size_t count, uint64_t& serial)
{
    std::vector<journal::Record> records(count);
    for (size_t i = 0; i < count; ++i) {
        journal::Record& r = records[i];
        r.kind = journal::Kind::Received;
        r.at = from + std::chrono::microseconds(100 * i);
        r.charNs = 1000;
        uint64_t n = serial++;
        r.bytes.assign(reinterpret_cast<const char*>(&n), 8);
    }
    return records;
}

Throughput RunThroughput(const Sandbox& sandbox)
{
    Throughput out;
    std::unique_ptr<TForm1> form = MakeWindow(sandbox);
    form->PopBusmonitorClick(nullptr);
    terminal::TBusmonitor& monitor = *form->Busmonitor();
    monitor.findChild<QDoubleSpinBox*>()->setValue(0.02); // frames 100 us apart stay apart
    Idle(100);

    uint64_t serial = 0;
    QTimer feed;
    feed.setTimerType(Qt::PreciseTimer);
    Clock::time_point next = Clock::now();
    QObject::connect(&feed, &QTimer::timeout, [&] {
        // Whatever is due, at 10,000 frames a second of simulated time.
        const Clock::time_point now = Clock::now();
        const size_t due = static_cast<size_t>((now - next) / 100us);
        if (due == 0)
            return;
        monitor.Inject(Frames(next, due, serial));
        next += std::chrono::microseconds(100 * due);
    });
    feed.start(5);
    const uint64_t rowsBefore = monitor.Monitor().Rows().EndSeq();
    const double cpuBefore = ThreadCpuSeconds();
    const Clock::time_point start = Clock::now();
    Idle(10'000);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    feed.stop();
    monitor.Pump();
    out.cpuShare = (ThreadCpuSeconds() - cpuBefore) / wall;
    out.framesPerSecond = double(monitor.Monitor().Rows().EndSeq() - rowsBefore) / wall;

    // Memory: a million more rows, as fast as they go in.
    const uint64_t rssBefore = ResidentBytes();
    const size_t rowsAtStart = monitor.Monitor().Rows().Size();
    while (monitor.Monitor().Rows().Size() < monitor.Monitor().Rows().Capacity()) {
        monitor.Inject(Frames(next, 10'000, serial));
        next += 1s;
        monitor.Pump();
    }
    const size_t added = monitor.Monitor().Rows().Size() - rowsAtStart;
    out.rowsKept = monitor.Monitor().Rows().Size();
    out.bytesPerRow = double(ResidentBytes() - rssBefore) / double(added);
    return out;
}

void Print(const char* what, const Figures& f)
{
    std::printf("  %-34s median %8.1f us   p99 %8.1f us   max %8.1f us   (n=%zu)\n", what, f.median, f.p99, f.max,
                f.count);
}

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const int requests = argc > 1 ? std::atoi(argv[1]) : 200;
    Sandbox sandbox;
    PrintMachine();
    std::printf("bus monitor on the loopback plug, %d requests per rate, answers after 2-10 ms:\n", requests);
    for (TVaBaudrate rate : {br9600, br115200}) {
        Accuracy a = RunAccuracy(sandbox, rate, requests);
        std::printf("%u bit/s: %zu received frames cut, %zu of them exactly one true frame, %zu true frames\n",
                    VaBaudrateValue(rate), a.frames, a.exactFrames, a.trueFrames);
        Print("frame start - true start", Summarise(a.startErrorUs));
        Print("reply time - true reply time", Summarise(a.replyErrorUs));
        Print("machine noise (1 ms sleep overshoot)", a.wake);
    }
    Throughput t = RunThroughput(sandbox);
    std::printf("throughput: %.0f frames/s shown with the window open, main thread %.1f %% of a core\n",
                t.framesPerSecond, 100 * t.cpuShare);
    std::printf("memory: %.1f bytes per row (8-byte frames, %zu rows kept)\n", t.bytesPerRow, t.rowsKept);
    return 0;
}
