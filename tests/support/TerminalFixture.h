#pragma once
// A window under test: its settings file, device discovery and loopback plug
// lock in a private folder, message boxes recorded instead of shown, and the
// terminal's module state reset.

#include "ChildProcess.h"
#include "EventLoopWait.h"
#include "Interlink.h"
#include "Loopback.h"
#include "MessageBox.h"
#include "NeutralSettings.h"
#include "Registry.h"
#include "SerialDevices.h"
#include "TempDir.h"
#include "Unit1.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

class TerminalFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        reg::SetFilePath(dir.File("Tarrowin.reg"));
        serialdevices::SetDiscoveryRoots(dir.Path() + "/sys", dir.Path() + "/dev");
        loopback::SetLockDirectory(dir.Path());
        terminal::SetMessageBoxSink([this](const std::string& text) { boxes.push_back(text); });
        ResetTerminalState();
    }
    void TearDown() override
    {
        form.reset();
        terminal::SetMessageBoxSink(nullptr);
        reg::SetFilePath("");
        loopback::SetLockDirectory("");
        serialdevices::SetDiscoveryRoots("/sys", "/dev");
        ResetTerminalState();
    }
    static void ResetTerminalState()
    {
        PendingRxText.clear();
        InterlinkPeers.clear();
        InterlinkInBuffer.clear();
        InterlinkStarted = false;
    }

    static std::string NeutralSettings() { return testsupport::NeutralSettings(); }
    // The section of the user's own ports, one "\"path\"=\"COMn\"\r\n" line each.
    static std::string UserPorts(const std::string& lines)
    {
        return "[HKEY_LOCAL_MACHINE\\hardware\\devicemap\\serialcomm]\r\n" + lines;
    }
    void WriteRegistry(const std::string& body)
    {
        std::ofstream(dir.File("Tarrowin.reg"), std::ios::binary) << "REGEDIT4\r\n\r\n" << body;
    }

    TForm1& Form()
    {
        if (!form)
            form = std::make_unique<TForm1>();
        return *form;
    }

    // Opens the loopback plug with the open button.
    void OpenLoopback(TVaBaudrate rate = br115200)
    {
        Form().Com->SetDeviceName("loopback");
        Form().Com->SetBaudrate(rate);
        Form().CmdOpen->click();
        ASSERT_TRUE(Form().Com->PortIsOpen()) << (boxes.empty() ? "" : boxes.back());
    }

    static std::vector<std::string> Lines(const TMemo* memo)
    {
        std::vector<std::string> lines;
        std::string text = memo->Text();
        size_t start = 0;
        for (size_t pos; (pos = text.find("\r\n", start)) != std::string::npos; start = pos + 2)
            lines.push_back(text.substr(start, pos - start));
        if (start < text.size())
            lines.push_back(text.substr(start));
        return lines;
    }

#ifdef TARROWIN_BINARY
    // Starts the real program headless with this test's folder as its
    // settings home, in a network namespace of its own: it takes part in
    // the Interlink on port 666, which is then its alone.
    // `extraEnv` names further variables set to that folder.
    void StartProgram(ChildProcess& program, const std::vector<std::string>& extraEnv = {})
    {
        std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + dir.Path()};
        for (const std::string& name : extraEnv)
            env.push_back(name + "=" + dir.Path());
        std::string error;
        ChildProcess::Options o;
        o.argv = {"unshare", "-n", "--", "sh", "-c", "ip link set lo up && exec \"$0\"", TARROWIN_BINARY};
        o.env = EnvironmentWith(env);
        ASSERT_TRUE(program.Start(o, error)) << error;
    }
#endif

    TempDir dir;
    std::vector<std::string> boxes;
    std::unique_ptr<TForm1> form;
};

// A window that starts from NeutralSettings().
class NeutralFixture : public TerminalFixture {
protected:
    void SetUp() override
    {
        TerminalFixture::SetUp();
        WriteRegistry(NeutralSettings());
    }
};
