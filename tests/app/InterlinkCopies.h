#pragma once
// Real copies of the program on one Interlink, for the end-to-end tests and
// the Interlink benchmark: each copy a process with its own settings folder
// and a pty as its port. Everything here assumes a network namespace of its
// own, where port 666 belongs to these copies only.

#include "ChildProcess.h"
#include "InterlinkFrames.h"
#include "NeutralSettings.h"
#include "Pty.h"
#include "Registry.h"
#include "SerialDevices.h"
#include "TempDir.h"
#include "WholeFiles.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

namespace e2e {

constexpr uint16_t kInterlinkPort = 666;
inline const std::string kGreeting = "Welcome to TcpSrv\r\n";
constexpr uint8_t kTcpEstablished = 1, kTcpListen = 10;

using Clock = std::chrono::steady_clock;

inline long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

inline std::string NetNamespace()
{
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/ns/net", ec).string();
}

// Empty when this process runs in a network namespace of its own (made by
// run-in-namespace.sh); otherwise why not. The machine's own port 666 is
// never to be touched.
inline std::string PrivateNamespaceProblem()
{
    if (::geteuid() != 0)
        return "needs root for a private network namespace (unshare -n)";
    const char* host = std::getenv("TARROWIN_HOST_NETNS");
    if (!host || !*host || NetNamespace() == host)
        return "not in a private network namespace (run through tests/app/run-in-namespace.sh)";
    return {};
}

struct TcpSocket {
    uint16_t localPort = 0, remotePort = 0;
    uint8_t state = 0;
    uint32_t inode = 0;  // 0 while a connection waits in the accept queue
    uint32_t unread = 0; // received, but not yet read by the owner
    uint64_t bytesReceived = 0;
};

// Every IPv4 TCP socket of this namespace, through sock_diag: it tells how
// much came in and how much the owner has read, which the program never shows.
inline std::vector<TcpSocket> TcpSockets()
{
    std::vector<TcpSocket> out;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } query{};
    query.header = {sizeof query, SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST | NLM_F_DUMP, 0, 0};
    query.request = {AF_INET, IPPROTO_TCP, 1u << (INET_DIAG_INFO - 1), 0, ~0u, {}};
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    bool done = fd < 0 || ::send(fd, &query, sizeof query, 0) < 0;
    alignas(nlmsghdr) char buf[65536];
    for (ssize_t n; !done && (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) {
        int left = static_cast<int>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if ((done = h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR))
                break;
            auto* m = static_cast<inet_diag_msg*>(NLMSG_DATA(h));
            TcpSocket s{ntohs(m->id.idiag_sport), ntohs(m->id.idiag_dport), m->idiag_state, m->idiag_inode,
                        m->idiag_rqueue};
            int attrLeft = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof *m));
            for (auto* a = reinterpret_cast<rtattr*>(m + 1); RTA_OK(a, attrLeft); a = RTA_NEXT(a, attrLeft))
                if (a->rta_type == INET_DIAG_INFO) {
                    tcp_info info{};
                    std::memcpy(&info, RTA_DATA(a), std::min<size_t>(RTA_PAYLOAD(a), sizeof info));
                    s.bytesReceived = info.tcpi_bytes_received;
                }
            out.push_back(s);
        }
    }
    if (fd >= 0)
        ::close(fd);
    return out;
}

// The process holds a socket for which mine(socket) holds.
inline bool HoldsSocket(pid_t pid, const std::function<bool(const TcpSocket&)>& mine)
{
    std::set<uint32_t> inodes;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        uint32_t inode = 0;
        if (std::sscanf(std::filesystem::read_symlink(e.path(), ec).c_str(), "socket:[%u]", &inode) == 1)
            inodes.insert(inode);
    }
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

