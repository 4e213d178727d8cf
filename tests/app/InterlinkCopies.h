#pragma once
// Real copies of the program on one Interlink, for the end-to-end tests and
// the Interlink benchmark: each copy a process with its own settings folder
// and a pty as its port; tarrowin-link and plain sockets as further peers.
// Everything here assumes a network namespace of its own, where port 666
// belongs to these copies only.

#include "ChildProcess.h"
#include "NeutralSettings.h"
#include "Pty.h"
#include "TempDir.h"
#include "WholeFiles.h"
#include "InterlinkFrames.h"
#include "Registry.h"
#include "SerialDevices.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

constexpr uint16_t kInterlinkPort = 666;
inline const std::string kGreeting = "Welcome to TcpSrv\r\n";
constexpr uint8_t kTcpEstablished = 1;
constexpr uint8_t kTcpListen = 10;

using Clock = std::chrono::steady_clock;

inline long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

inline std::string NetNamespace()
{
    char buf[128];
    ssize_t n = ::readlink("/proc/self/ns/net", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Empty when this process runs in a network namespace of its own (made by
// run-in-namespace.sh); otherwise why not. The machine's own port 666 is
// never to be touched.
inline std::string PrivateNamespaceProblem()
{
    if (::geteuid() != 0)
        return "needs root for a private network namespace (unshare -n)";
    const char* host = std::getenv("TARROWIN_HOST_NETNS");
    if (!host || !*host)
        return "not started in a private network namespace (run through tests/app/run-in-namespace.sh)";
    const std::string mine = NetNamespace();
    if (mine.empty() || mine == host)
        return "still in the network namespace of the machine (" + mine + ")";
    return {};
}

struct TcpSocket {
    uint16_t localPort = 0;
    uint16_t remotePort = 0;
    uint8_t state = 0;
    uint32_t inode = 0;  // 0 while a connection waits in the accept queue
    uint32_t unread = 0; // bytes received that the owner has not read
    uint64_t bytesReceived = 0;
};

// Every IPv4 TCP socket of this namespace, through sock_diag: it tells how
// much came in and how much the owner has read, which the program never shows.
inline std::vector<TcpSocket> TcpSockets()
{
    std::vector<TcpSocket> out;
    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return out;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    query.request.sdiag_family = AF_INET;
    query.request.sdiag_protocol = IPPROTO_TCP;
    query.request.idiag_states = ~0u;
    query.request.idiag_ext = 1u << (INET_DIAG_INFO - 1);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd, &query, sizeof query, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
        ::close(fd);
        return out;
    }
    alignas(nlmsghdr) static thread_local char buf[65536];
    for (bool done = false; !done;) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        int left = static_cast<int>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
            TcpSocket s;
            s.localPort = ntohs(m->id.idiag_sport);
            s.remotePort = ntohs(m->id.idiag_dport);
            s.state = m->idiag_state;
            s.inode = m->idiag_inode;
            s.unread = m->idiag_rqueue;
            int attrLeft = static_cast<int>(h->nlmsg_len) - static_cast<int>(NLMSG_LENGTH(sizeof *m));
            for (auto* a = reinterpret_cast<rtattr*>(const_cast<inet_diag_msg*>(m) + 1); RTA_OK(a, attrLeft);
                 a = RTA_NEXT(a, attrLeft)) {
                if (a->rta_type != INET_DIAG_INFO)
                    continue;
                tcp_info info{};
                std::memcpy(&info, RTA_DATA(a), std::min<size_t>(RTA_PAYLOAD(a), sizeof info));
                if (RTA_PAYLOAD(a) >= offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
                    s.bytesReceived = info.tcpi_bytes_received;
            }
            out.push_back(s);
        }
    }
    ::close(fd);
    return out;
}

// Inodes of the sockets a process holds.
inline std::set<uint32_t> SocketInodesOf(pid_t pid)
{
    std::set<uint32_t> inodes;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        unsigned long inode = 0;
        if (std::sscanf(std::filesystem::read_symlink(e.path(), ec).c_str(), "socket:[%lu]", &inode) == 1)
            inodes.insert(static_cast<uint32_t>(inode));
    }
    return inodes;
}

