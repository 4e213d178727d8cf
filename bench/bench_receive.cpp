// Receive throughput of the window: bytes pushed into a pseudo-terminal as
// fast as it takes them, for a fixed time, through the port object, the
// batching timers and the flush into the receive pane, out to an Interlink
// peer as "RCVD" notifications.
//
// Checked: the notifications' data, concatenated, is exactly what was
// written (a pattern in which every 8-byte record differs, so a lost,
// doubled or reordered byte shows), and the byte counts at the head of the
// pane's lines add up to what was written.
//
// Measured: sustained bytes per second, CPU seconds per MB (10^6 bytes) of
// the window (the process minus the benchmark's own writer, peer and probe
// threads) and of the whole process, and how late the main thread answers:
// a timer due every 20 ms, and an event posted every 20 ms from another
// thread as input would arrive.
//
// A what-if pair of runs follows: the same with every batch limited to
// 16 KB (flushed as soon as it reaches that size), emulated from outside the
// window, to show what such a limit would change.
//
// Usage: bench_receive [seconds per run, default 10] [off|on|both|what-if|all, default all]

#include "TerminalBench.h"

#include <QApplication>
#include <QEvent>

#include <cstring>

using namespace bench;

namespace {

// Receives the probe thread's events on the main thread and notes how long
// each waited.
class PostedProbe : public QObject {
public:
    struct Event : QEvent {
        explicit Event(Clock::time_point at) : QEvent(Type()), postedAt(at) {}
        static QEvent::Type Type()
        {
            static const int type = QEvent::registerEventType();
            return static_cast<QEvent::Type>(type);
        }
        Clock::time_point postedAt;
    };

    bool event(QEvent* e) override
    {
        if (e->type() != Event::Type())
            return QObject::event(e);
        Clock::time_point now = Clock::now();
        if (recording)
            micros.push_back(std::chrono::duration<double, std::micro>(now - static_cast<Event*>(e)->postedAt).count());
        return true;
    }

    bool recording = true;
    std::vector<double> micros;
};

// Times the window's flushes: a timer's event reaches this filter just
// before the timer emits its timeout (and the window's flush runs); a slot
// connected after the window's own runs right after the flush.
class FlushTimer : public QObject {
public:
    explicit FlushTimer(TForm1& form)
    {
        for (QTimer* timer : {form.TimerUpdateMemoIn, form.TimerUpdateFinally}) {
            timer->installEventFilter(this);
            QObject::connect(timer, &QTimer::timeout, this, [this] {
                if (started_ == Clock::time_point{})
                    return;
                micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - started_).count());
                started_ = {};
            });
        }
    }
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Timer) {
            batchBytes.push_back(double(PendingRxText.size()));
            started_ = Clock::now();
        }
        return false;
    }

    // A flush called directly (the what-if's size limit), timed the same way.
    template <class F>
    void Direct(F&& flush)
    {
        batchBytes.push_back(double(PendingRxText.size()));
        Clock::time_point start = Clock::now();
        flush();
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }

    std::vector<double> micros;
    std::vector<double> batchBytes;

private:
    Clock::time_point started_{};
};

struct Result {
    double writeSeconds = 0;
    uint64_t written = 0;
    uint64_t verified = 0;
    bool mismatch = false;
    uint64_t mismatchAt = 0;
    uint64_t rcvdFrames = 0;
    uint64_t otherFrames = 0;
    uint64_t badFrames = 0;
    uint64_t paneCounted = 0;
    uint64_t paneLines = 0;
    uint64_t paneChars = 0;
    double drainSeconds = 0; // from the writer's end to the last byte at the peer
    double processCpu = 0;
    double harnessCpu = 0;
    double peerCpu = 0;
    Figures timerLate;
    Figures postedLate;
    Figures flushMicros;
    Figures batchBytes;
    Figures wake;
};

// The sum of the counts "<n> Byte empfangen:" at the head of the pane's lines.
// A header is the count right behind a line break (or at the very start);
// data of its own may hold line breaks, digits or anything else.
void CountPane(const TMemo* memo, Result& r)
{
    const std::string text = memo->Text();
    const std::string head = " Byte empfangen:";
    for (size_t at = text.find(head); at != std::string::npos; at = text.find(head, at + head.size())) {
        size_t digits = at;
        while (digits > 0 && text[digits - 1] >= '0' && text[digits - 1] <= '9')
            --digits;
        if (digits == at || (digits != 0 && (digits < 2 || text.compare(digits - 2, 2, "\r\n") != 0)))
            continue;
        r.paneCounted += std::strtoull(text.c_str() + digits, nullptr, 10);
        ++r.paneLines;
    }
    r.paneChars = memo->Content().Size();
}

