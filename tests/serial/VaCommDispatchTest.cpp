// The event thread and the dispatch of its reports on the main thread. The
// loopback plug echoes what is sent and provides the line events; a pty is
// the device that goes away.

#include "AppEvents.h"
#include "EventLoopWait.h"
#include "Loopback.h"
#include "OwnLoopbackLock.h"
#include "ProcessProbes.h"
#include "Pty.h"
#include "VaComm.h"
#include "VaCommThread.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using testsupport::PumpFor;
using testsupport::PumpUntil;
using testsupport::ThreadCount;

namespace {

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

const TVaCommEvents AllEvents{ceBreak, ceCts, ceDsr, ceError, ceRing, ceRlsd, ceRxChar, ceTxEmpty, ceRxFlag};

// Every event watched, every callback recorded.
class DispatchRules : public Dispatch {
protected:
    void SetUp() override
    {
        Dispatch::SetUp();
        com->SetMonitorEvents(AllEvents);
    }

    // Binds every event callback to a recorder.
    void Record()
    {
        auto note = [this](const char* name) {
            return [this, name](rtl::TObject* sender) {
                EXPECT_EQ(sender, com.get());
                EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
                calls.push_back(name);
            };
        };
        for (auto [callback, name] : {std::pair{&TVaComm::OnCts, "cts"}, {&TVaComm::OnDsr, "dsr"},
                                      {&TVaComm::OnRlsd, "rlsd"}, {&TVaComm::OnRing, "ring"},
                                      {&TVaComm::OnBreak, "break"}, {&TVaComm::OnRxFlag, "rxflag"},
                                      {&TVaComm::OnEvent1, "event1"}, {&TVaComm::OnEvent2, "event2"},
                                      {&TVaComm::OnTxEmpty, "txempty"}, {&TVaComm::OnRx80Full, "rx80full"}})
            com.get()->*callback = note(name);
        com->OnError = [this](rtl::TObject*, int32_t errors) { calls.push_back("error " + std::to_string(errors)); };
        com->OnRxChar = [this](rtl::TObject* sender, int32_t count) {
            EXPECT_EQ(sender, com.get());
            calls.push_back("rx " + com->ReadString() + " " + std::to_string(count));
        };
    }
};


// ---- Order -------------------------------------------------------------------------

TEST_F(DispatchRules, EveryBitOfAReportHasItsPlaceInTheOrder)
{
    com->OpenPort();
    Record();
    com->HandleCommEvents(win::EV_EVENT2 | win::EV_EVENT1 | win::EV_BREAK | win::EV_TXEMPTY | win::EV_RLSD |
                          win::EV_RING | win::EV_DSR | win::EV_CTS | win::EV_RX80FULL | win::EV_RXFLAG |
                          win::EV_ERR);
    EXPECT_EQ(calls, (std::vector<std::string>{"error 0", "rxflag", "rx80full", "cts", "dsr", "ring", "rlsd",
                                               "txempty", "break", "event1", "event2"}));
    // Nothing waiting: no OnRxChar.
    calls.clear();
    com->HandleRxChar();
    EXPECT_TRUE(calls.empty());
}

TEST_F(DispatchRules, ReceivedBytesAreReportedBeforeTheTransmitterRunsEmpty)
{
    com->OpenPort();
    Record();
    ASSERT_TRUE(com->WriteString("abc"));
    ASSERT_TRUE(PumpUntil([this] { return Called("txempty"); }));
    PumpFor(20);
    std::string received;
    for (const std::string& call : calls) {
        if (call.rfind("rx ", 0) == 0)
            received += call.substr(3, call.find(' ', 3) - 3);
    }
    EXPECT_EQ(received, "abc");
    // The last character came back the moment the transmitter ran empty:
    // one report, OnRxChar first.
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls.back(), "txempty");
    EXPECT_EQ(calls[calls.size() - 2].rfind("rx ", 0), 0u);
}

TEST_F(DispatchRules, ABreakComesWithItsNullCharacterFirst)
{
    com->OpenPort();
    Record();
    com->OnRxChar = [this](rtl::TObject*, int32_t count) { calls.push_back("rx " + std::to_string(count)); };
    com->SetBreakLine(true);
    ASSERT_TRUE(PumpUntil([this] { return Called("break"); }));
    com->SetBreakLine(false);
    // The null character of the break comes in the same report; with the
    // event character at its default of 0 it is also the event character.
    EXPECT_EQ(calls, (std::vector<std::string>{"rx 1", "rxflag", "break"}));
    EXPECT_EQ(com->ReadString(), std::string(1, '\0'));
}

// ---- Closing, raising and destroying inside callbacks ----------------------------------------

TEST_F(DispatchRules, ClosingInsideAnEventCallbackSkipsTheRestOfTheReport)
{
    com->OpenPort();
    Record();
    com->OnCts = [this](rtl::TObject*) {
        calls.push_back("cts");
        com->ClosePort();
    };
    // Changed while the thread waits for this dispatch: the next report
    // holds CTS, DSR and DCD together.
    com->OnRxChar = [this](rtl::TObject*, int32_t) {
        calls.push_back("rx");
        com->ReadString();
        com->SetRtsLine(false);
        com->SetDtrLine(false);
    };
    ASSERT_TRUE(com->WriteString("x"));
    ASSERT_TRUE(PumpUntil([this] { return !com->PortIsOpen(); }));
    PumpFor(50);
    // CTS comes first in its report and closes; DSR and DCD are not raised.
    EXPECT_EQ(calls, (std::vector<std::string>{"rx", "txempty", "cts", "close"}));
}

// ---- Stopping --------------------------------------------------------------------------

TEST_F(DispatchRules, TheStopRequestAloneWakesTheThreadAndCallsNothing)
{
    com->OpenPort();
    Record();
    EXPECT_GT(ThreadCount(), threadsBefore);
    com->ClosePort();
    PumpFor(100);
    EXPECT_EQ(calls, std::vector<std::string>{"close"});
    EXPECT_TRUE(PumpUntil([this] { return ThreadCount() <= threadsBefore; }));
}

TEST_F(DispatchRules, ClosingWhileAReportWaitsForTheMainThreadCallsNothing)
{
    com->OpenPort();
    Record();
    ASSERT_TRUE(com->WriteString("x"));
    // The main thread does not look at its events: the report waits.
    QThread::msleep(50);
    com->ClosePort();
    PumpFor(100);
    EXPECT_EQ(calls, std::vector<std::string>{"close"});
}

TEST_F(DispatchRules, ReportsAreDispatchedInsideANestedEventLoop)
{
    com->OpenPort();
    bool nested = false;
    bool seenNested = false;
    com->OnRxChar = [&](rtl::TObject*, int32_t) {
        seenNested = nested;
        com->ReadString();
    };
    // A modal message box runs a loop of its own, for example.
    QTimer::singleShot(0, [&] {
        QEventLoop loop;
        nested = true;
        com->OnTxEmpty = [&](rtl::TObject*) { loop.quit(); };
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        EXPECT_TRUE(com->WriteString("m"));
        loop.exec();
        nested = false;
    });
    ASSERT_TRUE(PumpUntil([&] { return seenNested; }));
}

// ---- A device that goes away ------------------------------------------------------------

} // namespace
