// The program as a user meets it the first time, on a virtual port: no
// settings of its own, only the device list entry of a pty, which is thus
// the first entry of the port list. Everything is at its first-start
// defaults: TXEN inverted and switched automatically around each send, CR LF
// appended to the entry line, the panes saved at the close. The program runs
// on a virtual X display, where the entry line takes real key presses and a
// message box would show as a window of its own.

#include "DecodeText.h"
#include "SceneTest.h"

using namespace e2e;

namespace {

class FirstStart : public DisplaySceneTest {
protected:
    // The device path the port list of a program with this settings file
    // starts with, found on a copy of the file, so that the program's own
    // stays as a first start has it.
    std::string FirstListEntry(const std::string& settingsFile)
    {
        const std::string scratch = scene.Root() + "/scratch.reg";
        testsupport::WriteWholeFile(scratch, testsupport::ReadWholeFile(settingsFile));
        reg::SetFilePath(scratch);
        std::vector<QString> paths;
        for (const auto& e : serialdevices::List())
            paths.push_back(QString::fromStdString(e.devicePath));
        reg::SetFilePath("");
        // Sorted as the program sorts its list.
        std::ranges::stable_sort(paths, [](const QString& a, const QString& b) {
            return a.compare(b, Qt::CaseInsensitive) < 0;
        });
        return paths.empty() ? std::string() : paths.front().toStdString();
    }

    bool ShowsWindow(const std::string& title, std::string* ids = nullptr)
    {
        return scene.Xdotool(display, Scene::SearchWindows(*copy, title), ids);
    }
    bool ShowsMessageBox() { return ShowsWindow("^Tarrowin$"); }

    // The options page as the screen shows it, in raw pixels; of all it
    // holds, only the TXEN box changes in this scene. "" if unreadable.
    std::string OptionsPage()
    {
        // Into a file: the scene's description shows what children print.
        const std::string file = scene.Root() + "/page.rgb";
        std::filesystem::remove(file);
        ChildProcess& p = scene.Start({"/usr/bin/import", "-window", window, "-crop", "161x185+312+32", "+repage",
                                       "rgb:" + file},
                                      {"DISPLAY=" + display});
        return scene.WaitForExit(p) == 0 ? testsupport::ReadWholeFile(file) : std::string();
    }
    // Waits until the page satisfies `looks` and stays so for two readings
    // in a row (a paint under way is not taken); returns it, "" on timeout.
    std::string WaitForPage(const std::function<bool(const std::string&)>& looks)
    {
        std::string last, page;
        const bool seen = scene.WaitUntil([&] {
            page = OptionsPage();
            const bool steady = !page.empty() && page == last && looks(page);
            last = page;
            return steady;
        });
        return seen ? page : std::string();
    }

    // Waits until the far end of the pty holds as many bytes as expected,
    // then compares them.
    void ExpectTransmitted(const std::string& expected)
    {
        ASSERT_TRUE(scene.WaitUntil([&] { return copy->pty.Transmitted().size() >= expected.size(); }))
            << scene.Describe();
        EXPECT_EQ(Printed(copy->pty.Transmitted()), Printed(expected));
    }

    std::string window;
    Copy* copy = nullptr;
};

// The lines of a saved pane text.
std::vector<std::string> PaneLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.ends_with('\r') ? line.substr(0, line.size() - 1) : line);
    return lines;
}

} // namespace

