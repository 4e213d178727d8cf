// tarrowin-link: attaches to the running Interlink on 127.0.0.1 port 666
// like any other peer, so that technicians can script the tool from a shell.
//
//   tarrowin-link send [--timeout SECONDS] TEXT
//                             every copy transmits TEXT (escapes as typed in
//                             the entry line: AT#13, <2>data<3>); waits until
//                             a copy reports it sent ("SENT"), at most
//                             SECONDS (10 by default)
//   tarrowin-link monitor     prints every frame received, one line each:
//                             kind, time stamp and the data rewritten as the
//                             panes show it, until interrupted
//
// Exit codes: 0 done (for send: at least one copy reported the text sent);
// 2 wrong arguments; 3 no Interlink running (no copy, or copies without the
// right to listen on port 666: the message then says how to give it); 4 the Interlink refused us or
// belongs to another user; 5 the Interlink ended (while monitoring, or
// before any copy reported the text sent); 6 no copy reported the text sent
// within the time-out (no copy has an open port, or every write failed).

#include "CloseSignals.h"
#include "CodePage.h"
#include "DecodeText.h"
#include "InterlinkFrames.h"
#include "PeerCredentials.h"
#include "SendEscapes.h"
#include "WSocket.h"

#include <QCoreApplication>
#include <QTimer>

#include <sys/xattr.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

enum ExitCode { kOk = 0, kUsage = 2, kNoInterlink = 3, kRefused = 4, kLost = 5, kNotSent = 6 };

// Long enough for a line at a slow rate on a busy link; scripts that know
// better say so with --timeout.
constexpr double kDefaultTimeoutSeconds = 10;
constexpr double kMaxTimeoutSeconds = 24 * 3600;
// After our half-close the server closes at once; a server that does not is
// not waited for longer than this.
constexpr int kCloseGraceMs = 2000;

#ifndef TARROWIN_VERSION
#define TARROWIN_VERSION "unknown"
#endif

const char* const kUsageText =
    "usage: tarrowin-link send TEXT\n"
    "       tarrowin-link send --timeout SECONDS TEXT\n"
    "       tarrowin-link monitor\n"
    "       tarrowin-link --version\n";

const char* const kHelpText =
    "Exit codes:\n"
    "  0  done; for send: at least one copy reported the text sent (SENT)\n"
    "  2  wrong arguments\n"
    "  3  no Interlink running (no copy of Tarrowin, or copies that may not listen on port 666)\n"
    "  4  the Interlink refused the connection or belongs to another user\n"
    "  5  the Interlink ended (while monitoring, or before a copy reported the text sent)\n"
    "  6  send: no copy reported the text sent within the time-out (10 s unless --timeout\n"
    "     says otherwise): no copy has its port open, or every write failed\n";

// Messages are 8-bit text in the program's code page; the terminal gets
// them in its own encoding.
void Fail(const std::string& message)
{
    std::fprintf(stderr, "tarrowin-link: %s\n", codepage::ToText(message).toLocal8Bit().constData());
}

// The value of a "Name:\tvalue" line of /proc/PID/status, or empty.
std::string StatusField(const std::string& status, const std::string& name)
{
    std::istringstream lines(status);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    }
    return {};
}

// When no Interlink answers although a copy of Tarrowin runs (one of this
// user's or root's; for root, anyone's), the likely cause: that copy may not listen
// on port 666, a port below the system's first unprivileged one, because it
// lacks the capability for it (installed without setcap, copied, or started
// from a file system mounted nosuid). Empty when no such copy is found, or
// when the copies found could have listened.
std::string CopyWithoutInterlink()
{
    int firstUnprivileged = 1024;
    std::ifstream("/proc/sys/net/ipv4/ip_unprivileged_port_start") >> firstUnprivileged;
    if (firstUnprivileged <= 666)
        return {};
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string comm;
        std::getline(std::ifstream(entry.path() / "comm"), comm);
        if (comm != "tarrowin")
            continue;
        std::stringstream status;
        status << std::ifstream(entry.path() / "status").rdbuf();
        // A copy that has ended but is not yet reaped listens on nothing.
        if (StatusField(status.str(), "State").starts_with("Z"))
            continue;
        const std::string uid = StatusField(status.str(), "Uid");
        // A copy whose Interlink would let us in: our own, or root's.
        if (uid.empty() || (::getuid() != 0 && !platform::IsSameUserOrRoot(std::atol(uid.c_str()))))
            continue;
        const unsigned long long effective = std::strtoull(StatusField(status.str(), "CapEff").c_str(), nullptr, 16);
        constexpr unsigned long long kNetBindService = 1ull << 10;
        if (effective & kNetBindService)
            continue;
        std::string exe = std::filesystem::read_symlink(entry.path() / "exe", ec).string();
        // A copy whose file was replaced since it started (a package upgrade)
        // still names the path the right belongs to.
        const std::string deleted = " (deleted)";
        if (exe.ends_with(deleted))
            exe.resize(exe.size() - deleted.size());
        if (ec || exe.empty())
            exe = "/usr/bin/tarrowin";
        std::string text = "kein Interlink auf 127.0.0.1:666: Tarrowin l\xe4uft (PID " + pid +
                           "), darf aber nicht an Port 666 lauschen (Error 10013), also ohne Interlink. ";
        if (::getxattr(exe.c_str(), "security.capability", nullptr, 0) > 0)
            return text + exe + " hat das Recht (cap_net_bind_service), sein Dateisystem l\xe4sst es aber nicht "
                                "gelten (nosuid?): Tarrowin von einem anderen Ort starten";
        return text + "Abhilfe: sudo setcap cap_net_bind_service=+ep " + exe + ", dann Tarrowin neu starten";
    }
    return {};
}

