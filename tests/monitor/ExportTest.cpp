#include "CodePage.h"
#include "CsvExport.h"
#include "MonitorTesting.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace monitor;
using namespace monitortest;
namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Sets TZ for one test and puts the old one back.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone)
    {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard()
    {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

struct TempFolder {
    fs::path path;
    TempFolder()
    {
        char name[] = "/tmp/monitor-export-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempFolder() { fs::remove_all(path); }
    size_t Entries() const { return static_cast<size_t>(std::distance(fs::directory_iterator(path), {})); }
};

} // namespace

// Local wall time with microseconds, through the offset taken once; signs
// and rounding of the millisecond columns.
TEST(MonitorFormat, LocalTimeAndMilliseconds)
{
    // 2024-03-05 13:04:05.0000075 UTC, steady clock at 1 s then.
    const int64_t wall = 1709643845LL * 1000000000 + 7500;
    const int64_t offset = wall - kT0;
    {
        ZoneGuard zone("UTC0");
        EXPECT_EQ(LocalTime(kT0, offset, false), "13:04:05.000007");
        EXPECT_EQ(LocalTime(kT0 + 999993000, offset, true), "2024-03-05 13:04:06.000000");
    }
    {
        ZoneGuard zone("CET-1");
        EXPECT_EQ(LocalTime(kT0, offset, true), "2024-03-05 14:04:05.000007");
    }
    EXPECT_EQ(Milliseconds(1234567), "1.235");
    EXPECT_EQ(Milliseconds(-250000), "-0.250");
    EXPECT_EQ(Milliseconds(-400), "0.000");
    EXPECT_EQ(Milliseconds(0), "0.000");
    EXPECT_EQ(TextBytes(std::string("A\r\n\x7F\xE4", 5), TextStyle::Dots), "A...\xE4");
    EXPECT_EQ(TextBytes(std::string("\0Z\x1B", 3), TextStyle::Decimal), "<0>Z<27>");
    // The five places without a character are the C1 controls they stand for.
    EXPECT_EQ(TextBytes(std::string("\x81\x80\x9D", 3), TextStyle::Decimal), "<129>\x80<157>");
}

// Header row and the same columns; fields with the separator, quotes or line
// breaks quoted; high bytes as Windows-1252; only the rows picked.
TEST(MonitorFormat, CsvColumnsQuotingAndFilter)
{
    BusMonitor monitor;
    MonitorConfig config;
    config.modbus = true;
    monitor.Configure(config);
    monitor.PortOpened(At(kT0 - 1000000), "COM1 9600 8N1", kChar9600, 9600);
    monitor.Feed(Sent(kT0, std::string("\x01\x83\x02\xC0\xF1", 5), kChar9600));
    monitor.Feed(Received(kT0 + 1000, std::string("\x01\x83\x02\xC0\xF1", 5), kChar9600)); // echo
    monitor.Feed(Received(kT0 + 20 * kChar9600, std::string("a,\"b\"\n\x80", 7), kChar9600));
    monitor.Tick(At(kT0 + 1000000000));
    ASSERT_EQ(monitor.Rows().Size(), 4u);

    TempFolder folder;
    const fs::path target = folder.path / "bus.csv";
    CsvOptions options;
    options.format.modbus = true;
    options.format.wallOffsetNs = 0;
    options.include = [](const Row& row) { return !(row.flags & FlagEcho); };
    options.textToUtf8 = [](std::string_view bytes) { return codepage::ToText(std::string(bytes)).toStdString(); };
    ASSERT_EQ(ExportCsv(target.string(), monitor.Rows(), options), "");

    std::istringstream lines(ReadFile(target));
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);)
        rows.push_back(line);
    ASSERT_EQ(rows.size(), 4u); // header, port, TX, RX: the echo is left out
    EXPECT_EQ(rows[0], "\xEF\xBB\xBFZeit,Abstand (ms),Richtung,Länge,Hex,Text,Adresse,Funktion,Ausnahme,CRC,"
                       "Antwortzeit (ms),Hinweis\r");
    EXPECT_NE(rows[1].find(",,Port geöffnet: COM1 9600 8N1,,,"), std::string::npos) << rows[1];
    EXPECT_NE(rows[2].find(",TX,5,01 83 02 C0 F1,.ƒ.Àñ,1,3,2 Unzulässige Datenadresse,ok,,\r"), std::string::npos)
        << rows[2];
    EXPECT_NE(rows[3].find(",RX,7,61 2C 22 62 22 0A 80,\"a,\"\"b\"\".\xE2\x82\xAC\",97,"), std::string::npos)
        << rows[3];
    EXPECT_EQ(folder.Entries(), 1u);
}

// A failed export leaves no temporary file behind and nothing in place of
// the target; an earlier export in the same place survives it untouched.
TEST(MonitorFormat, FailedExportLeavesNothingHalfWritten)
{
    BusMonitor monitor;
    monitor.PortOpened(At(kT0), "COM1", kChar9600, 9600);
    TempFolder folder;
    CsvOptions options;

    const fs::path blocked = folder.path / "blocked.csv";
    fs::create_directory(blocked); // rename cannot replace a folder
    fs::create_directory(blocked / "inside");
    EXPECT_NE(ExportCsv(blocked.string(), monitor.Rows(), options), "");
    EXPECT_TRUE(fs::is_directory(blocked / "inside"));
    EXPECT_EQ(folder.Entries(), 1u);

    EXPECT_NE(ExportCsv((folder.path / "missing" / "x.csv").string(), monitor.Rows(), options), "");
    EXPECT_EQ(folder.Entries(), 1u);

    const fs::path good = folder.path / "good.csv";
    ASSERT_EQ(ExportCsv(good.string(), monitor.Rows(), options), "");
    const std::string before = ReadFile(good);
    EXPECT_NE(ExportCsv((good / "sub.csv").string(), monitor.Rows(), options), "");
    EXPECT_EQ(ReadFile(good), before);
    EXPECT_EQ(folder.Entries(), 2u);
}
