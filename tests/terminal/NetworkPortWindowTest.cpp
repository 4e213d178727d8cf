// The window on a network port: a ser2net serial device server on
// 127.0.0.1 with a pty as its serial port, entered in the settings file's
// device list as "rfc2217://127.0.0.1:PORT"="COM20". Every byte both ways
// through the receive and transmit paths, line settings from the window on
// the server's port, TXEN switched around a send, and the server going away
// while the port is open.

#include "DecodeText.h"
#include "InterlinkFrames.h"
#include "LoopbackPair.h"
#include "Ser2netServer.h"
#include "TerminalFixture.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <numeric>

using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

const std::string kNoLines20 = "COM20: keine Steuerleitungen (DTR/RTS ohne Wirkung)";

std::string AllBytesWithIacRuns()
{
    std::string s;
    for (int i = 0; i < 256; ++i)
        s.push_back(static_cast<char>(i));
    for (int run : {1, 2, 5, 40})
        s += std::string(static_cast<size_t>(run), '\xff') + "x";
    return s;
}

// The entry-line text that sends `bytes`: every byte written as "<n>".
std::string Escapes(const std::string& bytes)
{
    std::string text;
    for (char c : bytes)
        text += "<" + std::to_string(static_cast<unsigned char>(c)) + ">";
    return text;
}

class NetworkPortWindow : public TerminalFixture {
protected:
    void SetUp() override
    {
        TerminalFixture::SetUp();
        if (const std::string why = Ser2netServer::Unusable(); !why.empty())
            GTEST_SKIP() << why;
        std::string error;
        ASSERT_TRUE(server.Start(error)) << error;
        WriteRegistry(testsupport::NeutralSettings() + UserPorts("\"" + server.Address() + "\"=\"COM20\"\r\n\r\n"));
    }

    void Pick(QComboBox* list, const QString& text)
    {
        const int at = list->findText(text);
        ASSERT_GE(at, 0) << text.toStdString();
        list->setCurrentIndex(at);
        emit list->activated(at);
    }
    void OpenCom20()
    {
        Pick(Form().ComboPort, "COM20");
        Form().CmdOpen->click();
        ASSERT_TRUE(Form().Com->PortIsOpen()) << (boxes.empty() ? "" : boxes.back());
    }
    void ExpectButtons(bool open)
    {
        EXPECT_EQ(Form().CmdOpen->isEnabled(), !open);
        EXPECT_EQ(Form().CmdClose->isEnabled(), open);
        EXPECT_EQ(Form().Com->PortIsOpen(), open);
    }
    // What the server's port transmitted, until `count` bytes came.
    std::string OnTheWire(size_t count)
    {
        std::string got;
        PumpUntil([&] {
            pollfd p{server.Pty().Master(), POLLIN, 0};
            char buffer[4096];
            while (::poll(&p, 1, 0) > 0) {
                ssize_t n = ::read(server.Pty().Master(), buffer, sizeof buffer);
                if (n <= 0)
                    break;
                got.append(buffer, size_t(n));
            }
            return got.size() >= count;
        }, 10000);
        return got;
    }

    Ser2netServer server;
};

size_t Sum(const std::vector<size_t>& v) { return std::accumulate(v.begin(), v.end(), size_t{0}); }

} // namespace

TEST_F(NetworkPortWindow, IsListedWithItsAddressAndOpensWithoutControlLines)
{
    TForm1& f = Form();
    const int at = f.ComboPort->findText("COM20");
    ASSERT_GE(at, 0);
    EXPECT_TRUE(f.ComboPort->itemData(at, Qt::ToolTipRole).toString().startsWith(
        QString::fromStdString(server.Address())))
        << f.ComboPort->itemData(at, Qt::ToolTipRole).toString().toStdString();
    f.MemoOut->SetText("");
    OpenCom20();
    ExpectButtons(true);
    EXPECT_EQ(Lines(f.MemoOut), (std::vector<std::string>{"Port 20 offen.", kNoLines20}));
    f.CmdClose->click();
    ExpectButtons(false);
    EXPECT_TRUE(boxes.empty()) << boxes.front();
}