// Width of the time stamp behind the kind of a notification.
size_t StampWidth(const std::string& payload)
{
    return payload.size() >= 15 && payload[4] == '-' ? 11 : 10;
}

// The data of a notification: what follows its kind and time stamp.
std::string NotificationData(const std::string& payload)
{
    const size_t from = 4 + StampWidth(payload);
    return payload.size() > from ? payload.substr(from) : std::string();
}

void PrintFrame(const std::string& payload)
{
    std::string line;
    const std::string kind = payload.substr(0, 4);
    if (kind == "RCVD" || kind == "SENT") {
        line = kind + " " + payload.substr(4, StampWidth(payload)) + " " + terminal::DecodeText(NotificationData(payload));
    } else {
        line = kind + " " + terminal::DecodeText(payload.size() > 4 ? payload.substr(4) : std::string());
    }
    // The rewritten line is plain ASCII whatever the data held.
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Whether a SENT notification reports these bytes: its data is all of
// them, or the first part of them when they did not fit one notification.
bool ReportsSent(const std::string& payload, const std::string& wire)
{
    if (payload.compare(0, 4, "SENT") != 0 || payload.size() < 4 + StampWidth(payload))
        return false;
    const std::string data = NotificationData(payload);
    return data == wire || (payload.size() == terminal::kMaxPayloadLength && wire.starts_with(data));
}

struct Arguments {
    std::string mode;
    std::string text;
    double timeoutSeconds = kDefaultTimeoutSeconds;
};

// False with a message on stderr when the arguments make no command.
bool ParseArguments(int argc, char** argv, Arguments& a)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    a.mode = args.empty() ? "" : args[0];
    if (a.mode == "monitor")
        return args.size() == 1;
    if (a.mode != "send")
        return false;
    size_t i = 1;
    if (i < args.size() && args[i] == "--timeout") {
        if (i + 1 >= args.size())
            return false;
        const std::string& value = args[i + 1];
        char* end = nullptr;
        const double seconds = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > kMaxTimeoutSeconds) {
            Fail("ung\xfcltige Zeit f\xfcr --timeout: " + codepage::ToBytes(QString::fromLocal8Bit(value.c_str())) +
                 " (Sekunden, gr\xf6\xdf" "er als 0)");
            return false;
        }
        a.timeoutSeconds = seconds;
        i += 2;
    }
    if (i < args.size() && args[i] == "--")
        ++i;
    if (i + 1 != args.size())
        return false;
    // The command line is text of this system's locale; the link carries the
    // program's 8-bit code page.
    a.text = codepage::ToBytes(QString::fromLocal8Bit(args[i].c_str()));
    if (4 + a.text.size() > terminal::kMaxPayloadLength) {
        Fail("TEXT ist zu lang: h\xf6" "chstens " + std::to_string(terminal::kMaxPayloadLength - 4) + " Bytes");
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::fputs("tarrowin-link " TARROWIN_VERSION "\n", stdout);
        return kOk;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsageText, stdout);
        std::fputs(kHelpText, stdout);
        return kOk;
    }
    Arguments args;
    if (!ParseArguments(argc, argv, args)) {
        std::fputs(kUsageText, stderr);
        return kUsage;
    }
    const std::string& mode = args.mode;
    const std::string wire = terminal::ExpandSendEscapes(args.text);

    int result = kOk;
    bool done = false;
    auto finish = [&](int code) {
        if (done)
            return;
        done = true;
        result = code;
        QCoreApplication::exit(code);
    };

    net::TWSocket link;
    link.SetAddr("127.0.0.1");
    link.SetPort("666");
    link.SetProto("tcp");
    bool greeted = false;
    bool echoSeen = false;
    bool ending = false;
    std::string input;
    QTimer deadline;
    deadline.setSingleShot(true);

    // A send ends with a half-close: the server sees the end of our data
    // (never a reset, which could cost it the command still in its socket),
    // closes, and we read whatever it still sends until then.
    auto endSend = [&](int code) {
        if (ending || done)
            return;
        ending = true;
        result = code;
        deadline.stop();
        if (link.State() != net::wsConnected)
            return finish(code);
        link.ShutdownSocket(winsock::SD_SEND);
        QTimer::singleShot(kCloseGraceMs, [&] { finish(result); });
    };

    platform::WatchCloseSignals([&](int) {
        if (mode == "send" && !ending) {
            Fail("abgebrochen, bevor eine Kopie das Senden gemeldet hat");
            return endSend(kNotSent);
        }
        finish(ending ? result : kOk);
    });

    QObject::connect(&deadline, &QTimer::timeout, [&] {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", args.timeoutSeconds);
        Fail(std::string("keine Kopie hat das Senden gemeldet (kein Port offen oder Senden fehlgeschlagen; "
                         "Zeitlimit ") +
             seconds + " s)");
        endSend(kNotSent);
    });

    link.OnSessionConnected = [&](rtl::TObject*, uint16_t error) {
        if (error == winsock::WSAECONNRESET || error == winsock::WSAECONNABORTED) {
            // The connection was made and dropped before we saw it complete:
            // an Interlink is there and refused us at once.
            Fail("das Interlink hat die Verbindung abgelehnt");
            return finish(kRefused);
        }
        if (error != 0) {
            const std::string withoutInterlink = CopyWithoutInterlink();
            Fail(!withoutInterlink.empty() ? withoutInterlink
                                           : "kein Interlink auf 127.0.0.1:666 (keine Kopie von Tarrowin l\xe4uft)");
            return finish(kNoInterlink);
        }
        const long owner = winsock::PeerUserId(link.Handle());
        if (!platform::IsSameUserOrRoot(owner)) {
            // Gone already (owner unknown): the server refused us at once.
            Fail(owner < 0 ? "das Interlink hat die Verbindung abgelehnt"
                           : "das Interlink geh\xf6rt einem anderen Benutzer");
            finish(kRefused); // before the abort, whose close event would report again
            link.AbortSession();
            return;
        }
        // The time-out covers a server that never greets as well.
        if (mode == "send")
            deadline.start(static_cast<int>(std::ceil(args.timeoutSeconds * 1000)));
    };
    link.OnDataAvailable = [&](rtl::TObject*, uint16_t) {
        input += link.ReceiveAvailable();
        if (ending || done) {
            input.clear(); // read only so that the close is clean
            return;
        }
        if (!greeted) {
            if (!terminal::TakeGreeting(input))
                return;
            greeted = true;
            if (mode == "send") {
                link.SendString(terminal::MakeInterlinkFrame("SEND" + args.text));
            }
        }
        std::string payload;
        while (!ending && terminal::TakeInterlinkFrame(input, payload)) {
            if (mode == "monitor") {
                PrintFrame(payload);
                continue;
            }
            // Our own command comes back relayed first; every copy's SENT
            // of it comes after that.
            if (!echoSeen)
                echoSeen = payload == "SEND" + args.text;
            else if (ReportsSent(payload, wire))
                endSend(kOk);
        }
    };
    link.OnSessionClosed = [&](rtl::TObject*, uint16_t) {
        if (done || QCoreApplication::closingDown())
            return;
        if (ending)
            return finish(result);
        if (!greeted) {
            Fail("das Interlink hat die Verbindung abgelehnt");
            finish(kRefused);
        } else if (mode == "monitor") {
            Fail("das Interlink wurde beendet");
            finish(kLost);
        } else {
            Fail("das Interlink wurde beendet, bevor eine Kopie das Senden gemeldet hat");
            finish(kLost);
        }
    };

    QTimer::singleShot(0, [&] {
        try {
            link.BeginConnect();
        } catch (const rtl::Exception& e) {
            Fail(e.Message);
            finish(kNoInterlink);
        }
    });
    app.exec();
    return result;
}
