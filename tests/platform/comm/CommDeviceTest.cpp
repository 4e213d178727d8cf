// The device base class on its own, under a lower half the test steers: the
// moment at which a device is found gone must not decide what the caller is
// told. A tty cannot be made to hang up exactly inside the sync; this can.

#include "CommDevice.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

using namespace win;
using win::detail::CommDevice;

namespace {

// Received bytes and the hang-up both turn up in the sync, in that order,
// as when a tty still holds input when its far side goes.
class HangingUpDevice : public CommDevice {
public:
    std::string arrivesAtSync;
    bool hangsUpAtSync = false;

protected:
    DWORD DeviceGetState(DCB&) override { return 0; }
    DWORD DeviceSetState(const DCB&) override { return 0; }
    DWORD DeviceEscape(DWORD) override { return 0; }
    DWORD DevicePurge(bool, bool) override { return 0; }
    void DeviceKick() override {}
    void DeviceSetRts(bool) override {}
    void DeviceShutdown() override {}
    void DeviceSync() override
    {
        ReceiveLocked(reinterpret_cast<const uint8_t*>(arrivesAtSync.data()), arrivesAtSync.size());
        arrivesAtSync.clear();
        if (hangsUpAtSync)
            FailLocked(EIO);
    }
};

class CommDeviceSync : public ::testing::Test {
protected:
    void SetUp() override
    {
        DCB dcb;
        dcb.BaudRate = 9600;
        dcb.Flags = fBinary;
        ASSERT_EQ(device.SetState(dcb), 0u);
    }
    void TearDown() override { device.Close(); }

    HangingUpDevice device;
};

TEST_F(CommDeviceSync, InputReceivedBeforeTheHangUpIsReadThenTheLossIsReported)
{
    device.arrivesAtSync = "last";
    device.hangsUpAtSync = true;
    char buffer[16] = {};
    DWORD done = 0;
    ASSERT_EQ(device.Read(buffer, 3, &done, nullptr), 0u);
    EXPECT_EQ(std::string(buffer, done), "las");
    ASSERT_EQ(device.Read(buffer, sizeof buffer, &done, nullptr), 0u);
    EXPECT_EQ(std::string(buffer, done), "t");

    done = 99;
    EXPECT_EQ(device.Read(buffer, sizeof buffer, &done, nullptr), DWORD(EIO));
    EXPECT_EQ(done, 99u) << "a failed read must not claim a count";
}

TEST_F(CommDeviceSync, AHangUpFoundBySyncFailsTheCallThatSynced)
{
    device.hangsUpAtSync = true;
    DWORD errors = 0;
    COMSTAT stat{};
    EXPECT_EQ(device.ClearError(&errors, &stat), DWORD(EIO));

    char buffer[4];
    DWORD done = 0;
    EXPECT_EQ(device.Read(buffer, sizeof buffer, &done, nullptr), DWORD(EIO));
}

TEST_F(CommDeviceSync, AWaitStartedAsTheSyncFindsTheHangUpFailsAtOnce)
{
    ASSERT_EQ(device.SetMask(EV_RXCHAR), 0u);
    device.hangsUpAtSync = true;
    DWORD events = 0xDEAD;
    OVERLAPPED overlapped{};
    // Pending here would mean waiting for ever: nothing watches a failed device.
    EXPECT_EQ(device.WaitEvent(&events, &overlapped), DWORD(EIO));
}

} // namespace
