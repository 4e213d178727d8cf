// The serial port object: the control block its properties make, device
// names, error texts, and opening, settings and closing against a pty.

#include "ExceptionText.h"
#include "Pty.h"
#include "VaComm.h"

#include <gtest/gtest.h>

#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

using testsupport::MessageOf;

namespace {

TEST(VaCommDcb, PropertiesDecideTheBlockAndTheRestIsKept)
{
    TVaComm com;
    com.SetBaudrate(br9600);
    com.SetDatabits(db7);
    com.SetParity(paMark);
    com.SetStopbits(sb2);
    com.SetFlowControl(fcXonXoff);
    com.SetDTRControl(dtrEnable);
    com.SetRTSControl(rtsToggle);
    win::DCB dcb;
    dcb.Flags = 0xFFFFFFFF; // replaced, not merged
    dcb.EofChar = 'Z';
    com.FillDcb(dcb);
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.Flags, 0x7311u) << std::hex << dcb.Flags;
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, win::MARKPARITY);
    EXPECT_EQ(dcb.StopBits, win::TWOSTOPBITS);
    // A field the properties do not decide keeps what the device reported.
    EXPECT_EQ(dcb.EofChar, 'Z');
}

TEST(VaCommNames, OnlyASingleNumberFormatIsTakenAsDeviceName)
{
    TVaComm com;
    com.SetPortNum(12);
    com.SetDeviceName("/dev/ttyUSB%d");
    EXPECT_EQ(com.ExpandDeviceName(), "/dev/ttyUSB12");
    com.SetDeviceName("100%% COM%d");
    EXPECT_EQ(com.ExpandDeviceName(), "100% COM12");
    for (const char* name : {"COM%s", "COM%d%d", "%n"}) {
        com.SetDeviceName(name);
        EXPECT_EQ(MessageOf([&] { com.ExpandDeviceName(); }),
                  std::string("Format '") + name + "' ung\xfcltig oder nicht kompatibel mit Argument");
    }
}

