// The port journal: what a bus monitor learns from an open port. On the
// loopback plug, whose true wire times are known: receive times never lie
// early and follow the line, writes carry their wire end, the far end
// answers on time, lines and errors are told in order, a reader who falls
// behind is told what it lost. The journal's own bookkeeping of a read
// split by an error mark, and the adapter latency rule through a stand-in
// driver.

#include "AdapterLatency.h"
#include "CommApi.h"
#include "CommTesting.h"
#include "JournalKeeper.h"
#include "Loopback.h"
#include "OwnLoopbackLock.h"
#include "PortJournal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace win;
using namespace std::chrono_literals;
using journal::Kind;
using journal::Record;
using loopback::Clock;
using namespace testsupport;

namespace {

std::vector<Record> TakeUntil(HANDLE device, size_t receivedBytes)
{
    std::vector<Record> records;
    size_t got = 0;
    auto start = Clock::now();
    while (got < receivedBytes && Clock::now() - start < std::chrono::milliseconds(Patience)) {
        size_t before = records.size();
        journal::Take(device, records);
        for (size_t i = before; i < records.size(); ++i)
            if (records[i].kind == Kind::Received)
                got += records[i].bytes.size();
        std::this_thread::sleep_for(2ms);
    }
    return records;
}

class PortJournal : public ::testing::Test {
protected:
    void SetUp() override
    {
        device = OpenOwnPlug(9600);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(journal::Start(device));
        loopback::TakeArrivals();
    }
    void TearDown() override
    {
        loopback::SetFarEnd({});
        CloseHandle(device);
    }
    HANDLE device = INVALID_HANDLE_VALUE;
};

TEST_F(PortJournal, ReceiveTimesNeverComeBeforeTheTrueOnesAndTheFarEndAnswersOnTime)
{
    loopback::SetFarEnd({5ms, [](const std::string& request) { return request == "ping" ? "pong!" : ""; }, {}});
    WriteAll(device, "ping");
    std::vector<Record> records = TakeUntil(device, 9);
    std::vector<loopback::Arrival> arrivals = loopback::TakeArrivals();
    ASSERT_EQ(arrivals.size(), 9u);

    // The write: its bytes, and a wire end four characters after its start.
    auto sent = std::find_if(records.begin(), records.end(), [](const Record& r) { return r.kind == Kind::Sent; });
    ASSERT_NE(sent, records.end());
    EXPECT_EQ(sent->bytes, "ping");
    EXPECT_EQ(sent->wireEnd - sent->at, std::chrono::nanoseconds(4 * sent->charNs));
    EXPECT_LE(sent->at, arrivals[0].start);

    // Every byte's time, worked back from its read, is at or after its true
    // start and not far behind it; the far end's answer began exactly 5 ms
    // after our last stop bit.
    std::string received;
    size_t index = 0;
    for (const Record& r : records) {
        if (r.kind != Kind::Received)
            continue;
        for (size_t i = 0; i < r.bytes.size(); ++i, ++index) {
            ASSERT_LT(index, arrivals.size());
            Clock::time_point estimated = journal::ByteStart(r, i);
            EXPECT_GE(estimated, arrivals[index].start) << "byte " << index;
            EXPECT_LT(estimated - arrivals[index].start, 50ms) << "byte " << index;
        }
        received += r.bytes;
    }
    EXPECT_EQ(received, "pingpong!");
    EXPECT_TRUE(arrivals[4].fromFarEnd);
    EXPECT_FALSE(arrivals[3].fromFarEnd);
    EXPECT_EQ(arrivals[4].start, arrivals[3].start + std::chrono::nanoseconds(sent->charNs) + 5ms);

    auto empty = std::find_if(records.begin(), records.end(),
                              [](const Record& r) { return r.kind == Kind::TransmitterEmpty; });
    ASSERT_NE(empty, records.end());
    EXPECT_GE(empty->at, sent->wireEnd);
}

TEST_F(PortJournal, LinesErrorsAndSettingsAreToldInOrder)
{
    std::vector<Record> records;
    journal::Take(device, records);
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0].kind, Kind::Settings) << "a late reader learns the frame first";
    EXPECT_EQ(records[1].kind, Kind::Lines);
    records.clear();

    ASSERT_TRUE(EscapeCommFunction(device, CLRDTR));
    ASSERT_TRUE(EscapeCommFunction(device, CLRDTR)); // no change: no record
    ASSERT_TRUE(EscapeCommFunction(device, SETDTR));
    ASSERT_TRUE(EscapeCommFunction(device, SETBREAK));
    std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(EscapeCommFunction(device, CLRBREAK));
    ASSERT_TRUE(SetCommState(device, PlainDcb(115200)));
    records = TakeUntil(device, 1);

    std::vector<Kind> kinds;
    for (const Record& r : records)
        kinds.push_back(r.kind);
    ASSERT_EQ(kinds, (std::vector<Kind>{Kind::Lines, Kind::Lines, Kind::LineError, Kind::Received, Kind::Settings}));
    EXPECT_FALSE(records[0].dtr);
    EXPECT_TRUE(records[1].dtr);
    EXPECT_EQ(records[2].errors, DWORD(CE_BREAK));
    EXPECT_EQ(records[3].bytes, std::string(1, '\0'));
    EXPECT_EQ(records[4].charNs, 10 * 1'000'000'000LL / 115200);

    journal::LineCounts counts = journal::Counts(device);
    EXPECT_TRUE(counts.known);
    EXPECT_EQ(counts.breaks, 1u);
    EXPECT_EQ(counts.frame, 0u);
    EXPECT_EQ(journal::GetLatency(device).state, journal::Latency::State::None);
}

