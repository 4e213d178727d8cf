#pragma once
// TCustomWSocket: the asynchronous IPv4 TCP/UDP socket object.
//
// Nothing in it blocks on the network. Every network event arrives as a
// message (MsgSocketEvent) posted to the object's own message window and is
// turned into an event callback on the thread that created the object. All
// messages of that thread, notifications and the object's own posted ones
// (MsgCloseLater, MsgReleaseLater, the FD_WRITE that reports an emptied send
// queue), run one at a time from one FIFO queue, never inside the call that
// caused them.
//
// No exception crosses the event loop: what escapes a handler during a
// notification goes to OnBgException (and then aborts the connection), and
// what escapes OnDataAvailable inside the receive loop is dropped.

#include "NetComponent.h"
#include "WSockBuf.h"
#include "WSocketLib.h"

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace net {

enum TSocketState : uint8_t {
    wsInvalidState, wsOpened, wsBound, wsConnecting, wsConnected, wsAccepting, wsListening, wsClosed
};
enum TSocketSendFlags { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff : uint8_t { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TWSocketOption { wsoNoReceiveLoop, wsoTcpNoDelay };

// A set of TWSocketOption.
class TWSocketOptions {
public:
    TWSocketOptions() = default;
    TWSocketOptions(std::initializer_list<TWSocketOption> options)
    {
        for (auto o : options)
            Include(o);
    }
    bool Contains(TWSocketOption o) const { return FBits & Bit(o); }
    void Include(TWSocketOption o) { FBits |= Bit(o); }
    void Exclude(TWSocketOption o) { FBits &= static_cast<uint8_t>(~Bit(o)); }
    bool operator==(const TWSocketOptions&) const = default;

private:
    static uint8_t Bit(TWSocketOption o) { return static_cast<uint8_t>(1u << o); }
    uint8_t FBits = 0;
};

// Messages of the object's window.
inline constexpr winsock::UINT MsgSocketEvent = winsock::WM_USER + 1;        // 1025
inline constexpr winsock::UINT MsgNameLookupDone = winsock::WM_USER + 2;     // 1026
inline constexpr winsock::UINT MsgAddressLookupDone = winsock::WM_USER + 3;  // 1027
inline constexpr winsock::UINT MsgCloseLater = winsock::WM_USER + 4;         // 1028
inline constexpr winsock::UINT MsgReleaseLater = winsock::WM_USER + 5;       // 1029
inline constexpr winsock::UINT MsgTestFailure = winsock::WM_USER + 6;        // 1030
inline constexpr winsock::UINT MsgLineReplay = winsock::WM_USER + 20;        // 1044
inline constexpr winsock::UINT MsgClientClosed = winsock::WM_USER + 30;      // 1054

// Event types. Error is a Windows Sockets error number, 0 = none.
using TSessionAvailable = std::function<void(rtl::TObject* Sender, uint16_t Error)>;
using TSessionConnected = std::function<void(rtl::TObject* Sender, uint16_t Error)>;
using TSessionClosed = std::function<void(rtl::TObject* Sender, uint16_t Error)>;
using TDataAvailable = std::function<void(rtl::TObject* Sender, uint16_t Error)>;
using TDataSent = std::function<void(rtl::TObject* Sender, uint16_t Error)>;
using TDnsLookupDone = std::function<void(rtl::TObject* Sender, uint16_t Error)>;
using TChangeState = std::function<void(rtl::TObject* Sender, TSocketState OldState, TSocketState NewState)>;
using TSendData = std::function<void(rtl::TObject* Sender, int BytesSent)>;
using TBgExceptionEvent = std::function<void(rtl::TObject* Sender, const std::exception& E, bool& CanClose)>;

struct TTimeVal {
    long tv_sec = 0;
    long tv_usec = 0;
};

class TCustomWSocket : public TNetComponent {
public:
    explicit TCustomWSocket(TNetComponent* AOwner = nullptr);
    // Closes without OnSessionClosed.
    ~TCustomWSocket() override;

    // --- Endpoint texts (setters refuse while not closed) ---
    const std::string& Addr() const { return FAddrStr; }
    void SetAddr(const std::string& Value);
    const std::string& Port() const { return FPortStr; }
    virtual void SetPort(const std::string& Value);
    const std::string& Proto() const { return FProtoStr; }
    virtual void SetProto(const std::string& Value);
    const std::string& LocalAddr() const { return FLocalAddr; }
    void SetLocalAddr(const std::string& Value);
    const std::string& LocalPort() const { return FLocalPortStr; }
    void SetLocalPort(const std::string& Value);
    virtual std::string PeerAddr();
    virtual std::string PeerPort();
    virtual std::string LocalBoundAddr();
    virtual std::string LocalBoundPort();
    virtual int PeerSockAddr(winsock::SOCKADDR_IN& Addr, int& AddrLen);
    virtual int LocalSockAddr(winsock::SOCKADDR_IN& Addr, int& AddrLen);
    const std::string& DnsResult() const { return FDnsResult; }
    const std::vector<std::string>& DnsResultList() const { return FDnsResultList; }

    // --- State ---
    TSocketState State() const { return FState; }
    int ReadCount() const { return FReadCount; }
    // Bytes readable now; -1 after a reported failure of the query.
    virtual int RcvdCount();
    int LastError() const { return FLastError; }
    winsock::SOCKET Handle() const { return FHSocket; }
    winsock::HWND NotifyWindow() const { return FWindowHandle; }
    bool AllSent() const { return FAllSent; }
    const std::deque<std::unique_ptr<TBuffer>>& SendQueue() const { return FBufList; }
    TSocketSendFlags SendFlags();
    void SetSendFlags(TSocketSendFlags Value);

    // --- Plain settings (stored as they are set) ---
    bool MultiThreaded = false;
    bool MultiCast = false;
    std::string MultiCastAddrStr;
    int MultiCastIpTTL = 1;
    bool ReuseAddr = false;
    TWSocketOptions ComponentOptions;
    int FlushTimeout = 60; // kept for compatibility; nothing reads it
    TSocketLingerOnOff LingerOnOff = wsLingerOn;
    int LingerTimeout = 0;

    // --- Events ---
    TSessionAvailable OnSessionAvailable;
    TSessionConnected OnSessionConnected;
    TSessionClosed OnSessionClosed;
    TChangeState OnChangeState;
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSendData OnSendData;
    rtl::TNotifyEvent OnLineTooLong; // never fired
    TDnsLookupDone OnDnsLookupDone;
    rtl::TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

    // --- Receiving ---
    virtual int ReceiveInto(void* Buffer, int BufferSize);
    virtual std::string ReceiveAvailable();
    virtual int ReceiveDatagramFrom(void* Buffer, int BufferSize, winsock::SOCKADDR_IN& From, int& FromLen);

    // --- Sending ---
    virtual int SendString(const std::string& Str);
    virtual int SendBytes(const void* Data, int Len);
    virtual int SendDatagramTo(const winsock::SOCKADDR_IN& Dest, int DestLen, const void* Data, int Len);
    virtual void FlushSendQueue();
    void DiscardSendQueue();

    // --- Connecting and listening ---
    virtual void BeginConnect();
    virtual void BeginListen();
    virtual winsock::SOCKET AcceptPending();
    virtual void AttachHandle(winsock::SOCKET Handle);

    // --- Closing ---
    virtual void CloseSession();
    virtual void AbortSession();
    virtual void CloseLater();
    // Destroys the object from the queue; the one safe way to destroy it
    // from inside its own handlers. Only for objects made with new.
    virtual void ReleaseLater();
    virtual void ShutdownSocket(int How);

    // --- Name look-ups (asynchronous; results by OnDnsLookupDone) ---
    // The result arrives from the queue as OnDnsLookupDone; a numeric host
    // is answered at once. Starting a look-up cancels a pending one, whose
    // result then never arrives; so does destroying the object (silently).
    virtual void StartNameLookup(const std::string& HostName);
    virtual void StartAddressLookup(const std::string& HostAddr);
    // Fires OnDnsLookupDone with 10004 when a look-up was pending.
    virtual void CancelNameLookup();

    // --- Message pumping and events ---
    virtual void SuspendEvents();
    virtual void ResumeEvents();
    virtual void PumpMessages();
    virtual void DrainUntilClosed();

    // --- Time values ---
    virtual bool TimeValueIsSet(const TTimeVal& T);
    virtual void TimeValueClear(TTimeVal& T);
    virtual bool TimeValueCompare(const TTimeVal& A, const TTimeVal& B, bool Equal);

protected:
    virtual winsock::LRESULT HandleWindowMessage(winsock::UINT Msg, winsock::WPARAM WParam, winsock::LPARAM LParam);
    virtual void CreateNotifyWindow();
    virtual void DestroyNotifyWindow();
    virtual void ResetDefaults();
    virtual void FinishClose(bool ShutdownFirst, int Error);
    virtual void BindLocal();
    virtual int TransmitChunk(const void* Data, int Len);
    void ReportFailureFmt(const char* Fmt, ...) __attribute__((format(printf, 2, 3)));
    virtual void ReportFailure(const std::string& Msg);
    void ReportSocketError(const std::string& FuncName);
    virtual void HandleEventException(const std::exception& E);
    // False when no OnDataAvailable handler is bound.
    virtual bool FireDataAvailable(uint16_t Error);
    virtual void FireSessionAvailable(uint16_t Error);
    virtual void FireSessionConnected(uint16_t Error);
    virtual void FireSessionClosed(uint16_t Error);
    virtual void FireDataSent(uint16_t Error);
    virtual void FireChangeState(TSocketState OldState, TSocketState NewState);
    virtual void FireDnsLookupDone(uint16_t Error);
    virtual void FireError();
    virtual int RawReceive(void* Buffer, int BufferSize);
    virtual int RawReceiveFrom(void* Buffer, int BufferSize, winsock::SOCKADDR_IN& From, int& FromLen);

    void HandleNameLookupDone(winsock::WPARAM WParam, winsock::LPARAM LParam);
    void HandleAddressLookupDone(winsock::WPARAM WParam, winsock::LPARAM LParam);
    // The buffer the platform writes a look-up's host entry into (made on
    // the first look-up).
    char* DnsLookupBuffer();

    void SetState(TSocketState NewState);
    // The peer's / the bound local endpoint; false when the state has none
    // or the query failed (a failed peer query is reported as `Call`).
    bool PeerName(const char* Call, winsock::SOCKADDR_IN& Sa);
    bool LocalName(winsock::SOCKADDR_IN& Sa);
    // Ends a look-up still running (its answer never fires) and forgets the
    // results of the last one.
    void ForgetLookup();
    // Resolves what is not yet resolved of protocol, port, (local port) and
    // address; a failure is reported as "<Context>: <reason>" and gives false.
    bool ResolveEndpoint(const char* Context, bool WithLocalPort);
    // Addr, Port and Proto: kept trimmed, and only while the socket is closed.
    void SetEndpointText(const char* Name, const std::string& Value, std::string& Text, bool& Assigned,
                         bool& Resolved);
    void HandleSocketNotification(winsock::WPARAM WParam, winsock::LPARAM LParam);
    void ReceiveLoop(uint16_t Error, TWSocketOptions Options);
    void DrainSendQueue();
    bool ReadableBytesWaiting();
    void AppendToSendQueue(const void* Data, int Len);
    void ApplyLinger();
    void PostSocketEvent(long Event, int Error);

    // Bytes taken from the platform by RawReceive and the discarding read;
    // lets the receive loop see whether a handler read anything.
    uint64_t FRawBytesRead = 0;
    bool FDestroying = false;

    std::string FDnsResult;
    std::vector<std::string> FDnsResultList;
    std::vector<uint64_t> FDnsLookupBuffer; // 8-byte aligned for the host entry
    winsock::HANDLE FDnsLookupHandle = 0;   // 0 = none pending
    bool FDnsEarlyResult = false;
    winsock::WPARAM FDnsEarlyWParam = 0;
    winsock::LPARAM FDnsEarlyLParam = 0;
    winsock::SOCKET FASocket = winsock::INVALID_SOCKET; // last accepted handle
    std::deque<std::unique_ptr<TBuffer>> FBufList;
    int FBufSize = 1460;
    int FSendFlags = 0;
    int FLastError = 0;
    winsock::HWND FWindowHandle = 0;
    winsock::SOCKET FHSocket = winsock::INVALID_SOCKET;
    std::string FAddrStr;
    bool FAddrResolved = false;
    int FAddrFormat = winsock::AF_INET;
    bool FAddrAssigned = false;
    int FProto = winsock::IPPROTO_TCP;
    bool FProtoAssigned = true;
    bool FProtoResolved = false;
    bool FLocalPortResolved = false;
    std::string FProtoStr = "tcp";
    std::string FPortStr;
    bool FPortAssigned = false;
    bool FPortResolved = false;
    int FPortNum = 0;
    std::string FLocalPortStr = "0";
    int FLocalPortNum = 0;
    std::string FLocalAddr = "0.0.0.0";
    int FType = winsock::SOCK_STREAM;
    bool FAllSent = true;
    int FReadCount = 0;
    bool FPaused = false;
    bool FCloseInvoked = false; // OnSessionClosed fired for this connection
    bool FSendGone = false;     // a send met the reset; the close is on its way
    TSocketState FState = wsClosed;
    bool FTerminated = false;
    long FSelectEvent = 0;
    winsock::SOCKADDR_IN FSin{};

private:
    winsock::LRESULT DispatchWindowMessage(winsock::UINT Msg, winsock::WPARAM WParam, winsock::LPARAM LParam);
};

// A look-up result keeps at most this many addresses (DnsResultList).
inline constexpr int DnsMaxAddresses = 256;
// Room for a host entry of DnsMaxAddresses addresses and the longest name
// the resolver gives (1025 bytes with its terminator).
inline constexpr int DnsLookupBufferSize =
    static_cast<int>(sizeof(winsock::HOSTENT) + sizeof(char*) + (DnsMaxAddresses + 1) * sizeof(char*) +
                     DnsMaxAddresses * 4 + 1025);

// The text without the blanks around it.
std::string TrimBlanks(const std::string& Text);

// Conversions of endpoint texts; they raise ESocketException directly.
bool IsDottedQuad(const std::string& Text);
int ParseLeadingNumber(const std::string& Text);
winsock::u_long ResolveHostAddress(const std::string& Host); // network byte order
int ResolvePortNumber(const std::string& Port, const std::string& Proto);
int ResolveProtocolNumber(const std::string& Proto);

} // namespace net
