// A program killed while it saves never leaves a torn settings file: the
// file is always either the old one or the complete new one.

#include "MyRegistry.h"
#include "TerminalFixture.h"

#include <QDir>

#include <csignal>
#include <unistd.h>

#ifdef TARROWIN_BINARY
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
        StartProgram(program, {"XDG_RUNTIME_DIR"});
        program.WaitForExit(2000); // up and showing its window
        ASSERT_TRUE(program.Running()) << program.Describe();
        program.Signal(SIGTERM); // closes and saves
        program.WaitForExit(delayMs);
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
