// The layers above the core: SOCKS settings, line mode, synchronous waits.
#include "WSocket.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <cstring>

namespace net {

using namespace winsock;

// ---------------------------------------------------------------------------
// SOCKS settings

TCustomSocksWSocket::TCustomSocksWSocket(TNetComponent* AOwner)
    : TCustomWSocket(AOwner)
{
}

void TCustomSocksWSocket::SetSocksServer(const std::string& Value)
{
    if (FState != wsClosed) {
        ReportFailure("Can't change socks server if not closed");
        return;
    }
    if (TrimBlanks(Value).empty()) {
        FSocksServer.clear();
        return;
    }
    ReportFailure("SOCKS proxy negotiation is not available; SocksServer must stay empty");
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value)
{
    if (FState != wsClosed) {
        ReportFailure("Can't change socks port if not closed");
        return;
    }
    FSocksPort = TrimBlanks(Value);
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& Value)
{
    if (FState != wsClosed) {
        ReportFailure("Can't change socks level if not closed");
        return;
    }
    if (Value != "4" && Value != "4A" && Value != "4a" && Value != "5") {
        ReportFailure("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    FSocksLevel = Value == "4a" ? "4A" : Value;
}

void TCustomSocksWSocket::ResetDefaults()
{
    TCustomWSocket::ResetDefaults();
    FSocksServer.clear();
    FSocksPort.clear();
    FSocksLevel.assign(1, '5');
}

void TCustomSocksWSocket::FireSocksConnected(uint16_t Error)
{
    if (OnSocksConnected)
        OnSocksConnected(this, Error);
}

void TCustomSocksWSocket::FireSocksError(int Error, const std::string& Msg)
{
    if (OnSocksError)
        OnSocksError(this, Error, Msg);
}

// ---------------------------------------------------------------------------
// Line mode

TCustomLineWSocket::TCustomLineWSocket(TNetComponent* AOwner)
    : TCustomSocksWSocket(AOwner)
{
}

void TCustomLineWSocket::SetLineMode(bool Value)
{
    if (Value == FLineMode)
        return;
    FLineMode = Value;
    // What was collected under the old mode is offered again under the new
    // one, from the queue.
    if (!FLineBuffer.empty())
        PostMessage(FWindowHandle, MsgLineReplay, 0, 0);
}

void TCustomLineWSocket::ResetDefaults()
{
    TCustomSocksWSocket::ResetDefaults();
    FLineBuffer.clear();
    FLineReady = 0;
}

LRESULT TCustomLineWSocket::HandleWindowMessage(UINT Msg, WPARAM WParam, LPARAM LParam)
{
    if (Msg == MsgLineReplay) {
        OfferBuffered(0);
        return 0;
    }
    return TCustomSocksWSocket::HandleWindowMessage(Msg, WParam, LParam);
}

size_t TCustomLineWSocket::CompleteLineLength() const
{
    if (LineEnd.empty())
        return FLineBuffer.size();
    size_t p = FLineBuffer.find(LineEnd);
    return p == std::string::npos ? 0 : p + LineEnd.size();
}

int TCustomLineWSocket::RcvdCount()
{
    if (FLineMode)
        return static_cast<int>(FLineReady ? FLineReady : CompleteLineLength());
    if (!FLineBuffer.empty())
        return static_cast<int>(FLineBuffer.size());
    return TCustomSocksWSocket::RcvdCount();
}

int TCustomLineWSocket::RawReceive(void* Buffer, int BufferSize)
{
    size_t Avail;
    if (FLineMode)
        Avail = FLineReady ? FLineReady : CompleteLineLength();
    else
        Avail = FLineBuffer.size();
    if (Avail == 0) {
        if (FLineMode) {
            // Bytes of an unfinished line are not handed out.
            wsk::WSASetLastError(WSAEWOULDBLOCK);
            return -1;
        }
        return TCustomSocksWSocket::RawReceive(Buffer, BufferSize);
    }
    size_t n = std::min(Avail, static_cast<size_t>(std::max(BufferSize, 0)));
    std::memcpy(Buffer, FLineBuffer.data(), n);
    FLineBuffer.erase(0, n);
    if (FLineReady)
        FLineReady -= n;
    return static_cast<int>(n);
}

void TCustomLineWSocket::ApplyLineEditing(std::string& Chunk)
{
    std::string Out;
    Out.reserve(Chunk.size());
    for (char c : Chunk) {
        if (c == '\b' || c == '\x7f') {
            if (!Out.empty())
                Out.pop_back();
            else if (!FLineBuffer.empty())
                FLineBuffer.pop_back();
        } else {
            Out += c;
        }
    }
    Chunk.swap(Out);
}

bool TCustomLineWSocket::CollectRaw()
{
    winsock::u_long Count = 0;
    if (wsk::ioctlsocket(FHSocket, FIONREAD, &Count) == SOCKET_ERROR) {
        FLastError = wsk::WSAGetLastError();
        return false;
    }
    if (Count == 0)
        return true;
    std::string Chunk(Count, '\0');
    int Got = TCustomSocksWSocket::RawReceive(Chunk.data(), static_cast<int>(Count));
    if (Got < 0) {
        int Err = wsk::WSAGetLastError();
        if (Err != WSAEWOULDBLOCK)
            FLastError = Err;
        return false;
    }
    Chunk.resize(static_cast<size_t>(Got));
    if (LineEcho && !Chunk.empty() && FState == wsConnected)
        SendString(Chunk);
    if (LineEdit)
        ApplyLineEditing(Chunk);
    FLineBuffer += Chunk;
    return true;
}

bool TCustomLineWSocket::OfferBuffered(uint16_t Error)
{
    for (;;) {
        size_t Avail = FLineMode ? CompleteLineLength() : FLineBuffer.size();
        if (Avail == 0)
            break;
        if (!OnDataAvailable) {
            FLineBuffer.erase(0, Avail); // nobody reads: do not hoard
            continue;
        }
        const size_t Before = FLineBuffer.size();
        FLineReady = FLineMode ? Avail : 0;
        TCustomSocksWSocket::FireDataAvailable(Error);
        FLineReady = 0;
        if (FLineBuffer.size() == Before)
            break; // not taken; offered again with the next data
    }
    if (FLineMode && CompleteLineLength() == 0 && FLineBuffer.size() > static_cast<size_t>(std::max(LineLimit, 0))) {
        bool ClearData = true;
        FireLineLimitExceeded(static_cast<int>(FLineBuffer.size()), ClearData);
        if (ClearData)
            FLineBuffer.clear();
    }
    return OnDataAvailable != nullptr;
}

bool TCustomLineWSocket::FireDataAvailable(uint16_t Error)
{
    if (!FLineMode && FLineBuffer.empty())
        return TCustomSocksWSocket::FireDataAvailable(Error);
    if (FLineMode)
        CollectRaw();
    OfferBuffered(Error);
    // The bytes were taken either way; the core must not discard any.
    return true;
}

void TCustomLineWSocket::FireSessionClosed(uint16_t Error)
{
    // An unfinished last line is still data the peer sent.
    if (FLineMode && !FLineBuffer.empty() && OnDataAvailable) {
        FLineReady = FLineBuffer.size();
        try {
            TCustomSocksWSocket::FireDataAvailable(0);
        } catch (...) {
        }
        FLineReady = 0;
    }
    FLineBuffer.clear();
    TCustomSocksWSocket::FireSessionClosed(Error);
}

void TCustomLineWSocket::FireLineLimitExceeded(int RcvdLength, bool& ClearData)
{
    if (OnLineLimitExceeded)
        OnLineLimitExceeded(this, RcvdLength, ClearData);
}

// ---------------------------------------------------------------------------
// Synchronous waits

TCustomSyncWSocket::TCustomSyncWSocket(TNetComponent* AOwner)
    : TCustomLineWSocket(AOwner)
{
}

int TCustomSyncWSocket::WaitUntilDone(const bool& Done)
{
    constexpr int kTimedOut = 12001;
    QElapsedTimer Elapsed;
    Elapsed.start();
    while (!Done) {
        PumpMessages();
        if (Done)
            break;
        if (Timeout != 0 && Elapsed.elapsed() >= static_cast<qint64>(Timeout))
            return kTimedOut;
        if (QCoreApplication::closingDown() || FTerminated)
            return kTimedOut;
        QThread::yieldCurrentThread();
    }
    return 0;
}

int TCustomSyncWSocket::RunAndWait(const std::function<void()>& Proc, bool& Done)
{
    Done = false;
    if (Proc)
        Proc();
    return WaitUntilDone(Done);
}

TWSocket::TWSocket(TNetComponent* AOwner)
    : TCustomSyncWSocket(AOwner)
{
}

} // namespace net
