// When the server copy is killed, every client copy shows its message box
// and ends once the box is confirmed, without saving its settings. The
// copies run on a virtual X display, and the key press reaches the box
// through the X server as a person's would.

#include "InterlinkCopies.h"

#include <QStandardPaths>
#include <gtest/gtest.h>

#include <map>

using namespace e2e;

namespace {

std::string FindProgram(const char* name)
{
    return QStandardPaths::findExecutable(name, {"/usr/bin", "/bin"}).toStdString();
}

class ServerClose : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = PrivateNamespaceProblem();
        if (!why.empty())
            GTEST_SKIP() << why;
        xvfb = FindProgram("Xvfb");
        xdotool = FindProgram("xdotool");
        ASSERT_FALSE(xvfb.empty() || xdotool.empty()) << "needs the Debian packages xvfb and xdotool";
        scene = std::make_unique<Scene>(TARROWIN_BINARY, TARROWIN_LINK_BINARY);
        // Under the sanitizers, the D-Bus library's buffer kept to the end and
        // the X keyboard library's strndup from an unterminated buffer would
        // end the copies; neither is the program's.
        const std::string suppressions = scene->Root() + "/leaks.supp";
        std::ofstream(suppressions) << "leak:libdbus-1.so\n";
        auto with = [](const char* name, const std::string& option) {
            const char* old = std::getenv(name);
            return std::string(name) + "=" + (old && *old ? std::string(old) + ":" : std::string()) + option;
        };
        scene->copyEnvironment = {with("LSAN_OPTIONS", "suppressions=" + suppressions),
                                  with("ASAN_OPTIONS", "strict_string_checks=0")};
        StartDisplay();
    }

    // Xvfb picks a free display number and tells it on a pipe.
    void StartDisplay()
    {
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        ChildProcess::Options o;
        o.argv = {xvfb, "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "1024x768x24"};
        o.env = scene->Environment({});
        o.passAs3 = fds[1];
        std::string error;
        ChildProcess* x = scene->Start(o, error);
        ::close(fds[1]);
        ASSERT_TRUE(x) << error;
        std::string number;
        ASSERT_TRUE(scene->WaitUntil([&] {
            char c;
            while (::read(fds[0], &c, 1) == 1) {
                if (c == '\n')
                    return true;
                number.push_back(c);
            }
            return !x->Running();
        })) << scene->Describe();
        ::close(fds[0]);
        ASSERT_TRUE(x->Running() && !number.empty()) << scene->Describe();
        display = ":" + number;
    }

    bool Xdotool(const std::vector<std::string>& args, std::string& out)
    {
        ChildProcess::Options o;
        o.argv = {xdotool};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.env = scene->Environment({"DISPLAY=" + display});
        std::string error;
        ChildProcess* p = scene->Start(o, error);
        if (!p)
            return false;
        const int code = scene->WaitForExit(*p);
        out = p->Out();
        return code == 0;
    }

    // The message boxes by the process that shows them: windows titled
    // exactly "Tarrowin" (a main window carries its Interlink role too).
    std::map<pid_t, std::string> Boxes()
    {
        std::map<pid_t, std::string> boxes;
        std::string out;
        if (!Xdotool({"search", "--onlyvisible", "--name", "^Tarrowin$"}, out))
            return boxes;
        std::istringstream ids(out);
        for (std::string id; ids >> id;) {
            std::string pid;
            if (Xdotool({"getwindowpid", id}, pid))
                boxes[static_cast<pid_t>(std::atol(pid.c_str()))] = id;
        }
        return boxes;
    }

    // Presses Return in the box, through the X server.
    void Confirm(const std::string& window)
    {
        std::string out;
        ASSERT_TRUE(Xdotool({"windowfocus", "--sync", window}, out)) << scene->Describe();
        ASSERT_TRUE(Xdotool({"key", "Return"}, out)) << scene->Describe();
    }

    std::string xvfb, xdotool, display;
    std::unique_ptr<Scene> scene;
};

} // namespace

TEST_F(ServerClose, ClientsShowServerCloseAndEndOnceConfirmedWithoutSaving)
{
    ASSERT_EQ(scene->StartLinkedCopies(3, display), "");
    std::string error;
    ChildProcess* monitor = scene->StartMonitor(error);
    ASSERT_TRUE(monitor) << error;
    Copy& server = scene->At(0);
    Copy* clients[] = {&scene->At(1), &scene->At(2)};
    // A save would add the texts of the panes.
    std::map<Copy*, std::string> before;
    for (Copy* c : clients)
        before[c] = testsupport::ReadWholeFile(c->settingsFile);

    server.process.Signal(SIGKILL);
    EXPECT_EQ(scene->WaitForExit(*monitor), 5) << monitor->Describe();

    std::map<pid_t, std::string> boxes;
    ASSERT_TRUE(scene->WaitUntil([&] {
        boxes = Boxes();
        return boxes.count(clients[0]->process.Pid()) && boxes.count(clients[1]->process.Pid());
    })) << scene->Describe();

    // Confirming one box ends that copy only.
    Confirm(boxes[clients[0]->process.Pid()]);
    EXPECT_EQ(scene->WaitForExit(clients[0]->process), 0) << scene->Describe();
    EXPECT_TRUE(clients[1]->process.Running()) << "ended without its confirmation\n" << scene->Describe();
    Confirm(boxes[clients[1]->process.Pid()]);
    EXPECT_EQ(scene->WaitForExit(clients[1]->process), 0) << scene->Describe();

    for (Copy* c : clients)
        EXPECT_TRUE(testsupport::ReadWholeFile(c->settingsFile) == before[c]) << c->name;
}
