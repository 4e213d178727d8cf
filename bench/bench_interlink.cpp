// The Interlink of three real copies (one server, two clients), each with a
// pty as its port:
//  - latency of a "SEND" from a peer to the bytes on every copy's port, one
//    command at a time, with the sender a plain socket of this process and,
//    for fewer rounds, a whole run of tarrowin-link (its start included);
//  - throughput of "RCVD": bytes written at full speed into one client
//    copy's port, counted as RCVD data at a peer of this process.
//
// Port 666 must be the copies' own: as root the benchmark starts itself
// again in a network namespace of its own (unshare -n, loopback up), where
// nothing else listens. Without root it cannot run.
//
//   build/bench/bench_interlink [sends [megabytes]]    (default 300 and 8)

#include "../tests/app/InterlinkCopies.h"
#include "Figures.h"

#include <cinttypes>
#include <cstdio>

using namespace e2e;

namespace {

std::string Dir(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string SelfPath()
{
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Starts this program again in a network namespace of its own; returns only
// when that cannot be done.
void ReExecInNamespace(char** argv)
{
    ::setenv("TARROWIN_HOST_NETNS", NetNamespace().c_str(), 1);
    const std::string self = SelfPath();
    std::vector<const char*> args = {"unshare", "-n", "--", "sh", "-c",
                                     "PATH=\"$PATH:/usr/sbin:/sbin\"; ip link set lo up && exec \"$0\" \"$@\"",
                                     self.c_str()};
    for (char** a = argv + 1; *a; ++a)
        args.push_back(*a);
    args.push_back(nullptr);
    ::execvp("unshare", const_cast<char* const*>(args.data()));
    std::perror("bench_interlink: unshare");
}

double MicrosBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::micro>(b - a).count();
}

// Reads what the peers received and what the copies transmitted, waiting at
// most waitMs for anything.
void PollAll(Scene& scene, std::vector<RawPeer*> peers, int waitMs)
{
    std::vector<pollfd> fds;
    for (auto& c : scene.Copies())
        fds.push_back({c->pty.Master(), POLLIN, 0});
    for (RawPeer* p : peers)
        fds.push_back({p->Fd(), POLLIN, 0});
    ::poll(fds.data(), fds.size(), waitMs);
    for (auto& c : scene.Copies())
        c->pty.Drain();
    for (RawPeer* p : peers)
        p->Drain();
}

// Waits until every copy has written `wire` to its port and the sender has
// the SENT of each: the next command goes into a quiet link. The moment each
// copy's bytes were seen; empty when that took longer than limitMs from t0.
std::vector<Clock::time_point> AwaitEverywhere(Scene& scene, RawPeer& sender, const std::string& wire,
                                               Clock::time_point t0, int limitMs)
{
    std::vector<Clock::time_point> arrived(3);
    std::vector<bool> done(3, false);
    size_t sent = 0;
    std::string payload;
    while (sent < 3 || std::count(done.begin(), done.end(), true) < 3) {
        if (MsSince(t0) > limitMs)
            return {};
        PollAll(scene, {&sender}, 10);
        const auto now = Clock::now();
        for (size_t c = 0; c < 3; ++c)
            if (!done[c] && scene.At(c).pty.Transmitted().find(wire) != std::string::npos) {
                done[c] = true;
                arrived[c] = now;
            }
        while (sender.NextPayload(payload))
            sent += payload.compare(0, 4, "SENT") == 0;
    }
    return arrived;
}

// Each copy's latency, and the slowest of the three as the send's.
void Record(Clock::time_point t0, const std::vector<Clock::time_point>& arrived,
            std::vector<std::vector<double>>& perCopy, std::vector<double>& all)
{
    double slowest = 0;
    for (size_t c = 0; c < 3; ++c) {
        perCopy[c].push_back(MicrosBetween(t0, arrived[c]));
        slowest = std::max(slowest, perCopy[c].back());
    }
    all.push_back(slowest);
}

void PrintLatency(const char* what, const std::vector<std::vector<double>>& perCopy, const std::vector<double>& all)
{
    std::printf("%s\n", what);
    const char* names[] = {"server  ", "client 1", "client 2"};
    for (size_t i = 0; i < perCopy.size(); ++i) {
        bench::Figures s = bench::Summarise(perCopy[i]);
        std::printf("  %s  median %8.1f us   p99 %8.1f us   max %8.1f us\n", names[i], s.median, s.p99, s.max);
    }
    bench::Figures s = bench::Summarise(all);
    std::printf("  all three  median %8.1f us   p99 %8.1f us   max %8.1f us   (%zu sends)\n", s.median, s.p99, s.max,
                all.size());
}

} // namespace

int main(int argc, char** argv)
{
    const std::string problem = PrivateNamespaceProblem();
    if (!problem.empty()) {
        if (::geteuid() == 0 && !std::getenv("TARROWIN_HOST_NETNS"))
            ReExecInNamespace(argv);
        std::fprintf(stderr, "bench_interlink: %s\n", problem.c_str());
        return 1;
    }
    const int sends = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
    const long megabytes = argc > 2 ? std::max(1L, std::atol(argv[2])) : 8;
    const std::string build = Dir(Dir(SelfPath()));
    Scene scene(build + "/tarrowin", build + "/tarrowin-link");

    const std::string started = scene.StartLinkedCopies(3);
    if (!started.empty()) {
        std::fprintf(stderr, "bench_interlink: %s\n", started.c_str());
        return 1;
    }
    std::printf("Interlink: 1 server and 2 client copies (%s), ports on ptys, private network namespace\n\n",
                (build + "/tarrowin").c_str());

    // --- Latency: a plain socket of this process sends each command. --------
    RawPeer sender;
    if (!sender.Connect() || !scene.WaitUntil([&] { return sender.Drain() && sender.Greeted(); })) {
        std::fprintf(stderr, "bench_interlink: the sender was not greeted\n");
        return 1;
    }
    std::vector<std::vector<double>> perCopy(3);
    std::vector<double> all;
    std::string payload;
    // The first send opens every copy's port; it is not counted.
    for (int i = -1; i < sends; ++i) {
        char text[32];
        std::snprintf(text, sizeof text, "x%04d", i < 0 ? 9999 : i);
        const std::string wire = std::string(text) + "\r";
        for (auto& c : scene.Copies())
            c->pty.Forget();
        const auto t0 = Clock::now();
        sender.Send(terminal::MakeInterlinkFrame("SEND" + std::string(text) + "#13"));
        const std::vector<Clock::time_point> arrived = AwaitEverywhere(scene, sender, wire, t0, 10000);
        if (arrived.empty()) {
            std::fprintf(stderr, "bench_interlink: send %d not carried out everywhere\n%s", i, scene.Describe().c_str());
            return 1;
        }
        if (i >= 0)
            Record(t0, arrived, perCopy, all);
    }
    PrintLatency("SEND from a socket peer to the bytes on each copy's port", perCopy, all);

    // --- Latency with tarrowin-link, process start included. ----------------
    const int linkRuns = std::max(1, sends / 6);
    for (auto& v : perCopy)
        v.clear();
    all.clear();
    for (int i = 0; i < linkRuns; ++i) {
        char text[32];
        std::snprintf(text, sizeof text, "y%04d", i);
        const std::string wire = std::string(text) + "\r";
        for (auto& c : scene.Copies())
            c->pty.Forget();
        const auto t0 = Clock::now();
        ChildProcess& link = scene.Link({"send", std::string(text) + "#13"});
        const std::vector<Clock::time_point> arrived = AwaitEverywhere(scene, sender, wire, t0, 20000);
        if (arrived.empty()) {
            std::fprintf(stderr, "bench_interlink: tarrowin-link send %d not carried out\n%s", i,
                         scene.Describe().c_str());
            return 1;
        }
        if (scene.WaitForExit(link) != 0) {
            std::fprintf(stderr, "bench_interlink: tarrowin-link failed\n%s", scene.Describe().c_str());
            return 1;
        }
        Record(t0, arrived, perCopy, all);
    }
    std::printf("\n");
    PrintLatency("tarrowin-link send (process start, connect, greeting included) to the bytes on each port", perCopy,
                 all);

    // --- RCVD throughput: one client's port to a monitoring peer. -----------
    RawPeer monitor;
    if (!monitor.Connect() || !scene.WaitUntil([&] { return monitor.Drain() && monitor.Greeted(); })) {
        std::fprintf(stderr, "bench_interlink: the monitor was not greeted\n");
        return 1;
    }
    // Printable bytes without '<', so that nothing depends on how data is
    // shown; the link itself carries any byte.
    std::string block(65536, 0);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>('A' + i % 26);
    const uint64_t total = static_cast<uint64_t>(megabytes) * 1024 * 1024;
    Copy& source = scene.At(1);
    uint64_t written = 0, received = 0, frames = 0;
    const auto t0 = Clock::now();
    auto last = t0;
    while (received < total) {
        if (MsSince(last) > 30000) {
            std::fprintf(stderr,
                         "bench_interlink: only %" PRIu64 " of %" PRIu64 " bytes (%" PRIu64
                         " written) arrived as RCVD, nothing for 30 s\n%s",
                         received, total, written, scene.Describe().c_str());
            return 1;
        }
        std::vector<pollfd> fds = {{monitor.Fd(), POLLIN, 0}, {sender.Fd(), POLLIN, 0}};
        if (written < total)
            fds.push_back({source.pty.Master(), POLLOUT, 0});
        ::poll(fds.data(), fds.size(), 10);
        if (written < total) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(block.size(), total - written));
            ssize_t n = ::write(source.pty.Master(), block.data(), want);
            if (n > 0)
                written += static_cast<uint64_t>(n);
        }
        sender.Drain();
        while (sender.NextPayload(payload)) {
        }
        monitor.Drain();
        while (monitor.NextPayload(payload)) {
            if (payload.compare(0, 4, "RCVD") != 0)
                continue;
            const size_t stamp = payload.size() >= 15 && payload[4] == '-' ? 11 : 10;
            received += payload.size() - std::min(payload.size(), 4 + stamp);
            ++frames;
            last = Clock::now();
        }
    }
    const double seconds = std::chrono::duration<double>(last - t0).count();
    std::printf("\nRCVD relay: %" PRIu64 " bytes written into client 1's port at full speed\n", total);
    std::printf("  arrived at a monitoring peer (through the server) in %.2f s: %.2f MB/s, %" PRIu64
                " RCVD frames of %.0f bytes on average\n",
                seconds, total / seconds / 1e6, frames, frames ? static_cast<double>(total) / frames : 0.0);
    return 0;
}