// A port object of class Comm on a pty.
template <class Comm>
class PtyPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty.Ok());
        com.SetDeviceName(pty.SlavePath());
        com.SetPortNum(3);
        com.OnOpen = [this](rtl::TObject*) { calls.push_back("open"); };
        com.OnClose = [this](rtl::TObject*) { calls.push_back("close"); };
    }

    bool WaitForQueue(int32_t count)
    {
        for (int i = 0; i < 200; ++i) {
            if (com.InQueueCount() >= count)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    bool SomeoneHoldsTheDevice()
    {
        if (flock(pty.Observer(), LOCK_EX | LOCK_NB) != 0)
            return true;
        flock(pty.Observer(), LOCK_UN);
        return false;
    }
    // A closed port is kept a moment for a reopen (which then moves no modem
    // line), then let go.
    bool ReleasedSoon()
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (SomeoneHoldsTheDevice() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return !SomeoneHoldsTheDevice();
    }

    TestPty pty;
    Comm com;
    std::vector<std::string> calls;
};

using VaCommPty = PtyPort<TVaComm>;

TEST_F(VaCommPty, SettingsStoredWhileClosedAreWrittenAtOpen)
{
    com.SetBaudrate(br9600);
    com.SetFlowControl(fcXonXoff);
    com.SetStopbits(sb2);
    com.OpenPort();
    EXPECT_TRUE(SomeoneHoldsTheDevice());
    EXPECT_EQ(calls, std::vector<std::string>{"open"});
    TtySettings s = pty.Settings();
    EXPECT_EQ(s.line, "9600 8N2 ixon ixoff");
    EXPECT_FALSE(s.canonical);
    EXPECT_FALSE(s.echo);
}

TEST_F(VaCommPty, AChangeReachesAnOpenDeviceAnUnchangedValueLeavesItAlone)
{
    com.OpenPort();
    // Someone else reprograms the tty; setting the same value must not
    // rewrite it, setting another one does.
    pty.SetSpeed(300);
    com.SetBaudrate(br1200);
    EXPECT_EQ(pty.Settings().outputSpeed, 300u);
    com.SetBaudrate(br2400);
    EXPECT_EQ(pty.Settings().outputSpeed, 2400u);
}

TEST_F(VaCommPty, SettingsRefusedAtOpenLeaveThePortClosed)
{
    com.SetFlowControl(fcDtrDsr);
    EXPECT_EQ(MessageOf([&] { com.OpenPort(); }), "Error writing dcb (22), Invalid argument");
    EXPECT_FALSE(com.PortIsOpen());
    EXPECT_TRUE(ReleasedSoon());
    EXPECT_TRUE(calls.empty());

    com.SetFlowControl(fcNone);
    com.OpenPort();
    EXPECT_TRUE(com.PortIsOpen());
}

TEST_F(VaCommPty, DestroyingAnOpenPortClosesItSilently)
{
    auto own = std::make_unique<TVaComm>();
    int closes = 0;
    own->OnClose = [&](rtl::TObject*) { ++closes; };
    own->SetDeviceName(pty.SlavePath());
    own->OpenPort();
    own.reset();
    EXPECT_EQ(closes, 0);
    EXPECT_TRUE(ReleasedSoon());
}

TEST_F(VaCommPty, BytesOfAnEarlierSessionAreGoneAfterReopening)
{
    com.OpenPort();
    ASSERT_EQ(write(pty.Master(), "xyz", 3), 3);
    ASSERT_TRUE(WaitForQueue(3));
    com.ClosePort();
    com.OpenPort();
    EXPECT_EQ(com.InQueueCount(), 0);
}

// Counts the control blocks written to the device.
class CountingComm : public TVaComm {
public:
    int dcbWrites = 0;
    win::DCB lastDcb;

protected:
    void WriteDcb(const win::DCB& dcb) override
    {
        ++dcbWrites;
        lastDcb = dcb;
        TVaComm::WriteDcb(dcb);
    }
};

// ---- Control block -------------------------------------------------------------

// Frame (data bits, parity, stop bits) and the XON, XOFF, error and event
// characters of a block, each compared at once.
std::tuple<int, int, int> FrameOf(const win::DCB& d) { return {d.ByteSize, d.Parity, d.StopBits}; }
std::string CharsOf(const win::DCB& d) { return {char(d.XonChar), char(d.XoffChar), char(d.ErrorChar), char(d.EvtChar)}; }

TEST(VaCommDcb, DefaultsGiveTheDocumentedBlock)
{
    TVaComm com;
    win::DCB dcb;
    dcb.EofChar = 'Z';
    dcb.wReserved = 7;
    dcb.wReserved1 = 9;
    com.FillDcb(dcb);
    EXPECT_EQ(dcb.BaudRate, 1200u);
    EXPECT_EQ(dcb.Flags, 0x6015u);
    EXPECT_EQ(FrameOf(dcb), std::make_tuple(8, int(win::NOPARITY), int(win::ONESTOPBIT)));
    EXPECT_EQ(dcb.XonLim, 1024);
    EXPECT_EQ(dcb.XoffLim, 1024);
    EXPECT_EQ(CharsOf(dcb), std::string("\x11\x13\0\0", 4));
    // Fields the properties do not decide keep what the device reported.
    EXPECT_EQ(dcb.EofChar, 'Z');
    EXPECT_EQ(dcb.wReserved, 7);
    EXPECT_EQ(dcb.wReserved1, 9);
}

TEST(VaCommDcb, FlagWordFollowsFlowLineControlsAndOptions)
{
    struct Row {
        TVaFlowControl flow;
        TVaDTRControl dtr;
        TVaRTSControl rts;
        TVaCommOptions options;
        win::DWORD flags;
    } rows[] = {
        {fcNone, dtrEnable, rtsEnable, {}, 0x5011},
        {fcRtsCts, dtrEnable, rtsEnable, {}, 0x6015},
        // The flow control owns its handshake line whatever the line control says.
        {fcRtsCts, dtrDisable, rtsToggle, {}, 0x6005},
        {fcRtsCts, dtrDisable, rtsDisable, {}, 0x6005},
        {fcDtrDsr, dtrEnable, rtsEnable, {}, 0x5029},
        {fcDtrDsr, dtrDisable, rtsHandshake, {}, 0x6029},
        {fcXonXoff, dtrDisable, rtsDisable, {}, 0x4301},
        {fcXonXoff, dtrEnable, rtsToggle, {}, 0x7311},
        // Handshake line control without the matching flow check.
        {fcNone, dtrHandshake, rtsHandshake, {}, 0x6021},
        {fcNone, dtrDisable, rtsDisable, {coContinueOnXOff}, 0x4081},
        {fcNone, dtrDisable, rtsDisable, {coErrorChar}, 0x4401},
        {fcNone, dtrDisable, rtsDisable, {coNullStrip}, 0x4801},
        {fcNone, dtrDisable, rtsDisable, {coParityCheck}, 0x4003},
        {fcNone, dtrDisable, rtsDisable, {coDsrSensitivity}, 0x4041},
        {fcNone, dtrDisable, rtsDisable,
         {coContinueOnXOff, coErrorChar, coNullStrip, coParityCheck, coDsrSensitivity}, 0x4CC3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "flow " << int(row.flow) << " dtr " << int(row.dtr) << " rts "
                                        << int(row.rts) << " options " << int(row.options.Bits()));
        TVaComm com;
        com.SetFlowControl(row.flow);
        com.SetDTRControl(row.dtr);
        com.SetRTSControl(row.rts);
        com.SetOptions(row.options);
        win::DCB dcb;
        dcb.Flags = 0xFFFFFFFF; // replaced, not merged
        com.FillDcb(dcb);
        EXPECT_EQ(dcb.Flags, row.flags) << std::hex << dcb.Flags;
    }
}

TEST(VaCommDcb, FrameFieldsAndLimits)
{
    const win::DWORD rates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                19200, 38400, 56000, 57600, 115200, 128000, 256000};
    TVaComm com;
    win::DCB dcb;
    for (int rate = br110; rate <= br256000; ++rate) {
        com.SetBaudrate(static_cast<TVaBaudrate>(rate));
        com.FillDcb(dcb);
        EXPECT_EQ(dcb.BaudRate, rates[rate]);
    }
    struct Frame {
        TVaDatabits databits;
        TVaParity parity;
        TVaStopbits stopbits;
        std::tuple<int, int, int> dcbFrame;
    } frames[] = {{db4, paSpace, sb15, {4, win::SPACEPARITY, win::ONE5STOPBITS}},
                  {db7, paMark, sb2, {7, win::MARKPARITY, win::TWOSTOPBITS}}};
    for (const Frame& f : frames) {
        com.SetDatabits(f.databits);
        com.SetParity(f.parity);
        com.SetStopbits(f.stopbits);
        com.FillDcb(dcb);
        EXPECT_EQ(FrameOf(dcb), f.dcbFrame);
    }

    // Only the low 16 bits of the limits fit.
    com.SetXonLim(70000);
    com.SetXoffLim(-1);
    com.FillDcb(dcb);
    EXPECT_EQ(dcb.XonLim, 70000 & 0xFFFF);
    EXPECT_EQ(dcb.XoffLim, 0xFFFF);

    TVaEventChars chars;
    chars.SetXonChar('+');
    chars.SetXoffChar('-');
    chars.SetErrorChar('?');
    chars.SetEventChar('\r');
    com.SetEventChars(&chars);
    com.FillDcb(dcb);
    EXPECT_EQ(CharsOf(dcb), "+-?\r");
}

