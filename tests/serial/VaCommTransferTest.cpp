// Transfers and line operations of the port object on the loopback plug:
// every byte value comes back, reading what waits, write time-outs that
// leave nothing behind, modem lines and break coming back, handshake
// refusals, RTS toggle.

#include "AppEvents.h"
#include "EventLoopWait.h"
#include "ExceptionText.h"
#include "Loopback.h"
#include "OwnLoopbackLock.h"
#include "VaComm.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using testsupport::PumpFor;
using testsupport::MessageOf;
using testsupport::PumpUntil;

namespace {

class Transfer : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::UseOwnLoopbackLock();
        com.SetDeviceName("loopback");
        com.SetPortNum(2);
        com.SetBaudrate(br57600);
        com.SetFlowControl(fcNone);
        com.SetMonitorEvents({ceCts, ceRxChar, ceTxEmpty});
    }

    TVaComm com;
};

TEST_F(Transfer, EveryByteValueComesBackAsItWasWritten)
{
    com.OpenPort();
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    // Nobody listens to OnRxChar: the bytes stay queued.
    ASSERT_TRUE(com.WriteString(all));
    ASSERT_TRUE(PumpUntil([this] { return com.InQueueCount() == 256; }));
    char two[2];
    EXPECT_EQ(com.ReadBuffer(two, 2), 2);
    EXPECT_EQ(std::string(two, 2), all.substr(0, 2));
    EXPECT_EQ(com.ReadString(), all.substr(2));
    EXPECT_EQ(com.ReadString(), "");
}

TEST_F(Transfer, AWriteThatTimesOutReturnsFalseAndNeverGoesOut)
{
    com.SetWriteTimeout(100);
    com.OpenPort();
    com.SetXonState(false);
    EXPECT_FALSE(com.WriteString("lost"));
    EXPECT_EQ(com.WriteBuffer("gone", 4), 0);
    com.SetXonState(true);
    EXPECT_TRUE(com.WriteString("ok"));
    ASSERT_TRUE(PumpUntil([this] { return com.InQueueCount() >= 2; }));
    // Long after the line went quiet only the last write has come back.
    QThread::msleep(20);
    EXPECT_EQ(com.ReadString(), "ok");
    EXPECT_EQ(loopback::CurrentTrace().charactersLooped, 2u);
}

TEST_F(Transfer, AWriteLongerThanTheTimeOutOnTheWireGoesOutWhole)
{
    // 60 characters at 300 bit/s take 2 s on the wire, 2000 at 9600 about
    // 2.1 s; WriteTimeout (1 s) is on top of that, not instead of it.
    struct Case {
        TVaBaudrate rate;
        size_t count;
    };
    for (Case c : {Case{br300, 60}, Case{br9600, 2000}}) {
        SCOPED_TRACE(c.count);
        com.SetBaudrate(c.rate);
        com.OpenPort();
        std::string bytes;
        for (size_t i = 0; i < c.count; ++i)
            bytes.push_back(static_cast<char>('A' + i % 26));
        EXPECT_TRUE(com.WriteString(bytes));
        ASSERT_TRUE(PumpUntil([&] { return com.InQueueCount() >= static_cast<int32_t>(c.count); }));
        EXPECT_EQ(com.ReadString(), bytes);
        com.ClosePort();
    }
}

// Every event watched, and the callbacks' names recorded.
class TransferRules : public Transfer {
protected:
    void SetUp() override
    {
        Transfer::SetUp();
        com.SetMonitorEvents({ceBreak, ceCts, ceDsr, ceError, ceRing, ceRlsd, ceRxChar, ceTxEmpty, ceRxFlag});
    }

    int Count(const std::string& name) const
    {
        int n = 0;
        for (const std::string& call : calls)
            n += call == name;
        return n;
    }

    std::vector<std::string> calls;
};

TEST_F(TransferRules, ReadStringReturnsExactlyTheBytesWaiting)
{
    EXPECT_EQ(com.ReadString(), "");
    com.OpenPort();
    EXPECT_EQ(com.ReadString(), "");
    // Nobody listens to OnRxChar: the bytes stay queued.
    ASSERT_TRUE(com.WriteString("hello"));
    ASSERT_TRUE(PumpUntil([this] { return com.InQueueCount() == 5; }));
    EXPECT_EQ(com.ReadString(), "hello");
    EXPECT_EQ(com.InQueueCount(), 0);
    EXPECT_EQ(com.ReadString(), "");

    std::string bytes("\0\xff\x80 z", 5);
    ASSERT_TRUE(com.WriteString(bytes));
    ASSERT_TRUE(PumpUntil([this] { return com.InQueueCount() == 5; }));
    char two[2];
    EXPECT_EQ(com.ReadBuffer(two, 2), 2);
    EXPECT_EQ(std::string(two, 2), bytes.substr(0, 2));
    EXPECT_EQ(com.ReadString(), bytes.substr(2));
}

