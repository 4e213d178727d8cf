// tarrowin-link: attaches to the running Interlink on 127.0.0.1 port 666
// like any other peer, so that technicians can script the tool from a shell.
//
//   tarrowin-link send TEXT   every copy transmits TEXT (escapes as typed in
//                             the entry line: AT#13, <2>data<3>) and the
//                             program exits once the command is handed over
//   tarrowin-link monitor     prints every frame received, one line each:
//                             kind, time stamp and the data rewritten as the
//                             panes show it, until interrupted
//
// Exit codes: 0 done; 2 wrong arguments; 3 no Interlink running; 4 the
// Interlink refused us or belongs to another user; 5 the connection ended
// while monitoring.

#include "CloseSignals.h"
#include "CodePage.h"
#include "DecodeText.h"
#include "InterlinkFrames.h"
#include "PeerCredentials.h"
#include "WSocket.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

enum ExitCode { kOk = 0, kUsage = 2, kNoInterlink = 3, kRefused = 4, kLost = 5 };

// Messages are 8-bit text in the program's code page; the terminal gets
// them in its own encoding.
void Fail(const std::string& message)
{
    std::fprintf(stderr, "tarrowin-link: %s\n", codepage::ToText(message).toLocal8Bit().constData());
}

void PrintFrame(const std::string& payload)
{
    std::string line;
    const std::string kind = payload.substr(0, 4);
    if (kind == "RCVD" || kind == "SENT") {
        const size_t stamp = payload.size() >= 15 && payload[4] == '-' ? 11 : 10;
        line = kind + " " + payload.substr(4, stamp) + " " +
               terminal::DecodeText(payload.size() > 4 + stamp ? payload.substr(4 + stamp) : std::string());
    } else {
        line = kind + " " + terminal::DecodeText(payload.size() > 4 ? payload.substr(4) : std::string());
    }
    // The rewritten line is plain ASCII whatever the data held.
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const std::string mode = argc >= 2 ? argv[1] : "";
    if (!((mode == "send" && argc == 3) || (mode == "monitor" && argc == 2))) {
        std::fprintf(stderr, "usage: tarrowin-link send TEXT\n       tarrowin-link monitor\n");
        return kUsage;
    }
    // The command line is text of this system's locale; the link carries the
    // program's 8-bit code page.
    const std::string text = mode == "send" ? codepage::ToBytes(QString::fromLocal8Bit(argv[2])) : std::string();

    int result = kOk;
    auto finish = [&](int code) {
        result = code;
        QCoreApplication::exit(code);
    };
    platform::WatchCloseSignals([&](int) { finish(kOk); });

    net::TWSocket link;
    link.SetAddr("127.0.0.1");
    link.SetPort("666");
    link.SetProto("tcp");
    bool greeted = false;
    std::string input;

    link.OnSessionConnected = [&](rtl::TObject*, uint16_t error) {
        if (error == winsock::WSAECONNRESET || error == winsock::WSAECONNABORTED) {
            // The connection was made and dropped before we saw it complete:
            // an Interlink is there and refused us at once.
            Fail("das Interlink hat die Verbindung abgelehnt");
            return finish(kRefused);
        }
        if (error != 0) {
            Fail("kein Interlink auf 127.0.0.1:666 (keine Kopie von Tarrowin l\xe4uft)");
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
    };
    link.OnDataAvailable = [&](rtl::TObject*, uint16_t) {
        input += link.ReceiveAvailable();
        if (!greeted) {
            if (!terminal::TakeGreeting(input))
                return;
            greeted = true;
            if (mode == "send") {
                link.SendString(terminal::MakeInterlinkFrame("SEND" + text));
                return;
            }
        }
        std::string payload;
        while (mode == "monitor" && terminal::TakeInterlinkFrame(input, payload))
            PrintFrame(payload);
    };
    link.OnDataSent = [&](rtl::TObject*, uint16_t) {
        if (mode == "send" && greeted) {
            link.CloseSession();
            finish(kOk);
        }
    };
    link.OnSessionClosed = [&](rtl::TObject*, uint16_t) {
        if (result != kOk || QCoreApplication::closingDown())
            return;
        if (!greeted) {
            Fail("das Interlink hat die Verbindung abgelehnt");
            finish(kRefused);
        } else if (mode == "monitor") {
            Fail("das Interlink wurde beendet");
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