TEST(VaCommDcb, MonitorEventMaskUsesTheEventBits)
{
    struct Row {
        TVaCommEvent event;
        win::DWORD bit;
    } rows[] = {
        {ceBreak, 0x0040}, {ceCts, 0x0008},    {ceDsr, 0x0010},    {ceError, 0x0080},  {ceRing, 0x0100},
        {ceRlsd, 0x0020},  {ceRxChar, 0x0001}, {ceTxEmpty, 0x0004}, {ceRxFlag, 0x0002},
    };
    TVaComm com;
    EXPECT_EQ(com.MonitorEventMask(), 0u);
    TVaCommEvents all;
    for (const Row& row : rows) {
        com.SetMonitorEvents({row.event});
        EXPECT_EQ(com.MonitorEventMask(), row.bit) << int(row.event);
        all.Include(row.event);
    }
    com.SetMonitorEvents(all);
    EXPECT_EQ(com.MonitorEventMask(), 0x01FFu);
}

// ---- Names and messages ----------------------------------------------------------

TEST(VaCommNames, DeviceNameTakesThePortNumber)
{
    TVaComm com;
    EXPECT_EQ(com.ExpandDeviceName(), "COM0");
    com.SetPortNum(12);
    EXPECT_EQ(com.ExpandDeviceName(), "COM12");
    com.SetDeviceName("/dev/ttyUSB%d");
    EXPECT_EQ(com.ExpandDeviceName(), "/dev/ttyUSB12");
    // Without %d the name is the device.
    com.SetDeviceName("/dev/pts/5");
    EXPECT_EQ(com.ExpandDeviceName(), "/dev/pts/5");
    com.SetDeviceName("100%% COM%d");
    EXPECT_EQ(com.ExpandDeviceName(), "100% COM12");
    com.SetPortNum(-3);
    com.SetDeviceName("COM%d");
    EXPECT_EQ(com.ExpandDeviceName(), "COM-3");
}