TEST_F(FirstStart, OnAPtySendsAndReceivesWithoutAnyMessageBox)
{
    copy = &scene.AddCopy();
    testsupport::WriteWholeFile(copy->settingsFile, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\hardware\\devicemap\\serialcomm]\r\n\"" +
                                                        copy->pty.SlavePath() + "\"=\"COM1\"\r\n\r\n");
    ASSERT_EQ(FirstListEntry(copy->settingsFile), copy->pty.SlavePath()) << "another device comes first on this machine";
    ChildProcess& program = scene.StartCopy(*copy, display);
    ASSERT_TRUE(scene.WaitUntil([&] { return ListensOnInterlink(program.Pid()) || !program.Running(); }) &&
                program.Running())
        << scene.Describe();
    ChildProcess* monitor = scene.StartMonitor();
    ASSERT_TRUE(monitor) << scene.Describe();
    // The main window (the probe for message boxes finds the program's
    // windows at all), and its TXEN box as a first start ticks it.
    std::string ids;
    ASSERT_TRUE(scene.WaitUntil([&] { return ShowsWindow("Interlink Server", &ids); })) << scene.Describe();
    window = ids.substr(0, ids.find('\n'));
    const std::string transmitting = WaitForPage([](const std::string&) { return true; });
    ASSERT_FALSE(transmitting.empty()) << scene.Describe();

    // Sends from a peer, one after the other: the first opens the port.
    // Once the first has left, TXEN goes back to receive, on a port whose
    // DTR is no line at all.
    std::string sent;
    for (const std::string text : {"ping1", "ping2", "ping3"}) {
        ASSERT_EQ(scene.RunLink({"send", text + "#13"}).ExitCode(), 0) << scene.Describe();
        sent += text + "\r";
        ExpectTransmitted(sent);
    }
    const std::string receiving = WaitForPage([&](const std::string& page) { return page != transmitting; });
    ASSERT_FALSE(receiving.empty()) << "TXEN not switched back\n" << scene.Describe();
    EXPECT_FALSE(ShowsMessageBox()) << scene.Describe();

    // TXEN by hand (Ctrl+T), then a line typed into the entry line and sent
    // with Enter, as a person does; TXEN goes back to receive after it.
    ASSERT_TRUE(scene.Xdotool(display, {"windowfocus", "--sync", window})) << scene.Describe();
    ASSERT_TRUE(scene.Xdotool(display, {"key", "ctrl+t"}));
    ASSERT_FALSE(WaitForPage([&](const std::string& page) { return page == transmitting; }).empty())
        << "Ctrl+T did not switch TXEN\n" << scene.Describe();
    ASSERT_TRUE(scene.Xdotool(display, {"type", "--delay", "20", "btn"}));
    ASSERT_TRUE(scene.Xdotool(display, {"key", "Return"}));
    sent += "btn\r\n";
    ExpectTransmitted(sent);
    ASSERT_FALSE(WaitForPage([&](const std::string& page) { return page == receiving; }).empty())
        << "TXEN not switched back\n" << scene.Describe();
    std::vector<std::string> announced;
    ASSERT_TRUE(scene.WaitUntil([&] { return (announced = MonitorData(monitor->Out(), "SENT")).size() >= 4; }))
        << scene.Describe();
    EXPECT_EQ(announced, (std::vector<std::string>{"ping1<13>", "ping2<13>", "ping3<13>", "btn<13><10>"}));
    EXPECT_FALSE(ShowsMessageBox()) << scene.Describe();

    // Bytes from the far end reach the peers and the receive pane.
    const std::string data = "bus\x02reply\xe4";
    ASSERT_TRUE(copy->pty.Write(data));
    std::string received;
    ASSERT_TRUE(scene.WaitUntil(
        [&] { return (received = JoinedData(monitor->Out(), "RCVD")).size() >= Printed(data).size(); }))
        << scene.Describe();
    EXPECT_EQ(received, Printed(data));
    EXPECT_FALSE(ShowsMessageBox()) << scene.Describe();

    // A clean close saves the panes. A box would keep the program from
    // ending.
    program.Signal(SIGTERM);
    bool boxShown = false;
    auto probed = Clock::now();
    ASSERT_TRUE(scene.WaitUntil([&] {
        if (!program.Running())
            return true;
        if (MsSince(probed) > 500) {
            boxShown = ShowsMessageBox();
            probed = Clock::now();
        }
        return boxShown;
    })) << scene.Describe();
    ASSERT_FALSE(boxShown) << scene.Describe();
    EXPECT_EQ(program.ExitCode(), 0) << scene.Describe();
    // Every byte exactly once at the far end, nothing after.
    EXPECT_EQ(Printed(copy->pty.Transmitted()), Printed(sent));

    reg::SetFilePath(copy->settingsFile);
    reg::TRegistry saved;
    ASSERT_TRUE(saved.OpenKey("Software\\Brenlow\\Tarrowin\\", false));
    std::string shown;
    for (const std::string& line : PaneLines(saved.ReadString("MemoIn")))
        if (size_t at = line.find(" Byte empfangen:"); at != std::string::npos)
            shown += line.substr(at + 16);
    EXPECT_EQ(shown, terminal::DecodeText(data));

    // The log: the port opened once, with the note on its missing lines;
    // each send; the close. The transmit-empty lines of the automatic
    // switch come as the port reports them (sends close together may share
    // one); one follows the last send, before the close.
    std::vector<std::string> log = PaneLines(saved.ReadString("MemoOut"));
    reg::SetFilePath("");
    const std::string txEmpty = "TXempty / Sendebuffer leer";
    const auto last = std::ranges::find(log, std::string("btn<13><10>"));
    EXPECT_TRUE(last != log.end() && last + 1 != log.end() && last[1] == txEmpty) << testing::PrintToString(log);
    log.erase(std::ranges::remove(log, txEmpty).begin(), log.end());
    EXPECT_EQ(log, (std::vector<std::string>{"Port 1 offen.", "COM1: keine Steuerleitungen (DTR/RTS ohne Wirkung)",
                                             "ping1<13>", "ping2<13>", "ping3<13>", "btn<13><10>", "Port geschlossen"}));
}
