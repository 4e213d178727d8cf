#pragma once
// A window under test: its settings file, device discovery and loopback plug
// lock in a private folder, message boxes recorded instead of shown, and the
// terminal's module state reset.

#include "EventLoopWait.h"
#include "Interlink.h"
#include "Loopback.h"
#include "MessageBox.h"
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
        PendingRxText.clear();
        InterlinkPeers.clear();
        InterlinkInBuffer.clear();
        InterlinkStarted = false;
    }
    void TearDown() override
    {
        form.reset();
        terminal::SetMessageBoxSink(nullptr);
        reg::SetFilePath("");
        loopback::SetLockDirectory("");
        serialdevices::SetDiscoveryRoots("/sys", "/dev");
        PendingRxText.clear();
        InterlinkPeers.clear();
        InterlinkInBuffer.clear();
        InterlinkStarted = false;
    }

    // Settings under which the window starts like its definition: every box
    // unchecked, no port selected, no flow control, DTR and RTS enabled.
    static std::string NeutralSettings()
    {
        std::string body = "[HKEY_CURRENT_USER\\Software\\Brenlow\\Tarrowin]\r\n"
                           "\"PortNumIndex\"=dword:ffffffff\r\n"
                           "\"BaudRateIndex\"=dword:0000000c\r\n"
                           "\"FlowControlIndex\"=dword:00000001\r\n"
                           "\"DTRControlIndex\"=dword:00000001\r\n"
                           "\"RTSControlIndex\"=dword:00000001\r\n"
                           "\"ParityIndex\"=dword:00000002\r\n"
                           "\"StopbitsIndex\"=dword:00000000\r\n"
                           "\"DatabitsIndex\"=dword:00000004\r\n";
        for (const char* flag : {"TXEN", "send #13#10", "save memos", "decode asc<32", "Invert TXEN", "RTS",
                                 "Xon", "Break", "TXempty", "AutoSwitch TXEN"})
            body += std::string("\"") + flag + "\"=\"false\"\r\n";
        return body + "\r\n";
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

    TempDir dir;
    std::vector<std::string> boxes;
    std::unique_ptr<TForm1> form;
};
