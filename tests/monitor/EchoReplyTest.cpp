#include "MonitorTesting.h"

#include <gtest/gtest.h>

using namespace monitor;
using namespace monitortest;
using Rows = std::vector<std::string>;

namespace {

const std::string kRequest("\x01\x03\x00\x00\x00\x0A\xC5\xCD", 8);
const std::string kAnswer("\x01\x83\x02\xC0\xF1", 5);

struct Bus {
    BusMonitor monitor;
    int64_t charNs = kChar9600;
    explicit Bus(MonitorConfig config = {})
    {
        monitor.Configure(config);
        monitor.PortOpened(At(kT0 - 1000000), "COM1 9600 8N1", charNs, 9600);
    }
    // Our write at kT0, TXEN on a character before it; returns the wire end.
    int64_t Request(bool txenAuto)
    {
        monitor.Feed(Lines(kT0 - charNs, true));
        monitor.Feed(Sent(kT0, kRequest, charNs));
        const int64_t wireEnd = kT0 + 8 * charNs;
        if (txenAuto)
            monitor.Feed(Lines(wireEnd + 300000, false));
        return wireEnd;
    }
    Rows Done()
    {
        monitor.Tick(At(kT0 + 1000000000));
        Rows rows = Describe(monitor.Rows());
        rows.erase(rows.begin());
        return rows;
    }
};

} // namespace

// The echo comes back in two reads, shifted by the receive path; the answer
// follows it without any idle time and still gets a row of its own, with its
// reply time from the computed end of our last stop bit.
TEST(MonitorEchoAndReply, EchoApartFromTheAnswerReplyFromWireEnd)
{
    Bus bus;
    const int64_t wireEnd = bus.Request(false);
    const int64_t echoStart = kT0 + 50000;
    bus.monitor.Feed(Received(echoStart, kRequest.substr(0, 3), bus.charNs));
    bus.monitor.Feed(Received(echoStart + 3 * bus.charNs, kRequest.substr(3) + kAnswer, bus.charNs));
    EXPECT_EQ(bus.Done(), (Rows{"TXEN an", "TX 01 03 00 00 00 0A C5 CD", "RX 01 03 00 00 00 0A C5 CD [Echo]",
                                "RX 01 83 02 C0 F1"}));
    const RowStore& rows = bus.monitor.Rows();
    const int64_t answerStart = echoStart + 8 * bus.charNs;
    EXPECT_EQ(Last(rows).replyNs, answerStart - wireEnd);
    EXPECT_EQ(Last(rows, 1).replyNs, kNoTime);
    EXPECT_EQ(bus.monitor.GetSummary().echoFrames, 1u);
    EXPECT_EQ(bus.monitor.GetSummary().rxFrames, 1u);
    EXPECT_EQ(bus.monitor.GetSummary().reply.Count(), 1u);
}

// A byte that differs from what we sent marks the part as a collision, with
// the first differing byte; it is neither echo nor an answer.
TEST(MonitorEchoAndReply, CollisionNamesTheFirstDifferingByte)
{
    Bus bus;
    bus.Request(false);
    std::string heard = kRequest;
    heard[3] = '\x7F';
    heard[5] = '\x00';
    bus.monitor.Feed(Received(kT0 + 10000, heard, bus.charNs));
    const Rows rows = bus.Done();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2], "RX 01 03 00 7F 00 00 C5 CD [Kollision ab Byte 4]");
    EXPECT_EQ(Last(bus.monitor.Rows()).detail, 3u);
    EXPECT_EQ(bus.monitor.GetSummary().collisions, 1u);
    EXPECT_EQ(bus.monitor.GetSummary().reply.Count(), 0u);
}

// With automatic TXEN the reply counts from TXEN off; an answer that began
// before it (the transmitter held the bus too long) gets a negative time,
// and its TXEN off row comes after it. Without a TXEN off record the wire
// end stands in. Only the first answer after a write has a reply time.
TEST(MonitorEchoAndReply, ReplyFromTxenOffAndNegative)
{
    MonitorConfig automatic;
    automatic.txenAuto = true;
    {
        Bus bus(automatic);
        const int64_t wireEnd = bus.Request(true);
        const int64_t answer = wireEnd + 5 * bus.charNs;
        bus.monitor.Feed(Received(answer, kAnswer, bus.charNs));
        bus.monitor.Feed(Received(answer + 20 * bus.charNs, kAnswer, bus.charNs));
        bus.Done();
        EXPECT_EQ(Last(bus.monitor.Rows(), 1).replyNs, answer - (wireEnd + 300000));
        EXPECT_EQ(Last(bus.monitor.Rows()).replyNs, kNoTime);
    }
    {
        Bus bus(automatic);
        bus.monitor.Feed(Lines(kT0 - bus.charNs, true));
        bus.monitor.Feed(Sent(kT0, "\x05", bus.charNs));
        const int64_t answer = kT0 + 4 * bus.charNs; // past the echo window
        const int64_t txenOff = answer + 200000;
        bus.monitor.Feed(Received(answer, "\x01", bus.charNs));
        bus.monitor.Feed(Lines(txenOff, false));
        bus.monitor.Feed(Received(answer + bus.charNs, "\x02", bus.charNs));
        EXPECT_EQ(bus.Done(), (Rows{"TXEN an", "TX 05", "RX 01 02", "TXEN aus"}));
        EXPECT_EQ(Last(bus.monitor.Rows(), 1).replyNs, -200000);
        EXPECT_EQ(Cell(bus.monitor.Rows(), Last(bus.monitor.Rows(), 1), Column::Reply, {}), "-0.200");
    }
    {
        Bus bus(automatic);
        const int64_t wireEnd = bus.Request(false);
        bus.monitor.Feed(Received(wireEnd + 4 * bus.charNs, kAnswer, bus.charNs));
        bus.Done();
        EXPECT_EQ(Last(bus.monitor.Rows()).replyNs, 4 * bus.charNs);
    }
}

// TXEN follows DTR through the invert setting; a row only where it changes.
// A line error inside a frame does not cut it, its row follows the frame.
TEST(MonitorEchoAndReply, TxenRowsAndLineErrors)
{
    MonitorConfig inverted;
    inverted.txenInvert = true;
    Bus bus(inverted);
    bus.monitor.Feed(Lines(kT0, true));        // DTR on: TXEN off
    bus.monitor.Feed(Lines(kT0 + 1000, true)); // RTS moved, TXEN did not
    bus.monitor.Feed(Lines(kT0 + 2000, false));
    const int64_t rx = kT0 + 10000000;
    bus.monitor.Feed(Received(rx, "AB", bus.charNs));
    Record error;
    error.kind = Kind::LineError;
    error.at = At(rx + 2 * bus.charNs);
    error.errors = win::CE_FRAME | win::CE_BREAK;
    bus.monitor.Feed(error);
    bus.monitor.Feed(Received(rx + 3 * bus.charNs, "C", bus.charNs));
    EXPECT_EQ(bus.Done(), (Rows{"TXEN aus", "TXEN an", "RX 41 42 43", "Rahmenfehler, Break"}));
    EXPECT_EQ(bus.monitor.GetSummary().lineErrors, 1u);
}