// `cap` > 0 is a what-if, not the window as built: the benchmark flushes
// the pending bytes itself, through the window's own flush, as soon as they
// reach `cap` bytes, as a size limit on a batch inside ComRxChar would.
Result Run(const Sandbox& sandbox, bool decode, int seconds, size_t cap)
{
    Result r;
    std::unique_ptr<TForm1> form = MakeWindow(sandbox);
    FlushTimer flushes(*form);
    if (cap > 0) {
        TVaCommRxCharEvent original = form->Com->OnRxChar;
        TForm1* f = form.get();
        form->Com->OnRxChar = [original, f, cap, &flushes](rtl::TObject* sender, int32_t count) {
            original(sender, count);
            if (PendingRxText.size() >= cap)
                flushes.Direct([f] { f->TimerUpdateMemoInTimer(f->TimerUpdateMemoIn); });
        };
    }
    form->CheckDecode->setChecked(decode);
    form->MemoIn->SetText("");

    TestPty pty(true);
    OpenOnPty(*form, pty);

    // The peer checks the data as it comes.
    RcvdPatternCheck received;
    auto peer = std::make_unique<PeerReader>([&](const std::string& payload) { received.Take(payload); });
    InterlinkPeers.push_back(peer->Client());

    // Probes: a timer on the main thread, and events posted from a thread.
    std::vector<double> timerLate;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    Clock::time_point due;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        timerLate.push_back(std::chrono::duration<double, std::micro>(Clock::now() - due).count());
        due = Clock::now() + std::chrono::milliseconds(20);
        timer.start(20);
    });
    PostedProbe posted;
    std::atomic<bool> probing{true};
    std::atomic<double> probeCpu{0};
    std::thread prober([&] {
        Clock::time_point next = Clock::now();
        while (probing) {
            next += std::chrono::milliseconds(20);
            std::this_thread::sleep_until(next);
            QCoreApplication::postEvent(&posted, new PostedProbe::Event(Clock::now()));
        }
        probeCpu = ThreadCpuSeconds();
    });

    // The far end of the cable, as fast as the pty takes it.
    WakeProbe wake;
    const double cpuStart = ProcessCpuSeconds();
    const Clock::time_point start = Clock::now();
    const Clock::time_point stopAt = start + std::chrono::seconds(seconds);
    PatternWriter writer(pty.Master(), stopAt);
    due = Clock::now() + std::chrono::milliseconds(20);
    timer.start(20);

    // The window runs its own event loop; a light check ends it once every
    // byte written has reached the peer.
    QEventLoop loop;
    QTimer check;
    Clock::time_point writerDone{};
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (writer.Writing())
            return;
        if (writerDone == Clock::time_point{})
            writerDone = Clock::now();
        if (received.verified.load() >= writer.Written() || received.mismatch || Clock::now() - writerDone > std::chrono::seconds(30))
            loop.quit();
    });
    check.start(10);
    loop.exec();
    const Clock::time_point drained = Clock::now();
    check.stop();
    writer.Join();
    timer.stop();
    probing = false;
    prober.join();
    posted.recording = false;
    const double cpuEnd = ProcessCpuSeconds();
    r.wake = wake.Stop();

    r.writeSeconds = std::chrono::duration<double>(stopAt - start).count();
    r.written = writer.Written();
    r.drainSeconds = std::chrono::duration<double>(drained - writerDone).count();
    r.processCpu = cpuEnd - cpuStart;

    // Whatever is still on its way to the peer arrives now (nothing should).
    QCoreApplication::processEvents();
    InterlinkPeers.clear();
    form->Com->ClosePort();
    CountPane(form->MemoIn, r);
    form.reset();
    peer->Stop(); // joins the reader: its CPU figure is final
    r.peerCpu = peer->CpuSeconds();
    r.badFrames = peer->BadFrames();
    peer.reset();
    r.verified = received.verified;
    r.mismatch = received.mismatch;
    r.mismatchAt = received.mismatchAt;
    r.rcvdFrames = received.rcvdFrames;
    r.otherFrames = received.otherFrames;
    r.harnessCpu = writer.CpuSeconds() + probeCpu + wake.CpuSeconds();
    r.timerLate = Summarise(timerLate);
    r.postedLate = Summarise(posted.micros);
    r.flushMicros = Summarise(flushes.micros);
    r.batchBytes = Summarise(flushes.batchBytes);
    return r;
}

