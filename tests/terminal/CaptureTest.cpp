// The capture file: both byte streams given back exactly by the hex fields,
// events, roll-over without a split record, a full disk and a folder that
// goes away; and the window capturing a pty at first-start settings.

#include "Capture.h"
#include "DecodeText.h"
#include "FileSizeLimit.h"
#include "Pty.h"
#include "TerminalFixture.h"
#include "WholeFiles.h"

#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <numeric>
#include <random>
#include <sstream>

using terminal::TCaptureFile;
using terminal::TCaptureKind;
using testsupport::PumpFor;
using testsupport::PumpUntil;
namespace fs = std::filesystem;

namespace {

struct CaptureLine {
    std::string time, kind, bytes, shown;
};

// The records of a capture file, each checked for the shape of its fields.
std::vector<CaptureLine> ReadCapture(const std::string& path)
{
    static const QRegularExpression timeForm(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{6}[+-]\\d\\d:\\d\\d$"));
    static const QRegularExpression hexForm(QStringLiteral("^([0-9A-F]{2}( [0-9A-F]{2})*)?$"));
    std::vector<CaptureLine> records;
    const std::string text = testsupport::ReadWholeFile(path);
    EXPECT_TRUE(text.starts_with("# Zeit\tArt\tAnzahl\tHex\tAnzeige\n")) << path;
    EXPECT_TRUE(text.ends_with("\n")) << path;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("#"))
            continue;
        std::vector<std::string> f;
        for (size_t start = 0;;) {
            const size_t tab = line.find('\t', start);
            f.push_back(line.substr(start, tab - start));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        EXPECT_EQ(f.size(), 5u) << line;
        if (f.size() != 5)
            continue;
        EXPECT_TRUE(timeForm.match(QString::fromStdString(f[0])).hasMatch()) << f[0];
        EXPECT_TRUE(hexForm.match(QString::fromStdString(f[3])).hasMatch()) << f[3];
        EXPECT_EQ(f[4].find('\r'), std::string::npos);
        CaptureLine r{f[0], f[1], {}, f[4]};
        for (size_t i = 0; i + 1 < f[3].size(); i += 3)
            r.bytes.push_back(static_cast<char>(std::stoi(f[3].substr(i, 2), nullptr, 16)));
        EXPECT_EQ(std::to_string(r.bytes.size()), f[2]) << line;
        records.push_back(std::move(r));
    }
    return records;
}

std::string Stream(const std::vector<CaptureLine>& records, const std::string& kind)
{
    std::string bytes;
    for (const CaptureLine& r : records)
        if (r.kind == kind)
            bytes += r.bytes;
    return bytes;
}

size_t Sum(const std::vector<size_t>& v) { return std::accumulate(v.begin(), v.end(), size_t{0}); }

std::vector<std::string> FilesIn(const std::string& folder)
{
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(folder))
        files.push_back(e.path().string());
    std::sort(files.begin(), files.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b; // "-10" after "-9"
    });
    return files;
}

class Capture : public ::testing::Test {
protected:
    void SetUp() override
    {
        capture.SetFailureHandler([this](const std::string& m) {
            std::lock_guard lock(mutex);
            failures.push_back(m);
        });
    }
    std::vector<std::string> Failures()
    {
        std::lock_guard lock(mutex);
        return failures;
    }
    void Record(TCaptureKind kind, const std::string& bytes, bool rewritten = false)
    {
        capture.Record(kind, bytes, TCaptureFile::Clock::now(), rewritten);
    }

    TempDir dir;
    TCaptureFile capture;
    std::mutex mutex;
    std::vector<std::string> failures;
};

} // namespace