TEST_F(TransferRules, ACtsHoldTimesTheWriteOut)
{
    com.SetWriteTimeout(100);
    com.SetReadBufSize(64);
    com.SetFlowControl(fcRtsCts);
    com.OpenPort();
    // Nobody reads: RTS drops (wired to CTS) once the queue is three
    // quarters full, and the rest of the write is held until it times out.
    EXPECT_FALSE(com.WriteString(std::string(300, 'w')));
    EXPECT_FALSE(loopback::CurrentTrace().rts);
    int32_t queued = com.InQueueCount();
    EXPECT_GE(queued, 48);
    EXPECT_LE(queued, 64);
    EXPECT_EQ(com.ReadString(), std::string(size_t(queued), 'w'));
    // With room again, what had not been sent stays withdrawn.
    EXPECT_TRUE(com.WriteString("after"));
    ASSERT_TRUE(PumpUntil([this] { return com.InQueueCount() >= 5; }));
    EXPECT_EQ(com.ReadString(), "after");
}

TEST_F(TransferRules, ModemLinesAndBreakComeBackThroughThePlug)
{
    com.OnDsr = [this](rtl::TObject*) { calls.push_back("dsr"); };
    com.OnRlsd = [this](rtl::TObject*) { calls.push_back("rlsd"); };
    com.OnCts = [this](rtl::TObject*) { calls.push_back("cts"); };
    com.OnBreak = [this](rtl::TObject*) { calls.push_back("break"); };
    com.OnRing = [this](rtl::TObject*) { calls.push_back("ring"); };
    com.OpenPort();
    EXPECT_TRUE(loopback::CurrentTrace().dtr);
    EXPECT_TRUE(loopback::CurrentTrace().rts);

    com.SetDtrLine(false);
    ASSERT_TRUE(PumpUntil([this] { return Count("rlsd") == 1; }));
    EXPECT_EQ(calls, (std::vector<std::string>{"dsr", "rlsd"}));
    com.SetRtsLine(false);
    ASSERT_TRUE(PumpUntil([this] { return Count("cts") == 1; }));
    com.SetDtrLine(true);
    ASSERT_TRUE(PumpUntil([this] { return Count("rlsd") == 2; }));

    calls.clear();
    com.SetBreakLine(true);
    ASSERT_TRUE(PumpUntil([this] { return Count("break") == 1; }));
    com.SetBreakLine(false);
    EXPECT_EQ(com.ReadString(), std::string(1, '\0'));
    EXPECT_EQ(calls, std::vector<std::string>{"break"});
}

TEST_F(TransferRules, RtsToggleRaisesCtsAroundEachTransmission)
{
    com.SetRTSControl(rtsToggle);
    com.OnCts = [this](rtl::TObject*) { calls.push_back("cts"); };
    com.OnTxEmpty = [this](rtl::TObject*) { calls.push_back("txempty"); };
    com.OpenPort();
    EXPECT_FALSE(loopback::CurrentTrace().rts);
    size_t changesBefore = loopback::CurrentTrace().lineChanges.size();
    ASSERT_TRUE(com.WriteString("toggle"));
    ASSERT_TRUE(PumpUntil([this] { return Count("txempty") == 1 && Count("cts") >= 1; }));
    // Up for the transmission, down when it was over. (Both changes may
    // come in one report, so OnCts may run once: events are not counted.)
    loopback::Trace trace = loopback::CurrentTrace();
    ASSERT_EQ(trace.lineChanges.size(), changesBefore + 2);
    EXPECT_TRUE(trace.lineChanges[changesBefore].rts);
    EXPECT_FALSE(trace.lineChanges[changesBefore + 1].rts);
    EXPECT_FALSE(trace.rts);
    // Not refused by the object: a level set by hand goes to the device.
    com.SetRtsLine(true);
    EXPECT_TRUE(loopback::CurrentTrace().rts);
}

TEST_F(TransferRules, HandshakeLinesAndImpossibleFramesAreRefused)
{
    // Which frames and handshakes the plug refuses is checked through the
    // comm API; here, that a refused value stays stored until changed.
    com.OpenPort();
    EXPECT_EQ(MessageOf([&] { com.SetDTRControl(dtrHandshake); }), "Error writing dcb (22), Invalid argument");
    EXPECT_EQ(MessageOf([&] { com.SetDtrLine(true); }), "Manual DTR line updates not allowed.");
    com.SetDTRControl(dtrEnable);
    com.SetFlowControl(fcRtsCts);
    // The object leaves RTS alone only under rtsHandshake; the plug refuses
    // a level by hand while RTS does the handshake.
    EXPECT_EQ(MessageOf([&] { com.SetRtsLine(false); }), "Error calling comm function (22), Invalid argument");
    com.SetRTSControl(rtsHandshake);
    EXPECT_EQ(MessageOf([&] { com.SetRtsLine(false); }), "Manual RTS line updates not allowed.");
    EXPECT_TRUE(com.PortIsOpen());

    // Frames a 16550 has are taken.
    com.SetFlowControl(fcNone);
    com.SetDatabits(db5);
    com.SetStopbits(sb15);
    com.SetParity(paMark);
    ASSERT_TRUE(com.WriteString("\x3f"));
    ASSERT_TRUE(PumpUntil([this] { return com.InQueueCount() == 1; }));
    EXPECT_EQ(com.ReadString(), "\x1f");
}

TEST_F(TransferRules, TransfersOnAClosedPortAreRefusedByThePlatform)
{
    EXPECT_EQ(MessageOf([&] { com.WriteString("x"); }), "Write error (9), Bad file descriptor");
    char buffer[1];
    EXPECT_EQ(MessageOf([&] { com.ReadBuffer(buffer, 1); }), "Read error (9), Bad file descriptor");
}

} // namespace