// Writes a copy's settings so that it starts with the pty as its port: the
// stored list position is the pty's place in the list the program builds (by
// the same code, sorted without regard to case), and is only written once
// that place holds the pty, so that no copy can ever open another device.
// Returns "" or what went wrong.
inline std::string WriteCopySettings(const std::string& file, const std::string& pty, const std::string& portName)
{
    testsupport::WriteWholeFile(file, "REGEDIT4\r\n\r\n" + testsupport::NeutralSettings() +
                                          "[HKEY_LOCAL_MACHINE\\hardware\\devicemap\\serialcomm]\r\n\"" + pty +
                                          "\"=\"" + portName + "\"\r\n\r\n");
    reg::SetFilePath(file);
    // Set back after r below has closed the key.
    const std::shared_ptr<void> restore(nullptr, [](void*) { reg::SetFilePath(""); });
    std::vector<QString> paths;
    for (const auto& e : serialdevices::List())
        paths.push_back(QString::fromStdString(e.devicePath));
    std::stable_sort(paths.begin(), paths.end(),
                     [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    const auto it = std::find(paths.begin(), paths.end(), QString::fromStdString(pty));
    if (it == paths.end() || serialdevices::PathForPort(portName) != pty)
        return pty + " is not " + portName + " in the port list";
    reg::TRegistry r;
    if (!r.OpenKey("Software\\Brenlow\\Tarrowin\\", false))
        return "settings key missing";
    r.WriteInteger("PortNumIndex", static_cast<int>(it - paths.begin()));
    return {};
}

// The data of each line tarrowin-link monitor printed for kind (RCVD, SENT,
// SEND...); RCVD and SENT lines carry a right-aligned time stamp first.
inline std::vector<std::string> MonitorData(const std::string& out, const std::string& kind)
{
    std::vector<std::string> data;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with(kind + " "))
            continue;
        size_t from = kind == "RCVD" || kind == "SENT" ? line.find(' ', line.find_first_not_of(' ', 5)) : 4;
        data.push_back(from < line.size() ? line.substr(from + 1) : "");
    }
    return data;
}

// The data of all of kind's lines, in order, as one text.
inline std::string JoinedData(const std::string& out, const std::string& kind)
{
    std::string joined;
    for (const std::string& text : MonitorData(out, kind))
        joined += text;
    return joined;
}

// How the monitor prints bytes: those below 32 and above 126 as <n>.
inline std::string Printed(const std::string& bytes)
{
    std::string text;
    for (unsigned char b : bytes)
        text += b < 32 || b > 126 ? "<" + std::to_string(b) + ">" : std::string(1, static_cast<char>(b));
    return text;
}