// The process holds a socket for which mine(socket) holds.
inline bool HoldsSocket(pid_t pid, const std::function<bool(const TcpSocket&)>& mine)
{
    const std::set<uint32_t> inodes = SocketInodesOf(pid);
    for (const TcpSocket& s : TcpSockets())
        if (inodes.count(s.inode) && mine(s))
            return true;
    return false;
}

// The process listens on the Interlink port: it is the server.
inline bool ListensOnInterlink(pid_t pid)
{
    return HoldsSocket(pid, [](const TcpSocket& s) { return s.state == kTcpListen && s.localPort == kInterlinkPort; });
}

// The process has read the whole greeting. The server makes a connection its
// peer before it greets, so from here on every relayed frame reaches it.
inline bool HasTakenGreeting(pid_t pid)
{
    return HoldsSocket(pid, [](const TcpSocket& s) {
        return s.state == kTcpEstablished && s.remotePort == kInterlinkPort && s.bytesReceived >= kGreeting.size() &&
               s.unread == 0;
    });
}

// The server's end of the connection from peerPort.
inline bool ServerEndOf(uint16_t peerPort, TcpSocket& out)
{
    for (const TcpSocket& s : TcpSockets())
        if (s.state == kTcpEstablished && s.localPort == kInterlinkPort && s.remotePort == peerPort) {
            out = s;
            return true;
        }
    return false;
}

// Writes a copy's settings so that it starts with the pty as its port: the
// stored list position is the pty's place in the list the program builds
// (by the same code, from this file and sysfs, sorted without regard to
// case), and is only written once that place holds the pty, so that no copy
// can ever open another device. Returns "" or what went wrong.
inline std::string WriteCopySettings(const std::string& file, const std::string& ptyPath, const std::string& portName)
{
    testsupport::WriteWholeFile(file, "REGEDIT4\r\n\r\n" + testsupport::NeutralSettings() +
                                          "[HKEY_LOCAL_MACHINE\\hardware\\devicemap\\serialcomm]\r\n\"" + ptyPath +
                                          "\"=\"" + portName + "\"\r\n\r\n");

    reg::SetFilePath(file);
    struct Restore {
        ~Restore() { reg::SetFilePath(""); }
    } restore;
    std::vector<std::string> paths;
    for (const auto& e : serialdevices::List())
        paths.push_back(e.devicePath);
    std::stable_sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
        return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) < 0;
    });
    auto it = std::find(paths.begin(), paths.end(), ptyPath);
    if (it == paths.end())
        return "the pty " + ptyPath + " is not in the port list";
    const int index = static_cast<int>(it - paths.begin());
    if (serialdevices::PathForPort(portName) != ptyPath)
        return portName + " opens " + serialdevices::PathForPort(portName) + ", not " + ptyPath;

    reg::TRegistry r;
    if (!r.OpenKey("Software\\Brenlow\\Tarrowin\\", false))
        return "settings key missing";
    r.WriteInteger("PortNumIndex", index);
    return {};
}

// The data of each line tarrowin-link monitor printed for kind (RCVD, SENT,
// SEND...): bytes below 32 and above 126 as <n>; RCVD and SENT lines carry a
// right-aligned time stamp first.
inline std::vector<std::string> MonitorData(const std::string& out, const std::string& kind)
{
    std::vector<std::string> data;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 5, kind + " ") != 0)
            continue;
        std::string rest = line.substr(5);
        if (kind == "RCVD" || kind == "SENT") {
            size_t end = rest.find(' ', rest.find_first_not_of(' '));
            rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
        }
        data.push_back(rest);
    }
    return data;
}

inline size_t CountLines(const std::string& out, const std::string& kind, const std::string& data)
{
    const std::vector<std::string> all = MonitorData(out, kind);
    return static_cast<size_t>(std::count(all.begin(), all.end(), data));
}

