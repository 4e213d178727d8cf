// TXEN turnaround: on the loopback plug with the automatic switch on, a
// user send raises TXEN (DTR) before the write; the device lets it go when
// its transmitter has run empty, and the window's transmit-empty handler
// brings the box up to date afterwards. The figure is the time from the
// plug's simulated last stop bit of the send to DTR released, as the plug
// recorded both (the release at the moment the plug's thread made it).
//
// Each send is a click on the send button with a short command in the entry
// field (CR LF appended), the window otherwise as a user leaves it; between
// sends the event loop runs idle for a few milliseconds (varied, so sends do
// not lock step with the window's timers).
//
// Loads:
//   idle        only the window's own work (the echo of each send comes
//               back through the plug into the receive path);
//   stream      in addition a steady stream of text lines at 256000 bit/s,
//               the fastest rate the window offers, arriving on a second
//               port (a pty) and fed through the window's receive path: the
//               bytes go where ComRxChar puts them and restart the same
//               batching timers, so the window's own flush moves them into
//               the receive pane and announces them to an Interlink peer;
//               with the decode box off and on;
//   full speed  the same, with the pty written as fast as it takes bytes,
//               far beyond any serial rate (a stress figure).
//
// Beside the turnaround the program shows when the window's transmit-empty
// handler started on the main thread, which no longer holds the bus, and
// the lateness of a plain thread waking every millisecond meanwhile: the
// machine's own noise.
//
// Usage: bench_txen [sends per case, default 500]

#include "TerminalBench.h"

#include <QApplication>

#include <random>

using namespace bench;

