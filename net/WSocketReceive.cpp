// Receiving: the receive loop run for FD_READ and FD_CLOSE, and the reads
// handlers make.
#include "WSocketCore.h"

namespace net {

using namespace winsock;

void TCustomWSocket::ReceiveLoop(uint16_t Error, TWSocketOptions Options)
{
    try {
        for (;;) {
            FLastError = 0;
            const uint64_t ReadBefore = FRawBytesRead;
            if (!FireDataAvailable(Error)) {
                char Scratch[1024];
                int n = wsk::recv(FHSocket, Scratch, sizeof Scratch, 0);
                if (n > 0) {
                    FRawBytesRead += static_cast<uint64_t>(n);
                } else if (n < 0) {
                    int Err = wsk::WSAGetLastError();
                    if (Err == WSAEWOULDBLOCK) {
                        FLastError = 0;
                        break;
                    }
                    FLastError = Err;
                }
            }
            if (Options.Contains(wsoNoReceiveLoop))
                break;
            if (FLastError != 0)
                break;
            winsock::u_long Count = 0;
            if (wsk::ioctlsocket(FHSocket, FIONREAD, &Count) == SOCKET_ERROR) {
                FLastError = wsk::WSAGetLastError();
                break;
            }
            if (Count == 0)
                break;
            // A handler that read nothing would be offered the same bytes
            // forever; they stay queued until someone reads them.
            if (FRawBytesRead == ReadBefore)
                break;
        }
    } catch (...) {
        // Lost on purpose: a failing data handler must not end the session.
    }
}

int TCustomWSocket::RawReceive(void* Buffer, int BufferSize)
{
    int n = wsk::recv(FHSocket, static_cast<char*>(Buffer), BufferSize, 0);
    if (n > 0)
        FRawBytesRead += static_cast<uint64_t>(n);
    return n;
}

int TCustomWSocket::RawReceiveFrom(void* Buffer, int BufferSize, SOCKADDR_IN& From, int& FromLen)
{
    int n = wsk::recvfrom(FHSocket, static_cast<char*>(Buffer), BufferSize, 0,
                          reinterpret_cast<SOCKADDR*>(&From), &FromLen);
    if (n > 0)
        FRawBytesRead += static_cast<uint64_t>(n);
    return n;
}

int TCustomWSocket::ReceiveInto(void* Buffer, int BufferSize)
{
    int n = RawReceive(Buffer, BufferSize);
    if (n < 0) {
        FLastError = wsk::WSAGetLastError();
        return -1;
    }
    FReadCount += n;
    return n;
}

int TCustomWSocket::ReceiveDatagramFrom(void* Buffer, int BufferSize, SOCKADDR_IN& From, int& FromLen)
{
    int n = RawReceiveFrom(Buffer, BufferSize, From, FromLen);
    if (n < 0) {
        FLastError = wsk::WSAGetLastError();
        return -1;
    }
    FReadCount += n;
    return n;
}

int TCustomWSocket::RcvdCount()
{
    winsock::u_long Count = 0;
    if (wsk::ioctlsocket(FHSocket, FIONREAD, &Count) == SOCKET_ERROR) {
        ReportSocketError("ioctlSocket");
        return -1;
    }
    return static_cast<int>(Count);
}

std::string TCustomWSocket::ReceiveAvailable()
{
    int n = RcvdCount();
    if (n < 0)
        return {};
    if (n == 0)
        n = 255;
    std::string Data(static_cast<size_t>(n), '\0');
    int Got = ReceiveInto(Data.data(), n);
    if (Got <= 0)
        return {};
    Data.resize(static_cast<size_t>(Got));
    return Data;
}

void TCustomWSocket::DrainUntilClosed()
{
    while (FHSocket != INVALID_SOCKET && FState != wsClosed) {
        PumpMessages();
        winsock::u_long Count = 0;
        if (wsk::ioctlsocket(FHSocket, FIONREAD, &Count) == SOCKET_ERROR)
            break;
        if (Count > 0)
            FireDataAvailable(0);
        char Dummy;
        wsk::WSASetLastError(0);
        if (wsk::recv(FHSocket, &Dummy, 0, 0) < 1) {
            FLastError = wsk::WSAGetLastError();
            if (FLastError != WSAEWOULDBLOCK)
                break;
        }
        PumpMessages();
    }
}

} // namespace net