// The bytes behind the printed form of data without a literal '<'.
inline std::string Undecode(const std::string& text)
{
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        size_t close = text[i] == '<' ? text.find('>', i) : std::string::npos;
        if (close != std::string::npos) {
            bytes.push_back(static_cast<char>(std::stoi(text.substr(i + 1, close - i - 1))));
            i = close;
        } else {
            bytes.push_back(text[i]);
        }
    }
    return bytes;
}

class RawPeer {
public:
    ~RawPeer()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool Connect()
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            return false;
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(kInterlinkPort);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return false;
        ::fcntl(fd_, F_SETFL, O_NONBLOCK);
        return true;
    }
    uint16_t LocalPort() const
    {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }
    int Fd() const { return fd_; }
    bool Send(const std::string& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            Drain(); // the server may be waiting for us to read
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 50);
        }
        return true;
    }
    // Reads what has come; false once the connection has ended.
    bool Drain()
    {
        char buf[65536];
        for (;;) {
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n > 0) {
                raw_.append(buf, static_cast<size_t>(n));
                continue;
            }
            return !(n == 0 || (errno != EAGAIN && errno != EINTR));
        }
    }
    bool Greeted() const { return raw_.size() >= kGreeting.size() && raw_.compare(0, kGreeting.size(), kGreeting) == 0; }
    // Frames after the greeting, taken one by one.
    bool NextPayload(std::string& payload)
    {
        if (!greetingTaken_) {
            if (!Greeted())
                return false;
            raw_.erase(0, kGreeting.size());
            greetingTaken_ = true;
        }
        return terminal::TakeInterlinkFrame(raw_, payload);
    }
private:
    int fd_ = -1;
    std::string raw_;
    bool greetingTaken_ = false;
};

struct Copy {
    std::string name;
    std::string settingsFile;
    TestPty pty{true};
    ChildProcess process;
};

class Scene {
public:
    Scene(std::string program, std::string link) : program_(std::move(program)), link_(std::move(link))
    {
        ::mkdir((Root() + "/run").c_str(), 0700);
    }
    Scene(const Scene&) = delete;

    std::string Root() const { return root_.Path(); }
    // Set for every copy started from here on.
    std::vector<std::string> copyEnvironment;

    // Every child's environment: the runtime folder (the loopback plug's lock
    // lives there) is the scene's; settings folder and display are set here.
    std::vector<std::string> Environment(std::vector<std::string> extra) const
    {
        extra.insert(extra.begin(), "XDG_RUNTIME_DIR=" + Root() + "/run");
        return EnvironmentWith(extra, {"XDG_CONFIG_HOME", "QT_QPA_PLATFORM", "DISPLAY"});
    }

    // Starts a copy with a new pty as its port; headless without a display.
    Copy* StartCopy(const std::string& name, const std::string& display, std::string& error)
    {
        auto c = std::make_unique<Copy>();
        c->name = name;
        if (!c->pty.Ok()) {
            error = "no pty";
            return nullptr;
        }
        const std::string configHome = root_.File(name);
        ::mkdir(configHome.c_str(), 0700);
        c->settingsFile = configHome + "/Brenlow/Tarrowin.reg";
        error = WriteCopySettings(c->settingsFile, c->pty.SlavePath(), "COM" + std::to_string(71 + copies_.size()));
        if (!error.empty())
            return nullptr;
        ChildProcess::Options o;
        o.argv = {program_};
        std::vector<std::string> extra = copyEnvironment;
        extra.push_back("XDG_CONFIG_HOME=" + configHome);
        extra.push_back(display.empty() ? "QT_QPA_PLATFORM=offscreen" : "QT_QPA_PLATFORM=xcb");
        if (!display.empty())
            extra.push_back("DISPLAY=" + display);
        o.env = Environment(extra);
        if (!c->process.Start(o, error))
            return nullptr;
        copies_.push_back(std::move(c));
        return copies_.back().get();
    }

