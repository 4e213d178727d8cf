// A copy of the program that does not find the Interlink as another copy
// would leave it: some other program listening on the port that never
// greets, or the port held by a socket that does not listen, so that the
// copy can neither connect nor listen.

#include "SceneTest.h"
#include "XWindows.h"

using namespace e2e;

namespace {

class ElectionOutcomes : public SceneTest {};

} // namespace

TEST_F(ElectionOutcomes, AServerThatNeverGreetsHasItsSendsCarriedOut)
{
    PortHolder server;
    ASSERT_TRUE(server.Hold(true));
    Copy& copy = StartCopy();
    ChildProcess& program = *copy.process;
    ASSERT_TRUE(scene.WaitUntil([&] { return server.Accept() || !program.Running(); }) && program.Running())
        << scene.Describe();
    std::string expected;
    for (const std::string text : {"first", "second"}) {
        ASSERT_TRUE(server.Send(terminal::MakeInterlinkFrame("SEND" + text + "#13")));
        expected += text + "\r";
        ASSERT_TRUE(scene.WaitUntil([&] { return copy.pty.Transmitted().size() >= expected.size(); }))
            << scene.Describe();
    }
    EXPECT_EQ(copy.pty.Transmitted(), expected);
    EXPECT_FALSE(ListensOnInterlink(program.Pid())) << "a client does not listen";
}

// The port held by a socket that does not listen: the copy can neither
// connect nor listen, and runs without the Interlink. It says so once, and
// a restore from minimised is no new start (hide and show are the window
// tests' part: nothing outside the program can do them).
TEST_F(ElectionOutcomes, ListenRefusedIsReportedOnceAndTheTitleStays)
{
    PortHolder holder;
    ASSERT_TRUE(holder.Hold(false));
    StartDisplay();
    WindowManagerStandIn wm(display);
    ASSERT_TRUE(wm.Ok()) << "needs the X library libxcb";
    Copy& copy = StartCopy();
    ChildProcess& program = *copy.process;
    std::vector<XWindow> windows = WaitForWindows(scene, display, copy, [](auto& w) { return CountDialogs(w) == 1; });
    ASSERT_FALSE(windows.empty()) << scene.Describe();
    const auto box = std::ranges::find_if(windows, &XWindow::dialog);
    ASSERT_TRUE(scene.Xdotool(display, {"windowfocus", "--sync", box->id}) &&
                scene.Xdotool(display, {"key", "Return"}));
    windows = WaitForWindows(scene, display, copy, [](auto& w) { return w.size() == 1 && !w[0].dialog; });
    ASSERT_EQ(windows.size(), 1u) << scene.Describe();
    const XWindow main = windows[0];
    EXPECT_EQ(main.name, "Tarrowin");
    EXPECT_EQ(wm.WindowsMapped(main.id), 1) << "the box, and nothing else";

    // Keys typed after each step are sent once the program has handled the
    // step: the line typed while minimised tells that it has seen the
    // minimise before the restore comes; a box shown at the restore takes
    // the keys of the next line instead.
    auto typeLine = [&](const std::string& text) {
        return scene.Xdotool(display, {"windowfocus", "--sync", main.id}) &&
               scene.Xdotool(display, {"type", text}) && scene.Xdotool(display, {"key", "Return"});
    };
    int boxes = 0;
    auto sentOrBox = [&](size_t sent) {
        return scene.WaitUntil([&] { return copy.pty.Transmitted().size() >= sent || (boxes += wm.WindowsMapped(main.id)) > 0; });
    };
    ASSERT_TRUE(wm.Minimise(main.id) && typeLine("m") && sentOrBox(1));
    ASSERT_TRUE(wm.Restore(main.id) && typeLine("r") && sentOrBox(3));
    EXPECT_EQ(boxes + wm.WindowsMapped(main.id), 0);
    EXPECT_EQ(copy.pty.Transmitted(), "mmr"); // the entry line keeps its text
    EXPECT_EQ(WindowsOf(scene, display, copy).at(0).name, "Tarrowin");
    EXPECT_TRUE(program.Running());
}