TEST_F(Capture, HexFieldsGiveBackBothStreamsExactlyThroughAFullQueue)
{
    // A queue far smaller than the data: the producer has to wait.
    capture.SetQueueLimit(4096);
    ASSERT_EQ(capture.Start(dir.Path(), "COM5"), "");
    EXPECT_TRUE(QRegularExpression(QStringLiteral("/Tarrowin-COM5-\\d{4}-\\d\\d-\\d\\d_\\d{6}\\.log$"))
                    .match(QString::fromStdString(capture.CurrentFile()))
                    .hasMatch())
        << capture.CurrentFile();

    std::mt19937 random(20);
    std::string rx, tx;
    for (int i = 0; i < 2000; ++i) {
        std::string chunk(random() % 300 + 1, '\0');
        for (char& c : chunk)
            c = static_cast<char>(random() % 256);
        const bool received = random() % 3 != 0;
        (received ? rx : tx) += chunk;
        Record(received ? TCaptureKind::RX : TCaptureKind::TX, chunk, i % 2 == 0);
    }
    Record(TCaptureKind::EV, "Port 5 offen. (COM5 9600 8N1)");
    capture.Stop();

    const auto records = ReadCapture(capture.CurrentFile());
    ASSERT_EQ(records.size(), 2001u);
    EXPECT_EQ(Stream(records, "RX"), rx);
    EXPECT_EQ(Stream(records, "TX"), tx);
    EXPECT_EQ(records.back().kind, "EV");
    EXPECT_EQ(records.back().shown, "Port 5 offen. (COM5 9600 8N1)");
    EXPECT_EQ(records[0].shown, terminal::DecodeText(records[0].bytes));
    EXPECT_EQ(records[1].shown, TCaptureFile::ShownForm(records[1].bytes, false));
    EXPECT_TRUE(Failures().empty());
}

TEST_F(Capture, ShownFieldAndTimeAreThoseOfThePane)
{
    // CR, LF and TAB as the pane's symbols, zero as "<0>", the rest through
    // the code page (0x80 is the euro sign, 0x81 a C1 control).
    EXPECT_EQ(TCaptureFile::ShownForm(std::string("A\r\n\t\0\x80\x81\xe4", 8), false),
              "A\u240D\u240A\u2409<0>\u20AC\u0081\u00E4");
    EXPECT_EQ(TCaptureFile::ShownForm(std::string("A\r\n\t\0", 5), true), "A<13><10><9><0>");

    const std::string oldTz = std::getenv("TZ") ? std::getenv("TZ") : "";
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    // 2026-12-08 15:20:01.123456 UTC
    const TCaptureFile::Clock::time_point t{std::chrono::microseconds(1796743201123456LL)};
    EXPECT_EQ(TCaptureFile::FormatTime(t), "2026-12-08T16:20:01.123456+01:00");
    EXPECT_EQ(TCaptureFile::FormatTime(t - std::chrono::hours(24 * 160)), "2026-07-01T17:20:01.123456+02:00");
    oldTz.empty() ? unsetenv("TZ") : setenv("TZ", oldTz.c_str(), 1);
    tzset();
}

TEST_F(Capture, RollsOverBetweenRecordsAndNeverOverwrites)
{
    capture.SetRollOverSize(2000);
    ASSERT_EQ(capture.Start(dir.Path(), "COM5"), "");
    std::string rx;
    for (int i = 0; i < 100; ++i) {
        const std::string chunk = std::string(static_cast<size_t>(i % 40 + 1), static_cast<char>('a' + i % 26));
        rx += chunk;
        Record(TCaptureKind::RX, chunk);
    }
    capture.Stop();
    // A second start within the same second takes a name of its own.
    ASSERT_EQ(capture.Start(dir.Path(), "COM5"), "");
    Record(TCaptureKind::EV, "second");
    capture.Stop();
    const std::string second = capture.CurrentFile();

    std::vector<std::string> files = FilesIn(dir.Path());
    files.erase(std::find(files.begin(), files.end(), second));
    ASSERT_GE(files.size(), 4u);
    const std::string base = files[0].substr(0, files[0].size() - 4);
    std::vector<CaptureLine> all;
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(files[i], i == 0 ? base + ".log" : base + "-" + std::to_string(i + 1) + ".log");
        EXPECT_LE(fs::file_size(files[i]), 2000u) << files[i];
        const auto part = ReadCapture(files[i]);
        EXPECT_FALSE(part.empty());
        all.insert(all.end(), part.begin(), part.end());
    }
    EXPECT_EQ(Stream(all, "RX"), rx);
    EXPECT_EQ(Stream(ReadCapture(second), "EV"), "second");
}

