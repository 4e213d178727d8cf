// Cost of one 200-byte append to the receive pane as the pane grows: with
// its capacity raised above the largest size, an append must cost the same
// whether the pane holds 1 MB or 100 MB.
//
// The window is shown on the (offscreen) screen, and every append is
// followed by a turn of the event loop, so layout, scrolling to the newest
// line and painting are in the figure, as the flush of the receive path
// leaves them to the loop. The pane is filled with lines of about 200 bytes
// in chunks through the pane's own append-at-end (what AddLine does, many
// lines at once) to keep the filling quick.
//
// Usage: bench_pane [appends per size, default 500] [largest size in MB, default 100]

#include "TerminalBench.h"

#include <QApplication>
#include <QScrollBar>

using namespace bench;

namespace {

// A received line as the flush writes it: header, then 200 bytes of text
// with blanks at irregular places, so the pane wraps it at word breaks.
std::string MakeLine(uint64_t n)
{
    std::string line = "200 Byte empfangen:";
    uint64_t word = SplitMix(n);
    while (line.size() < 200 + 19) {
        if (word == 0)
            word = SplitMix(n += 0x10000);
        unsigned v = unsigned(word % 64);
        word /= 64;
        line.push_back(v < 8 ? ' ' : char('!' + (v * 7) % 94));
    }
    return line;
}

struct Level {
    double mb = 0;
    double fillSeconds = 0;
    Figures micros;
    uint64_t rss = 0;
    double blocks = 0;
    size_t overOneMs = 0;
};

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const int appends = argc > 1 ? std::max(10, std::atoi(argv[1])) : 500;
    const int largest = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
    Sandbox sandbox;

    std::unique_ptr<TForm1> form = MakeWindow(sandbox);
    TMemo* pane = form->MemoIn;
    // The pane's own capacity would trim it long before the largest size:
    // here the cost of an append to a pane that holds it all is measured.
    pane->SetCapacity(terminal::TPaneText::kMaxCapacity);
    pane->SetText("");
    QCoreApplication::processEvents();

    std::printf("Receive pane: one AddLine of a 200-byte line plus one event-loop turn (layout, scroll, paint),\n"
                "window shown on the offscreen platform, %d appends per size\n",
                appends);
    PrintMachine();
    std::printf("RSS with the empty pane: %.1f MB\n\n", double(ResidentBytes()) / 1e6);
    std::printf("%10s %10s %10s %10s %10s %10s %8s %12s %10s\n", "pane MB", "fill s", "median us", "p99 us",
                "max us", "min us", ">1 ms", "lines", "RSS MB");

    uint64_t held = 0; // bytes in the pane
    uint64_t lineNo = 0;
    std::vector<Level> levels;
    std::vector<int> sizes = {1, 10, 100};
    if (largest != 100) {
        sizes = {1};
        if (largest >= 10)
            sizes.push_back(std::min(10, largest));
        if (largest > 10)
            sizes.push_back(largest);
    }
    for (int sizeMb : sizes) {
        const uint64_t target = uint64_t(sizeMb) * 1000000u;
        Clock::time_point fillStart = Clock::now();
        while (held < target) {
            std::string chunk;
            chunk.reserve(1 << 20);
            while (chunk.size() < (1u << 20) && held + chunk.size() < target) {
                chunk += MakeLine(lineNo++);
                chunk += "\r\n";
            }
            pane->AppendText(chunk);
            held += chunk.size();
            QCoreApplication::processEvents();
        }
        const double fillSeconds = std::chrono::duration<double>(Clock::now() - fillStart).count();
        // Settle whatever the filling left to the loop before measuring.
        Idle(50);

        std::vector<double> micros;
        micros.reserve(size_t(appends));
        for (int i = 0; i < appends; ++i) {
            const std::string line = MakeLine(lineNo++);
            Clock::time_point t0 = Clock::now();
            pane->AddLine(line);
            QCoreApplication::processEvents();
            Clock::time_point t1 = Clock::now();
            micros.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
            held += line.size() + 2;
        }
        Level level;
        level.mb = double(held) / 1e6;
        level.fillSeconds = fillSeconds;
        level.micros = Summarise(micros);
        level.overOneMs = size_t(std::count_if(micros.begin(), micros.end(), [](double us) { return us > 1000; }));
        level.rss = ResidentBytes();
        level.blocks = double(pane->Content().LineCount());
        levels.push_back(level);
        std::printf("%10.1f %10.2f %10.1f %10.1f %10.1f %10.1f %8zu %12.0f %10.1f\n", level.mb, level.fillSeconds,
                    level.micros.median, level.micros.p99, level.micros.max, level.micros.min, level.overOneMs,
                    level.blocks, double(level.rss) / 1e6);
        std::fflush(stdout);
    }

    // The newest line must be the one in view: the figure is worthless if
    // the pane stopped scrolling.
    QScrollBar* bar = pane->verticalScrollBar();
    const bool inView = pane->AtEnd() && bar->value() == bar->maximum();
    std::printf("\nnewest line in view: %s (scroll bar %d of %d)\n", inView ? "yes" : "NO", bar->value(),
                bar->maximum());
    if (levels.size() >= 2) {
        const Level& small = levels.front();
        const Level& big = levels.back();
        std::printf("median at %.0f MB / median at %.0f MB: %.2f (goal: within a factor of 2)\n", big.mb, small.mb,
                    big.micros.median / small.micros.median);
        std::printf("RSS at %.0f MB of text: %.1f MB (%.1f bytes of memory per byte of text)\n", big.mb,
                    double(big.rss) / 1e6, double(big.rss) / (big.mb * 1e6));
    }
    return 0;
}
