#pragma once
// What the window benchmarks share: a private sandbox (settings file, device
// discovery, loopback plug lock, message boxes), an Interlink peer on its own
// thread, the test pattern, and figures. A pseudo-terminal stands in for a
// serial device as in the tests (TestPty, with a master that never waits).
//
// The peer's end of the Interlink is a plain socket read by a thread of its
// own, as a second program would be: its work is not charged to the window's
// main thread.

#include "Interlink.h"
#include "InterlinkFrames.h"
#include "Loopback.h"
#include "MessageBox.h"
#include "Registry.h"
#include "SerialDevices.h"
#include "Unit1.h"
#include "WSocket.h"

#include "Figures.h"
#include "NeutralSettings.h"
#include "Pty.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

// CPU seconds (user + system) a thread of this process has used so far, by
// its thread id; 0 when it is gone.
inline double CpuSecondsOfThread(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t paren = text.rfind(')');
    if (paren == std::string::npos)
        return 0;
    // Fields after the name: state is field 3, utime 14 and stime 15.
    const char* p = text.c_str() + paren + 2;
    unsigned long long utime = 0, stime = 0;
    if (std::sscanf(p, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return 0;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// ---- Sandbox ------------------------------------------------------------------

// Settings under which the window starts like its definition, so that
// nothing restored from a real settings file can switch TXEN or decoding
// behind the benchmark's back.
inline std::string NeutralSettingsFile() { return "REGEDIT4\r\n\r\n" + testsupport::NeutralSettings(); }

// Everything the window would touch outside the process goes to a folder
// of our own: the real settings and the machine's serial ports (the console
// among them) are never opened.
class Sandbox {
public:
    Sandbox()
    {
        char pattern[] = "/tmp/tarrowin-bench-XXXXXX";
        if (!mkdtemp(pattern)) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        dir_ = pattern;
        std::filesystem::create_directories(dir_ + "/sys");
        std::filesystem::create_directories(dir_ + "/dev");
        std::ofstream(dir_ + "/Tarrowin.reg", std::ios::binary) << NeutralSettingsFile();
        reg::SetFilePath(dir_ + "/Tarrowin.reg");
        serialdevices::SetDiscoveryRoots(dir_ + "/sys", dir_ + "/dev");
        loopback::SetLockDirectory(dir_);
        // A modal box would stop the benchmark; it is printed instead.
        terminal::SetMessageBoxSink([](const std::string& text) {
            std::fprintf(stderr, "message box: %s\n", text.c_str());
        });
    }
    ~Sandbox()
    {
        terminal::SetMessageBoxSink(nullptr);
        reg::SetFilePath("");
        loopback::SetLockDirectory("");
        serialdevices::SetDiscoveryRoots("/sys", "/dev");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // Puts the neutral settings back, for the next window.
    void ResetSettings() const { std::ofstream(dir_ + "/Tarrowin.reg", std::ios::binary) << NeutralSettingsFile(); }

private:
    std::string dir_;
};

// A fresh window with the module state cleared, shown on the (offscreen)
// screen so that layout and painting happen as they would for a user.
inline std::unique_ptr<TForm1> MakeWindow(const Sandbox& sandbox)
{
    sandbox.ResetSettings();
    PendingRxText.clear();
    InterlinkPeers.clear();
    auto form = std::make_unique<TForm1>();
    form->show();
    QCoreApplication::processEvents();
    return form;
}

// Runs the event loop for `ms` milliseconds, sleeping while nothing happens.
inline void Idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// Pumps the event loop until `done` holds or `limitMs` passes; true when it
// held. For setting up, not for measured stretches (it polls).
inline bool RunUntil(const std::function<bool()>& done, int limitMs)
{
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (Clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        usleep(200);
    }
    return true;
}

// ---- Test pattern -------------------------------------------------------------

// Byte `position` of an endless stream that takes every value 0-255 and in
// which every 8-byte record is different: lost, doubled or reordered bytes
// show as a mismatch at the first place they occur.
inline uint64_t SplitMix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

inline void FillPattern(uint64_t position, uint8_t* out, size_t count)
{
    uint64_t record = position / 8;
    uint64_t word = SplitMix(record);
    for (size_t i = 0; i < count; ++i, ++position) {
        if (position / 8 != record) {
            record = position / 8;
            word = SplitMix(record);
        }
        out[i] = static_cast<uint8_t>(word >> (8 * (position % 8)));
    }
}

// ---- Interlink peer -----------------------------------------------------------

// A connected Interlink peer: Client() is the window-side TWSocket to put
// into InterlinkPeers; the other end is read on a thread, framed, and every
// payload handed to OnPayload there.
class PeerReader {
public:
    using PayloadHandler = std::function<void(const std::string& payload)>;

    explicit PeerReader(PayloadHandler onPayload) : onPayload_(std::move(onPayload))
    {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listen_, 1) != 0 || getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            std::perror("peer socket");
            std::exit(1);
        }
        client_ = std::make_unique<net::TWSocket>();
        client_->SetAddr("127.0.0.1");
        client_->SetPort(std::to_string(ntohs(addr.sin_port)));
        client_->BeginConnect();
        // The connect may need the event loop (an answered look-up), so the
        // listener is polled rather than waited on.
        fcntl(listen_, F_SETFL, O_NONBLOCK);
        if (!RunUntil([&] { return (peer_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; }, 5000) ||
            !RunUntil([&] { return client_->State() == net::wsConnected; }, 5000)) {
            std::fprintf(stderr, "Interlink peer did not connect\n");
            std::exit(1);
        }
        // Let the first write notification go by.
        QCoreApplication::processEvents();
        reader_ = std::thread([this] { Read(); });
    }
    ~PeerReader()
    {
        Stop();
        client_.reset();
        ::close(peer_);
        ::close(listen_);
    }
    PeerReader(const PeerReader&) = delete;
    PeerReader& operator=(const PeerReader&) = delete;

    net::TWSocket* Client() { return client_.get(); }
    // The reading thread's id, for its CPU time while it runs.
    pid_t ThreadId() const { return tid_; }
    // Ends the reading thread; what has not been read by now is dropped.
    void Stop()
    {
        if (!reader_.joinable())
            return;
        stop_ = true;
        ::shutdown(peer_, SHUT_RDWR);
        reader_.join();
    }
    // Frames whose header could not be taken (never expected).
    uint64_t BadFrames() const { return badFrames_.load(); }
    // CPU time of the reading thread, seconds (final after Stop).
    double CpuSeconds() const { return cpuMicros_.load() / 1e6; }

private:
    void Read()
    {
        tid_ = gettid();
        std::string stream;
        std::vector<char> buffer(1 << 16);
        while (!stop_) {
            ssize_t n = ::recv(peer_, buffer.data(), buffer.size(), 0);
            if (n <= 0)
                break;
            stream.append(buffer.data(), static_cast<size_t>(n));
            size_t at = 0;
            while (stream.size() - at >= 3) {
                if (stream[at] != 'L') {
                    ++badFrames_;
                    at = stream.size();
                    break;
                }
                size_t total = static_cast<unsigned char>(stream[at + 1]) +
                               256u * static_cast<unsigned char>(stream[at + 2]);
                if (total < 3) {
                    ++badFrames_;
                    at = stream.size();
                    break;
                }
                if (stream.size() - at < total)
                    break;
                onPayload_(stream.substr(at + 3, total - 3));
                at += total;
            }
            stream.erase(0, at);
            SampleCpu();
        }
        SampleCpu();
    }
    void SampleCpu()
    {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        cpuMicros_ = uint64_t(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000u +
                     uint64_t(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    }

    PayloadHandler onPayload_;
    int listen_ = -1;
    int peer_ = -1;
    std::unique_ptr<net::TWSocket> client_;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::atomic<pid_t> tid_{0};
    std::atomic<uint64_t> badFrames_{0};
    std::atomic<uint64_t> cpuMicros_{0};
};

// Checks the "RCVD" payloads a peer gets against the test pattern, on the
// peer's thread: how far they agree, where they first differ, and how many
// frames of each kind came.
class RcvdPatternCheck {
public:
    void Take(const std::string& payload)
    {
        if (payload.compare(0, 4, "RCVD") != 0 || payload.size() < 4 + stampLength_) {
            ++otherFrames;
            return;
        }
        ++rcvdFrames;
        const size_t n = payload.size() - 4 - stampLength_;
        const auto* data = reinterpret_cast<const uint8_t*>(payload.data() + 4 + stampLength_);
        const uint64_t at = verified.load();
        expected_.resize(n);
        FillPattern(at, expected_.data(), n);
        if (!mismatch && std::memcmp(data, expected_.data(), n) != 0) {
            size_t i = 0;
            while (data[i] == expected_[i])
                ++i;
            mismatchAt = at + i;
            mismatch = true;
        }
        verified = at + n;
    }

    std::atomic<uint64_t> verified{0};
    std::atomic<bool> mismatch{false};
    std::atomic<uint64_t> mismatchAt{0};
    std::atomic<uint64_t> rcvdFrames{0}, otherFrames{0};

private:
    const size_t stampLength_ = terminal::InterlinkTimeStamp().size();
    std::vector<uint8_t> expected_;
};

// Opens the window's port on the pty with the open button; a benchmark
// without its port has nothing to measure.
inline void OpenOnPty(TForm1& form, TestPty& pty)
{
    form.Com->SetDeviceName(pty.SlavePath());
    form.CmdOpen->click();
    if (!form.Com->PortIsOpen()) {
        std::fprintf(stderr, "the pty did not open\n");
        std::exit(1);
    }
}

// Opens the loopback plug at `rate` as a bus master uses it: automatic TXEN
// switching on, normal polarity, TXEN on receive (DTR released).
inline void OpenPlugForSends(TForm1& form, TVaBaudrate rate)
{
    form.CheckInvTXEN->setChecked(false);
    form.CheckTXEN->setChecked(false);
    form.CheckSwitchTXENOnTXEmpty->setChecked(true);
    form.Com->SetDTRControl(dtrDisable);
    form.Com->SetBaudrate(rate);
    form.Com->SetDeviceName("loopback");
    form.CmdOpen->click();
    if (!form.Com->PortIsOpen() || loopback::CurrentTrace().dtr) {
        std::fprintf(stderr, "the plug did not open with DTR released\n");
        std::exit(1);
    }
}

// ---- Figures ------------------------------------------------------------------

// User + system CPU time of RUSAGE_SELF or RUSAGE_THREAD.
inline double CpuSecondsOf(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

inline double ProcessCpuSeconds() { return CpuSecondsOf(RUSAGE_SELF); }
inline double ThreadCpuSeconds() { return CpuSecondsOf(RUSAGE_THREAD); }

// The far end of a cable writing the test pattern into `fd` (non-blocking)
// as fast as it is taken, on a thread of its own, until `until`, or until
// `limit` bytes are written; with `bytesPerSecond` it keeps to that rate.
class PatternWriter {
public:
    PatternWriter(int fd, Clock::time_point until, uint64_t limit = UINT64_MAX, double bytesPerSecond = 0)
    {
        thread_ = std::thread([this, fd, until, limit, bytesPerSecond] {
            tid_ = gettid();
            std::vector<uint8_t> chunk(16384);
            uint64_t position = 0;
            size_t have = 0, sent = 0;
            const Clock::time_point start = Clock::now();
            while (Clock::now() < until && position < limit && !stop_) {
                if (sent == have) {
                    FillPattern(position, chunk.data(), chunk.size());
                    have = static_cast<size_t>(std::min<uint64_t>(chunk.size(), limit - position));
                    sent = 0;
                }
                size_t allowed = have - sent;
                if (bytesPerSecond > 0) {
                    const double due = std::chrono::duration<double>(Clock::now() - start).count() * bytesPerSecond;
                    allowed = due > double(position) ? std::min<size_t>(allowed, size_t(due - double(position)) + 1) : 0;
                    if (allowed == 0) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                        continue;
                    }
                }
                ssize_t n = ::write(fd, chunk.data() + sent, allowed);
                if (n > 0) {
                    sent += static_cast<size_t>(n);
                    position += static_cast<uint64_t>(n);
                    written_ = position;
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    std::perror("pattern write");
                    break;
                } else {
                    pollfd p{fd, POLLOUT, 0};
                    ::poll(&p, 1, 10);
                }
            }
            cpuSeconds_ = ThreadCpuSeconds();
            writing_ = false;
        });
    }
    ~PatternWriter() { Join(); }
    PatternWriter(const PatternWriter&) = delete;
    PatternWriter& operator=(const PatternWriter&) = delete;

    uint64_t Written() const { return written_; }
    pid_t ThreadId() const { return tid_; }
    // Ends the writing early (a reader that gave up).
    void Stop() { stop_ = true; }
    bool Writing() const { return writing_; }
    // The writer's own CPU time, once it has stopped (to take it out of the
    // process's figure).
    double CpuSeconds() const { return cpuSeconds_; }
    void Join()
    {
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::atomic<uint64_t> written_{0};
    std::atomic<pid_t> tid_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> writing_{true};
    std::atomic<double> cpuSeconds_{0};
    std::thread thread_;
};

// Resident set size of the process, bytes.
inline uint64_t ResidentBytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024u;
    return 0;
}

// How late a plain thread wakes from a 1 ms sleep while a case runs: the
// machine's own scheduling noise (other processes on the shared cores), to
// tell it apart from time the window spends.
class WakeProbe {
public:
    WakeProbe()
    {
        thread_ = std::thread([this] {
            Clock::time_point next = Clock::now();
            while (running_) {
                next += std::chrono::milliseconds(1);
                std::this_thread::sleep_until(next);
                Clock::time_point now = Clock::now();
                micros_.push_back(std::chrono::duration<double, std::micro>(now - next).count());
                if (now > next + std::chrono::milliseconds(1))
                    next = now; // no catching up after a long stall
            }
            cpuSeconds_ = ThreadCpuSeconds();
        });
    }
    ~WakeProbe() { Stop(); }
    WakeProbe(const WakeProbe&) = delete;
    WakeProbe& operator=(const WakeProbe&) = delete;

    Figures Stop()
    {
        if (thread_.joinable()) {
            running_ = false;
            thread_.join();
        }
        return Summarise(micros_);
    }
    // The probe's own CPU time (after Stop), to leave out of the window's.
    double CpuSeconds() const { return cpuSeconds_; }

private:
    double cpuSeconds_ = 0;
    std::thread thread_;
    std::atomic<bool> running_{true};
    std::vector<double> micros_;
};

inline void PrintMachine()
{
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) < 0)
        load[0] = -1;
    std::printf("machine: %u cores, load average %.2f at start\n", std::thread::hardware_concurrency(), load[0]);
}

} // namespace bench
