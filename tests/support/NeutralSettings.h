#pragma once
// The settings under which the window starts as designed: nothing checked,
// no port selected, no flow control, DTR and RTS enabled; a send gets no
// CR LF, TXEN is left alone and the panes are not kept.

#include <string>

namespace testsupport {

// The program's key and the blank line that ends it; a settings file is
// "REGEDIT4\r\n\r\n" and such sections.
inline std::string NeutralSettings()
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
    for (const char* flag : {"TXEN", "send #13#10", "save memos", "decode asc<32", "Invert TXEN", "RTS", "Xon",
                             "Break", "TXempty", "AutoSwitch TXEN"})
        body += std::string("\"") + flag + "\"=\"false\"\r\n";
    return body + "\r\n";
}

} // namespace testsupport
