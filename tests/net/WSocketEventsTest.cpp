// Receiving, and what becomes of exceptions raised by event handlers.
#include "LoopbackPair.h"

#include <string>
#include <vector>

using namespace net;
using namespace nettest;
using testsupport::PumpFor;
using testsupport::PumpUntil;

TEST(WSocketEvents, ExceptionInDataAvailableIsLostAndTheConnectionStays)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    std::string Got;
    int BgExceptions = 0;
    P.Server->OnBgException = [&](rtl::TObject*, const std::exception&, bool&) { ++BgExceptions; };
    P.Server->OnDataAvailable = [&](rtl::TObject*, uint16_t) {
        Got += P.Server->ReceiveAvailable();
        throw ESocketException("handler failed");
    };
    P.Client->SendString("first");
    ASSERT_TRUE(PumpUntil([&] { return Got == "first"; }));
    PumpFor(30);
    EXPECT_EQ(P.Server->State(), wsConnected);
    P.Client->SendString("second");
    ASSERT_TRUE(PumpUntil([&] { return Got == "firstsecond"; }));
    EXPECT_EQ(BgExceptions, 0);
    EXPECT_EQ(P.Server->State(), wsConnected);
}

TEST(WSocketEvents, ExceptionInSessionConnectedAbortsTheConnectionAndReachesBgException)
{
    // Without an OnBgException handler too.
    {
        LoopbackPair Bare;
        Bare.Client->OnSessionConnected = [](rtl::TObject*, uint16_t) { throw std::runtime_error("not ours"); };
        Bare.Client->BeginConnect();
        ASSERT_TRUE(PumpUntil([&] { return Bare.Client->State() == wsClosed; }));
    }
    LoopbackPair P;
    std::string BgMessage;
    P.Client->OnSessionConnected = [](rtl::TObject*, uint16_t) { throw ESocketException("connected failed"); };
    P.Client->OnBgException = [&](rtl::TObject*, const std::exception& E, bool&) { BgMessage = E.what(); };
    P.Client->BeginConnect();
    ASSERT_TRUE(PumpUntil([&] { return !BgMessage.empty(); }));
    EXPECT_EQ(BgMessage, "connected failed");
    EXPECT_EQ(P.Client->State(), wsClosed);
    // The other end sees the connection go.
    ASSERT_TRUE(PumpUntil([&] { return P.Server->State() == wsClosed; }));
}

TEST(WSocketEvents, BgExceptionHandlerClearingCanCloseKeepsTheConnection)
{
    LoopbackPair P;
    int BgExceptions = 0;
    P.Client->OnSessionConnected = [](rtl::TObject*, uint16_t) { throw ESocketException("connected failed"); };
    P.Client->OnBgException = [&](rtl::TObject*, const std::exception&, bool& CanClose) {
        ++BgExceptions;
        CanClose = false;
    };
    P.Client->BeginConnect();
    ASSERT_TRUE(PumpUntil([&] { return BgExceptions == 1; }));
    PumpFor(50);
    EXPECT_EQ(P.Client->State(), wsConnected);
}

TEST(WSocketEvents, TestFailureMessageRaisesInsideTheQueue)
{
    TWSocket S;
    std::string BgMessage;
    S.OnBgException = [&](rtl::TObject*, const std::exception& E, bool&) { BgMessage = E.what(); };
    winsock::PostMessage(S.NotifyWindow(), MsgTestFailure, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !BgMessage.empty(); }));
    EXPECT_EQ(BgMessage, "Test exception in WSocket");
}

TEST(WSocketEvents, ReceiveAvailableWithNothingThereGivesEmptyAndRecordsWouldBlock)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    EXPECT_EQ(P.Server->ReceiveAvailable(), "");
    EXPECT_EQ(P.Server->LastError(), 10035);
}

TEST(WSocketEvents, DataBeforeAnyHandlerIsDiscarded)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    P.Client->SendString("dropped");
    PumpFor(100);
    EXPECT_EQ(P.Server->RcvdCount(), 0);
    EXPECT_EQ(P.Server->State(), wsConnected);
}

TEST(WSocketEvents, CloseLaterClosesFromTheQueue)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    int Closes = 0;
    P.Client->OnSessionClosed = [&](rtl::TObject*, uint16_t) { ++Closes; };
    P.Client->CloseLater();
    EXPECT_EQ(P.Client->State(), wsConnected);
    ASSERT_TRUE(PumpUntil([&] { return P.Client->State() == wsClosed; }));
    EXPECT_EQ(Closes, 1);
}

TEST(WSocketEvents, SuspendedObjectsHearNothingUntilResumed)
{
    LoopbackPair P;
    ASSERT_TRUE(P.Connect());
    std::string Got;
    P.Server->OnDataAvailable = [&](rtl::TObject*, uint16_t) { Got += P.Server->ReceiveAvailable(); };
    P.Server->SuspendEvents();
    P.Client->SendString("held");
    PumpFor(100);
    EXPECT_EQ(Got, "");
    P.Server->ResumeEvents();
    ASSERT_TRUE(PumpUntil([&] { return Got == "held"; }));
}

