// Send buffering: bytes handed to SendBytes are copied into a chain of
// fixed-size blocks and sent as fast as the platform takes them; the rest
// goes out on write readiness (FD_WRITE).
#include "WSocketCore.h"

namespace net {

using namespace winsock;

int TCustomWSocket::SendString(const std::string& Str)
{
    if (Str.empty())
        return 0;
    return SendBytes(Str.data(), static_cast<int>(Str.size()));
}

int TCustomWSocket::SendBytes(const void* Data, int Len)
{
    if (FState != wsConnected) {
        wsk::WSASetLastError(WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    int Result = 0;
    if (Len > 0) {
        FAllSent = false;
        AppendToSendQueue(Data, Len);
        Result = Len;
    }
    DrainSendQueue();
    // OnDataSent never fires inside this call: it comes from the queue,
    // after whatever the caller does next.
    if (FAllSent)
        PostSocketEvent(FD_WRITE, 0);
    return Result;
}

void TCustomWSocket::AppendToSendQueue(const void* Data, int Len)
{
    if (Len < 1)
        return;
    if (FBufList.empty())
        FBufList.push_back(std::make_unique<TBuffer>(FBufSize));
    TBuffer* Target = FBufList.back().get();
    const char* p = static_cast<const char*>(Data);
    for (;;) {
        int Taken = Target->Write(p, Len);
        if (Taken >= Len)
            return;
        p += Taken;
        Len -= Taken;
        FBufList.push_back(std::make_unique<TBuffer>(FBufSize));
        Target = FBufList.back().get();
    }
}

void TCustomWSocket::DrainSendQueue()
{
    if (FHSocket == INVALID_SOCKET || FBufList.empty())
        return;
    if (FSendGone) {
        FBufList.clear(); // nobody is there to take it
        return;
    }
    for (;;) {
        TBuffer* First = FBufList.front().get();
        int Len = 0;
        const char* p = First->Peek(Len);
        if (Len <= 0) {
            if (FBufList.size() > 1) {
                FBufList.pop_front();
                continue;
            }
            FAllSent = true;
            return;
        }
        int Sent = TransmitChunk(p, Len);
        if (Sent == 0)
            return;
        if (Sent < 0) {
            int Err = wsk::WSAGetLastError();
            switch (Err) {
            case WSAECONNRESET:
            case WSAENOTSOCK:
            case WSAENOTCONN:
            case WSAEINVAL:
            case WSAECONNABORTED:
                // The connection is gone. What the peer sent before it went
                // may still be readable: those bytes arrived whole and are
                // data, so the handler gets them before the close is
                // reported, from a notification of its own (not from
                // inside this send, which may run in another handler).
                if (ReadableBytesWaiting()) {
                    if (!FSendGone) {
                        FSendGone = true;
                        FBufList.clear();
                        PostSocketEvent(FD_CLOSE, Err);
                    }
                    return;
                }
                // Nothing left to read: close quietly, then report once.
                FCloseInvoked = true;
                CloseSession();
                FireSessionClosed(static_cast<uint16_t>(Err));
                return;
            case WSAEWOULDBLOCK:
                return; // the next FD_WRITE resumes
            default:
                ReportSocketError("TryToSend failed");
                return;
            }
        }
        First->Remove(Sent);
        if (Sent < Len)
            return; // the platform is full; FD_WRITE resumes
    }
}

int TCustomWSocket::TransmitChunk(const void* Data, int Len)
{
    int Result;
    if (FType == SOCK_DGRAM)
        Result = wsk::sendto(FHSocket, static_cast<const char*>(Data), Len, FSendFlags,
                             reinterpret_cast<const SOCKADDR*>(&FSin), sizeof FSin);
    else
        Result = wsk::send(FHSocket, static_cast<const char*>(Data), Len, FSendFlags);
    if (Result > 0 && OnSendData)
        OnSendData(this, Result);
    return Result;
}

int TCustomWSocket::SendDatagramTo(const SOCKADDR_IN& Dest, int DestLen, const void* Data, int Len)
{
    int Result = wsk::sendto(FHSocket, static_cast<const char*>(Data), Len, FSendFlags,
                             reinterpret_cast<const SOCKADDR*>(&Dest), DestLen);
    if (Result > 0 && OnSendData)
        OnSendData(this, Result);
    return Result;
}

bool TCustomWSocket::ReadableBytesWaiting()
{
    if (FType != SOCK_STREAM)
        return false;
    winsock::u_long Count = 0;
    return wsk::ioctlsocket(FHSocket, FIONREAD, &Count) == 0 && Count > 0;
}

void TCustomWSocket::FlushSendQueue()
{
    while (FHSocket != INVALID_SOCKET && !FAllSent && !FSendGone) {
        DrainSendQueue();
        PumpMessages();
    }
}

void TCustomWSocket::DiscardSendQueue() { FBufList.clear(); }

TSocketSendFlags TCustomWSocket::SendFlags()
{
    switch (FSendFlags) {
    case 0: return wsSendNormal;
    case MSG_OOB: return wsSendUrgent;
    default:
        ReportFailure("Invalid internal SendFlags");
        return wsSendNormal;
    }
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value)
{
    switch (Value) {
    case wsSendNormal: FSendFlags = 0; break;
    case wsSendUrgent: FSendFlags = MSG_OOB; break;
    default: ReportFailure("Invalid SendFlags"); break;
    }
}

} // namespace net
