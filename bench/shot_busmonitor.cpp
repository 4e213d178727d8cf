// The picture of the bus monitor for the README: the window on the loopback
// plug at 9600 bit/s with automatic TXEN, Modbus RTU chosen, a far end that
// answers register reads (once with an exception, once with a damaged
// CRC). Run on an X screen (make screenshot does it under xvfb-run).
//
// Usage: shot_busmonitor OUTPUT.png

#include "Busmonitor.h"
#include "Modbus.h"
#include "TerminalBench.h"

#include <QApplication>
#include <QComboBox>

using namespace bench;
using namespace std::chrono_literals;

namespace {

std::string WithCrc(std::string frame)
{
    const uint16_t crc = monitor::modbus::Crc16(frame);
    frame.push_back(static_cast<char>(crc & 0xFF));
    frame.push_back(static_cast<char>(crc >> 8));
    return frame;
}

// What a slave at address 1 answers.
std::string Answer(const std::string& request)
{
    if (request.size() < 8 || request[0] != 1)
        return {};
    const int first = static_cast<unsigned char>(request[3]);
    if (request[1] != 3)
        return WithCrc(std::string("\x01\x81\x01", 3)); // illegal function
    if (first >= 100)
        return WithCrc(std::string("\x01\x83\x02", 3)); // illegal data address
    std::string answer = WithCrc(std::string("\x01\x03\x04\x00\x2A\x01\x07", 7));
    if (first == 7)
        answer.back() ^= 0x40; // damaged on the line
    return answer;
}

// A request as the entry line's escapes write it.
QString Escaped(const std::string& bytes)
{
    QString text;
    for (unsigned char c : bytes)
        text += QStringLiteral("#%1").arg(c);
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: shot_busmonitor OUTPUT.png\n");
        return 2;
    }
    Sandbox sandbox;
    std::unique_ptr<TForm1> form = MakeWindow(sandbox);
    form->CheckCRNL->setChecked(false);
    OpenPlugForSends(*form, br9600);
    form->PopBusmonitorClick(nullptr);
    terminal::TBusmonitor& monitor = *form->Busmonitor();
    monitor.findChildren<QComboBox*>().at(0)->setCurrentIndex(1); // Modbus RTU
    monitor.resize(1180, 420);
    loopback::SetFarEnd({4ms, Answer, {}});
    for (int first : {0, 7, 120, 0}) {
        std::string request = WithCrc(std::string("\x01\x03\x00", 3) + char(first) + std::string("\x00\x02", 2));
        form->EditSend->setText(Escaped(request));
        form->CmdSend->click();
        Idle(120);
    }
    form->EditSend->setText(Escaped(WithCrc(std::string("\x01\x06\x00\x01\x00\x03", 6))));
    form->CmdSend->click();
    Idle(300);
    loopback::SetFarEnd({});
    monitor.Pump();
    Idle(200);
    if (!monitor.grab().save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "could not write %s\n", argv[1]);
        return 1;
    }
    std::printf("wrote %s\n", argv[1]);
    return 0;
}
