// Cost of keeping full panes in the settings file: the close writes the 21
// values with both pane texts (64 MiB each by default) and the next start
// reads them back. Both must stay well under a second.
//
// The texts are what a full pane holds after a day on a bus: half of it
// received lines as the pane shows them with decoding on
// ("200 Byte empfangen:" and "<13><10>"-style rewritten bytes, CR LF line
// ends), half raw bytes 1..255 (lone CR and LF, quotes, backslashes, 8-bit
// characters) as a pane shows them with decoding off.
//
// Three moments are timed, each on its own:
//   first save   the close with no settings file yet;
//   load         the next start: the file read afresh, all 21 values read;
//   second save  the close after that start, with both texts changed.
// For each: seconds, MB/s of pane text, the peak RSS of the moment above the
// RSS before it (the process holds the two texts itself besides) and that
// peak in multiples of the pane text.
//
// Usage: bench_settings [MiB per text, default 64] [rounds, default 3]

#include "Registry.h"

#include "Figures.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

uint64_t SplitMix(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// A received line as the receive pane shows it with decoding on: the
// header, then the bytes with those below 32 written as "<NN>".
void AppendDecodedLine(std::string& out, uint64_t& seed)
{
    unsigned count = 16 + unsigned(SplitMix(++seed) % 240);
    out += std::to_string(count);
    out += " Byte empfangen:";
    for (unsigned i = 0; i < count; ++i) {
        unsigned b = unsigned(SplitMix(++seed) % 160);
        if (b < 32) {
            out += '<';
            out += std::to_string(b);
            out += '>';
        } else {
            out.push_back(char(b));
        }
    }
    out += "\r\n";
}

// Raw bytes as a pane shows them with decoding off: every byte but zero,
// with CR, LF, quote and backslash somewhat more frequent than the rest.
void AppendRawBlock(std::string& out, uint64_t& seed, size_t bytes)
{
    static const char kFrequent[] = {'\r', '\n', '"', '\\'};
    for (size_t i = 0; i < bytes; ++i) {
        uint64_t r = SplitMix(++seed);
        if (r % 16 == 0)
            out.push_back(kFrequent[(r >> 8) % 4]);
        else
            out.push_back(char(1 + (r >> 8) % 255));
    }
}

std::string PaneText(size_t bytes, uint64_t seed)
{
    std::string out;
    out.reserve(bytes + 4096);
    while (out.size() < bytes) {
        size_t block = std::min<size_t>(bytes - out.size(), 256 * 1024);
        if (SplitMix(++seed) % 2 == 0) {
            size_t end = out.size() + block;
            while (out.size() < end)
                AppendDecodedLine(out, seed);
        } else {
            AppendRawBlock(out, seed, block);
        }
    }
    out.resize(bytes);
    return out;
}

uint64_t StatusKiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t n = std::char_traits<char>::length(field);
    while (std::getline(status, line))
        if (line.compare(0, n, field) == 0)
            return std::strtoull(line.c_str() + n, nullptr, 10);
    return 0;
}

// Starts a new peak: the kernel sets the high-water mark back to the
// present RSS.
void ResetPeak()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

const char* const kSettingsKey = "Software\\Brenlow\\Tarrowin\\";
const char* const kLists[] = {"PortNumIndex",  "BaudRateIndex",  "FlowControlIndex", "DTRControlIndex",
                              "RTSControlIndex", "ParityIndex", "StopbitsIndex",    "DatabitsIndex"};
const char* const kFlags[] = {"TXEN", "send #13#10", "save memos", "decode asc<32", "Invert TXEN",
                              "RTS",  "Xon",         "Break",      "TXempty",       "AutoSwitch TXEN"};

// The close: the 21 values in the window's order, in one batch as the
// window writes them.
void Save(const std::string& memoIn, const std::string& memoOut, int round)
{
    reg::TRegistryBatch batch;
    reg::TRegistry r;
    r.OpenKey(kSettingsKey, true);
    for (size_t i = 0; i < std::size(kLists); ++i)
        r.WriteInteger(kLists[i], int32_t(i) + round);
    for (size_t i = 0; i < std::size(kFlags); ++i)
        r.WriteString(kFlags[i], (i + size_t(round)) % 2 ? "true" : "false");
    r.WriteString("MemoIn", memoIn);
    r.WriteString("MemoOut", memoOut);
    r.WriteString("EditSend", "AT+CSQ");
    batch.Commit();
}