TEST(VaCommNames, ADeviceNameThatIsNoSingleNumberFormatIsRefused)
{
    TVaComm com;
    for (const char* name : {"COM%s", "COM%d%d", "COM%", "%n", "COM%x", "%5d", "%%%"}) {
        com.SetDeviceName(name);
        EXPECT_EQ(MessageOf([&] { com.ExpandDeviceName(); }),
                  std::string("Format '") + name + "' ung\xfcltig oder nicht kompatibel mit Argument");
        EXPECT_THROW(com.ExpandDeviceName(), rtl::EConvertError);
    }
}

TEST(VaCommErrors, RaiseCommErrorFillsCodeAndTrimmedSystemText)
{
    EXPECT_EQ(MessageOf([] { TVaComm::RaiseCommError("Error writing dcb (%d), %s", 22); }),
              "Error writing dcb (22), Invalid argument");
    EXPECT_THROW(TVaComm::RaiseCommError("x %d %s", 5), EVaCommError);
    // The full stop that ends this text goes.
    EXPECT_EQ(MessageOf([] { TVaComm::RaiseCommError("Read error (%d), %s", win::ERROR_IO_PENDING); }),
              "Read error (997), Overlapped I/O operation is in progress");
    // No text for the code: empty.
    EXPECT_EQ(MessageOf([] { TVaComm::RaiseCommError(" Error setting EventMask (%d), %s", 123456); }),
              " Error setting EventMask (123456), ");
}

TEST(VaCommErrors, TrimmingDropsTrailingControlsBlanksAndStops)
{
    EXPECT_EQ(VaTrimErrorText("The parameter is incorrect.\r\n"), "The parameter is incorrect");
    EXPECT_EQ(VaTrimErrorText("a . .\t\x01 "), "a");
    EXPECT_EQ(VaTrimErrorText(" . \n"), "");
    EXPECT_EQ(VaTrimErrorText("  v1.2 ok"), "  v1.2 ok");
    EXPECT_EQ(VaTrimErrorText("caf\xe9."), "caf\xe9");
    EXPECT_EQ(VaTrimErrorText(""), "");
}

// ---- Properties on a closed port -------------------------------------------------

// The frame, flow and line defaults are pinned by the control block they
// fill (DefaultsGiveTheDocumentedBlock); these are the rest.
TEST(VaCommProperties, ConstructedWithTheDocumentedDefaults)
{
    TVaComm com;
    EXPECT_FALSE(com.PortIsOpen());
    EXPECT_EQ(com.DeviceHandle(), win::INVALID_HANDLE_VALUE);
    EXPECT_FALSE(com.AutoOpen());
    EXPECT_EQ(com.PortNum(), 0);
    EXPECT_EQ(com.DeviceName(), "COM%d");
    EXPECT_TRUE(com.MonitorEvents().Empty());
    EXPECT_EQ(com.ReadBufSize(), 4096);
    EXPECT_EQ(com.WriteBufSize(), 2048);
    EXPECT_EQ(com.ReadTimeout(), 1000);
    EXPECT_EQ(com.WriteTimeout(), 1000);
    EXPECT_TRUE(com.Options().Empty());
    EXPECT_EQ(com.Priority(), tpNormal);
}

