// A bus watched for a long time: a pseudo-terminal at first-start settings
// receives a mostly non-printable pattern, rewritten in the receive pane, with
// an Interlink peer attached that checks every byte of the "RCVD" frames.
// Two runs: the far end writing as fast as the pty takes it, and at a
// steady 250 kB/s (about twice a 2 Mbit/s bus).
//
// Printed for every 10 MB received: the process's memory, the pane text
// held, the memory above the start per byte of pane text, and the CPU
// seconds per MB of that stretch (the main thread, where the pane, the
// rewriting and the Interlink run, and the program: every thread but the far
// end's writer and the peer's reader, which stand for other programs). Then
// the close with both panes
// full and "Memos speichern" ticked, and the next start reading them back.
//
// Usage: bench_longrun [MB per run, default 100] [full|paced|both, default both]

#include "TerminalBench.h"

#include <QApplication>

#include <cstring>

using namespace bench;

namespace {

constexpr double kPacedRate = 250000;
constexpr uint64_t kStep = 10'000'000;

struct Row {
    double mb = 0;
    double rssMb = 0;
    double paneMb = 0;
    double perPaneByte = 0;
    double mainCpuPerMb = 0;
    double processCpuPerMb = 0;
};

void Run(const Sandbox& sandbox, uint64_t total, double rate)
{
    std::unique_ptr<TForm1> form = MakeWindow(sandbox);
    form->CheckDecode->setChecked(true);
    form->CheckSaveMemo->setChecked(true);
    form->MemoIn->SetText("");
    form->MemoOut->SetText("");
    QCoreApplication::processEvents();
    const double baseRss = double(ResidentBytes());

    TestPty pty(true);
    OpenOnPty(*form, pty);

    RcvdPatternCheck received;
    auto peer = std::make_unique<PeerReader>([&](const std::string& payload) { received.Take(payload); });
    InterlinkPeers.push_back(peer->Client());

    std::printf("\n%s: %.0f MB, rewriting on, one Interlink peer; RSS at start %.1f MB\n",
                rate > 0 ? "250 kB/s" : "full speed", double(total) / 1e6, baseRss / 1e6);
    std::printf("%8s %9s %9s %14s %16s %18s\n", "MB in", "RSS MB", "pane MB", "bytes/pane B", "main CPU s/MB",
                "program CPU s/MB");
    std::vector<Row> rows;
    const Clock::time_point start = Clock::now();
    PatternWriter writer(pty.Master(), Clock::time_point::max(), total, rate);
    // The program: the process without the two threads that stand for the
    // far end and the peer.
    // A writer that has finished is no longer listed: its own final figure
    // stands in for it.
    auto programCpu = [&] {
        double writerCpu = CpuSecondsOfThread(writer.ThreadId());
        if (!writer.Writing())
            writerCpu = writer.CpuSeconds();
        return ProcessCpuSeconds() - writerCpu - CpuSecondsOfThread(peer->ThreadId());
    };
    double mainCpu = ThreadCpuSeconds();
    double processCpu = programCpu();
    uint64_t next = kStep;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        while (received.verified.load() >= next) {
            Row row;
            row.mb = double(next) / 1e6;
            row.rssMb = double(ResidentBytes()) / 1e6;
            const double pane = double(form->MemoIn->Content().Size() + form->MemoOut->Content().Size());
            row.paneMb = pane / 1e6;
            row.perPaneByte = (row.rssMb * 1e6 - baseRss) / pane;
            const double nowMain = ThreadCpuSeconds();
            const double nowProcess = programCpu();
            row.mainCpuPerMb = (nowMain - mainCpu) / (double(kStep) / 1e6);
            row.processCpuPerMb = (nowProcess - processCpu) / (double(kStep) / 1e6);
            mainCpu = nowMain;
            processCpu = nowProcess;
            rows.push_back(row);
            std::printf("%8.0f %9.1f %9.1f %14.2f %16.3f %18.3f\n", row.mb, row.rssMb, row.paneMb, row.perPaneByte,
                        row.mainCpuPerMb, row.processCpuPerMb);
            std::fflush(stdout);
            next += kStep;
        }
        if (received.mismatch || (!writer.Writing() && received.verified.load() >= writer.Written()))
            loop.quit();
    });
    check.start(20);
    loop.exec();
    check.stop();
    writer.Stop();
    writer.Join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("every byte in order at the peer: %s (%llu of %llu), %.0f s, %.0f kB/s\n",
                received.mismatch ? "NO" : "yes", (unsigned long long)received.verified.load(),
                (unsigned long long)writer.Written(), seconds, double(writer.Written()) / seconds / 1e3);
    std::printf("receive pane: %.1f MB of text held, capacity %.1f MB\n",
                double(form->MemoIn->Content().Size()) / 1e6, double(form->MemoIn->Capacity()) / 1e6);
    if (rows.size() >= 2) {
        const Row& first = rows.front();
        const Row& last = rows.back();
        std::printf("program CPU per MB, last 10 MB / first 10 MB: %.2f (goal: within 1.5, and below 0.3 s)\n",
                    last.processCpuPerMb / first.processCpuPerMb);
    }

    // Close with full panes (the settings saved with both texts), then the
    // next start reading them back.
    InterlinkPeers.clear();
    peer->Stop();
    std::printf("log pane: %.1f MB; closing with both panes and \"Memos speichern\"...\n",
                double(form->MemoOut->Content().Size()) / 1e6);
    Clock::time_point t0 = Clock::now();
    form->close();
    const double closeSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    form.reset();
    t0 = Clock::now();
    auto next_start = std::make_unique<TForm1>();
    next_start->show();
    QCoreApplication::processEvents();
    const double startSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("close: %.2f s; next start until the window is shown: %.2f s (%.1f MB of pane text back)"
                " (goal: each under 1 s)\n",
                closeSeconds, startSeconds,
                double(next_start->MemoIn->Content().Size() + next_start->MemoOut->Content().Size()) / 1e6);
    next_start.reset();
}

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const uint64_t mb = argc > 1 ? std::max(10, std::atoi(argv[1])) : 100;
    const std::string which = argc > 2 ? argv[2] : "both";
    if (which == "both") {
        // Each run in a process of its own, so that the second starts from
        // the memory a fresh program has.
        int failed = 0;
        for (const char* mode : {"full", "paced"}) {
            const std::string command = std::string(argv[0]) + " " + std::to_string(mb) + " " + mode;
            failed |= std::system(command.c_str());
        }
        return failed == 0 ? 0 : 1;
    }
    Sandbox sandbox;
    PrintMachine();
    Run(sandbox, mb * 1'000'000, which == "paced" ? kPacedRate : 0);
    return 0;
}