TEST(WSocketEvents, OnErrorReplacesTheExceptionAndLastErrorKeepsTheCode)
{
    TWSocket S;
    int Errors = 0;
    S.OnError = [&](rtl::TObject*) { ++Errors; };
    S.SetAddr("127.0.0.1");
    S.BeginListen(); // no port assigned
    EXPECT_EQ(Errors, 1);
    EXPECT_EQ(S.LastError(), 10022);
    EXPECT_EQ(S.State(), wsClosed);
}

TEST(WSocketEvents, DrainUntilClosedOffersTheRestAndReturnsAtTheEndOfTheStream)
{
    LoopbackPair P;
    P.Server->LingerOnOff = wsLingerOff;
    ASSERT_TRUE(P.Connect());
    std::string Got;
    P.Client->OnDataAvailable = [&](rtl::TObject*, uint16_t) { Got += P.Client->ReceiveAvailable(); };
    P.Server->SendString("last words");
    P.Server->FlushSendQueue();
    P.Server->CloseSession();
    P.Client->DrainUntilClosed();
    EXPECT_EQ(Got, "last words");
    // The peer's close notification does the rest.
    ASSERT_TRUE(PumpUntil([&] { return P.Client->State() == wsClosed; }));
}

TEST(WSocketEvents, DatagramEndsAreConnectedAtOnceAndCarryDatagrams)
{
    TWSocket Receiver;
    std::vector<uint16_t> Connected;
    Receiver.OnSessionConnected = [&](rtl::TObject*, uint16_t E) { Connected.push_back(E); };
    Receiver.SetProto("udp");
    AimAt(Receiver, "0");
    Receiver.BeginListen();
    EXPECT_EQ(Receiver.State(), wsConnected);
    EXPECT_EQ(Connected, (std::vector<uint16_t>{0}));

    std::string Got, From;
    Receiver.OnDataAvailable = [&](rtl::TObject*, uint16_t) {
        char Buf[100];
        winsock::SOCKADDR_IN Src{};
        int SrcLen = sizeof Src;
        int n = Receiver.ReceiveDatagramFrom(Buf, sizeof Buf, Src, SrcLen);
        if (n > 0) {
            Got.assign(Buf, static_cast<size_t>(n));
            From = winsock::inet_ntoa(Src.sin_addr);
        }
    };
    TWSocket Sender;
    Sender.SetProto("udp");
    AimAt(Sender, Receiver.LocalBoundPort());
    Sender.BeginConnect();
    EXPECT_EQ(Sender.State(), wsConnected);
    EXPECT_NE(Sender.LocalPort(), "0"); // the port the system chose
    EXPECT_EQ(Sender.SendString("datagram"), 8);
    ASSERT_TRUE(PumpUntil([&] { return !Got.empty(); }));
    EXPECT_EQ(Got, "datagram");
    EXPECT_EQ(From, "127.0.0.1");
}

// Whatever a handler throws stays inside the socket layer: a thrown object
// of no exception class reaches OnBgException as an unknown exception.
TEST(WSocketEvents, AThrownNonExceptionReachesBgExceptionAsUnknown)
{
    LoopbackPair P;
    std::string BgMessage;
    P.Client->OnSessionConnected = [](rtl::TObject*, uint16_t) { throw 42; };
    P.Client->OnBgException = [&](rtl::TObject*, const std::exception& E, bool&) { BgMessage = E.what(); };
    P.Client->BeginConnect();
    ASSERT_TRUE(PumpUntil([&] { return !BgMessage.empty(); }));
    EXPECT_EQ(BgMessage, "Unknown exception during socket event");
    EXPECT_EQ(P.Client->State(), wsClosed) << "aborted, CanClose being left true";
}

TEST(WSocketEvents, TimeValuesAreSetWhenEitherPartIsAndCompareByBothParts)
{
    TWSocket S;
    TTimeVal Zero{0, 0}, Sec{1, 0}, Usec{0, 1};
    EXPECT_FALSE(S.TimeValueIsSet(Zero));
    EXPECT_TRUE(S.TimeValueIsSet(Sec));
    EXPECT_TRUE(S.TimeValueIsSet(Usec));
    EXPECT_TRUE(S.TimeValueCompare(Sec, TTimeVal{1, 0}, true));
    EXPECT_FALSE(S.TimeValueCompare(Sec, Usec, true));
    EXPECT_TRUE(S.TimeValueCompare(Sec, Usec, false));
    EXPECT_FALSE(S.TimeValueCompare(Usec, TTimeVal{0, 1}, false));
    S.TimeValueClear(Sec);
    EXPECT_FALSE(S.TimeValueIsSet(Sec));
}
