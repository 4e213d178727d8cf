// What the comm API keeps about a failed open or a refused setting, beyond
// the error code: the kind of problem and what a user needs to act on it.

#include "AsNobody.h"
#include "CommApi.h"
#include "CommDevice.h"
#include "CommReasons.h"
#include "CommTesting.h"
#include "LoopbackListener.h"
#include "Pty.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

using namespace win;
using commreasons::OpenProblem;
using commreasons::Setting;

TEST(CommReasons, AFailedOpenSaysWhyAndAGoodOneForgetsIt)
{
    TestPty pty;
    ASSERT_TRUE(pty.Ok());
    EXPECT_EQ(CreateFile("COM987"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(commreasons::LastOpenFailure().problem, OpenProblem::NoSuchPort);

    EXPECT_EQ(CreateFile("/dev/no-such-adapter"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(commreasons::LastOpenFailure().problem, OpenProblem::Missing);
    EXPECT_EQ(commreasons::LastOpenFailure().path, "/dev/no-such-adapter");

    HANDLE held = testsupport::OpenPlain(pty.SlavePath());
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFile(pty.SlavePath()), INVALID_HANDLE_VALUE);
    commreasons::OpenFailure busy = commreasons::LastOpenFailure();
    EXPECT_EQ(busy.problem, OpenProblem::Busy);
    EXPECT_EQ(busy.holderPid, getpid());
    std::string ourName;
    std::ifstream("/proc/self/comm") >> ourName;
    EXPECT_EQ(busy.holderName, ourName);
    ASSERT_TRUE(CloseHandle(held));

    held = CreateFile(pty.SlavePath());
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(commreasons::LastOpenFailure().problem, OpenProblem::None);
    CloseHandle(held);
}

TEST(CommReasons, AUserOutsideTheDevicesGroupIsToldWhichGroupItIs)
{
    TestPty pty;
    ASSERT_TRUE(pty.Ok());
    // A device of a group "nobody" is not in, readable by that group only.
    ASSERT_EQ(chown(pty.SlavePath().c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(pty.SlavePath().c_str(), 0660), 0);
    const std::string path = pty.SlavePath();
    const int code = testsupport::ExitCodeAsNobody([path] {
        if (CreateFile(path) != INVALID_HANDLE_VALUE)
            return 1;
        commreasons::OpenFailure f = commreasons::LastOpenFailure();
        return f.problem == OpenProblem::Permission && f.group == "root" && !f.inGroup ? 0 : 2;
    });
    EXPECT_EQ(code, 0);
}

TEST(CommReasons, NetworkServersThatRefuseOrSpeakNoRfc2217AreToldApart)
{
    int port = 0;
    const int silent = testsupport::LoopbackListener(4, port);
    ASSERT_GE(silent, 0);
    detail::SetNetworkTimeoutsForTests(1000, 300);
    // Accepts (the kernel does), but never answers the negotiation.
    const std::string address = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(CreateFile("rfc2217://" + address), INVALID_HANDLE_VALUE);
    commreasons::OpenFailure f = commreasons::LastOpenFailure();
    EXPECT_EQ(f.problem, OpenProblem::NotComPortServer);
    EXPECT_EQ(f.path, address);
    EXPECT_NE(f.serverText.find("did not answer"), std::string::npos) << f.serverText;
    close(silent); // nobody listens there any more

    EXPECT_EQ(CreateFile("rfc2217://" + address), INVALID_HANDLE_VALUE);
    f = commreasons::LastOpenFailure();
    EXPECT_EQ(f.problem, OpenProblem::ServerUnreachable);
    EXPECT_EQ(f.error, DWORD(ECONNREFUSED));
    detail::SetNetworkTimeoutsForTests(3000, 2000);
}

TEST(CommReasons, ARefusedControlBlockNamesTheSettingTheDeviceCouldNotTake)
{
    TestPty pty;
    ASSERT_TRUE(pty.Ok());
    HANDLE device = testsupport::OpenPlain(pty.SlavePath());
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    DCB dcb = testsupport::PlainDcb(9600);
    struct Case {
        BYTE size, parity, stop;
        Setting refused;
    };
    // A pty keeps 8 data bits without parity; 1.5 stop bits need 5 data bits.
    for (Case c : {Case{8, EVENPARITY, ONESTOPBIT, Setting::Parity}, Case{7, NOPARITY, ONESTOPBIT, Setting::DataBits},
                   Case{8, NOPARITY, ONE5STOPBITS, Setting::StopBitsForSize}}) {
        dcb.ByteSize = c.size;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stop;
        EXPECT_FALSE(SetCommState(device, dcb));
        commreasons::RefusedSetting r = commreasons::LastRefusedSetting();
        EXPECT_EQ(r.setting, c.refused) << int(c.size) << int(c.parity) << int(c.stop);
        EXPECT_EQ(r.asked.Parity, c.parity);
    }
    EXPECT_TRUE(SetCommState(device, testsupport::PlainDcb(9600)));
    EXPECT_EQ(commreasons::LastRefusedSetting().setting, Setting::None);
    CloseHandle(device);
}
