#pragma once
// The serial port component: TVaComm owns one serial device, keeps the line
// settings as properties and writes them into the device's control block,
// and reports line events through callbacks.
//
// Everything here runs on the main thread; the event thread (VaCommThread.h)
// only waits on the device and hands its reports over. PortLock is held
// during every call on the open device.

#include "CommApi.h"
#include "VaClasses.h"
#include "VaPrst.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

// ---- Settings ---------------------------------------------------------------

enum TVaBaudrate : uint8_t {
    br110, br300, br600, br1200, br2400, br4800, br9600, br14400,
    br19200, br38400, br56000, br57600, br115200, br128000, br256000
};
enum TVaParity : uint8_t { paNone, paOdd, paEven, paMark, paSpace };
enum TVaDatabits : uint8_t { db4, db5, db6, db7, db8 };
enum TVaStopbits : uint8_t { sb1, sb15, sb2 };
enum TVaFlowControl : uint8_t { fcNone, fcXonXoff, fcRtsCts, fcDtrDsr };
enum TVaDTRControl : uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TVaRTSControl : uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };

enum TVaCommEvent : uint8_t {
    ceBreak, ceCts, ceDsr, ceError, ceRing, ceRlsd, ceRxChar, ceTxEmpty, ceRxFlag
};
using TVaCommEvents = TVaSet<TVaCommEvent, uint16_t>;

enum TVaCommOption : uint8_t {
    coContinueOnXOff, coErrorChar, coNullStrip, coParityCheck, coDsrSensitivity
};
using TVaCommOptions = TVaSet<TVaCommOption, uint8_t>;

enum TThreadPriority : uint8_t {
    tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical
};

// Bits per second for a rate setting.
win::DWORD VaBaudrateValue(TVaBaudrate rate);

// The control block's flag word for a flow control, line controls and
// options: fBinary and fAbortOnError always; the flow control's bits; the DTR
// bits unless the flow control is fcDtrDsr (DTR then does the handshake), the
// RTS bits unless it is fcRtsCts.
win::DWORD VaDcbFlags(TVaFlowControl flow, TVaDTRControl dtr, TVaRTSControl rts, TVaCommOptions options);

// ---- Callbacks and errors ---------------------------------------------------

using TVaCommErrorEvent = std::function<void(rtl::TObject* Sender, int32_t Errors)>;
using TVaCommRxCharEvent = std::function<void(rtl::TObject* Sender, int32_t Count)>;
using TVaCommRxBufEvent = std::function<void(rtl::TObject* Sender, const void* Buf, int32_t Count)>;

// Every failure the port object detects itself.
class EVaCommError : public rtl::Exception {
public:
    using rtl::Exception::Exception;
};

// A system message without what ends it: trailing control characters,
// blanks and full stops.
std::string VaTrimErrorText(std::string text);

// ---- Synchronisation --------------------------------------------------------

// Owns one handle of the comm API and remembers why a wait failed.
class TVaHandleObject : public rtl::TObject {
public:
    enum class WaitOutcome { Signaled, TimedOut, Abandoned, Failed };

    explicit TVaHandleObject(win::HANDLE handle) : handle_(handle) {}
    ~TVaHandleObject() override;
    TVaHandleObject(const TVaHandleObject&) = delete;
    TVaHandleObject& operator=(const TVaHandleObject&) = delete;

    win::HANDLE Handle() const { return handle_; }
    // The platform's error of the last failed wait, 0 until one fails.
    win::DWORD LastError() const { return lastError_; }

    WaitOutcome WaitForSignal(win::DWORD milliseconds);
    bool Signal();
    bool Unsignal();

private:
    win::HANDLE handle_;
    win::DWORD lastError_ = 0;
};

class TVaEvent : public TVaHandleObject {
public:
    using TVaHandleObject::TVaHandleObject;
};

// A manual-reset event, not signalled at first.
class TVaSimpleEvent : public TVaEvent {
public:
    TVaSimpleEvent();
};

// A lock that the thread holding it may take again, as the port's calls
// were written for.
class TVaCriticalSection : public rtl::TObject {
public:
    void Enter() { mutex_.lock(); }
    void Leave() { mutex_.unlock(); }
    // For std::lock_guard.
    void lock() { Enter(); }
    void unlock() { Leave(); }

private:
    std::recursive_mutex mutex_;
};

// ---- The port object --------------------------------------------------------

class TVaCommThread; // the event thread

class TVaCustomComm : public TVaCoreComponent {
public:
    explicit TVaCustomComm(rtl::TObject* owner = nullptr);
    ~TVaCustomComm() override;