TEST_F(Capture, FullDiskStopsOnceWithItsMessage)
{
    std::atomic<size_t> room = 5000;
    capture.SetWriteFunction([&](int fd, const void* data, size_t size) -> ssize_t {
        if (room == 0) {
            errno = ENOSPC;
            return -1;
        }
        const ssize_t n = ::write(fd, data, std::min(size, room.load()));
        room -= static_cast<size_t>(n);
        return n;
    });
    capture.SetQueueLimit(1024);
    ASSERT_EQ(capture.Start(dir.Path(), "COM3"), "");
    const std::string file = capture.CurrentFile();
    // Far more than fits: the producer must not hang once the writer is gone.
    for (int i = 0; i < 2000 && capture.Running(); ++i)
        Record(TCaptureKind::RX, std::string(100, 'x'));
    capture.Stop();
    for (int i = 0; i < 10; ++i)
        Record(TCaptureKind::RX, "after");

    EXPECT_EQ(Failures(), std::vector<std::string>{"Mitschnitt beendet: Datentr\xe4ger voll (\"" + file + "\")"});
    // The file ends with a whole record.
    const auto records = ReadCapture(file);
    EXPECT_FALSE(records.empty());
    for (const auto& r : records)
        EXPECT_EQ(r.bytes, std::string(100, 'x'));
}

TEST_F(Capture, FileSizeLimitOfTheSystemEndsTheCaptureWithWholeLines)
{
    ASSERT_EQ(capture.Start(dir.Path(), "COM3"), "");
    const std::string file = capture.CurrentFile();
    {
        FileSizeLimit limit(3000);
        for (int i = 0; i < 200 && capture.Running(); ++i) {
            Record(TCaptureKind::TX, std::string(37, 'y'));
            PumpFor(1);
        }
        ASSERT_TRUE(PumpUntil([&] { return !Failures().empty(); }, 5000));
        capture.Stop();
    }
    ASSERT_EQ(Failures().size(), 1u);
    EXPECT_TRUE(Failures()[0].starts_with("Mitschnitt beendet: ")) << Failures()[0];
    EXPECT_LE(fs::file_size(file), 3000u);
    EXPECT_FALSE(ReadCapture(file).empty());
}

TEST_F(Capture, RemovedFolderEndsTheCaptureAndAMissingOneIsRefused)
{
    const std::string folder = dir.File("gone");
    EXPECT_EQ(capture.Start(folder, "COM3"), "Mitschnitt nicht m\xf6glich: Ordner \"" + folder + "\" nicht vorhanden");
    fs::create_directory(folder);
    ASSERT_EQ(capture.Start(folder, "COM3"), "");
    Record(TCaptureKind::RX, "before");
    fs::remove_all(folder);
    ASSERT_TRUE(PumpUntil([&] {
        Record(TCaptureKind::RX, "after");
        return !Failures().empty();
    }, 5000));
    PumpFor(1200);
    EXPECT_EQ(Failures(), std::vector<std::string>{"Mitschnitt beendet: Ordner \"" + folder + "\" nicht mehr vorhanden"});
    EXPECT_FALSE(capture.Running());
}

// --- The window --------------------------------------------------------------

namespace {

class CaptureWindow : public TerminalFixture {
protected:
    // First-start settings: only the pty as COM17, and the capture subkey.
    void WriteSettings(const std::string& captureValues)
    {
        WriteRegistry(UserPorts("\"" + pty.SlavePath() + "\"=\"COM17\"\r\n\r\n") +
                      "[HKEY_CURRENT_USER\\Software\\Brenlow\\Tarrowin\\Capture]\r\n" + captureValues + "\r\n");
    }
    std::string CaptureSetting(const std::string& name)
    {
        reg::TRegistry r;
        return r.OpenKey("Software\\Brenlow\\Tarrowin\\Capture", false) ? r.ReadString(name) : "-";
    }
    std::vector<std::string> LogLinesStarting(const std::string& prefix)
    {
        std::vector<std::string> found;
        for (const std::string& line : Lines(Form().MemoOut))
            if (line.starts_with(prefix))
                found.push_back(line);
        return found;
    }

    TestPty pty{true};
    std::string folder = dir.File("captures");
};

} // namespace

