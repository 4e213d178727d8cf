#pragma once
// A window under test: its settings file, device discovery and loopback plug
// lock in a private folder, message boxes recorded instead of shown, and the
// terminal's module state reset.

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

// The count in front of each receive-pane line "<count> Byte empfangen:".
inline std::vector<size_t> BatchCounts(const std::vector<std::string>& lines)
{
    std::vector<size_t> counts;
    for (const std::string& line : lines) {
        size_t at = line.find(" Byte empfangen:");
        if (at != std::string::npos)
            counts.push_back(std::stoul(line.substr(0, at)));
    }
    return counts;
}

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

    void WriteRegistry(const std::string& body)
    {
        std::ofstream(dir.File("Tarrowin.reg"), std::ios::binary) << "REGEDIT4\r\n\r\n" << body;
    }

    static std::string NeutralSettings() { return testsupport::NeutralSettings(); }
    // The section of the user's own ports, one "\"path\"=\"COMn\"\r\n" line each.
    static std::string UserPorts(const std::string& lines)
    {
        return "[HKEY_LOCAL_MACHINE\\hardware\\devicemap\\serialcomm]\r\n" + lines;
    }
    // Opens the loopback plug with the open button.
    void OpenLoopback(TVaBaudrate rate = br115200)
    {
        Form().Com->SetDeviceName("loopback");
        Form().Com->SetBaudrate(rate);
        Form().CmdOpen->click();
        ASSERT_TRUE(Form().Com->PortIsOpen()) << (boxes.empty() ? "" : boxes.back());
    }

    TForm1& Form()
    {
        if (!form)
            form = std::make_unique<TForm1>();
        return *form;
    }

    // A pane's text split at its CR LFs.
    static std::vector<std::string> Lines(const TMemo* memo)
    {
        std::vector<std::string> lines;
        const std::string text = memo->Text();
        size_t start = 0;
        for (size_t pos; (pos = text.find("\r\n", start)) != std::string::npos; start = pos + 2)
            lines.push_back(text.substr(start, pos - start));
        if (start < text.size())
            lines.push_back(text.substr(start));
        return lines;
    }

    TempDir dir;
    std::vector<std::string> boxes;
    std::unique_ptr<TForm1> form;
};

class NeutralFixture : public TerminalFixture {
protected:
    void SetUp() override
    {
        TerminalFixture::SetUp();
        WriteRegistry(testsupport::NeutralSettings());
    }
};
