// The window on a network port: ser2net (RFC 2217 on 127.0.0.1, a pty as
// its serial port) between the far end of the cable and the window.
//
//  - Receive: bytes pushed into ser2net's pty as fast as it takes them, for
//    a fixed time, through ser2net, the network port, the port object, the
//    batching timers and the flush into the receive pane (as bench_receive
//    does for a pty; no Interlink peer here). Checked: every byte the window
//    takes is the pattern's next (a lost, doubled or reordered byte shows),
//    and the pane's byte counts add up to what was written. Measured: bytes
//    per second, CPU seconds per MB of this process (the window and its
//    port; the writer thread left out) and of ser2net.
//  - Send: the window as Interlink server; a plain socket sends "SEND"
//    frames one at a time, and the time from the frame going out to its
//    bytes on ser2net's pty is taken (median, p99).
//
// Usage: bench_rfc2217 [receive seconds, default 5] [sends, default 300]

// TerminalBench.h first: the socket stand-in must come before the system
// socket headers that Ser2netServer.h brings.
#include "TerminalBench.h"
#include "Ser2netServer.h"

#include <QApplication>

#include <fcntl.h>
#include <netinet/tcp.h>

#include <cinttypes>
#include <cstring>
#include <fstream>
#include <sstream>

using namespace bench;

namespace {

// User + system CPU seconds of another process.
double ProcessCpuOf(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

int Receive(const Sandbox& sandbox, Ser2netServer& server, int seconds)
{
    std::unique_ptr<TForm1> form = MakeWindow(sandbox);
    form->CheckDecode->setChecked(false);
    form->MemoIn->SetText("");
    form->Com->SetDeviceName(server.Address());
    form->CmdOpen->click();
    if (!form->Com->PortIsOpen()) {
        std::fprintf(stderr, "bench_rfc2217: the network port did not open\n");
        return 1;
    }
    // Every byte the window takes is checked against the pattern.
    uint64_t taken = 0, mismatchAt = UINT64_MAX;
    std::vector<uint8_t> expected;
    TVaCommRxCharEvent original = form->Com->OnRxChar;
    // The window's own handler (ComRxChar), step for step, with the bytes
    // it reads checked on their way into the pending batch.
    (void)original;
    Clock::time_point lastArrival = Clock::now();
    TForm1* f = form.get();
    TVaCommRxCharEvent check = [&, f](rtl::TObject*, int32_t) {
        f->TimerUpdateMemoIn->stop();
        const std::string got = f->Com->ReadString();
        expected.resize(got.size());
        FillPattern(taken, expected.data(), got.size());
        if (mismatchAt == UINT64_MAX && std::memcmp(got.data(), expected.data(), got.size()) != 0)
            mismatchAt = taken;
        taken += got.size();
        PendingRxText += got;
        f->TimerUpdateMemoIn->start();
        if (!f->TimerUpdateFinally->isActive())
            f->TimerUpdateFinally->start();
        if (PendingRxText.size() >= TForm1::kMaxPendingRx)
            f->TimerUpdateMemoInTimer(f->TimerUpdateMemoIn);
        lastArrival = Clock::now();
    };
    form->Com->OnRxChar = check;

    const int master = server.Pty().Master();
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    const double cpuStart = ProcessCpuSeconds();
    const double serverStart = ProcessCpuOf(server.Pid());
    const Clock::time_point start = Clock::now();
    const Clock::time_point stopAt = start + std::chrono::seconds(seconds);
    PatternWriter writer(master, stopAt);
    QEventLoop loop;
    QTimer tick;
    Clock::time_point writerDone{};
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (writer.Writing())
            return;
        if (writerDone == Clock::time_point{})
            writerDone = Clock::now();
        const bool quiet = Clock::now() - lastArrival > std::chrono::milliseconds(500);
        if (taken >= writer.Written() || mismatchAt != UINT64_MAX || quiet)
            loop.quit();
    });
    tick.start(10);
    loop.exec();
    const Clock::time_point drained = Clock::now();
    writer.Join();
    const double cpu = ProcessCpuSeconds() - cpuStart - writer.CpuSeconds();
    const double serverCpu = ProcessCpuOf(server.Pid()) - serverStart;
    form->TimerUpdateMemoInTimer(form->TimerUpdateMemoIn);
    uint64_t paneCounted = 0;
    for (const std::string& line : std::vector<std::string>{form->MemoIn->Text()}) {
        const std::string head = " Byte empfangen:";
        for (size_t at = line.find(head); at != std::string::npos; at = line.find(head, at + head.size())) {
            size_t digits = at;
            while (digits > 0 && line[digits - 1] >= '0' && line[digits - 1] <= '9')
                --digits;
            if (digits != at && (digits == 0 || (digits >= 2 && line.compare(digits - 2, 2, "\r\n") == 0)))
                paneCounted += std::strtoull(line.c_str() + digits, nullptr, 10);
        }
    }
    form->Com->ClosePort();

