// Transfers of the port object on the loopback plug: every byte value
// comes back, a write that times out leaves nothing behind, RTS toggle.

#include "EventLoopWait.h"
#include "Loopback.h"
#include "OwnLoopbackLock.h"
#include "VaComm.h"

#include <QThread>
#include <gtest/gtest.h>

#include <string>

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

TEST_F(Transfer, RtsToggleRaisesRtsOnlyForTheTransmission)
{
    com.SetRTSControl(rtsToggle);
    com.OpenPort();
    EXPECT_FALSE(loopback::CurrentTrace().rts);
    size_t changesBefore = loopback::CurrentTrace().lineChanges.size();
    ASSERT_TRUE(com.WriteString("toggle"));
    // Up for the transmission, down when it was over.
    ASSERT_TRUE(PumpUntil([&] { return loopback::CurrentTrace().lineChanges.size() >= changesBefore + 2; }));
    loopback::Trace trace = loopback::CurrentTrace();
    ASSERT_EQ(trace.lineChanges.size(), changesBefore + 2);
    EXPECT_TRUE(trace.lineChanges[changesBefore].rts);
    EXPECT_FALSE(trace.lineChanges[changesBefore + 1].rts);
    EXPECT_FALSE(trace.rts);
    // Not refused by the object: a level set by hand goes to the device.
    com.SetRtsLine(true);
    EXPECT_TRUE(loopback::CurrentTrace().rts);
}

} // namespace
