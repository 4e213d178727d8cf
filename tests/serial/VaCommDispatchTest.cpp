// The event thread and the dispatch of its reports on the main thread. The
// loopback plug echoes what is sent; a pty the device that goes away.

#include "EventLoopWait.h"
#include "AppEvents.h"
#include "OwnLoopbackLock.h"
#include "ProcessProbes.h"
#include "Pty.h"
#include "VaComm.h"
#include "VaCommThread.h"

#include <QCoreApplication>
#include <QThread>
#include <dirent.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

// To catch a thread a port left behind.
int ThreadCount()
{
    int count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(tasks))
            count += entry->d_name[0] != '.';
        closedir(tasks);
    }
    return count;
}

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::UseOwnLoopbackLock();
        // A sanitizer's runtime starts a thread of its own with the first
        // thread the program starts; let that happen before threads are
        // counted.
        static const bool warmedUp = (std::thread([] {}).join(), true);
        (void)warmedUp;
        threadsBefore = ThreadCount();
        com = std::make_unique<TVaComm>();
        com->SetDeviceName("loopback");
        com->SetPortNum(1);
        com->SetBaudrate(br115200);
        com->SetFlowControl(fcNone);
        com->SetMonitorEvents({ceRxChar, ceTxEmpty});
        com->OnClose = [this](rtl::TObject*) { calls.push_back("close"); };
        rtl::SetApplicationExceptionHandler([this](rtl::TObject* sender, const std::string& message) {
            reported.push_back(message);
            reportSenders.push_back(sender);
        });
    }
    void TearDown() override
    {
        com.reset();
        rtl::SetApplicationExceptionHandler(nullptr);
        // Every thread a port started has ended: the event thread freed
        // itself, the device's own thread was joined.
        EXPECT_TRUE(PumpUntil([this] { return ThreadCount() <= threadsBefore; }))
            << ThreadCount() << " threads, " << threadsBefore << " before";
    }

    // Records the receive and transmitter-empty callbacks, which must run
    // on the main thread.
    void Record()
    {
        com->OnTxEmpty = [this](rtl::TObject*) {
            EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
            calls.push_back("txempty");
        };
        com->OnRxChar = [this](rtl::TObject* sender, int32_t count) {
            EXPECT_EQ(sender, com.get());
            calls.push_back("rx " + com->ReadString() + " " + std::to_string(count));
        };
    }

    bool Called(const std::string& name) const { return std::find(calls.begin(), calls.end(), name) != calls.end(); }

    int threadsBefore = 0;
    std::unique_ptr<TVaComm> com;
    std::vector<std::string> calls;
    std::vector<std::string> reported;
    std::vector<rtl::TObject*> reportSenders;
};

TEST_F(Dispatch, ClosingInsideOnRxCharEndsTheReportAndAllLaterOnes)
{
    com->OpenPort();
    Record();
    com->OnRxChar = [this](rtl::TObject*, int32_t) {
        calls.push_back("rx");
        com->ClosePort();
    };
    ASSERT_TRUE(com->WriteString("x"));
    ASSERT_TRUE(PumpUntil([this] { return !com->PortIsOpen(); }));
    PumpFor(100);
    // OnTxEmpty of the same report is not raised, nor anything after.
    EXPECT_EQ(calls, (std::vector<std::string>{"rx", "close"}));
    EXPECT_TRUE(reported.empty());

    // The port opens again with a new thread.
    calls.clear();
    Record();
    com->OpenPort();
    ASSERT_TRUE(com->WriteString("y"));
    ASSERT_TRUE(PumpUntil([this] { return Called("txempty"); }));
    EXPECT_EQ(calls.front(), "rx y 1");
}

TEST_F(Dispatch, AnExceptionFromACallbackEndsOnlyItsReport)
{
    com->OpenPort();
    Record();
    int rxCalls = 0;
    com->OnRxChar = [&](rtl::TObject*, int32_t count) {
        if (++rxCalls == 1)
            throw EVaCommError("callback failed");
        calls.push_back("rx " + com->ReadString() + " " + std::to_string(count));
    };
    ASSERT_TRUE(com->WriteString("x"));
    ASSERT_TRUE(PumpUntil([this] { return !reported.empty(); }));
    PumpFor(50);
    EXPECT_EQ(reported, std::vector<std::string>{"callback failed"});
    // Handed over with the event thread as the sender.
    ASSERT_EQ(reportSenders.size(), 1u);
    EXPECT_NE(dynamic_cast<TVaCommThread*>(reportSenders[0]), nullptr);
    // OnTxEmpty of that report was skipped.
    EXPECT_TRUE(calls.empty());

    ASSERT_TRUE(com->WriteString("y"));
    ASSERT_TRUE(PumpUntil([this] { return Called("txempty"); }));
    EXPECT_EQ(calls, (std::vector<std::string>{"rx xy 2", "txempty"}));
    EXPECT_TRUE(com->PortIsOpen());
}

TEST_F(Dispatch, DestroyingThePortInsideACallbackEndsTheDispatch)
{
    com->OpenPort();
    Record();
    com->OnRxChar = [this](rtl::TObject*, int32_t) {
        calls.push_back("rx");
        com.reset();
    };
    com->OnClose = nullptr;
    TVaComm* raw = com.get();
    ASSERT_TRUE(raw->WriteString("x"));
    ASSERT_TRUE(PumpUntil([this] { return !com; }));
    PumpFor(100);
    EXPECT_EQ(calls, std::vector<std::string>{"rx"});
}

TEST_F(Dispatch, DestroyingWhileAReportWaitsForTheMainThreadIsSafe)
{
    com->OpenPort();
    Record();
    ASSERT_TRUE(com->WriteString("x"));
    QThread::msleep(50);
    com.reset();
    // The posted hand-off is delivered now and must find nothing to do.
    PumpFor(100);
    EXPECT_TRUE(calls.empty());
}

TEST_F(Dispatch, AVanishedDeviceIsReportedOnceAndClosesThePort)
{
    auto pty = std::make_unique<TestPty>();
    ASSERT_TRUE(pty->Ok());
    com->SetDeviceName(pty->SlavePath());
    com->SetPortNum(4);
    com->OpenPort();
    Record();

    pty->CloseMaster();
    ASSERT_TRUE(PumpUntil([this] { return !com->PortIsOpen(); }));
    double before = testsupport::CpuSeconds();
    PumpFor(300);
    EXPECT_LT(testsupport::CpuSeconds() - before, 0.2) << "nothing spins after the device has gone";
    EXPECT_EQ(reported, std::vector<std::string>{"Read error (5), Input/output error"});
    EXPECT_EQ(calls, std::vector<std::string>{"close"});

    // Another port opens and works.
    TestPty other;
    ASSERT_TRUE(other.Ok());
    com->SetDeviceName(other.SlavePath());
    com->OpenPort();
    ASSERT_EQ(write(other.Master(), "back", 4), 4);
    ASSERT_TRUE(PumpUntil([this] { return Called("rx back 4"); }));
}

} // namespace