TEST(VaCommProperties, LineOperationsOnAClosedPortOnlyCheckTheSettings)
{
    TVaComm com;
    EXPECT_NO_THROW(com.SetBreakLine(true));
    EXPECT_NO_THROW(com.SetXonState(false));
    EXPECT_NO_THROW(com.SetDtrLine(true));
    EXPECT_NO_THROW(com.SetRtsLine(false));
    EXPECT_NO_THROW(com.PurgeAll());
    EXPECT_NO_THROW(com.CallCommFunction(win::SETDTR));
    EXPECT_EQ(com.InQueueCount(), 0);
    win::COMSTAT stat;
    stat.cbInQue = 77;
    com.ReadCommStatus(stat);
    EXPECT_EQ(stat.cbInQue, 0u);

    com.SetDTRControl(dtrHandshake);
    EXPECT_EQ(MessageOf([&] { com.SetDtrLine(true); }), "Manual DTR line updates not allowed.");
    com.SetRTSControl(rtsHandshake);
    EXPECT_EQ(MessageOf([&] { com.SetRtsLine(false); }), "Manual RTS line updates not allowed.");
    EXPECT_THROW(com.SetRtsLine(true), EVaCommError);
    // Toggle is not the object's to refuse.
    com.SetRTSControl(rtsToggle);
    EXPECT_NO_THROW(com.SetRtsLine(true));
}

// ---- Against a pty -----------------------------------------------------------------

// Also counts the control blocks written, and checks the sender of the
// open and close callbacks.
class VaCommContract : public PtyPort<CountingComm> {
protected:
    void SetUp() override
    {
        PtyPort::SetUp();
        com.OnOpen = [this](rtl::TObject* sender) {
            EXPECT_EQ(sender, &com);
            calls.push_back("open");
        };
        com.OnClose = [this](rtl::TObject* sender) {
            EXPECT_EQ(sender, &com);
            calls.push_back("close");
        };
    }
};

TEST_F(VaCommContract, RefusedWhileOpenUnlessUnchanged)
{
    com.OpenPort();
    struct Setter {
        const char* name;
        std::function<void()> same, change;
        std::function<bool()> unchanged;
    } setters[] = {
        {"PortNum", [&] { com.SetPortNum(3); }, [&] { com.SetPortNum(4); }, [&] { return com.PortNum() == 3; }},
        {"MonitorEvents", [&] { com.SetMonitorEvents({}); }, [&] { com.SetMonitorEvents({ceRxChar}); },
         [&] { return com.MonitorEvents().Empty(); }},
        {"ReadBufSize", [&] { com.SetReadBufSize(4096); }, [&] { com.SetReadBufSize(1); },
         [&] { return com.ReadBufSize() == 4096; }},
        {"WriteBufSize", [&] { com.SetWriteBufSize(2048); }, [&] { com.SetWriteBufSize(1); },
         [&] { return com.WriteBufSize() == 2048; }},
        {"Priority", [&] { com.SetPriority(tpNormal); }, [&] { com.SetPriority(tpHighest); },
         [&] { return com.Priority() == tpNormal; }},
    };
    for (const Setter& setter : setters) {
        SCOPED_TRACE(setter.name);
        EXPECT_NO_THROW(setter.same());
        EXPECT_EQ(MessageOf(setter.change), "Can't perform this operation when port is open");
        EXPECT_TRUE(setter.unchanged());
    }
    // Plain stored values change freely.
    com.SetDeviceName("/dev/elsewhere");
    com.SetReadTimeout(5);
    com.SetWriteTimeout(6);
    EXPECT_EQ(com.ReadTimeout(), 5);
    EXPECT_TRUE(com.PortIsOpen());
    EXPECT_EQ(com.dcbWrites, 1);

    com.ClosePort();
    for (const Setter& setter : setters) {
        setter.change();
        EXPECT_FALSE(setter.unchanged()) << setter.name;
    }
}