void Print(const char* label, const Result& r)
{
    const double peerCpu = r.peerCpu;
    const double mb = double(r.written) / 1e6;
    const double windowCpu = r.processCpu - r.harnessCpu - peerCpu;
    std::printf("%s\n", label);
    std::printf("  written by the far end      %12llu bytes in %.2f s\n", (unsigned long long)r.written,
                r.writeSeconds);
    std::printf("  sustained rate              %12.0f bytes/s (%.2f MB/s)\n", double(r.written) / r.writeSeconds,
                mb / r.writeSeconds);
    std::printf("  reached the peer, in order  %12llu bytes (%llu RCVD frames, %llu other, %llu unframeable)\n",
                (unsigned long long)r.verified, (unsigned long long)r.rcvdFrames,
                (unsigned long long)r.otherFrames, (unsigned long long)r.badFrames);
    if (r.mismatch)
        std::printf("  DATA DIFFERS from byte      %12llu\n", (unsigned long long)r.mismatchAt);
    std::printf("  counted in the pane         %12llu bytes in %llu lines (%llu bytes of pane text)\n",
                (unsigned long long)r.paneCounted, (unsigned long long)r.paneLines,
                (unsigned long long)r.paneChars);
    const long long lost = (long long)r.written - (long long)(r.mismatch ? r.mismatchAt : r.verified);
    std::printf("  bytes lost                  %12lld\n", lost);
    std::printf("  last byte at the peer       %12.3f s after the far end stopped\n", r.drainSeconds);
    std::printf("  CPU, window                 %12.3f s per MB (%.2f s in all)\n", windowCpu / mb, windowCpu);
    std::printf("  CPU, whole process          %12.3f s per MB (writer and probes %.2f s, peer %.2f s)\n",
                r.processCpu / mb, r.harnessCpu, peerCpu);
    std::printf("  20 ms timer, lateness       median %7.1f  p99 %8.1f  max %8.1f ms  (%zu firings)\n",
                r.timerLate.median / 1000, r.timerLate.p99 / 1000, r.timerLate.max / 1000, r.timerLate.count);
    std::printf("  posted event, wait          median %7.1f  p99 %8.1f  max %8.1f ms  (%zu events)\n",
                r.postedLate.median / 1000, r.postedLate.p99 / 1000, r.postedLate.max / 1000, r.postedLate.count);
    std::printf("  flushes (timer -> pane)     median %7.1f  p99 %8.1f  max %8.1f ms  (%zu flushes)\n",
                r.flushMicros.median / 1000, r.flushMicros.p99 / 1000, r.flushMicros.max / 1000, r.flushMicros.count);
    std::printf("  bytes per batch             median %9.0f  max %9.0f\n", r.batchBytes.median, r.batchBytes.max);
    std::printf("  machine noise (1 ms sleeper lateness) p99 %.1f ms, max %.1f ms\n", r.wake.p99 / 1000,
                r.wake.max / 1000);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    Sandbox sandbox;

    std::printf("Receive path: pty written at full speed for %d s -> port -> batching -> receive pane + RCVD to "
                "one Interlink peer\n",
                seconds);
    PrintMachine();
    const std::string which = argc > 2 ? argv[2] : "all";
    for (bool decode : {false, true}) {
        if ((decode && which == "off") || (!decode && which == "on") || which == "what-if")
            continue;
        Result r = Run(sandbox, decode, seconds, 0);
        Print(decode ? "decode box on (CheckDecode)" : "decode box off", r);
    }
    if (which == "all" || which == "what-if") {
        const size_t cap = 16384;
        for (bool decode : {false, true}) {
            Result r = Run(sandbox, decode, seconds, cap);
            Print(decode ? "WHAT-IF batches limited to 16 KB, decode box on"
                         : "WHAT-IF batches limited to 16 KB, decode box off",
                  r);
        }
    }
    return 0;
}
