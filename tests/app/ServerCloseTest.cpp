// Copies of the program with their titles as the window manager shows them.
// When the server copy is killed, every client copy shows its message box
// and ends once the box is confirmed, without saving its settings. The
// copies run on a virtual X display, and the key press reaches the box
// through the X server as a person's would.

#include "SceneTest.h"
#include "XWindows.h"

using namespace e2e;

namespace {

class ServerClose : public DisplaySceneTest {
protected:
    // Runs xdotool on the display; with a copy, on that copy's message box.
    bool Xdotool(std::vector<std::string> args, Copy* box = nullptr)
    {
        if (box) {
            const std::vector<std::string> search = Scene::SearchWindows(*box, "^Tarrowin$");
            args.insert(args.begin(), search.begin(), search.end());
        }
        return scene.Xdotool(display, args);
    }
};

} // namespace

TEST_F(ServerClose, ClientsShowServerCloseAndEndOnceConfirmedWithoutSaving)
{
    ASSERT_EQ(scene.StartLinkedCopies(3, display), "");
    // Each title as the window manager shows it: the program's and the role.
    for (size_t i = 0; i < 3; ++i) {
        const auto windows = WaitForWindows(scene, display, scene.At(i), [](auto& w) { return !w.empty(); });
        EXPECT_EQ(windows.empty() ? "" : windows[0].name,
                  i == 0 ? "Tarrowin (Interlink Server)" : "Tarrowin (Interlink Client)");
    }
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