    const double mb = double(writer.Written()) / 1e6;
    const double took = std::chrono::duration<double>(drained - start).count();
    std::printf("Receive: pty written at full speed for %d s -> ser2net -> RFC 2217 -> network port -> receive pane\n",
                seconds);
    std::printf("  written by the far end      %12" PRIu64 " bytes\n", writer.Written());
    std::printf("  taken by the window         %12" PRIu64 " bytes, in order%s\n", taken,
                mismatchAt == UINT64_MAX ? "" : " until a DIFFERENCE");
    if (mismatchAt != UINT64_MAX)
        std::printf("  DATA DIFFERS from byte      %12" PRIu64 "\n", mismatchAt);
    std::printf("  counted in the pane         %12" PRIu64 " bytes\n", paneCounted);
    std::printf("  sustained rate              %12.0f bytes/s (%.2f MB/s), last byte %.3f s after the far end stopped\n",
                double(writer.Written()) / took, mb / took, std::chrono::duration<double>(drained - writerDone).count());
    std::printf("  CPU, this process (window, port object, network port)  %.3f s per MB (%.2f s in all)\n", cpu / mb,
                cpu);
    std::printf("  CPU, ser2net                                          %.3f s per MB (%.2f s in all)\n",
                serverCpu / mb, serverCpu);
    std::fflush(stdout);
    return mismatchAt == UINT64_MAX && paneCounted == writer.Written() ? 0 : 1;
}

