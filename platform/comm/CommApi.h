#pragma once
// The Windows serial communications interface the port object is written
// against, provided on Linux (termios2 for real devices; a simulated loopback
// plug). Names, structures and constants are the documented Windows ones;
// error codes are Linux errno values, except ERROR_IO_PENDING and
// ERROR_IO_INCOMPLETE, and ERROR_FILE_NOT_FOUND, which equals ENOENT (2).
//
// Handles are process-unique numbers that are never reused while the
// program runs.

#include <cstdint>
#include <string>

namespace win {

using DWORD = uint32_t;
using WORD = uint16_t;
using BYTE = uint8_t;
using BOOL = bool;
using HANDLE = intptr_t;

constexpr HANDLE INVALID_HANDLE_VALUE = -1;
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD MAXDWORD = 0xFFFFFFFF;

constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
// A serial device server (a network port, "rfc2217://host:port") refused
// or did not answer; FormatMessage gives what it answered, on the thread
// whose call failed with it, until that thread's next such failure.
constexpr DWORD ERROR_PORT_SERVER = 2217;

// WaitForSingleObject results.
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_TIMEOUT = 0x102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// Event word bits.
constexpr DWORD EV_RXCHAR = 0x0001;
constexpr DWORD EV_RXFLAG = 0x0002;
constexpr DWORD EV_TXEMPTY = 0x0004;
constexpr DWORD EV_CTS = 0x0008;
constexpr DWORD EV_DSR = 0x0010;
constexpr DWORD EV_RLSD = 0x0020;
constexpr DWORD EV_BREAK = 0x0040;
constexpr DWORD EV_ERR = 0x0080;
constexpr DWORD EV_RING = 0x0100;
constexpr DWORD EV_RX80FULL = 0x0400;
constexpr DWORD EV_EVENT1 = 0x0800;
constexpr DWORD EV_EVENT2 = 0x1000;

// ClearCommError error word bits.
constexpr DWORD CE_RXOVER = 0x0001;
constexpr DWORD CE_OVERRUN = 0x0002;
constexpr DWORD CE_RXPARITY = 0x0004;
constexpr DWORD CE_FRAME = 0x0008;
constexpr DWORD CE_BREAK = 0x0010;

// EscapeCommFunction codes.
constexpr DWORD SETXOFF = 1;
constexpr DWORD SETXON = 2;
constexpr DWORD SETRTS = 3;
constexpr DWORD CLRRTS = 4;
constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;
constexpr DWORD SETBREAK = 8;
constexpr DWORD CLRBREAK = 9;

// PurgeComm flags.
constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// DCB.Parity / DCB.StopBits.
constexpr BYTE NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

// DCB flag word bits (the documented bit fields).
constexpr DWORD fBinary = 0x0001;
constexpr DWORD fParity = 0x0002;
constexpr DWORD fOutxCtsFlow = 0x0004;
constexpr DWORD fOutxDsrFlow = 0x0008;
constexpr DWORD fDtrControlMask = 0x0030; // DTR_CONTROL_* << 4
constexpr DWORD fDsrSensitivity = 0x0040;
constexpr DWORD fTXContinueOnXoff = 0x0080;
constexpr DWORD fOutX = 0x0100;
constexpr DWORD fInX = 0x0200;
constexpr DWORD fErrorChar = 0x0400;
constexpr DWORD fNull = 0x0800;
constexpr DWORD fRtsControlMask = 0x3000; // RTS_CONTROL_* << 12
constexpr DWORD fAbortOnError = 0x4000;
constexpr DWORD DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2,
                RTS_CONTROL_TOGGLE = 3;

struct DCB {
    DWORD DCBlength = sizeof(DCB);
    DWORD BaudRate = 0;
    DWORD Flags = 0; // the 32-bit flag word
    WORD wReserved = 0;
    WORD XonLim = 0;
    WORD XoffLim = 0;
    BYTE ByteSize = 8;
    BYTE Parity = NOPARITY;
    BYTE StopBits = ONESTOPBIT;
    char XonChar = 17;
    char XoffChar = 19;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    WORD wReserved1 = 0;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout = 0;
    DWORD ReadTotalTimeoutMultiplier = 0;
    DWORD ReadTotalTimeoutConstant = 0;
    DWORD WriteTotalTimeoutMultiplier = 0;
    DWORD WriteTotalTimeoutConstant = 0;
};

struct COMSTAT {
    DWORD Flags = 0;
    DWORD cbInQue = 0;
    DWORD cbOutQue = 0;
};

// What a device can do (COMMPROP.dwProvCapabilities); only the bits the
// program asks about. A device without modem lines (a pty, some CDC-ACM and
// rfcomm ports) reports neither: DTR and RTS can be set, but change nothing.
constexpr DWORD PCF_DTRDSR = 0x0001;
constexpr DWORD PCF_RTSCTS = 0x0002;

struct COMMPROP {
    DWORD dwProvCapabilities = 0;
};

struct OVERLAPPED {
    uintptr_t Internal = 0;
    uintptr_t InternalHigh = 0;
    DWORD Offset = 0;
    DWORD OffsetHigh = 0;
    HANDLE hEvent = 0;
};

// Last error of the calling thread.
DWORD GetLastError();
void SetLastError(DWORD code);
// The system's text for a code; "" when there is none.
std::string FormatMessage(DWORD code);

// Manual-reset events.
HANDLE CreateEvent(bool manualReset, bool initialState);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// Opens "COMn" through the serial-device list, a path beginning with "/"
// directly, "rfc2217://host:port" as a network port on a serial device
// server, and "loopback" as the built-in loopback plug; exclusive. A
// missing device fails with ERROR_FILE_NOT_FOUND; a server that cannot be
// reached with the system's code (ECONNREFUSED, ETIMEDOUT, EHOSTUNREACH),
// one that does not speak RFC 2217 with ERROR_PORT_SERVER.
HANDLE CreateFile(const std::string& name);
BOOL CloseHandle(HANDLE handle);

BOOL GetCommState(HANDLE device, DCB& dcb);
BOOL SetCommState(HANDLE device, const DCB& dcb);
BOOL SetCommTimeouts(HANDLE device, const COMMTIMEOUTS& timeouts);
BOOL SetupComm(HANDLE device, DWORD inQueue, DWORD outQueue);
BOOL SetCommMask(HANDLE device, DWORD mask);
BOOL PurgeComm(HANDLE device, DWORD flags);
BOOL ClearCommError(HANDLE device, DWORD* errors, COMSTAT* stat);
BOOL EscapeCommFunction(HANDLE device, DWORD function);
BOOL GetCommProperties(HANDLE device, COMMPROP& properties);

// Overlapped operations: succeed at once, or fail with ERROR_IO_PENDING and
// later complete; either way the OVERLAPPED's event is set on completion.
// A pending WaitCommEvent ends (with an empty event word) when the mask
// changes or the handle is closed. ReadFile always completes at once with
// the bytes already received (the only read time-outs accepted are those
// that say so). WriteFile completes when the transmitter has taken all
// bytes: on a tty when the kernel has passed them on (its queue count reads
// 0), on the loopback plug when they are in its UART's FIFO, on a network
// port when the server's TCP has acknowledged them (so output held by flow
// control keeps a write pending either way). CancelIo (a null
// OVERLAPPED: all of them) ends pending operations:
// once it returns, none of them completes into the caller's OVERLAPPED,
// counters or buffers. A write cancelled before the transmitter took all of
// it is withdrawn: its remaining bytes never go out.
BOOL WaitCommEvent(HANDLE device, DWORD* events, OVERLAPPED* overlapped);
BOOL ReadFile(HANDLE device, void* buffer, DWORD count, DWORD* done, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE device, const void* buffer, DWORD count, DWORD* done, OVERLAPPED* overlapped);
BOOL GetOverlappedResult(HANDLE device, OVERLAPPED* overlapped, DWORD* done, bool wait);
BOOL CancelIo(HANDLE device, OVERLAPPED* overlapped);

// Thread priorities (THREAD_PRIORITY_*), applied to the calling thread. A
// raise beyond what the process may do is refused with the system's error.
constexpr int THREAD_PRIORITY_IDLE = -15;
constexpr int THREAD_PRIORITY_LOWEST = -2;
constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
constexpr int THREAD_PRIORITY_HIGHEST = 2;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
BOOL SetCurrentThreadPriority(int priority);

} // namespace win
