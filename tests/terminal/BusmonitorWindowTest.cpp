// The bus monitor window as a user meets it on a first start: F2 opens it
// on the open port, a request shows with its echo, TXEN's edges and the
// answer with its check and reply time; the echo can be hidden, the rows
// exported, the port's close is a row, and the window's choices are kept
// in its own subkey.

#include "Busmonitor.h"
#include "BusmonitorModel.h"
#include "MyRegistry.h"
#include "RowFormat.h"
#include "TerminalFixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QTest>

#include <algorithm>
#include <fstream>

using namespace std::chrono_literals;

namespace {

class BusmonitorWindow : public TerminalFixture {
protected:
    // Exact receive times: the rows must not depend on how busy the machine is.
    void SetUp() override
    {
        TerminalFixture::SetUp();
        loopback::SetExactReceiveTimes(true);
    }
    void TearDown() override
    {
        loopback::SetExactReceiveTimes(false);
        TerminalFixture::TearDown();
    }

    std::vector<std::string> Directions(terminal::TBusmonitor& monitor)
    {
        std::vector<std::string> rows;
        const monitor::RowStore& store = monitor.Monitor().Rows();
        for (uint64_t seq = store.FirstSeq(); seq < store.EndSeq(); ++seq)
            rows.push_back(monitor::Cell(store, store.At(seq), monitor::Column::Direction, {}));
        return rows;
    }
};

TEST_F(BusmonitorWindow, ShowsARequestItsEchoTxenAndTheCheckedAnswerWithItsReplyTime)
{
    TForm1& f = Form();
    EXPECT_EQ(f.ShowBusmonitor->shortcut(), QKeySequence(Qt::Key_F2));
    f.CheckCRNL->setChecked(false);
    f.CheckSwitchTXENOnTXEmpty->setChecked(true);
    OpenLoopback(br9600);
    f.ShowBusmonitor->trigger();
    terminal::TBusmonitor* monitor = f.Busmonitor();
    ASSERT_NE(monitor, nullptr);
    EXPECT_TRUE(monitor->isVisible());
    EXPECT_TRUE(monitor->HeaderText().contains(QStringLiteral("9600 8N1"))) << monitor->HeaderText().toStdString();
    EXPECT_TRUE(monitor->HeaderText().contains(QStringLiteral("Latenz: keine")));
    monitor->findChildren<QComboBox*>().at(0)->setCurrentIndex(1); // Modbus RTU

    // The far end answers with an exception, 5 ms after our last stop bit.
    loopback::SetFarEnd({5ms, [](const std::string&) { return std::string("\x01\x83\x02\xC0\xF1", 5); }, {}});
    f.EditSend->setText(QStringLiteral("ping"));
    f.CmdSend->click();
    const monitor::RowStore& rows = monitor->Monitor().Rows();
    ASSERT_TRUE(testsupport::PumpUntil([&] {
        std::vector<std::string> directions = Directions(*monitor);
        return monitor->Monitor().GetSummary().rxFrames >= 1 &&
               std::count(directions.begin(), directions.end(), "TXEN aus") == 1;
    }, 3000));
    loopback::SetFarEnd({});

    // TXEN goes back to receive when the window gets round to it, which
    // may be after the answer began: those two rows come in either order.
    std::vector<std::string> directions = Directions(*monitor);
    ASSERT_EQ(directions.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(directions.begin(), directions.begin() + 4),
              (std::vector<std::string>{"Port ge\u00f6ffnet: COM1 9600 8N1", "TXEN an", "TX", "RX"}));
    const monitor::Row& tx = rows.At(rows.FirstSeq() + 2);
    const monitor::Row& echo = rows.At(rows.FirstSeq() + 3);
    EXPECT_TRUE(echo.flags & monitor::FlagEcho);
    const monitor::Row& answer = rows.At(rows.FirstSeq() + (directions[4] == "RX" ? 4 : 5));
    EXPECT_TRUE(answer.flags & monitor::FlagCrcOk);
    EXPECT_EQ(monitor::Cell(rows, answer, monitor::Column::Exception, monitor->Model().Options()).substr(0, 1), "2");
    // From TXEN back on receive to the answer: the far end's 5 ms after
    // our last stop bit, less the time TXEN stayed on after it.
    ASSERT_NE(tx.txenOffNs, monitor::kNoTime);
    const int64_t expected = 5'000'000 - (tx.txenOffNs - tx.endNs);
    EXPECT_NEAR(double(answer.replyNs), double(expected), 1'000'000.0);

    // The echo hidden: one row fewer; the export writes what is shown.
    const int all = monitor->Model().rowCount();
    monitor->findChild<QCheckBox*>()->setChecked(true);
    EXPECT_EQ(monitor->Model().rowCount(), all - 1);
    auto exportedLines = [&](bool allKept) {
        const std::string csv = dir.File("bus.csv");
        EXPECT_EQ(monitor->Export(csv, allKept), "");
        std::ifstream file(csv);
        int lines = 0;
        for (std::string line; std::getline(file, line);)
            ++lines;
        return lines;
    };
    EXPECT_EQ(exportedLines(false), 1 + all - 1);
    EXPECT_EQ(exportedLines(true), 1 + all) << "every row kept, the echo too";

    f.CmdClose->click();
    EXPECT_EQ(Directions(*monitor).back(), "Port geschlossen");
    EXPECT_TRUE(monitor->HeaderText().contains(QStringLiteral("Kein Port")));

    // Kept in the program's own subkey, and back in a new window.
    f.SaveSettings();
    form.reset();
    TMyRegistry Reg;
    Reg.SetRootKey(reg::HKEY::HKEY_CURRENT_USER);
    ASSERT_TRUE(Reg.OpenKey("Software\\Brenlow\\Tarrowin\\Busmonitor", false));
    EXPECT_EQ(Reg.ReadIntegerDefault("Protocol", -1), 1);
    EXPECT_EQ(Reg.ReadStringDefault("HideEcho", ""), "true");
    Reg.CloseKey();
    Form().PopBusmonitor->trigger();
    ASSERT_NE(Form().Busmonitor(), nullptr);
    EXPECT_EQ(Form().Busmonitor()->findChildren<QComboBox*>().at(0)->currentIndex(), 1);
    EXPECT_TRUE(Form().Busmonitor()->Model().HideEcho());
}

} // namespace