TEST_F(NetworkPortWindow, EveryByteArrivesInTheReceivePaneAndAtAnInterlinkPeer)
{
    nettest::LoopbackPair link;
    ASSERT_TRUE(link.Connect());
    std::string rcvd, stream;
    link.Server->OnDataAvailable = [&](rtl::TObject*, uint16_t) {
        stream += link.Server->ReceiveAvailable();
        std::string payload;
        while (terminal::TakeInterlinkFrame(stream, payload))
            if (payload.compare(0, 4, "RCVD") == 0)
                rcvd += payload.substr(4 + terminal::InterlinkTimeStamp().size());
    };
    InterlinkPeers.push_back(link.Client.get());

    OpenCom20();
    Form().CheckDecode->setChecked(true);
    Form().MemoIn->SetText("");
    const std::string all = AllBytesWithIacRuns();
    ASSERT_TRUE(server.Pty().Write(all));
    ASSERT_TRUE(PumpUntil([&] { return rcvd.size() >= all.size(); }, 10000)) << rcvd.size();
    EXPECT_TRUE(rcvd == all) << "got " << rcvd.size() << " bytes of " << all.size() << ", first difference at "
                             << std::mismatch(rcvd.begin(), rcvd.end(), all.begin(), all.end()).first - rcvd.begin();
    ASSERT_TRUE(PumpUntil([&] { return Sum(BatchCounts(Lines(Form().MemoIn))) >= all.size(); }, 5000));
    std::string shown;
    for (const std::string& line : Lines(Form().MemoIn))
        shown += line.substr(line.find(':') + 1);
    EXPECT_TRUE(shown == terminal::DecodeText(all)) << shown.size() << " shown of " << terminal::DecodeText(all).size();
    InterlinkPeers.clear();
}

TEST_F(NetworkPortWindow, EveryByteLeavesFromTheEntryLine)
{
    OpenCom20();
    TForm1& f = Form();
    f.CheckCRNL->setChecked(false);
    const std::string all = AllBytesWithIacRuns();
    f.EditSend->setText(QString::fromStdString(Escapes(all)));
    f.CmdSend->click();
    EXPECT_EQ(OnTheWire(all.size()), all);
    EXPECT_TRUE(boxes.empty()) << boxes.front();
}

TEST_F(NetworkPortWindow, LineSettingsFromTheWindowArriveOnTheServersPort)
{
    OpenCom20();
    TForm1& f = Form();
    Pick(f.ComboBaud, "19200");
    ExpectButtons(true);
    EXPECT_EQ(server.Pty().Settings().outputSpeed, 19200u);
    Pick(f.ComboStopbits, "2");
    EXPECT_EQ(server.Pty().Settings().line, "19200 8N2");
    Pick(f.ComboStopbits, "1");
    Pick(f.ComboBaud, "57600");
    EXPECT_EQ(server.Pty().Settings().line, "57600 8N1");
    // Sizes and parities the server confirms; a pty cannot hold them
    // (it keeps 8 bits without parity), so only the confirmation shows.
    Pick(f.ComboDatabits, "7");
    for (const char* parity : {"Even", "Odd", "Mark", "Space", "None"})
        Pick(f.ComboParity, parity);
    Pick(f.ComboDatabits, "8");
    ExpectButtons(true);
    EXPECT_TRUE(boxes.empty()) << boxes.front();
    // One and a half stop bits ser2net does not do: it does not answer, and
    // the window says the settings are not supported.
    Pick(f.ComboDatabits, "5");
    Pick(f.ComboStopbits, "1,5");
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back(), "Die Port-Einstellungen werden nicht unterst\xfctzt. (Databits, Stopbits etc.)");
}

TEST_F(NetworkPortWindow, AutomaticTxenGoesBackToReceiveAfterASend)
{
    OpenCom20();
    TForm1& f = Form();
    f.CheckCRNL->setChecked(false);
    f.CheckSwitchTXENOnTXEmpty->setChecked(true);
    f.EditSend->setText("Hello");
    f.CmdSend->click();
    EXPECT_EQ(OnTheWire(5), "Hello");
    ASSERT_TRUE(PumpUntil([&] { return !f.CheckTXEN->isChecked(); }, 5000));
    EXPECT_TRUE(boxes.empty()) << boxes.front();
}

TEST_F(NetworkPortWindow, ServerStoppedWhileOpenIsReportedOnceAndLeavesThePortClosed)
{
    OpenCom20();
    TForm1& f = Form();
    f.MemoOut->SetText("");
    server.Stop();
    ASSERT_TRUE(PumpUntil([&] { return !f.Com->PortIsOpen(); }, 10000));
    PumpFor(300); // nothing more follows
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].rfind("Es trat ein Ausnahmefehler auf:\r\nRead error (", 0), 0u) << boxes[0];
    EXPECT_EQ(Lines(f.MemoOut), std::vector<std::string>{"Port geschlossen"});
    ExpectButtons(false);

    // The server back: the port opens again from its button.
    std::string error;
    ASSERT_TRUE(server.Restart(error)) << error;
    f.CmdOpen->click();
    ExpectButtons(true);
}

TEST_F(NetworkPortWindow, ServerThatIsNotThereCannotBeOpened)
{
    server.Stop();
    Pick(Form().ComboPort, "COM20");
    Form().CmdOpen->click();
    ExpectButtons(false);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Es trat ein Ausnahmefehler auf:\r\nCan't open device COM20");
}
