// A close request by signal (SIGTERM at logout or shutdown) ends the
// program the way the close button does, settings saved, also while a
// message box is open: at start-up, while the window is first shown, and
// later. The copies run on a virtual X display, where the box is a window of
// its own.

#include "SceneTest.h"
#include "XWindows.h"

#include <sys/file.h>

using namespace e2e;

namespace {

class CloseRequest : public DisplaySceneTest {
protected:
    bool ShowsBox(const Copy& c) { return CountDialogs(WindowsOf(scene, display, c)) > 0; }

    // SIGTERM while the copy shows a box: it ends promptly (within five
    // seconds here, room for a loaded machine; it used to wait for the box
    // to be dismissed), cleanly, with its settings saved: the texts, which
    // the settings written for it lack, are there.
    void ExpectEndsSavedOnSigterm(Copy& c)
    {
        ASSERT_TRUE(scene.WaitUntil([&] { return ShowsBox(c) || !c.process->Running(); })) << scene.Describe();
        ASSERT_TRUE(c.process->Running()) << scene.Describe();
        ASSERT_EQ(testsupport::ReadWholeFile(c.settingsFile).find("\"EditSend\""), std::string::npos);
        c.process->Signal(SIGTERM);
        EXPECT_TRUE(scene.WaitUntil([&] { return !c.process->Running(); }, 5000)) << "still running\n"
                                                                                  << scene.Describe();
        EXPECT_EQ(c.process->ExitCode(), 0) << scene.Describe();
        EXPECT_NE(testsupport::ReadWholeFile(c.settingsFile).find("\"EditSend\"=\"\""), std::string::npos)
            << testsupport::ReadWholeFile(c.settingsFile);
    }
};

void Replace(std::string& text, const std::string& what, const std::string& with)
{
    text.replace(text.find(what), what.size(), with);
}

} // namespace

// DTR on handshake and TXEN to be ticked: the restore raises, and its box
// comes up while the window is being made.
TEST_F(CloseRequest, EndsTheProgramWhileTheBoxOfItsStartUpIsOpen)
{
    Copy& c = StartCopy([](std::string& s) {
        Replace(s, "\"DTRControlIndex\"=dword:00000001", "\"DTRControlIndex\"=dword:00000002");
        Replace(s, "\"TXEN\"=\"false\"", "\"TXEN\"=\"true\"");
    });
    ExpectEndsSavedOnSigterm(c);
    EXPECT_NE(testsupport::ReadWholeFile(c.settingsFile).find("\"DTRControlIndex\"=dword:00000002"),
              std::string::npos);
}

// The Interlink's port held by a socket that does not listen: the failed
// listen is told while the window is first shown.
TEST_F(CloseRequest, EndsTheProgramWhileTheBoxOfTheFirstShowIsOpen)
{
    PortHolder holder;
    ASSERT_TRUE(holder.Hold(false));
    ExpectEndsSavedOnSigterm(StartCopy());
}

// The port held by another program: opening it with Alt+O fails.
TEST_F(CloseRequest, EndsTheProgramWhileTheBoxOfAFailedOpenIsOpen)
{
    Copy& c = StartCopy();
    ASSERT_EQ(::flock(c.pty.Observer(), LOCK_EX | LOCK_NB), 0);
    const auto windows = WaitForWindows(scene, display, c, [](auto& w) { return w.size() == 1; });
    ASSERT_EQ(windows.size(), 1u) << scene.Describe();
    ASSERT_TRUE(scene.Xdotool(display, {"windowfocus", "--sync", windows[0].id}) &&
                scene.Xdotool(display, {"key", "alt+o"}));
    ExpectEndsSavedOnSigterm(c);
}