    // Properties. Setters compare first: an unchanged value does nothing.
    // "Apply" setters rewrite the control block of an open port at once;
    // "refused while open" setters raise on a change while the port is open.
    bool AutoOpen() const { return autoOpen_; }
    void SetAutoOpen(bool value) { autoOpen_ = value; }
    TVaBaudrate Baudrate() const { return baudrate_; }
    void SetBaudrate(TVaBaudrate value);       // apply
    TVaParity Parity() const { return parity_; }
    void SetParity(TVaParity value);           // apply
    TVaDatabits Databits() const { return databits_; }
    void SetDatabits(TVaDatabits value);       // apply
    TVaStopbits Stopbits() const { return stopbits_; }
    void SetStopbits(TVaStopbits value);       // apply
    int32_t PortNum() const { return portNum_; }
    void SetPortNum(int32_t value);            // refused while open
    // A format with at most one %d, which takes PortNum ("COM%d", "/dev/ttyS%d");
    // without %d it names the device as it is. Read at the next OpenPort.
    const std::string& DeviceName() const { return deviceName_; }
    void SetDeviceName(const std::string& value) { deviceName_ = value; }
    TVaCommEvents MonitorEvents() const { return monitorEvents_; }
    void SetMonitorEvents(TVaCommEvents value); // refused while open
    // The owned object; setting a character on it also applies the settings.
    TVaEventChars* EventChars() { return &eventChars_; }
    void SetEventChars(const TVaEventChars* value); // copied, applied once
    int32_t ReadBufSize() const { return readBufSize_; }
    void SetReadBufSize(int32_t value);        // refused while open
    int32_t WriteBufSize() const { return writeBufSize_; }
    void SetWriteBufSize(int32_t value);       // refused while open
    int32_t ReadTimeout() const { return readTimeout_; }
    void SetReadTimeout(int32_t value) { readTimeout_ = value; }
    int32_t WriteTimeout() const { return writeTimeout_; }
    void SetWriteTimeout(int32_t value) { writeTimeout_ = value; }
    TVaFlowControl FlowControl() const { return flowControl_; }
    void SetFlowControl(TVaFlowControl value); // apply
    TVaCommOptions Options() const { return options_; }
    void SetOptions(TVaCommOptions value);     // apply
    int32_t XonLim() const { return xonLim_; }
    void SetXonLim(int32_t value);             // apply
    int32_t XoffLim() const { return xoffLim_; }
    void SetXoffLim(int32_t value);            // apply
    TThreadPriority Priority() const { return priority_; }
    void SetPriority(TThreadPriority value);   // refused while open
    TVaDTRControl DTRControl() const { return dtrControl_; }
    void SetDTRControl(TVaDTRControl value);   // apply
    TVaRTSControl RTSControl() const { return rtsControl_; }
    void SetRTSControl(TVaRTSControl value);   // apply

    rtl::TNotifyEvent OnOpen;
    rtl::TNotifyEvent OnClose;
    rtl::TNotifyEvent OnCts;
    rtl::TNotifyEvent OnDsr;
    rtl::TNotifyEvent OnRlsd;
    rtl::TNotifyEvent OnRing;
    rtl::TNotifyEvent OnBreak;
    TVaCommErrorEvent OnError;
    // Asked, once the port has been closed because its device went away,
    // whether the owner takes care of that; when it is not set or says no,
    // the failure is raised as "Read error (%d), %s".
    std::function<bool(rtl::TObject* Sender, win::DWORD Code)> OnDeviceGone;
    TVaCommRxCharEvent OnRxChar;
    rtl::TNotifyEvent OnRxFlag;
    TVaCommRxBufEvent OnRxBuf; // never raised: no receive processor is attached
    rtl::TNotifyEvent OnEvent1;
    rtl::TNotifyEvent OnEvent2;
    rtl::TNotifyEvent OnTxEmpty;
    rtl::TNotifyEvent OnRx80Full;

    // Opening and closing.
    void OpenPort();
    void ClosePort();
    bool PortIsOpen() const { return deviceHandle_ != win::INVALID_HANDLE_VALUE; }
    win::HANDLE DeviceHandle() const { return deviceHandle_; }

    // DeviceName formatted with PortNum; a DeviceName that is not such a
    // format raises EConvertError.
    std::string ExpandDeviceName() const;

    // Writes the properties into the control block of an open port.
    void ApplySettings();
    // The control block's fields that the properties decide, filled into
    // `dcb`; every other field keeps its value.
    void FillDcb(win::DCB& dcb) const;
    // The event mask for MonitorEvents.
    win::DWORD MonitorEventMask() const;

    // Transfers, bounded by ReadTimeout, and by WriteTimeout plus the wire
    // time of the bytes at the current settings. A transfer that does
    // not complete in time is cancelled and counts 0 bytes: it never
    // completes later into the caller's buffer, and a write's bytes that the
    // device had not taken by then never go out.
    int32_t WriteBuffer(const void* buffer, int32_t count);
    int32_t ReadBuffer(void* buffer, int32_t count);
    // True when every byte was written in time.
    bool WriteString(const std::string& text);
    // The bytes waiting in the receive queue at the call; "" when none or
    // when the port is closed.
    std::string ReadString();