int Send(const Sandbox& sandbox, const std::string& device, int master, const char* label, int sends)
{
    const int port = Ser2netServer::FreePort();
    TForm1::SetInterlinkPortForTests(std::to_string(port));
    InterlinkStarted = false; // a new start: this window holds the election
    std::unique_ptr<TForm1> form = MakeWindow(sandbox);
    form->CheckCRNL->setChecked(false);
    form->Com->SetDeviceName(device);
    form->CmdOpen->click();
    if (!form->Com->PortIsOpen()) {
        std::fprintf(stderr, "bench_rfc2217: the network port did not open\n");
        return 1;
    }
    // The window has become the Interlink server on its own port.
    int peer = -1;
    RunUntil([&] {
        peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(peer, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            return true;
        ::close(peer);
        peer = -1;
        return false;
    }, 5000);
    if (peer < 0) {
        std::fprintf(stderr, "bench_rfc2217: the window did not become Interlink server\n");
        return 1;
    }
    int one = 1;
    setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(peer, F_SETFL, O_NONBLOCK);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    auto drainPeer = [&] {
        char buffer[4096];
        while (::recv(peer, buffer, sizeof buffer, 0) > 0) {
        }
    };
    std::vector<double> micros;
    for (int i = -1; i < sends; ++i) {
        char text[32];
        std::snprintf(text, sizeof text, "x%04d", i < 0 ? 9999 : i);
        const std::string wire = std::string(text) + "\r";
        const std::string frame = terminal::MakeInterlinkFrame("SEND" + std::string(text) + "#13");
        std::string seen;
        const Clock::time_point t0 = Clock::now();
        if (::send(peer, frame.data(), frame.size(), MSG_NOSIGNAL) != ssize_t(frame.size())) {
            std::fprintf(stderr, "bench_rfc2217: the frame did not go out\n");
            return 1;
        }
        Clock::time_point arrived{};
        const bool ok = RunUntil([&] {
            char buffer[256];
            for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
                seen.append(buffer, size_t(n));
            if (seen.find(wire) == std::string::npos)
                return false;
            arrived = Clock::now();
            return true;
        }, 10000);
        if (!ok) {
            std::fprintf(stderr, "bench_rfc2217: send %d did not reach the pty (saw \"%s\")\n", i, seen.c_str());
            return 1;
        }
        if (i >= 0)
            micros.push_back(std::chrono::duration<double, std::micro>(arrived - t0).count());
        // The next command goes into a quiet link.
        Idle(2);
        drainPeer();
    }
    Figures f = Summarise(micros);
    std::printf("Send: Interlink \"SEND\" frame from a socket peer -> window -> %s\n", label);
    std::printf("  median %8.1f us   p99 %8.1f us   max %8.1f us   (%zu sends)\n", f.median, f.p99, f.max, f.count);
    ::close(peer);
    form->Com->ClosePort();
    form.reset();
    TForm1::SetInterlinkPortForTests("");
    return 0;
}

// How long after a write its transmit-empty event comes, beyond the bytes'
// own wire time: what an automatic TXEN release waits over a network port.
int TransmitEmpty(Ser2netServer& server, int rounds)
{
    win::HANDLE port = win::CreateFile(server.Address());
    if (port == win::INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "bench_rfc2217: %s\n", win::FormatMessage(win::GetLastError()).c_str());
        return 1;
    }
    win::DCB dcb;
    dcb.BaudRate = 115200;
    dcb.Flags = win::fBinary;
    win::COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = win::MAXDWORD;
    win::SetCommTimeouts(port, timeouts);
    if (!win::SetCommState(port, dcb) || !win::SetCommMask(port, win::EV_TXEMPTY)) {
        std::fprintf(stderr, "bench_rfc2217: %s\n", win::FormatMessage(win::GetLastError()).c_str());
        return 1;
    }
    const int master = server.Pty().Master();
    win::OVERLAPPED write{}, wait{};
    write.hEvent = win::CreateEvent(true, false);
    wait.hEvent = win::CreateEvent(true, false);
    const std::string frame(8, 'M'); // a short Modbus request: 0.69 ms at 115200 bit/s
    const double wireUs = 8 * 10 * 1e6 / 115200;
    std::vector<double> late, ack;
    for (int i = 0; i < rounds; ++i) {
        win::ResetEvent(write.hEvent);
        win::ResetEvent(wait.hEvent);
        win::DWORD events = 0, done = 0;
        const Clock::time_point t0 = Clock::now();
        win::WriteFile(port, frame.data(), win::DWORD(frame.size()), &done, &write);
        win::GetOverlappedResult(port, &write, &done, true);
        const Clock::time_point written = Clock::now();
        if (!win::WaitCommEvent(port, &events, &wait))
            win::GetOverlappedResult(port, &wait, &done, true);
        const Clock::time_point empty = Clock::now();
        ack.push_back(std::chrono::duration<double, std::micro>(written - t0).count());
        late.push_back(std::chrono::duration<double, std::micro>(empty - t0).count() - wireUs);
        char sink[64];
        while (::read(master, sink, sizeof sink) > 0) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    win::CloseHandle(port);
    win::CloseHandle(write.hEvent);
    win::CloseHandle(wait.hEvent);
    Figures a = Summarise(ack), l = Summarise(late);
    std::printf("Transmit-empty: 8 bytes at 115200 bit/s (%.0f us on the wire) through ser2net, %d rounds\n", wireUs,
                rounds);
    std::printf("  write done (acknowledged)   median %8.1f us   p99 %8.1f us   max %8.1f us\n", a.median, a.p99,
                a.max);
    std::printf("  EV_TXEMPTY after wire time  median %8.1f us   p99 %8.1f us   max %8.1f us\n", l.median, l.p99,
                l.max);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int sends = argc > 2 ? std::max(1, std::atoi(argv[2])) : 300;
    Sandbox sandbox;
    // The Interlink of the windows here is on a port of their own, never 666.
    TForm1::SetInterlinkPortForTests(std::to_string(Ser2netServer::FreePort()));
    Ser2netServer server;
    std::string error;
    if (!server.Start(error)) {
        std::fprintf(stderr, "bench_rfc2217: %s\n", error.c_str());
        return 1;
    }
    std::printf("Network port through ser2net (%s) on 127.0.0.1\n", Ser2netServer::Binary().c_str());
    PrintMachine();
    int result = Receive(sandbox, server, seconds);
    std::printf("\n");
    result |= TransmitEmpty(server, 200);
    std::printf("\n");
    result |= Send(sandbox, server.Address(), server.Pty().Master(), "network port -> ser2net -> its pty", sends);
    std::printf("\n");
    TestPty pty;
    result |= Send(sandbox, pty.SlavePath(), pty.Master(), "a pty as the port (for comparison)", sends);
    return result;
}
