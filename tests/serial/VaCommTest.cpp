// The serial port object: the control block its properties make, device
// names, and opening, settings and closing against a pty.

#include "ExceptionText.h"
#include "Pty.h"
#include "VaComm.h"

#include <gtest/gtest.h>

#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
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

class VaCommPty : public ::testing::Test {
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
    TVaComm com;
    std::vector<std::string> calls;
};

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

TEST_F(VaCommPty, TheDeviceIsHeldFromASecondPortObject)
{
    com.OpenPort();
    win::HANDLE handle = com.DeviceHandle();
    EXPECT_EQ(MessageOf([&] { com.OpenPort(); }), "Can't perform this operation when port is open");
    EXPECT_EQ(com.DeviceHandle(), handle);

    TVaComm other;
    other.SetPortNum(9);
    other.SetDeviceName(pty.SlavePath());
    EXPECT_EQ(MessageOf([&] { other.OpenPort(); }), "Can't open device COM9");
}

TEST_F(VaCommPty, AMissingDeviceNamesThePortNumber)
{
    com.SetPortNum(7);
    com.SetDeviceName("/dev/tarrowin-no-such-device");
    EXPECT_EQ(MessageOf([&] { com.OpenPort(); }), "Invalid port number (COM7)");
    EXPECT_FALSE(com.PortIsOpen());
    EXPECT_TRUE(calls.empty());
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

} // namespace
