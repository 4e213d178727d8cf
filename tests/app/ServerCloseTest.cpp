// When the server copy goes, every client copy shows "Server close" and ends
// once the message is confirmed, without saving its settings. The message
// box is a real window here: the copies run on a virtual X display of this
// test, and the key press reaches the box through the X server as a
// person's would.

#include "InterlinkCopies.h"

#include <QStandardPaths>
#include <gtest/gtest.h>

#include <map>

using namespace e2e;

namespace {

// The program's path; searched in PATH and then in /usr/bin and /bin.
std::string FindProgram(const std::string& name)
{
    QString found = QStandardPaths::findExecutable(QString::fromStdString(name));
    if (found.isEmpty())
        found = QStandardPaths::findExecutable(QString::fromStdString(name), {"/usr/bin", "/bin"});
    return found.toStdString();
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
        ASSERT_FALSE(xvfb.empty()) << "Xvfb is missing (Debian package xvfb; make setup installs it)";
        ASSERT_FALSE(xdotool.empty()) << "xdotool is missing (Debian package xdotool; make setup installs it)";
        scene = std::make_unique<Scene>(TARROWIN_BINARY, TARROWIN_LINK_BINARY);
        ASSERT_FALSE(scene->Root().empty());
        // In a sanitizer build, two reports about the X libraries Qt loads
        // would end the copies on X, neither about the program: the D-Bus
        // library keeps a buffer to the end (a leak report), and the X
        // keyboard library copies a name with strndup from a buffer without
        // a terminating zero, which strndup may do (it stops at the limit)
        // but strict string checks report. Later options override earlier
        // ones.
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

    // Xvfb picks a display number nobody uses and tells it on a pipe, so
    // that test processes running side by side never take the same one.
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

    // Runs xdotool on the display; true when it succeeded, with its output.
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

    // The message boxes on the display: windows titled exactly "Tarrowin"
    // (the main windows carry their Interlink role in the title), by the
    // process that shows them.
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

    // Presses Return in a box, as a person would: the box gets the focus,
    // then the key goes through the X server.
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

    // What the clients' settings files hold now; a save would add the texts
    // of the panes and the entry line.
    std::map<Copy*, std::string> before;
    for (Copy* c : clients) {
        before[c] = testsupport::ReadWholeFile(c->settingsFile);
        ASSERT_EQ(before[c].find("MemoOut"), std::string::npos) << before[c];
    }

    server.process.Signal(SIGKILL);
    ASSERT_TRUE(scene->WaitUntil([&] { return !server.process.Running(); }));
    // A monitor learns of it by its exit code.
    EXPECT_EQ(scene->WaitForExit(*monitor), 5) << monitor->Describe();
    EXPECT_NE(monitor->Err().find("beendet"), std::string::npos) << monitor->Err();

    // Each client shows its box and waits there.
    std::map<pid_t, std::string> boxes;
    ASSERT_TRUE(scene->WaitUntil([&] {
        boxes = Boxes();
        return boxes.size() >= 2;
    })) << scene->Describe();
    ASSERT_EQ(boxes.size(), 2u);
    for (Copy* c : clients) {
        ASSERT_TRUE(boxes.count(c->process.Pid())) << c->name << " shows no box\n" << scene->Describe();
        EXPECT_TRUE(c->process.Running()) << c->name;
    }

    // Confirming one box ends that copy only.
    Confirm(boxes[clients[0]->process.Pid()]);
    EXPECT_EQ(scene->WaitForExit(clients[0]->process), 0) << scene->Describe();
    EXPECT_TRUE(clients[1]->process.Running()) << "ended without its confirmation\n" << scene->Describe();
    EXPECT_EQ(Boxes().count(clients[1]->process.Pid()), 1u);

    Confirm(boxes[clients[1]->process.Pid()]);
    EXPECT_EQ(scene->WaitForExit(clients[1]->process), 0) << scene->Describe();

    // Nothing was saved.
    for (Copy* c : clients)
        EXPECT_TRUE(testsupport::ReadWholeFile(c->settingsFile) == before[c]) << c->name << ":\n" << testsupport::ReadWholeFile(c->settingsFile);
}