TEST_F(CaptureWindow, EnabledBeforeStartUpCapturesBothDirectionsFromTheFirstOpen)
{
    ASSERT_TRUE(pty.Ok());
    fs::create_directory(folder);
    WriteSettings("\"Enabled\"=\"true\"\r\n\"Folder\"=\"" + folder + "\"\r\n");
    TForm1& f = Form();
    EXPECT_EQ(f.PopCapture->text(), QStringLiteral("Mitschnitt beenden"));
    EXPECT_EQ(f.CaptureFile(), ""); // no port open yet
    f.CmdOpen->click();
    ASSERT_TRUE(f.Com->PortIsOpen());
    const std::string file = f.CaptureFile();
    ASSERT_NE(file, "");
    EXPECT_TRUE(file.starts_with(folder + "/Tarrowin-COM17-")) << file;

    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    ASSERT_TRUE(pty.Write(all + all));
    ASSERT_TRUE(PumpUntil([&] { return Sum(BatchCounts(Lines(f.MemoIn))) >= 512; }));
    f.CheckTXEN->setChecked(false); // on at first start
    f.EditSend->setText(QStringLiteral("hi<0>"));
    f.CmdSend->click();
    ASSERT_TRUE(PumpUntil([&] {
        pty.Drain();
        return pty.Transmitted().size() >= 5;
    }));
    PumpFor(100);
    f.close(); // the close stops the capture with everything on the disk

    const auto records = ReadCapture(file);
    EXPECT_EQ(Stream(records, "RX"), all + all);
    EXPECT_EQ(Stream(records, "TX"), pty.Transmitted());
    EXPECT_EQ(Stream(records, "TX"), std::string("hi\0\r\n", 5));
    std::vector<std::string> events;
    for (const auto& r : records)
        if (r.kind == "EV")
            events.push_back(r.bytes);
    ASSERT_GE(events.size(), 4u);
    EXPECT_TRUE(events[0].starts_with("Mitschnitt in ")) << events[0];
    EXPECT_TRUE(events[1].starts_with("Port 17 offen. (COM17 ") && events[1].ends_with(" 8N1)")) << events[1];
    EXPECT_NE(std::find(events.begin(), events.end(), "TXEN aus"), events.end());
    EXPECT_EQ(events.back(), "Port geschlossen");
    // Still on for the next start.
    EXPECT_EQ(CaptureSetting("Enabled"), "true");
    EXPECT_EQ(CaptureSetting("Folder"), folder);
}

TEST_F(CaptureWindow, MenuAsksForTheFolderOnceAndAFailureIsToldOnceAndTurnsItOff)
{
    ASSERT_TRUE(pty.Ok());
    WriteRegistry(UserPorts("\"" + pty.SlavePath() + "\"=\"COM17\"\r\n\r\n"));
    fs::create_directory(folder);
    TForm1& f = Form();
    int asked = 0;
    f.AskCaptureFolder = [&] {
        ++asked;
        return folder;
    };
    EXPECT_EQ(f.PopCapture->text(), QStringLiteral("Mitschnitt starten\u2026"));
    f.PopCapture->trigger();
    EXPECT_EQ(f.PopCapture->text(), QStringLiteral("Mitschnitt beenden"));
    EXPECT_EQ(CaptureSetting("Enabled"), "true");
    f.CmdOpen->click();
    ASSERT_NE(f.CaptureFile(), "");
    f.PopCapture->trigger();
    EXPECT_EQ(f.CaptureFile(), "");
    EXPECT_EQ(CaptureSetting("Enabled"), "false");
    f.PopCapture->trigger(); // the kept folder, no second question
    EXPECT_EQ(asked, 1);
    const std::string file = f.CaptureFile();
    ASSERT_NE(file, "");

    {
        FileSizeLimit limit(fs::file_size(file) + 2000);
        for (int i = 0; i < 100 && f.CaptureEnabled(); ++i) {
            ASSERT_TRUE(pty.Write(std::string(200, 'z')));
            PumpFor(20);
        }
        PumpFor(300);
    }
    EXPECT_FALSE(f.CaptureEnabled());
    EXPECT_EQ(f.CaptureFile(), "");
    EXPECT_EQ(LogLinesStarting("Mitschnitt beendet: ").size(), 1u);
    EXPECT_TRUE(f.Com->PortIsOpen()); // the window goes on
    EXPECT_EQ(f.PopCapture->text(), QStringLiteral("Mitschnitt starten\u2026"));
    f.close();
    EXPECT_EQ(CaptureSetting("Enabled"), "false");
    EXPECT_TRUE(boxes.empty()) << boxes.front();
}

TEST_F(CaptureWindow, EnabledWithoutAFolderCapturesIntoTheDefaultFolder)
{
    ASSERT_TRUE(pty.Ok());
    const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", dir.Path().c_str(), 1);
    WriteSettings("\"Enabled\"=\"true\"\r\n");
    Form().CmdOpen->click();
    const std::string file = Form().CaptureFile();
    setenv("HOME", oldHome.c_str(), 1);
    EXPECT_TRUE(file.starts_with(dir.Path() + "/Tarrowin-Mitschnitte/Tarrowin-COM17-")) << file;
}
