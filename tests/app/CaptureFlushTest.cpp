// The capture file of the real program: switched on in the settings before
// start-up, it starts with the first open of the port, and a SIGTERM close
// leaves every byte that was read in the file.

#include "SceneTest.h"
#include "XWindows.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

using namespace e2e;

namespace {

class CaptureFlush : public DisplaySceneTest {};

std::vector<std::string> CaptureFiles(const std::string& folder)
{
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        files.push_back(e.path().string());
    return files;
}

// The bytes of every RX record, rebuilt from the hex fields.
std::string ReceivedBytes(const std::string& file)
{
    std::string bytes;
    std::istringstream in(testsupport::ReadWholeFile(file));
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');)
            fields.push_back(field);
        if (fields.size() != 5 || fields[1] != "RX")
            continue;
        for (size_t i = 0; i + 1 < fields[3].size(); i += 3)
            bytes.push_back(static_cast<char>(std::stoi(fields[3].substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

} // namespace

TEST_F(CaptureFlush, SigtermLeavesEveryReadByteInTheFile)
{
    const std::string folder = scene.Root() + "/captures";
    std::filesystem::create_directory(folder);
    Copy& c = StartCopy([&](std::string& s) {
        s += "[HKEY_CURRENT_USER\\Software\\Brenlow\\Tarrowin\\Capture]\r\n\"Enabled\"=\"true\"\r\n\"Folder\"=\"" +
             folder + "\"\r\n\r\n";
    });
    const auto windows = WaitForWindows(scene, display, c, [](auto& w) { return w.size() == 1; });
    ASSERT_EQ(windows.size(), 1u) << scene.Describe();
    EXPECT_TRUE(CaptureFiles(folder).empty()); // not before the port opens
    ASSERT_TRUE(scene.Xdotool(display, {"windowfocus", "--sync", windows[0].id}) &&
                scene.Xdotool(display, {"key", "alt+o"}));
    ASSERT_TRUE(scene.WaitUntil([&] { return CaptureFiles(folder).size() == 1; })) << scene.Describe();

    std::string sent;
    for (int round = 0; round < 64; ++round)
        for (int b = 0; b < 256; ++b)
            sent.push_back(static_cast<char>(b ^ round));
    ASSERT_TRUE(c.pty.Write(sent));
    // Taken off the device by the program (nothing left in the pty's input
    // queue for a while: the kernel hands on what the master wrote in
    // steps), then the close request.
    int quietReadings = 0;
    ASSERT_TRUE(scene.WaitUntil([&] {
        int pending = -1;
        const bool empty = ::ioctl(c.pty.Observer(), FIONREAD, &pending) == 0 && pending == 0;
        quietReadings = empty ? quietReadings + 1 : 0;
        if (quietReadings < 20)
            ::usleep(10000);
        return quietReadings >= 20;
    })) << scene.Describe();
    c.process->Signal(SIGTERM);
    ASSERT_EQ(scene.WaitForExit(*c.process), 0) << scene.Describe();

    const auto files = CaptureFiles(folder);
    ASSERT_EQ(files.size(), 1u);
    const std::string received = ReceivedBytes(files[0]);
    EXPECT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent);
    // Made by the close itself, after the signal: the close wrote it out.
    EXPECT_TRUE(testsupport::ReadWholeFile(files[0]).ends_with("\tEV\t16\t50 6F 72 74 20 67 65 73 63 68 6C 6F 73 73 65 6E\tPort geschlossen\n"));
}