// The start: the file read afresh, as a new process would, then every value.
void Load(const std::string& path, std::string& memoIn, std::string& memoOut)
{
    reg::SetFilePath(path + ".elsewhere");
    {
        reg::TRegistry r;
        r.OpenKey(kSettingsKey, false);
    }
    reg::SetFilePath(path);
    reg::TRegistry r;
    r.OpenKey(kSettingsKey, true);
    for (const char* name : kLists)
        (void)r.ReadInteger(name);
    for (const char* name : kFlags)
        (void)r.ReadString(name);
    memoIn = r.ReadString("MemoIn");
    memoOut = r.ReadString("MemoOut");
    (void)r.ReadString("EditSend");
}

double CpuSeconds()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

struct Moment {
    const char* name;
    std::vector<double> seconds;
    std::vector<double> cpu;
    std::vector<double> extraMiB;
};

} // namespace

int main(int argc, char** argv)
{
    const size_t mib = argc > 1 ? size_t(std::max(1, std::atoi(argv[1]))) : 64;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const size_t textBytes = mib << 20;

    char pattern[] = "/tmp/tarrowin-bench-settings-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = pattern;
    const std::string path = dir + "/Tarrowin.reg";
    reg::SetNoticeHandler([](const std::string& m) { std::fprintf(stderr, "notice: %s\n", m.c_str()); });

    std::printf("Settings file with both pane texts: %zu MiB each, 21 values, %d rounds\n", mib, rounds);
    std::printf("machine: %u cores; file in %s\n", std::thread::hardware_concurrency(), dir.c_str());

    Moment firstSave{"first save", {}, {}, {}}, load{"load", {}, {}, {}}, secondSave{"second save", {}, {}, {}};
    uintmax_t fileBytes = 0;
    bool sameBack = true;
    for (int round = 0; round < rounds; ++round) {
        std::filesystem::remove(path);
        std::string memoIn = PaneText(textBytes, 1000 + uint64_t(round));
        std::string memoOut = PaneText(textBytes, 2000 + uint64_t(round));
        reg::SetFilePath(path);

        auto measure = [&](Moment& m, auto&& body) {
            const double before = double(StatusKiB("VmRSS:"));
            ResetPeak();
            const double cpu = CpuSeconds();
            Clock::time_point start = Clock::now();
            body();
            m.seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            m.cpu.push_back(CpuSeconds() - cpu);
            m.extraMiB.push_back((double(StatusKiB("VmHWM:")) - before) / 1024.0);
        };

        measure(firstSave, [&] { Save(memoIn, memoOut, round); });
        fileBytes = std::filesystem::file_size(path);

        std::string readIn, readOut;
        measure(load, [&] { Load(path, readIn, readOut); });
        sameBack = sameBack && readIn == memoIn && readOut == memoOut;
        readIn.clear();
        readIn.shrink_to_fit();
        readOut.clear();
        readOut.shrink_to_fit();

        // The panes went on receiving after the start.
        memoIn.replace(0, 4096, PaneText(4096, 3000 + uint64_t(round)));
        memoOut.replace(memoOut.size() - 4096, 4096, PaneText(4096, 4000 + uint64_t(round)));
        measure(secondSave, [&] { Save(memoIn, memoOut, round + 1); });
    }
    reg::SetFilePath("");
    std::filesystem::remove_all(dir);

    const double textMB = 2.0 * double(textBytes) / 1e6;
    std::printf("pane text %.1f MB, settings file %.1f MB; texts read back %s\n\n", textMB, double(fileBytes) / 1e6,
                sameBack ? "exactly" : "DIFFERENT");
    // CPU seconds tell the program's own cost apart from a busy machine;
    // the wall-clock seconds include the wait for the disk (fsync).
    std::printf("%-12s %10s %10s %10s %10s %14s %10s\n", "moment", "median s", "max s", "cpu s", "MB/s", "peak +MiB",
                "x text");
    for (const Moment* m : {&firstSave, &load, &secondSave}) {
        bench::Figures s = bench::Summarise(m->seconds);
        bench::Figures c = bench::Summarise(m->cpu);
        bench::Figures x = bench::Summarise(m->extraMiB);
        std::printf("%-12s %10.3f %10.3f %10.3f %10.1f %14.1f %10.2f\n", m->name, s.median, s.max, c.median,
                    textMB / s.median, x.max, x.max * 1048576.0 / (2.0 * double(textBytes)));
    }
    return sameBack ? 0 : 1;
}