    // Starts tarrowin-link with these arguments.
    ChildProcess* StartLink(const std::vector<std::string>& args, std::string& error, long asUser = -1,
                       const std::string& program = {})
    {
        ChildProcess::Options o;
        o.argv = {program.empty() ? link_ : program};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.env = Environment({});
        o.asUser = asUser;
        return Start(o, error);
    }
    ChildProcess* Start(const ChildProcess::Options& o, std::string& error)
    {
        auto p = std::make_unique<ChildProcess>();
        if (!p->Start(o, error))
            return nullptr;
        links_.push_back(std::move(p));
        return links_.back().get();
    }

    // Collects the output of every child and port.
    void Pump(int maxWaitMs = 5)
    {
        std::vector<pollfd> fds;
        for (auto& c : copies_) {
            c->process.AddPollFds(fds);
            fds.push_back({c->pty.Master(), POLLIN, 0});
        }
        for (auto& p : links_)
            p->AddPollFds(fds);
        ::poll(fds.data(), fds.size(), maxWaitMs);
        for (auto& c : copies_) {
            c->process.Drain();
            c->pty.Drain();
        }
        for (auto& p : links_)
            p->Drain();
        if (QCoreApplication::instance())
            QCoreApplication::processEvents();
    }

    // Pumps until done() holds; false after limitMs, a safety net only.
    bool WaitUntil(const std::function<bool()>& done, int limitMs = 60000)
    {
        const auto start = Clock::now();
        for (;;) {
            if (done())
                return true;
            if (MsSince(start) > limitMs)
                return false;
            Pump(5);
        }
    }

    // A child's exit code; -1 (and killed) if it does not end.
    int WaitForExit(ChildProcess& p, int limitMs = 60000)
    {
        if (!WaitUntil([&] { return !p.Running(); }, limitMs)) {
            p.Kill();
            return -1;
        }
        return p.ExitCode();
    }

    // Starts copies one after the other: the first must become the server,
    // every later one a client that has taken the greeting.
    std::string StartLinkedCopies(int count, const std::string& display = {})
    {
        for (int i = 0; i < count; ++i) {
            std::string error;
            Copy* c = StartCopy("copy" + std::to_string(i + 1), display, error);
            if (!c)
                return error;
            const pid_t pid = c->process.Pid();
            bool ok = i == 0 ? WaitUntil([&] { return ListensOnInterlink(pid) || !c->process.Running(); })
                             : WaitUntil([&] { return HasTakenGreeting(pid) || !c->process.Running(); });
            if (!ok || !c->process.Running())
                return c->name + (i == 0 ? " did not become the server" : " did not join as a client") + "\n" +
                       Describe();
        }
        return {};
    }

    // Starts tarrowin-link monitor and waits until it is a peer.
    ChildProcess* StartMonitor(std::string& error)
    {
        ChildProcess* m = StartLink({"monitor"}, error);
        if (!m)
            return nullptr;
        if (!WaitUntil([&] { return HasTakenGreeting(m->Pid()) || !m->Running(); }) || !m->Running()) {
            error = "the monitor did not join\n" + Describe();
            return nullptr;
        }
        return m;
    }

    // Runs tarrowin-link to its end; its exit code (-1: hung).
    int RunLink(const std::vector<std::string>& args, long asUser = -1, ChildProcess** process = nullptr,
                const std::string& program = {})
    {
        std::string error;
        ChildProcess* p = StartLink(args, error, asUser, program);
        if (process)
            *process = p;
        return p ? WaitForExit(*p) : -1;
    }

    std::vector<std::unique_ptr<Copy>>& Copies() { return copies_; }
    Copy& At(size_t i) { return *copies_.at(i); }

    std::string Describe()
    {
        std::string text;
        for (auto& c : copies_)
            text += c->name + " (port " + c->pty.SlavePath() + ", transmitted \"" + c->pty.Transmitted() +
                    "\"): " + c->process.Describe();
        for (auto& p : links_)
            text += p->Describe();
        return text;
    }

private:
    std::string program_, link_;
    // Removed after the processes below, which may still write into it.
    TempDir root_;
    std::vector<std::unique_ptr<Copy>> copies_;
    std::vector<std::unique_ptr<ChildProcess>> links_;
};

} // namespace e2e
