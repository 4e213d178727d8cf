#pragma once
// The socket chain up to TWSocket:
//   TCustomWSocket       the asynchronous socket object (WSocketCore.h)
//   TCustomSocksWSocket  SOCKS proxy settings; passes everything through
//   TCustomLineWSocket   optional line mode
//   TCustomSyncWSocket   blocking-style waits built on message pumping
//   TWSocket             what programs use

#include "WSocketCore.h"

#include <string>

namespace net {

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState { socksAuthStart, socksAuthSuccess, socksAuthFailure, socksAuthNotRequired };

using TSocksErrorEvent = std::function<void(rtl::TObject* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(rtl::TObject* Sender, TSocksAuthState AuthState)>;

// Holds the SOCKS settings and their rules. Negotiating with a proxy is not
// available: SocksServer stays empty (setting it is refused with a clear
// message rather than failing later in the middle of a connect), so every
// connect, listen and receive goes straight to the core.
class TCustomSocksWSocket : public TCustomWSocket {
public:
    explicit TCustomSocksWSocket(TNetComponent* AOwner = nullptr);

    const std::string& SocksServer() const { return FSocksServer; }
    virtual void SetSocksServer(const std::string& Value);
    const std::string& SocksPort() const { return FSocksPort; }
    virtual void SetSocksPort(const std::string& Value);
    const std::string& SocksLevel() const { return FSocksLevel; }
    void SetSocksLevel(const std::string& Value);
    std::string SocksUsercode;
    std::string SocksPassword;
    TSocksAuthentication SocksAuthentication = socksNoAuthentication;

    TSessionConnected OnSocksConnected;
    TSocksErrorEvent OnSocksError;
    TSocksAuthStateEvent OnSocksAuthState;

protected:
    void ResetDefaults() override;
    virtual void FireSocksConnected(uint16_t Error);
    virtual void FireSocksError(int Error, const std::string& Msg);

private:
    std::string FSocksServer;
    std::string FSocksPort;
    std::string FSocksLevel = "5";
};

// TLineLimitEvent: ClearData comes in true; left true, the over-long
// partial line is dropped.
using TLineLimitEvent = std::function<void(rtl::TObject* Sender, int RcvdLength, bool& ClearData)>;

// Line mode: received bytes are collected and OnDataAvailable fires once per
// complete line ending in LineEnd; RcvdCount and ReceiveInto then give that
// line. Off (the default) it passes everything through unchanged.
class TCustomLineWSocket : public TCustomSocksWSocket {
public:
    explicit TCustomLineWSocket(TNetComponent* AOwner = nullptr);

    bool LineMode() const { return FLineMode; }
    virtual void SetLineMode(bool Value);
    std::string LineEnd = "\r\n";
    int LineLimit = 65536;
    bool LineEcho = false; // send received bytes back as they come
    bool LineEdit = false; // backspace (8) and delete (127) take back a byte
    TLineLimitEvent OnLineLimitExceeded;

    int RcvdCount() override;

protected:
    winsock::LRESULT HandleWindowMessage(winsock::UINT Msg, winsock::WPARAM WParam, winsock::LPARAM LParam) override;
    void ResetDefaults() override;
    bool FireDataAvailable(uint16_t Error) override;
    void FireSessionClosed(uint16_t Error) override;
    int RawReceive(void* Buffer, int BufferSize) override;
    virtual void FireLineLimitExceeded(int RcvdLength, bool& ClearData);
    // Applies LineEdit to newly received bytes before they join the buffer.
    virtual void ApplyLineEditing(std::string& Chunk);

private:
    // Reads what the platform has into the line buffer; false on failure.
    bool CollectRaw();
    // Offers buffered data to the handler while there is some to offer and
    // the handler takes it.
    bool OfferBuffered(uint16_t Error);
    size_t CompleteLineLength() const;

    bool FLineMode = false;
    std::string FLineBuffer;
    size_t FLineReady = 0; // length of the line being offered, 0 = none
};

// Waits that pump messages until a flag is set.
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    explicit TCustomSyncWSocket(TNetComponent* AOwner = nullptr);

    // Milliseconds; 0 = no limit.
    unsigned Timeout = 0;

    // 0 once Done is true; 12001 when the time limit passed or the program
    // (or, MultiThreaded, the thread) was asked to stop.
    virtual int WaitUntilDone(const bool& Done);
    // Clears Done, runs Proc, waits as WaitUntilDone.
    virtual int RunAndWait(const std::function<void()>& Proc, bool& Done);
};

class TWSocket : public TCustomSyncWSocket {
public:
    explicit TWSocket(TNetComponent* AOwner = nullptr);
};

} // namespace net
