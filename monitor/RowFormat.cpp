#include "RowFormat.h"

#include "Modbus.h"
#include "PortJournal.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace monitor {

int64_t WallOffsetNow()
{
    using namespace std::chrono;
    const int64_t wall = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    const int64_t steady = duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
    return wall - steady;
}

const char* ColumnTitle(Column column)
{
    switch (column) {
    case Column::Time: return "Zeit";
    case Column::Gap: return "Abstand (ms)";
    case Column::Direction: return "Richtung";
    case Column::Length: return "Länge";
    case Column::Hex: return "Hex";
    case Column::Text: return "Text";
    case Column::Address: return "Adresse";
    case Column::Function: return "Funktion";
    case Column::Exception: return "Ausnahme";
    case Column::Crc: return "CRC";
    case Column::Reply: return "Antwortzeit (ms)";
    case Column::Mark: return "Hinweis";
    case Column::Count: break;
    }
    return "";
}

std::string LocalTime(int64_t steadyNs, int64_t wallOffsetNs, bool withDate)
{
    const int64_t wall = steadyNs + wallOffsetNs;
    // Floor division: times before 1970 do not occur, but a wrong offset
    // must not give a negative fraction.
    int64_t seconds = wall / 1000000000;
    int64_t rest = wall % 1000000000;
    if (rest < 0) {
        rest += 1000000000;
        --seconds;
    }
    const time_t t = static_cast<time_t>(seconds);
    struct tm local {};
    if (!localtime_r(&t, &local))
        return "?";
    char text[64];
    const size_t n = strftime(text, sizeof text, withDate ? "%Y-%m-%d %H:%M:%S" : "%H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%06d", static_cast<int>(rest / 1000));
    return text;
}

std::string Milliseconds(int64_t ns)
{
    // Rounded to the microsecond, half away from zero, so that -0.0005 ms
    // and +0.0005 ms show alike but for the sign.
    const bool negative = ns < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(ns) : static_cast<uint64_t>(ns);
    const uint64_t us = (magnitude + 500) / 1000;
    char text[40];
    std::snprintf(text, sizeof text, "%s%llu.%03llu", negative && us != 0 ? "-" : "",
                  static_cast<unsigned long long>(us / 1000), static_cast<unsigned long long>(us % 1000));
    return text;
}

std::string HexBytes(std::string_view bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (unsigned char byte : bytes) {
        if (!text.empty())
            text.push_back(' ');
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 15]);
    }
    return text;
}

// Control characters: C0, DEL, and the five places of Windows-1252 that
// have no character and stand for the C1 controls of the same value.
bool IsControl(unsigned char byte)
{
    return byte < 0x20 || byte == 0x7F || byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 ||
           byte == 0x9D;
}

std::string TextBytes(std::string_view bytes, TextStyle style)
{
    std::string text;
    text.reserve(bytes.size());
    for (unsigned char byte : bytes) {
        if (!IsControl(byte)) {
            text.push_back(static_cast<char>(byte));
        } else if (style == TextStyle::Dots) {
            text.push_back('.');
        } else {
            text += '<' + std::to_string(byte) + '>';
        }
    }
    return text;
}

std::string EventText(const Row& row, std::string_view bytes)
{
    switch (row.event) {
    case EventKind::TxenOn: return "TXEN an";
    case EventKind::TxenOff: return "TXEN aus";
    case EventKind::PortOpened: return "Port geöffnet: " + std::string(bytes);
    case EventKind::PortClosed: return "Port geschlossen";
    case EventKind::Settings:
        return bytes.empty() ? std::string("Einstellungen geändert") : "Einstellungen: " + std::string(bytes);
    case EventKind::Lost: return "Einträge verloren: " + std::to_string(row.detail);
    case EventKind::LineError: {
        static const struct {
            uint32_t bit;
            const char* name;
        } names[] = {
            {win::CE_FRAME, "Rahmenfehler"},   {win::CE_RXPARITY, "Paritätsfehler"},
            {win::CE_OVERRUN, "Überlauf"},     {win::CE_RXOVER, "Pufferüberlauf"},
            {win::CE_BREAK, "Break"},
        };
        std::string text;
        for (const auto& name : names) {
            if (row.detail & name.bit)
                text += (text.empty() ? "" : ", ") + std::string(name.name);
        }
        return text.empty() ? std::string("Leitungsfehler") : text;
    }
    case EventKind::None: break;
    }
    return {};
}

namespace {

std::string ModbusCell(std::string_view bytes, Column column)
{
    const modbus::Decoded d = modbus::Decode(bytes);
    switch (column) {
    case Column::Address:
        return bytes.empty() ? std::string() : std::to_string(d.address);
    case Column::Function:
        return bytes.size() < 2 ? std::string() : std::to_string(d.function);
    case Column::Exception: {
        if (!d.exception || !d.exceptionCodeKnown)
            return {};
        const char* name = modbus::ExceptionName(d.exceptionCode);
        return std::to_string(d.exceptionCode) + (name ? std::string(" ") + name : std::string());
    }
    case Column::Crc:
        return d.tooShort ? "zu kurz" : d.crcOk ? "ok" : "falsch";
    default:
        return {};
    }
}

} // namespace

std::string Cell(const RowStore& store, const Row& row, Column column, const FormatOptions& options)
{
    const std::string_view bytes = store.Bytes(row);
    if (column == Column::Time)
        return LocalTime(row.startNs, options.wallOffsetNs, options.dateInTime);
    if (column == Column::Direction) {
        if (row.kind == RowKind::Rx)
            return "RX";
        if (row.kind == RowKind::Tx)
            return "TX";
        return EventText(row, bytes);
    }
    if (!row.IsFrame())
        return {};
    switch (column) {
    case Column::Gap:
        return row.gapNs == kNoTime ? std::string() : Milliseconds(row.gapNs);
    case Column::Length:
        return std::to_string(row.length);
    case Column::Hex:
        return HexBytes(bytes);
    case Column::Text:
        return TextBytes(bytes, options.text);
    case Column::Address:
    case Column::Function:
    case Column::Exception:
    case Column::Crc:
        return options.modbus ? ModbusCell(bytes, column) : std::string();
    case Column::Reply:
        return row.replyNs == kNoTime ? std::string() : Milliseconds(row.replyNs);
    case Column::Mark:
        if (row.flags & FlagEcho)
            return "Echo";
        // Counted from 1 as a user counts; `detail` is the index.
        if (row.flags & FlagCollision)
            return "Kollision ab Byte " + std::to_string(row.detail + 1);
        return {};
    default:
        return {};
    }
}

std::string SummaryText(const Summary& s)
{
    std::string text = "Frames: " + std::to_string(s.frames) + ", Bytes: " + std::to_string(s.bytes) +
                       ", CRC-Fehler: " + std::to_string(s.crcErrors) +
                       ", Kollisionen: " + std::to_string(s.collisions) + ", Antwortzeit min/Median/max: ";
    if (s.reply.Count() == 0)
        return text + "–";
    return text + Milliseconds(s.reply.Min()) + " / " + Milliseconds(s.reply.Median()) + " / " +
           Milliseconds(s.reply.Max()) + " ms";
}

} // namespace monitor