    // Queues and lines. On a closed port these do nothing (the status reads
    // give zeros), except the line checks, which look only at the settings.
    void ReadCommStatus(win::COMSTAT& stat);
    int32_t InQueueCount();
    void PurgeBuffers(win::DWORD flags);
    void PurgeAll();
    void CallCommFunction(win::DWORD function);
    void SetDtrLine(bool raise);
    // The device itself sets DTR to `raise` as soon as its transmitter has
    // run empty after the next write, without waiting for the main thread;
    // any SetDtrLine before that takes it back. Nothing on a closed port.
    void ReleaseDtrAfterSend(bool raise);
    void SetRtsLine(bool raise);
    void SetBreakLine(bool on);
    // true: go on sending as if XON had been received; false: as if XOFF.
    void SetXonState(bool xon);
    // False when the open device has no modem lines (a pty, some CDC-ACM
    // and rfcomm ports): DTR and RTS can be set there but change nothing.
    // True on a closed port, where nothing is known.
    bool ControlLinesAvailable();

    void Lock() { portLock_.Enter(); }
    void Unlock() { portLock_.Leave(); }

    // Raises EVaCommError with `format`'s %d replaced by `code` and its %s by
    // the system's text for the code.
    [[noreturn]] static void RaiseCommError(const char* format, win::DWORD code);

    // Event dispatch, on the main thread, bound to the event thread's
    // handlers by OpenPort. HandleRxChar raises OnRxChar with the bytes
    // waiting; HandleCommEvents raises the callbacks of the other bits of a
    // report in their fixed order. HandleDeviceFailure closes the port when
    // the device has gone and raises "Read error (%d), %s".
    virtual void HandleRxChar();
    virtual void HandleCommEvents(win::DWORD events);
    virtual void HandleDeviceFailure(win::DWORD code);

protected:
    void AfterLoad() override;

    // Opens the device named by ExpandDeviceName into DeviceHandle.
    virtual void OpenDevice();
    void CloseDevice();
    void ApplyTimeouts();
    void ApplyBufferSizes();
    void SetEventMask(win::DWORD mask);
    void ReadDcb(win::DCB& dcb);
    // The one place where settings reach the device.
    virtual void WriteDcb(const win::DCB& dcb);
    void RequireClosed() const;
    void DoOpen();
    void DoClose();

    TVaCriticalSection& PortLock() { return portLock_; }
    TVaSimpleEvent& TransferEvent() { return transferEvent_; }

private:
    template <class T>
    void SetApplied(T& field, T value);
    template <class T>
    void SetRefusedWhileOpen(T& field, T value);
    // One transfer: `start` issues it on the overlapped block, a start
    // failure raises `failureFormat`, and the wait is bounded by `timeout`.
    template <class Start>
    int32_t Transfer(Start start, const char* failureFormat, int32_t timeout);
    // How long a write of `count` bytes may take: WriteTimeout plus the
    // bytes' wire time at the device's current frame and rate.
    int32_t WriteWaitMs(int32_t count);
    // Tells the event thread to stop and forgets it; it frees itself.
    void StopEventThread();

    // Gone when the object is: a callback that destroyed the object is
    // noticed by the dispatch that called it.
    std::shared_ptr<int> lifeToken_ = std::make_shared<int>(0);
    // Counts the event threads told to stop; a dispatch that sees it change
    // under a callback stops calling.
    uint64_t stopCount_ = 0;
    win::HANDLE deviceHandle_ = win::INVALID_HANDLE_VALUE;
    TVaCriticalSection portLock_;
    TVaSimpleEvent transferEvent_;
    TVaCommThread* eventThread_ = nullptr; // not owned
    bool autoOpen_ = false;
    int32_t portNum_ = 0;
    std::string deviceName_ = "COM%d";
    TVaCommEvents monitorEvents_;
    TVaBaudrate baudrate_ = br1200;
    TVaParity parity_ = paNone;
    TVaDatabits databits_ = db8;
    TVaStopbits stopbits_ = sb1;
    int32_t readBufSize_ = 4096;
    int32_t writeBufSize_ = 2048;
    int32_t readTimeout_ = 1000;
    int32_t writeTimeout_ = 1000;
    TVaCommOptions options_;
    TVaFlowControl flowControl_ = fcRtsCts;
    TVaEventChars eventChars_;
    int32_t xonLim_ = 1024;
    int32_t xoffLim_ = 1024;
    TThreadPriority priority_ = tpNormal;
    TVaDTRControl dtrControl_ = dtrEnable;
    TVaRTSControl rtsControl_ = rtsEnable;
};

// The port object as the window uses it.
class TVaComm : public TVaCustomComm {
public:
    using TVaCustomComm::TVaCustomComm;
};
