// When the server copy is killed, every client copy shows its message box
// and ends once the box is confirmed, without saving its settings. The
// copies run on a virtual X display, and the key press reaches the box
// through the X server as a person's would.

#include "InterlinkCopies.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace e2e;

namespace {

class ServerClose : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = PrivateNamespaceProblem(); !why.empty())
            GTEST_SKIP() << why;
        // Under the sanitizers, the D-Bus library's buffer kept to the end and
        // the X keyboard library's strndup from an unterminated buffer would
        // end the copies; neither is the program's.
        const std::string suppressions = scene.Root() + "/leaks.supp";
        std::ofstream(suppressions) << "leak:libdbus-1.so\n";
        auto with = [](const char* name, const std::string& option) {
            const char* old = std::getenv(name);
            return std::string(name) + "=" + (old && *old ? std::string(old) + ":" : "") + option;
        };
        scene.copyEnvironment = {with("LSAN_OPTIONS", "suppressions=" + suppressions),
                                 with("ASAN_OPTIONS", "strict_string_checks=0")};

        // Xvfb picks a free display number and tells it on a pipe once it
        // is ready; the pipe ends empty if Xvfb does.
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        scene.Start({"/usr/bin/Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "1024x768x24"}, {}, -1,
                    fds[1]);
        ::close(fds[1]);
        char number[16] = {};
        const bool ready = ::read(fds[0], number, sizeof number - 1) > 1;
        ::close(fds[0]);
        ASSERT_TRUE(ready) << "needs the Debian packages xvfb and xdotool\n" << scene.Describe();
        display = ":" + std::to_string(std::atoi(number));
    }

    // Runs xdotool on the display; with a copy, on that copy's message box:
    // its window titled exactly "Tarrowin" (a main window carries its
    // Interlink role too).
    bool Xdotool(std::vector<std::string> args, Copy* box = nullptr)
    {
        if (box)
            args.insert(args.begin(), {"search", "--all", "--onlyvisible", "--pid", std::to_string(box->process->Pid()),
                                       "--name", "^Tarrowin$"});
        args.insert(args.begin(), "/usr/bin/xdotool");
        return scene.WaitForExit(scene.Start(args, {"DISPLAY=" + display})) == 0;
    }

    Scene scene{TARROWIN_BINARY, TARROWIN_LINK_BINARY};
    std::string display;
};

} // namespace

TEST_F(ServerClose, ClientsShowServerCloseAndEndOnceConfirmedWithoutSaving)
{
    ASSERT_EQ(scene.StartLinkedCopies(3, display), "");
    ChildProcess* monitor = scene.StartMonitor();
    ASSERT_TRUE(monitor) << scene.Describe();
    Copy* clients[] = {&scene.At(1), &scene.At(2)};
    // A save would add the texts of the panes.
    const std::string before[] = {testsupport::ReadWholeFile(clients[0]->settingsFile),
                                  testsupport::ReadWholeFile(clients[1]->settingsFile)};

    scene.At(0).process->Signal(SIGKILL);
    EXPECT_EQ(scene.WaitForExit(*monitor), 5) << monitor->Describe();
    ASSERT_TRUE(scene.WaitUntil([&] { return Xdotool({}, clients[0]) && Xdotool({}, clients[1]); }))
        << scene.Describe();

    // Confirming one box ends that copy only.
    for (Copy* c : clients) {
        ASSERT_TRUE(Xdotool({"windowfocus", "--sync"}, c) && Xdotool({"key", "Return"})) << scene.Describe();
        EXPECT_EQ(scene.WaitForExit(*c->process), 0) << scene.Describe();
        EXPECT_TRUE(c == clients[1] || clients[1]->process->Running())
            << "ended without its confirmation\n" << scene.Describe();
    }
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(testsupport::ReadWholeFile(clients[i]->settingsFile) == before[i]) << clients[i]->name;
}