// A plain socket of this process as a peer on the Interlink.
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
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(kInterlinkPort);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return false;
        return ::fcntl(fd_, F_SETFL, O_NONBLOCK) == 0;
    }
    uint16_t LocalPort() const
    {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }
    int Fd() const { return fd_; }
    // Only short frames go out here: the socket buffer takes each whole.
    bool Send(const std::string& bytes)
    {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Reads what has come, the greeting apart; false once the connection has
    // ended.
    bool Drain()
    {
        char buf[65536];
        ssize_t n;
        while ((n = ::recv(fd_, buf, sizeof buf, 0)) > 0)
            raw_.append(buf, static_cast<size_t>(n));
        if (!greeted_ && raw_.starts_with(kGreeting)) {
            raw_.erase(0, kGreeting.size());
            greeted_ = true;
        }
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
    bool Greeted() const { return greeted_; }
    // Frames after the greeting, taken one by one.
    bool NextPayload(std::string& payload) { return greeted_ && terminal::TakeInterlinkFrame(raw_, payload); }

private:
    int fd_ = -1;
    std::string raw_;
    bool greeted_ = false;
};

// A socket of this process on the Interlink's address.
class PortHolder {
public:
    ~PortHolder()
    {
        for (int fd : {accepted_, fd_})
            if (fd >= 0)
                ::close(fd);
    }
    // Bound only, it refuses every connect and keeps everyone else from
    // binding; listening, it is a server of its own.
    bool Hold(bool listening)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(kInterlinkPort);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
               (!listening || ::listen(fd_, 5) == 0);
    }
    // Takes the connection waiting, if there is one.
    bool Accept() { return (accepted_ = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; }
    bool Send(const std::string& bytes)
    {
        return ::send(accepted_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

private:
    int fd_ = -1, accepted_ = -1;
};

struct Copy {
    std::string name, configHome, settingsFile;
    TestPty pty{true};
    ChildProcess* process = nullptr;
};

class Scene {
public:
    Scene(std::string program, std::string link) : program_(std::move(program)), link_(std::move(link))
    {
        ::mkdir((Root() + "/run").c_str(), 0700);
    }

    std::string Root() const { return root_.Path(); }
    // Set for every copy started from here on.
    std::vector<std::string> copyEnvironment;

    // Starts a child with `env` added to this environment: the runtime folder
    // (the loopback plug's lock lives there) is the scene's, and settings
    // folder, platform and display are only what `env` says.
    ChildProcess& Start(std::vector<std::string> argv, std::vector<std::string> env = {}, long asUser = -1,
                        int passAs3 = -1)
    {
        env.push_back("XDG_RUNTIME_DIR=" + Root() + "/run");
        ChildProcess::Options o;
        o.argv = std::move(argv);
        o.env = EnvironmentWith(env, {"XDG_CONFIG_HOME", "QT_QPA_PLATFORM", "DISPLAY"});
        o.asUser = asUser;
        o.passAs3 = passAs3;
        auto& p = *children_.emplace_back(std::make_unique<ChildProcess>());
        std::string error;
        if (!p.Start(o, error))
            failures_ += o.argv.at(0) + ": " + error + "\n";
        return p;
    }
    ChildProcess& Link(std::vector<std::string> args, long asUser = -1, const std::string& program = {})
    {
        args.insert(args.begin(), program.empty() ? link_ : program);
        return Start(args, {}, asUser);
    }
    // Runs tarrowin-link to its end (killed after a minute).
    ChildProcess& RunLink(const std::vector<std::string>& args, long asUser = -1, const std::string& program = {})
    {
        ChildProcess& p = Link(args, asUser, program);
        WaitForExit(p);
        return p;
    }

    // Collects the output of every child and port until done() holds; false
    // after limitMs, by default a minute, a safety net only.
    bool WaitUntil(const std::function<bool()>& done, long long limitMs = 60000)
    {
        for (const auto start = Clock::now(); !done();) {
            if (MsSince(start) > limitMs)
                return false;
            std::vector<pollfd> fds;
            for (auto& c : copies_)
                fds.push_back({c->pty.Master(), POLLIN, 0});
            for (auto& p : children_)
                p->AddPollFds(fds);
            ::poll(fds.data(), fds.size(), 5);
            for (auto& c : copies_)
                c->pty.Drain();
            for (auto& p : children_)
                p->Drain();
        }
        return true;
    }

    // A child's exit code; -1 (and killed) if it does not end.
    int WaitForExit(ChildProcess& p)
    {
        if (!WaitUntil([&] { return !p.Running(); }))
            p.Kill();
        return p.ExitCode();
    }

    // Starts copies one after the other, headless without a display: the
    // first must become the server, every later one a client that has taken
    // the greeting. Returns "" or what went wrong.
    std::string StartLinkedCopies(int count, const std::string& display = {})
    {
        for (int i = 1; i <= count; ++i) {
            Copy& c = AddCopy();
            const std::string port = "COM" + std::to_string(70 + i);
            const std::string error = WriteCopySettings(c.settingsFile, c.pty.SlavePath(), port);
            if (!error.empty())
                return c.name + ": " + error;
            ChildProcess& p = StartCopy(c, display);
            auto joined = [&] { return i == 1 ? ListensOnInterlink(p.Pid()) : HasTakenGreeting(p.Pid()); };
            if (!WaitUntil([&] { return joined() || !p.Running(); }) || !p.Running())
                return c.name + (i == 1 ? " did not become the server\n" : " did not join as a client\n") + Describe();
        }
        return {};
    }

    // A copy not yet started: its pty, and its settings folder, where
    // nothing is written yet.
    Copy& AddCopy()
    {
        Copy& c = *copies_.emplace_back(std::make_unique<Copy>());
        c.name = "copy" + std::to_string(copies_.size());
        c.configHome = root_.File(c.name);
        ::mkdir(c.configHome.c_str(), 0700);
        c.settingsFile = c.configHome + "/Brenlow/Tarrowin.reg";
        return c;
    }
    // Starts the program as that copy, on `display` or headless without one.
    ChildProcess& StartCopy(Copy& c, const std::string& display = {})
    {
        std::vector<std::string> env = copyEnvironment;
        env.insert(env.end(), {"XDG_CONFIG_HOME=" + c.configHome, "DISPLAY=" + display,
                               std::string("QT_QPA_PLATFORM=") + (display.empty() ? "offscreen" : "xcb")});
        return *(c.process = &Start({program_}, env));
    }

    // Starts Xvfb on a free display; its name (":N"), or "" if none came up.
    // Xvfb tells the number on a pipe once it is ready, as a line that may
    // come in pieces (the number, then its line end); the pipe ends empty
    // if Xvfb does.
    std::string StartDisplay()
    {
        // Under the sanitizers, the D-Bus library's buffer kept to the end
        // and the X keyboard library's strndup from an unterminated buffer
        // would end copies on a display; neither is the program's.
        const std::string suppressions = Root() + "/leaks.supp";
        std::ofstream(suppressions) << "leak:libdbus-1.so\n";
        auto with = [](const char* name, const std::string& option) {
            const char* old = std::getenv(name);
            return std::string(name) + "=" + (old && *old ? std::string(old) + ":" : "") + option;
        };
        copyEnvironment.push_back(with("LSAN_OPTIONS", "suppressions=" + suppressions));
        copyEnvironment.push_back(with("ASAN_OPTIONS", "strict_string_checks=0"));

        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return {};
        // Reached through the network namespace's own abstract socket only:
        // a socket file in /tmp would be shared with the X servers of tests
        // running side by side in other namespaces, under the same number.
        //
        // The number is this test process's own: X servers in other
        // namespaces would all pick :0, and files the server keeps in /tmp
        // by number (its compiled keymap) are shared, so servers starting
        // side by side broke each other's keyboard set-up and ended. It
        // never resets: a reset when the last client leaves (a copy
        // ending, an xdotool run) turns away whoever connects meanwhile.
        Start({"/usr/bin/Xvfb", ":" + std::to_string(::getpid()), "-displayfd", "3", "-noreset", "-nolisten", "tcp",
               "-nolisten", "unix", "-screen", "0", "1024x768x24"},
              {}, -1, fds[1]);
        ::close(fds[1]);
        std::string line;
        char c;
        while (line.size() < 16 && ::read(fds[0], &c, 1) == 1 && c != '\n')
            line.push_back(c);
        ::close(fds[0]);
        const bool numbered = !line.empty() && line.find_first_not_of("0123456789") == std::string::npos;
        if (!numbered)
            return {};
        // Ready means a client gets through, not only that the number came.
        const std::string display = ":" + line;
        return WaitUntil([&] { return Xdotool(display, {"getdisplaygeometry"}); }, 10000) ? display : std::string();
    }
    // Runs xdotool on the display to its end; true when it succeeded (a
    // search succeeds when it finds a window, and prints their ids).
    bool Xdotool(const std::string& display, std::vector<std::string> args, std::string* out = nullptr)
    {
        args.insert(args.begin(), "/usr/bin/xdotool");
        ChildProcess& p = Start(args, {"DISPLAY=" + display});
        const bool ok = WaitForExit(p) == 0;
        if (out)
            *out = p.Out();
        return ok;
    }
    // The xdotool words that pick the visible windows of a copy whose title
    // matches `title` (a regular expression): its message boxes are titled
    // exactly "Tarrowin", its main window carries its Interlink role too.
    static std::vector<std::string> SearchWindows(const Copy& c, const std::string& title)
    {
        return {"search", "--all", "--onlyvisible", "--pid", std::to_string(c.process->Pid()), "--name", title};
    }

    // Starts tarrowin-link monitor; null unless it has become a peer.
    ChildProcess* StartMonitor()
    {
        ChildProcess& m = Link({"monitor"});
        return WaitUntil([&] { return HasTakenGreeting(m.Pid()) || !m.Running(); }) && m.Running() ? &m : nullptr;
    }

    std::vector<std::unique_ptr<Copy>>& Copies() { return copies_; }
    Copy& At(size_t i) { return *copies_.at(i); }

    std::string Describe()
    {
        std::string text = failures_;
        for (auto& c : copies_)
            text += c->name + " transmitted \"" + c->pty.Transmitted() + "\" to " + c->pty.SlavePath() + "\n";
        for (auto& p : children_)
            text += p->Describe();
        return text;
    }

private:
    std::string program_, link_, failures_;
    // Removed after the processes below, which may still write into it.
    TempDir root_;
    // The children end before the ports of the copies close.
    std::vector<std::unique_ptr<Copy>> copies_;
    std::vector<std::unique_ptr<ChildProcess>> children_;
};

} // namespace e2e