TEST_F(VaCommContract, OpeningAnOpenPortIsRefusedAndTheDeviceIsHeldFromASecondPortObject)
{
    com.OpenPort();
    win::HANDLE handle = com.DeviceHandle();
    EXPECT_EQ(MessageOf([&] { com.OpenPort(); }), "Can't perform this operation when port is open");
    EXPECT_EQ(com.DeviceHandle(), handle);
    EXPECT_EQ(calls, std::vector<std::string>{"open"});

    TVaComm other;
    other.SetPortNum(9);
    other.SetDeviceName(pty.SlavePath());
    EXPECT_EQ(MessageOf([&] { other.OpenPort(); }), "Can't open device COM9");
}

TEST_F(VaCommContract, OpenErrorsNameThePortNumber)
{
    com.SetPortNum(7);
    com.SetDeviceName("/dev/tarrowin-no-such-device");
    EXPECT_EQ(MessageOf([&] { com.OpenPort(); }), "Invalid port number (COM7)");
    EXPECT_FALSE(com.PortIsOpen());
    EXPECT_TRUE(calls.empty()) << "a refused open raises no OnOpen";

    com.SetDeviceName("/dev/null");
    EXPECT_EQ(MessageOf([&] { com.OpenPort(); }), "Can't open device COM7");

    com.SetDeviceName(pty.SlavePath());
    ASSERT_EQ(flock(pty.Observer(), LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(MessageOf([&] { com.OpenPort(); }), "Can't open device COM7");
    EXPECT_THROW(com.OpenPort(), EVaCommError);
    flock(pty.Observer(), LOCK_UN);

    com.SetDeviceName("COM%s");
    EXPECT_THROW(com.OpenPort(), rtl::EConvertError);
    EXPECT_FALSE(com.PortIsOpen());
    EXPECT_TRUE(calls.empty());
}

TEST_F(VaCommContract, ReceivedBytesSurviveOpeningButNotClosing)
{
    // Bytes that arrived before the port was opened stay queued.
    ASSERT_EQ(write(pty.Master(), "xyz", 3), 3);
    com.OpenPort();
    ASSERT_TRUE(WaitForQueue(3));
    EXPECT_EQ(com.InQueueCount(), 3);
    win::COMSTAT stat;
    com.ReadCommStatus(stat);
    EXPECT_EQ(stat.cbInQue, 3u);

    com.PurgeBuffers(win::PURGE_TXCLEAR);
    EXPECT_EQ(com.InQueueCount(), 3);
    com.ClosePort();
    com.OpenPort();
    EXPECT_EQ(com.InQueueCount(), 0);

    ASSERT_EQ(write(pty.Master(), "ab", 2), 2);
    ASSERT_TRUE(WaitForQueue(2));
    com.PurgeAll();
    EXPECT_EQ(com.InQueueCount(), 0);
}

TEST_F(VaCommContract, NothingIsAppliedWhileLoading)
{
    com.OpenPort();
    com.BeginLoad();
    com.SetBaudrate(br9600);
    com.EventChars()->SetXonChar(1);
    EXPECT_EQ(com.dcbWrites, 1);
    EXPECT_EQ(pty.Settings().outputSpeed, 1200u);
    com.EndLoad();
    EXPECT_EQ(com.dcbWrites, 1);
    EXPECT_EQ(calls, std::vector<std::string>{"open"});
}

TEST_F(VaCommContract, AutoOpenOpensAfterLoading)
{
    com.BeginLoad();
    com.SetAutoOpen(true);
    com.SetBaudrate(br19200);
    EXPECT_FALSE(com.PortIsOpen());
    com.EndLoad();
    EXPECT_TRUE(com.PortIsOpen());
    EXPECT_EQ(calls, std::vector<std::string>{"open"});
    EXPECT_EQ(pty.Settings().outputSpeed, 19200u);
}

TEST_F(VaCommContract, AutoOpenDoesNothingInTheDesigner)
{
    com.SetDesigning(true);
    com.BeginLoad();
    com.SetAutoOpen(true);
    com.EndLoad();
    EXPECT_FALSE(com.PortIsOpen());
    EXPECT_TRUE(calls.empty());
}

} // namespace