namespace {

enum class Load { Idle, Stream, FullSpeed };

struct Case {
    TVaBaudrate rate;
    Load load;
    bool decode;
};

struct Outcome {
    std::vector<double> turnaround;  // last stop bit -> DTR released, us
    std::vector<double> untilHandler; // last stop bit -> transmit-empty handler starts, us
    std::vector<double> inHandler;    // handler start -> DTR released, us
    int failed = 0;
    int early = 0; // released before the last stop bit (never expected)
    double loadBytesPerSecond = 0;
    uint64_t paneBytes = 0;
    Figures wake; // the machine's scheduling noise meanwhile
};

const char* RateName(TVaBaudrate rate) { return rate == br9600 ? "9600" : rate == br115200 ? "115200" : "256000"; }

const char* LoadName(const Case& c)
{
    switch (c.load) {
    case Load::Idle: return "idle";
    case Load::Stream: return c.decode ? "stream 256k, decode" : "stream 256k";
    case Load::FullSpeed: return "full speed";
    }
    return "";
}

// Text lines as a measuring device would send them, endlessly.
class TextSource {
public:
    void Next(std::string& out, size_t count)
    {
        while (count > 0) {
            if (at_ == line_.size()) {
                char buffer[64];
                std::snprintf(buffer, sizeof buffer, "ADC %04u %04u %04u T=%02u.%u #%08u\r\n", n_ % 4096,
                              (n_ * 7) % 4096, (n_ * 13) % 4096, 20 + n_ % 10, n_ % 10, n_);
                line_ = buffer;
                at_ = 0;
                ++n_;
            }
            size_t take = std::min(count, line_.size() - at_);
            out.append(line_, at_, take);
            at_ += take;
            count -= take;
        }
    }

private:
    std::string line_;
    size_t at_ = 0;
    unsigned n_ = 0;
};

Outcome Run(const Sandbox& sandbox, const Case& c, int sends)
{
    Outcome out;
    std::unique_ptr<TForm1> form = MakeWindow(sandbox);
    form->MemoIn->SetText("");
    form->MemoOut->SetText("");
    form->CheckCRNL->setChecked(true);
    form->CheckDecode->setChecked(c.decode);
    OpenPlugForSends(*form, c.rate);

    PeerReader peer([](const std::string&) {});
    InterlinkPeers.push_back(peer.Client());

    // When the window's transmit-empty handler starts, for the split.
    Clock::time_point handlerStart{};
    {
        rtl::TNotifyEvent original = form->Com->OnTxEmpty;
        form->Com->OnTxEmpty = [original, &handlerStart](rtl::TObject* sender) {
            handlerStart = Clock::now();
            original(sender);
        };
    }

    // The second source of received data.
    std::unique_ptr<TestPty> pty;
    std::unique_ptr<TVaComm> source;
    std::thread feeder;
    std::atomic<bool> feeding{true};
    std::atomic<uint64_t> fed{0};
    if (c.load != Load::Idle) {
        pty = std::make_unique<TestPty>(true);
        source = std::make_unique<TVaComm>();
        source->SetDeviceName(pty->SlavePath());
        source->SetBaudrate(br256000);
        source->SetFlowControl(fcNone);
        source->SetMonitorEvents(TVaCommEvents{ceRxChar});
        TForm1* f = form.get();
        TVaComm* s = source.get();
        // ComRxChar's steps, with the bytes of this port.
        source->OnRxChar = [f, s](rtl::TObject*, int32_t) {
            f->TimerUpdateMemoIn->stop();
            PendingRxText += s->ReadString();
            f->TimerUpdateMemoIn->start();
            if (!f->TimerUpdateFinally->isActive())
                f->TimerUpdateFinally->start();
        };
        source->OpenPort();
        const bool fullSpeed = c.load == Load::FullSpeed;
        feeder = std::thread([&, fullSpeed] {
            TextSource text;
            std::string chunk;
            const double bytesPerSecond = 25600.0; // 256000 bit/s, 10 bits a character
            Clock::time_point start = Clock::now();
            Clock::time_point tick = start;
            uint64_t sent = 0;
            while (feeding) {
                size_t want = 4096;
                if (!fullSpeed) {
                    // A UART's receive interrupts: a few bytes every millisecond.
                    tick += std::chrono::milliseconds(1);
                    std::this_thread::sleep_until(tick);
                    double due = std::chrono::duration<double>(Clock::now() - start).count() * bytesPerSecond;
                    want = due > double(sent) ? size_t(due - double(sent)) : 0;
                }
                chunk.clear();
                text.Next(chunk, want);
                if (!pty->Write(chunk, &feeding))
                    break;
                sent += chunk.size();
                fed = sent;
            }
        });
        Idle(300); // the stream under way, a batch or two in the pane
    }

    bool released = false;
    QEventLoop waitRelease;
    QObject::connect(form->CheckTXEN, &QCheckBox::toggled, &waitRelease, [&](bool on) {
        if (!on) {
            released = true;
            waitRelease.quit();
        }
    });

    std::mt19937 random(12345);
    std::uniform_int_distribution<int> gap(2, 12);
    const uint64_t fedAtStart = fed;
    const Clock::time_point loadStart = Clock::now();
    WakeProbe wake;
    for (int i = 0; i < sends; ++i) {
        Idle(gap(random));
        char command[16];
        std::snprintf(command, sizeof command, "T%05d", i);
        form->EditSend->setText(QString::fromLatin1(command));
        const uint64_t emptiedBefore = loopback::CurrentTrace().transmitterEmptied;
        released = false;
        handlerStart = {};
        form->CmdSend->click();
        if (!released) {
            QTimer limit;
            limit.setSingleShot(true);
            QObject::connect(&limit, &QTimer::timeout, &waitRelease, &QEventLoop::quit);
            limit.start(5000);
            waitRelease.exec();
        }
        loopback::Trace trace = loopback::CurrentTrace();
        if (!released || trace.lineChanges.empty() || trace.lineChanges.back().dtr ||
            trace.transmitterEmptied == emptiedBefore) {
            ++out.failed;
            continue;
        }
        const Clock::time_point releasedAt = trace.lineChanges.back().at;
        if (releasedAt < trace.lastStopBitOut)
            ++out.early;
        out.turnaround.push_back(std::chrono::duration<double, std::micro>(releasedAt - trace.lastStopBitOut).count());
        if (handlerStart != Clock::time_point{}) {
            out.untilHandler.push_back(
                std::chrono::duration<double, std::micro>(handlerStart - trace.lastStopBitOut).count());
            out.inHandler.push_back(std::chrono::duration<double, std::micro>(releasedAt - handlerStart).count());
        }
    }
    out.wake = wake.Stop();
    const double loadSeconds = std::chrono::duration<double>(Clock::now() - loadStart).count();
    out.loadBytesPerSecond = double(fed - fedAtStart) / loadSeconds;

    feeding = false;
    if (feeder.joinable())
        feeder.join();
    Idle(300); // the last batch into the pane
    if (source)
        source->ClosePort();
    InterlinkPeers.clear();
    form->Com->ClosePort();
    out.paneBytes = form->MemoIn->Text().size();
    source.reset();
    form.reset();
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const int sends = argc > 1 ? std::max(10, std::atoi(argv[1])) : 500;
    Sandbox sandbox;

    std::printf("TXEN turnaround: simulated last stop bit of a user send -> DTR released, loopback plug,\n"
                "auto-switch on, %d sends of 8 bytes per case (microseconds)\n",
                sends);
    PrintMachine();
    std::printf("\n%-7s %-20s %9s %9s %9s %9s | %9s %9s | %9s %9s | %8s %5s | %7s %7s\n", "rate", "load", "median",
                "p99", "max", "min", "hnd med", "hnd p99", "in med", "in p99", "load B/s", "fail", "wake99", "wakemax");
    std::vector<Case> cases;
    for (TVaBaudrate rate : {br9600, br115200, br256000}) {
        cases.push_back({rate, Load::Idle, false});
        cases.push_back({rate, Load::Stream, true});
        cases.push_back({rate, Load::FullSpeed, false});
    }
    for (const Case& c : cases) {
        Outcome o = Run(sandbox, c, sends);
        Figures t = Summarise(o.turnaround);
        Figures h = Summarise(o.untilHandler);
        Figures in = Summarise(o.inHandler);
        std::printf("%-7s %-20s %8.1f %8.1f %8.1f %7.1f | %8.1f %8.1f | %7.1f %7.1f | %8.0f %4d | %7.1f %7.1f\n",
                    RateName(c.rate), LoadName(c), t.median, t.p99, t.max, t.min, h.median, h.p99, in.median, in.p99,
                    o.loadBytesPerSecond, o.failed + o.early, o.wake.p99, o.wake.max);
        std::fflush(stdout);
    }
    std::printf("\nhnd: last stop bit -> the window's transmit-empty handler starts on the main thread;\n"
                "in:  handler start -> DTR released (negative: released before the handler ran).\n"
                "fail: sends without a release, or released too early.\n"
                "wake99/wakemax: lateness of a plain thread waking every 1 ms meanwhile (machine noise).\n");
    return 0;
}
