// A program killed while it saves never leaves a torn settings file: the
// file is always either the old one or the complete new one.

#include "ChildProcess.h"
#include "MyRegistry.h"
#include "TerminalFixture.h"

#include <QDir>

#include <csignal>
#include <unistd.h>

#ifdef TARROWIN_BINARY
namespace {

// The real program, headless, with `home` as its settings and runtime
// folder, in a network namespace of its own so that the Interlink port 666
// it takes part in is its alone.
void StartProgram(ChildProcess& program, const std::string& home)
{
    ChildProcess::Options o;
    o.argv = {"unshare", "-n", "--", "sh", "-c", "ip link set lo up && exec \"$0\"", TARROWIN_BINARY};
    o.env = EnvironmentWith({"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + home, "XDG_RUNTIME_DIR=" + home});
    std::string error;
    ASSERT_TRUE(program.Start(o, error)) << error;
}

// Waits at most limitMs for the program to end.
void WaitForExit(ChildProcess& program, int limitMs)
{
    testsupport::PumpUntil(
        [&] {
            program.Drain();
            return !program.Running();
        },
        limitMs);
}

} // namespace

TEST_F(TerminalFixture, KilledDuringASaveLeavesTheOldOrTheNewFile)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a private network namespace";
    const std::string folder = dir.Path() + "/Brenlow";
    QDir().mkpath(QString::fromStdString(folder));
    const std::string file = folder + "/Tarrowin.reg";
    // Large texts make every save take a while.
    const std::string big(8 << 20, 'm');
    {
        reg::SetFilePath(file);
        TMyRegistry r;
        ASSERT_TRUE(r.OpenKey("Software\\Brenlow\\Tarrowin\\", true));
        r.WriteString("save memos", "true");
        r.WriteString("MemoIn", big);
    }
    for (int delayMs : {0, 20, 60, 150, 400}) {
        ChildProcess program;
        StartProgram(program, dir.Path());
        WaitForExit(program, 2000); // up and showing its window
        ASSERT_TRUE(program.Running()) << program.Describe();
        program.Signal(SIGTERM); // closes and saves
        WaitForExit(program, delayMs);
        program.Kill();

        // Whatever moment the kill hit, the file reads whole.
        std::vector<std::string> notices;
        reg::SetNoticeHandler([&](const std::string& m) { notices.push_back(m); });
        TMyRegistry r;
        ASSERT_TRUE(r.OpenKey("Software\\Brenlow\\Tarrowin\\", false)) << "after " << delayMs << " ms";
        EXPECT_TRUE(r.ReadString("MemoIn") == big) << "after " << delayMs << " ms";
        EXPECT_TRUE(notices.empty()) << notices.front();
        reg::SetNoticeHandler(nullptr);
    }
}
#endif