TEST_F(PortJournal, AReaderThatFallsBehindIsToldWhatItLost)
{
    ASSERT_TRUE(journal::Start(device, 3));
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(EscapeCommFunction(device, i % 2 ? SETDTR : CLRDTR));
    std::vector<Record> records;
    journal::Take(device, records);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].kind, Kind::Lost);
    EXPECT_EQ(records[0].count, 4u); // Settings, Lines and two of the five changes
    EXPECT_FALSE(records.back().dtr);

    ASSERT_TRUE(journal::Stop(device));
    ASSERT_TRUE(EscapeCommFunction(device, SETDTR));
    records.clear();
    journal::Take(device, records);
    EXPECT_TRUE(records.empty()) << "nothing is kept once the reader has gone";
    EXPECT_FALSE(journal::Start(INVALID_HANDLE_VALUE));
}

TEST(JournalKeeper, AnErrorInsideAReadKeepsTheReadWholeAndGetsItsBytesTime)
{
    win::detail::JournalKeeper keeper;
    keeper.Settings(1000, Clock::now());
    keeper.Start(100);
    std::vector<Record> records;
    keeper.Take(records);
    records.clear();

    Clock::time_point readAt = Clock::now();
    const uint8_t before[] = {'a', 'b'};
    const uint8_t after[] = {'c', 'd'};
    keeper.Received(before, 2, readAt);
    keeper.LineError(CE_FRAME, readAt);
    keeper.Received(after, 2, readAt);
    keeper.EndRead();
    keeper.Take(records);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].kind, Kind::Received);
    EXPECT_EQ(records[0].bytes, "abcd");
    EXPECT_EQ(records[0].at, readAt - std::chrono::nanoseconds(4000));
    EXPECT_EQ(records[1].kind, Kind::LineError);
    EXPECT_EQ(records[1].at, readAt - std::chrono::nanoseconds(2000)) << "the time of 'c', the byte it came with";
    EXPECT_EQ(keeper.Counts().frame, 1u);
}

class FakeLatency : public win::detail::LatencyControl {
public:
    std::string driver = "ftdi_sio";
    bool usb = true;
    std::optional<bool> low = false;
    bool refuse = false;
    int sets = 0;
    std::string Driver() override { return driver; }
    bool Usb() override { return usb; }
    std::optional<bool> LowLatency() override { return low; }
    bool SetLowLatency(bool on) override
    {
        ++sets;
        if (refuse)
            return false;
        low = on;
        return true;
    }
    std::optional<int> TimerMs() override { return low && *low ? 1 : 16; }
};

TEST(AdapterLatency, LoweredWhileOpenGivenBackAtCloseAndSaidWhenItCannotBe)
{
    using State = journal::Latency::State;
    win::detail::AdapterLatency latency;
    FakeLatency ftdi;
    latency.Open(ftdi);
    EXPECT_EQ(ftdi.low, true);
    journal::Latency now = latency.Now(ftdi);
    EXPECT_EQ(now.state, State::Lowered);
    EXPECT_EQ(now.milliseconds, 1);
    latency.Close(ftdi);
    EXPECT_EQ(ftdi.low, false);

    FakeLatency alreadyLow; // set so by the user: left so at the close
    alreadyLow.low = true;
    latency.Open(alreadyLow);
    latency.Close(alreadyLow);
    EXPECT_EQ(alreadyLow.low, true);
    EXPECT_EQ(alreadyLow.sets, 0);

    FakeLatency refusing;
    refusing.refuse = true;
    latency.Open(refusing);
    EXPECT_EQ(latency.Now(refusing).state, State::Unchanged);
    EXPECT_EQ(latency.Now(refusing).milliseconds, 16);
    latency.Close(refusing);
    EXPECT_EQ(refusing.sets, 1);

    FakeLatency otherUsb; // a chip whose hold cannot be read: nothing set
    otherUsb.driver = "cp210x";
    latency.Open(otherUsb);
    EXPECT_EQ(latency.Now(otherUsb).state, State::Unknown);
    EXPECT_EQ(otherUsb.sets, 0);
    FakeLatency uart;
    uart.driver = "serial8250";
    uart.usb = false;
    latency.Open(uart);
    EXPECT_EQ(latency.Now(uart).state, State::None);
}

} // namespace
