#include "VaComm.h"

#include "LineRelease.h"

#include "VaCommThread.h"

#include <algorithm>

namespace {

// Messages of the port object. The window recognises a refused setting by
// "Error writing dcb", so that text keeps its wording.
constexpr const char* MsgPortOpen = "Can't perform this operation when port is open";
constexpr const char* MsgReadDcb = "Error reading dcb (%d), %s";
constexpr const char* MsgWriteDcb = "Error writing dcb (%d), %s";
constexpr const char* MsgTimeouts = "Error setting timeouts (%d), %s";
constexpr const char* MsgBuffers = "Error initializing buffers (%d), %s";
constexpr const char* MsgEventMask = " Error setting EventMask (%d), %s";
constexpr const char* MsgPurge = "Error clearing buffers (%d), %s";
constexpr const char* MsgStatistics = "Error retrieving statistics (%d), %s";
constexpr const char* MsgCommFunction = "Error calling comm function (%d), %s";
constexpr const char* MsgManualDtr = "Manual DTR line updates not allowed.";
constexpr const char* MsgManualRts = "Manual RTS line updates not allowed.";
constexpr const char* MsgWrite = "Write error (%d), %s";
constexpr const char* MsgRead = "Read error (%d), %s";

// System texts longer than this did not fit the message buffer on the
// original platform and came out empty; keep that so messages stay bounded.
constexpr size_t MaxSystemTextLength = 255;

constexpr win::DWORD AllPurgeFlags =
    win::PURGE_TXABORT | win::PURGE_RXABORT | win::PURGE_TXCLEAR | win::PURGE_RXCLEAR;

// Holds PortLock for a scope, also when the scope raises.
using PortGuard = std::lock_guard<TVaCriticalSection>;

} // namespace

// ---- Settings ---------------------------------------------------------------

win::DWORD VaBaudrateValue(TVaBaudrate rate)
{
    static constexpr win::DWORD rates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                           19200, 38400, 56000, 57600, 115200, 128000, 256000};
    return rates[rate];
}

win::DWORD VaDcbFlags(TVaFlowControl flow, TVaDTRControl dtr, TVaRTSControl rts, TVaCommOptions options)
{
    static constexpr win::DWORD flowBits[] = {
        0,                                                     // fcNone
        win::fOutX | win::fInX,                                // fcXonXoff
        win::fOutxCtsFlow | (win::RTS_CONTROL_HANDSHAKE << 12), // fcRtsCts
        win::fOutxDsrFlow | (win::DTR_CONTROL_HANDSHAKE << 4),  // fcDtrDsr
    };
    static constexpr win::DWORD dtrBits[] = {win::DTR_CONTROL_DISABLE << 4, win::DTR_CONTROL_ENABLE << 4,
                                             win::DTR_CONTROL_HANDSHAKE << 4};
    static constexpr win::DWORD rtsBits[] = {win::RTS_CONTROL_DISABLE << 12, win::RTS_CONTROL_ENABLE << 12,
                                             win::RTS_CONTROL_HANDSHAKE << 12, win::RTS_CONTROL_TOGGLE << 12};
    static constexpr win::DWORD optionBits[] = {win::fTXContinueOnXoff, win::fErrorChar, win::fNull,
                                                win::fParity, win::fDsrSensitivity};

    win::DWORD flags = flowBits[flow] | win::fBinary | win::fAbortOnError;
    if (flow != fcDtrDsr)
        flags |= dtrBits[dtr];
    if (flow != fcRtsCts)
        flags |= rtsBits[rts];
    for (int option = coContinueOnXOff; option <= coDsrSensitivity; ++option) {
        if (options.Contains(static_cast<TVaCommOption>(option)))
            flags |= optionBits[option];
        else
            flags &= ~optionBits[option];
    }
    return flags;
}

std::string VaTrimErrorText(std::string text)
{
    while (!text.empty()) {
        unsigned char last = static_cast<unsigned char>(text.back());
        if (last > ' ' && last != '.')
            break;
        text.pop_back();
    }
    return text;
}

// ---- Synchronisation --------------------------------------------------------

TVaHandleObject::~TVaHandleObject()
{
    win::CloseHandle(handle_);
}

TVaHandleObject::WaitOutcome TVaHandleObject::WaitForSignal(win::DWORD milliseconds)
{
    switch (win::WaitForSingleObject(handle_, milliseconds)) {
    case win::WAIT_OBJECT_0: return WaitOutcome::Signaled;
    case win::WAIT_TIMEOUT: return WaitOutcome::TimedOut;
    case win::WAIT_ABANDONED: return WaitOutcome::Abandoned;
    case win::WAIT_FAILED: lastError_ = win::GetLastError(); return WaitOutcome::Failed;
    default: return WaitOutcome::Failed;
    }
}

bool TVaHandleObject::Signal()
{
    return win::SetEvent(handle_);
}

bool TVaHandleObject::Unsignal()
{
    return win::ResetEvent(handle_);
}

TVaSimpleEvent::TVaSimpleEvent() : TVaEvent(win::CreateEvent(true, false)) {}

// ---- The port object --------------------------------------------------------

TVaCustomComm::TVaCustomComm(rtl::TObject* owner) : TVaCoreComponent(owner)
{
    eventChars_.ChangeHandler = [this](rtl::TObject*) { ApplySettings(); };
}

TVaCustomComm::~TVaCustomComm()
{
    lifeToken_.reset();
    MarkDestroying();
    try {
        ClosePort();
    } catch (...) {
        // A destructor cannot report; a failed purge must not keep the
        // device open past the object's life.
        CloseDevice();
    }
}

void TVaCustomComm::AfterLoad()
{
    if (!IsDesigning() && autoOpen_)
        OpenPort();
}

// -- Property setters

// "Apply" properties: a change reaches an open port's control block at once.
template <class T>
void TVaCustomComm::SetApplied(T& field, T value)
{
    if (value == field)
        return;
    field = value;
    ApplySettings();
}

// "Refused while open" properties: a change needs the port closed.
template <class T>
void TVaCustomComm::SetRefusedWhileOpen(T& field, T value)
{
    if (value == field)
        return;
    RequireClosed();
    field = value;
}

void TVaCustomComm::SetBaudrate(TVaBaudrate value)
{
    SetApplied(baudrate_, value);
}

void TVaCustomComm::SetParity(TVaParity value)
{
    SetApplied(parity_, value);
}

void TVaCustomComm::SetDatabits(TVaDatabits value)
{
    SetApplied(databits_, value);
}

void TVaCustomComm::SetStopbits(TVaStopbits value)
{
    SetApplied(stopbits_, value);
}

void TVaCustomComm::SetFlowControl(TVaFlowControl value)
{
    SetApplied(flowControl_, value);
}

void TVaCustomComm::SetOptions(TVaCommOptions value)
{
    SetApplied(options_, value);
}

void TVaCustomComm::SetXonLim(int32_t value)
{
    SetApplied(xonLim_, value);
}

void TVaCustomComm::SetXoffLim(int32_t value)
{
    SetApplied(xoffLim_, value);
}

void TVaCustomComm::SetDTRControl(TVaDTRControl value)
{
    SetApplied(dtrControl_, value);
}

void TVaCustomComm::SetRTSControl(TVaRTSControl value)
{
    SetApplied(rtsControl_, value);
}

void TVaCustomComm::SetPortNum(int32_t value)
{
    SetRefusedWhileOpen(portNum_, value);
}

void TVaCustomComm::SetMonitorEvents(TVaCommEvents value)
{
    SetRefusedWhileOpen(monitorEvents_, value);
}

void TVaCustomComm::SetReadBufSize(int32_t value)
{
    SetRefusedWhileOpen(readBufSize_, value);
}

void TVaCustomComm::SetWriteBufSize(int32_t value)
{
    SetRefusedWhileOpen(writeBufSize_, value);
}

void TVaCustomComm::SetPriority(TThreadPriority value)
{
    SetRefusedWhileOpen(priority_, value);
}

void TVaCustomComm::SetEventChars(const TVaEventChars* value)
{
    eventChars_.CopyFrom(value);
}

// -- Opening and closing

void TVaCustomComm::OpenPort()
{
    RequireClosed();
    OpenDevice();
    // From here on a failure undoes the open and passes on unchanged.
    try {
        ApplySettings();
        ApplyTimeouts();
        ApplyBufferSizes();
        SetEventMask(MonitorEventMask());
        // The thread frees itself once told to stop; a failure in DoOpen
        // tells it through StopEventThread below.
        eventThread_ = new TVaCommThread(deviceHandle_, priority_);
        eventThread_->RxCharHandler = [this](rtl::TObject*) { HandleRxChar(); };
        eventThread_->EventsHandler = [this](rtl::TObject*, win::DWORD events) { HandleCommEvents(events); };
        eventThread_->FailureHandler = [this](rtl::TObject*, win::DWORD code) { HandleDeviceFailure(code); };
        eventThread_->Start();
        DoOpen();
    } catch (...) {
        StopEventThread();
        CloseDevice();
        throw;
    }
}

void TVaCustomComm::ClosePort()
{
    if (!PortIsOpen())
        return;
    StopEventThread();
    PurgeAll();
    CloseDevice();
    DoClose();
}

void TVaCustomComm::StopEventThread()
{
    ++stopCount_;
    if (!eventThread_)
        return;
    TVaCommThread* thread = eventThread_;
    eventThread_ = nullptr;
    thread->RequestStop();
}

// -- Event dispatch

void TVaCustomComm::HandleRxChar()
{
    win::COMSTAT stat;
    ReadCommStatus(stat);
    auto count = static_cast<int32_t>(stat.cbInQue);
    if (count <= 0)
        return;
    // Copies: a callback may destroy this object, and with it the callback.
    TVaCommRxCharEvent rxChar = OnRxChar;
    if (rxChar)
        rxChar(this, count);
}

void TVaCustomComm::HandleCommEvents(win::DWORD events)
{
    win::DWORD errors = 0;
    if (events & win::EV_ERR) {
        PortGuard guard(portLock_);
        if (PortIsOpen()) {
            win::COMSTAT stat;
            if (!win::ClearCommError(deviceHandle_, &errors, &stat))
                RaiseCommError(MsgStatistics, win::GetLastError());
        }
    }
    struct Slot {
        win::DWORD bit;
        rtl::TNotifyEvent TVaCustomComm::*callback;
    };
    static constexpr Slot slots[] = {
        {win::EV_RXFLAG, &TVaCustomComm::OnRxFlag}, {win::EV_RX80FULL, &TVaCustomComm::OnRx80Full},
        {win::EV_CTS, &TVaCustomComm::OnCts},       {win::EV_DSR, &TVaCustomComm::OnDsr},
        {win::EV_RING, &TVaCustomComm::OnRing},     {win::EV_RLSD, &TVaCustomComm::OnRlsd},
        {win::EV_TXEMPTY, &TVaCustomComm::OnTxEmpty}, {win::EV_BREAK, &TVaCustomComm::OnBreak},
        {win::EV_EVENT1, &TVaCustomComm::OnEvent1}, {win::EV_EVENT2, &TVaCustomComm::OnEvent2},
    };
    // After a callback that closed the port (or destroyed this object) the
    // report is over: nothing is called after the thread was told to stop.
    std::weak_ptr<int> alive = lifeToken_;
    const uint64_t stops = stopCount_;
    auto goOn = [&] { return !alive.expired() && stopCount_ == stops; };

    if (events & win::EV_ERR) {
        TVaCommErrorEvent error = OnError;
        if (error) {
            error(this, static_cast<int32_t>(errors));
            if (!goOn())
                return;
        }
    }
    for (const Slot& slot : slots) {
        if (!(events & slot.bit))
            continue;
        rtl::TNotifyEvent callback = this->*slot.callback;
        if (!callback)
            continue;
        callback(this);
        if (!goOn())
            return;
    }
}

void TVaCustomComm::HandleDeviceFailure(win::DWORD code)
{
    if (!PortIsOpen())
        return;
    // The close of ClosePort, except that a device that has gone may refuse
    // the purge: its queues went with it.
    StopEventThread();
    try {
        PurgeAll();
    } catch (const EVaCommError&) {
    }
    CloseDevice();
    std::weak_ptr<int> alive = lifeToken_;
    DoClose();
    if (alive.expired())
        return;
    auto gone = OnDeviceGone;
    if (gone && gone(this, code))
        return;
    RaiseCommError(MsgRead, code);
}

void TVaCustomComm::OpenDevice()
{
    // Expanded first: a bad DeviceName fails before anything is opened.
    std::string path = ExpandDeviceName();
    win::HANDLE handle = win::CreateFile(path);
    if (handle == win::INVALID_HANDLE_VALUE) {
        // The messages name the port by its number, whatever path it has.
        if (win::GetLastError() == win::ERROR_FILE_NOT_FOUND)
            throw EVaCommError(rtl::Format("Invalid port number (COM%d)", portNum_));
        throw EVaCommError(rtl::Format("Can't open device COM%d", portNum_));
    }
    deviceHandle_ = handle;
}

void TVaCustomComm::CloseDevice()
{
    win::CloseHandle(deviceHandle_);
    deviceHandle_ = win::INVALID_HANDLE_VALUE;
}

std::string TVaCustomComm::ExpandDeviceName() const
{
    // DeviceName comes from stored settings, so it is never handed to printf:
    // only "%d" (once) and "%%" are understood, anything else is refused.
    auto invalid = [this]() {
        return rtl::EConvertError("Format '" + deviceName_ + "' ung\xfcltig oder nicht kompatibel mit Argument");
    };
    std::string path;
    bool numberUsed = false;
    for (size_t i = 0; i < deviceName_.size(); ++i) {
        char c = deviceName_[i];
        if (c != '%') {
            path += c;
            continue;
        }
        char next = i + 1 < deviceName_.size() ? deviceName_[i + 1] : '\0';
        if (next == '%') {
            path += '%';
        } else if (next == 'd' && !numberUsed) {
            path += std::to_string(portNum_);
            numberUsed = true;
        } else {
            throw invalid();
        }
        ++i;
    }
    return path;
}

// -- Settings

void TVaCustomComm::FillDcb(win::DCB& dcb) const
{
    dcb.BaudRate = VaBaudrateValue(baudrate_);
    dcb.ByteSize = static_cast<win::BYTE>(4 + databits_);
    dcb.Parity = static_cast<win::BYTE>(parity_);
    dcb.StopBits = static_cast<win::BYTE>(stopbits_);
    dcb.Flags = VaDcbFlags(flowControl_, dtrControl_, rtsControl_, options_);
    dcb.XonLim = static_cast<win::WORD>(xonLim_);
    dcb.XoffLim = static_cast<win::WORD>(xoffLim_);
    dcb.XonChar = static_cast<char>(eventChars_.XonChar());
    dcb.XoffChar = static_cast<char>(eventChars_.XoffChar());
    dcb.ErrorChar = static_cast<char>(eventChars_.ErrorChar());
    dcb.EvtChar = static_cast<char>(eventChars_.EventChar());
}

void TVaCustomComm::ApplySettings()
{
    // While the stored definition is applied the settings are only
    // collected; the next OpenPort writes them.
    if (IsLoading())
        return;
    PortGuard guard(portLock_);
    if (!PortIsOpen())
        return;
    win::DCB dcb;
    ReadDcb(dcb);
    FillDcb(dcb);
    WriteDcb(dcb);
}

void TVaCustomComm::ReadDcb(win::DCB& dcb)
{
    if (!win::GetCommState(deviceHandle_, dcb))
        RaiseCommError(MsgReadDcb, win::GetLastError());
}

void TVaCustomComm::WriteDcb(const win::DCB& dcb)
{
    if (!win::SetCommState(deviceHandle_, dcb))
        RaiseCommError(MsgWriteDcb, win::GetLastError());
}

void TVaCustomComm::ApplyTimeouts()
{
    // Reads complete at once with what has arrived; writes have no device
    // time-out. ReadTimeout and WriteTimeout bound the transfers' own waits.
    win::COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = win::MAXDWORD;
    if (!win::SetCommTimeouts(deviceHandle_, timeouts))
        RaiseCommError(MsgTimeouts, win::GetLastError());
}

void TVaCustomComm::ApplyBufferSizes()
{
    if (!win::SetupComm(deviceHandle_, static_cast<win::DWORD>(readBufSize_),
                        static_cast<win::DWORD>(writeBufSize_)))
        RaiseCommError(MsgBuffers, win::GetLastError());
}

win::DWORD TVaCustomComm::MonitorEventMask() const
{
    static constexpr win::DWORD eventBits[] = {
        win::EV_BREAK, win::EV_CTS,    win::EV_DSR,     win::EV_ERR,   win::EV_RING,
        win::EV_RLSD,  win::EV_RXCHAR, win::EV_TXEMPTY, win::EV_RXFLAG,
    };
    win::DWORD mask = 0;
    for (int event = ceBreak; event <= ceRxFlag; ++event) {
        if (monitorEvents_.Contains(static_cast<TVaCommEvent>(event)))
            mask |= eventBits[event];
    }
    return mask;
}

void TVaCustomComm::SetEventMask(win::DWORD mask)
{
    PortGuard guard(portLock_);
    if (!win::SetCommMask(deviceHandle_, mask))
        RaiseCommError(MsgEventMask, win::GetLastError());
}

void TVaCustomComm::RequireClosed() const
{
    if (PortIsOpen())
        throw EVaCommError(MsgPortOpen);
}

void TVaCustomComm::DoOpen()
{
    if (OnOpen)
        OnOpen(this);
}

void TVaCustomComm::DoClose()
{
    if (OnClose && !IsDestroying())
        OnClose(this);
}

void TVaCustomComm::RaiseCommError(const char* format, win::DWORD code)
{
    std::string text = win::FormatMessage(code);
    if (text.size() > MaxSystemTextLength)
        text.clear();
    text = VaTrimErrorText(std::move(text));

    // Filled by hand: the formats are ours, but the text is the system's.
    std::string message;
    for (const char* p = format; *p; ++p) {
        if (p[0] == '%' && p[1] == 'd') {
            message += std::to_string(static_cast<int32_t>(code));
            ++p;
        } else if (p[0] == '%' && p[1] == 's') {
            message += text;
            ++p;
        } else {
            message += *p;
        }
    }
    throw EVaCommError(message);
}

// -- Transfers

template <class Start>
int32_t TVaCustomComm::Transfer(Start start, const char* failureFormat, int32_t timeout)
{
    PortGuard guard(portLock_);
    win::OVERLAPPED overlapped{};
    overlapped.hEvent = transferEvent_.Handle();
    win::DWORD done = 0;
    if (!start(overlapped, done)) {
        win::DWORD error = win::GetLastError();
        if (error != win::ERROR_IO_PENDING)
            RaiseCommError(failureFormat, error);
    }
    if (transferEvent_.WaitForSignal(static_cast<win::DWORD>(timeout)) != TVaHandleObject::WaitOutcome::Signaled) {
        // Withdrawn before anything can complete into `overlapped` or
        // `done`; a completion that slipped in before the cancel has set the
        // event, which must not be taken for the next transfer's.
        win::CancelIo(deviceHandle_, &overlapped);
        transferEvent_.Unsignal();
        return 0;
    }
    win::GetOverlappedResult(deviceHandle_, &overlapped, &done, false);
    transferEvent_.Unsignal();
    return static_cast<int32_t>(done);
}

int32_t TVaCustomComm::WriteWaitMs(int32_t count)
{
    // A negative time-out is the platform's "wait for ever" and stays so.
    if (writeTimeout_ < 0 || count <= 0)
        return writeTimeout_;
    // The bytes need their time on the wire before the transmitter has taken
    // the last of them: at 300 bit/s a line of 60 characters takes 2 s, so
    // WriteTimeout alone would fail every longer line. The frame is the one
    // the device really has (a refused setting leaves the old one in force);
    // the properties stand in when it cannot be read.
    win::DCB dcb;
    FillDcb(dcb);
    if (PortIsOpen()) {
        win::DCB device;
        if (win::GetCommState(deviceHandle_, device))
            dcb = device;
    }
    const win::DWORD rate = dcb.BaudRate ? dcb.BaudRate : VaBaudrateValue(baudrate_);
    // Bits per character in halves, so that 1.5 stop bits stay exact.
    const int64_t halfBits = 2 * (1 + dcb.ByteSize) + (dcb.Parity != win::NOPARITY ? 2 : 0) +
                             (dcb.StopBits == win::ONESTOPBIT ? 2 : dcb.StopBits == win::ONE5STOPBITS ? 3 : 4);
    const int64_t wireMs = (int64_t(count) * halfBits * 1000 + 2 * int64_t(rate) - 1) / (2 * int64_t(rate));
    // INFINITE is never reached by a sum.
    constexpr int64_t longest = int64_t(INT32_MAX);
    return static_cast<int32_t>(std::min(longest, int64_t(writeTimeout_) + wireMs));
}

int32_t TVaCustomComm::WriteBuffer(const void* buffer, int32_t count)
{
    auto start = [&](win::OVERLAPPED& overlapped, win::DWORD& done) {
        return win::WriteFile(deviceHandle_, buffer, static_cast<win::DWORD>(count), &done, &overlapped);
    };
    PortGuard guard(portLock_);
    return Transfer(start, MsgWrite, WriteWaitMs(count));
}

int32_t TVaCustomComm::ReadBuffer(void* buffer, int32_t count)
{
    auto start = [&](win::OVERLAPPED& overlapped, win::DWORD& done) {
        return win::ReadFile(deviceHandle_, buffer, static_cast<win::DWORD>(count), &done, &overlapped);
    };
    return Transfer(start, MsgRead, readTimeout_);
}

bool TVaCustomComm::WriteString(const std::string& text)
{
    return WriteBuffer(text.data(), static_cast<int32_t>(text.size())) == static_cast<int32_t>(text.size());
}

std::string TVaCustomComm::ReadString()
{
    int32_t waiting = InQueueCount();
    if (waiting <= 0)
        return {};
    std::string bytes(static_cast<size_t>(waiting), '\0');
    int32_t got = ReadBuffer(bytes.data(), waiting);
    bytes.resize(static_cast<size_t>(std::max(got, 0)));
    return bytes;
}

// -- Queues and lines

void TVaCustomComm::ReadCommStatus(win::COMSTAT& stat)
{
    stat = win::COMSTAT{};
    PortGuard guard(portLock_);
    if (!PortIsOpen())
        return;
    win::DWORD errors = 0;
    if (!win::ClearCommError(deviceHandle_, &errors, &stat))
        RaiseCommError(MsgStatistics, win::GetLastError());
}

int32_t TVaCustomComm::InQueueCount()
{
    if (!PortIsOpen())
        return 0;
    win::COMSTAT stat;
    ReadCommStatus(stat);
    return static_cast<int32_t>(stat.cbInQue);
}

void TVaCustomComm::PurgeBuffers(win::DWORD flags)
{
    PortGuard guard(portLock_);
    if (PortIsOpen() && !win::PurgeComm(deviceHandle_, flags))
        RaiseCommError(MsgPurge, win::GetLastError());
}

void TVaCustomComm::PurgeAll()
{
    PurgeBuffers(AllPurgeFlags);
}

void TVaCustomComm::CallCommFunction(win::DWORD function)
{
    PortGuard guard(portLock_);
    if (PortIsOpen() && !win::EscapeCommFunction(deviceHandle_, function))
        RaiseCommError(MsgCommFunction, win::GetLastError());
}

void TVaCustomComm::SetDtrLine(bool raise)
{
    if (dtrControl_ == dtrHandshake)
        throw EVaCommError(MsgManualDtr);
    CallCommFunction(raise ? win::SETDTR : win::CLRDTR);
}

void TVaCustomComm::ReleaseDtrAfterSend(bool raise)
{
    PortGuard guard(portLock_);
    if (dtrControl_ != dtrHandshake && PortIsOpen())
        linerelease::ArmDtr(deviceHandle_, raise);
}

void TVaCustomComm::SetRtsLine(bool raise)
{
    if (rtsControl_ == rtsHandshake)
        throw EVaCommError(MsgManualRts);
    CallCommFunction(raise ? win::SETRTS : win::CLRRTS);
}

void TVaCustomComm::SetBreakLine(bool on)
{
    CallCommFunction(on ? win::SETBREAK : win::CLRBREAK);
}

void TVaCustomComm::SetXonState(bool xon)
{
    CallCommFunction(xon ? win::SETXON : win::SETXOFF);
}

bool TVaCustomComm::ControlLinesAvailable()
{
    PortGuard guard(portLock_);
    win::COMMPROP properties;
    if (!PortIsOpen() || !win::GetCommProperties(deviceHandle_, properties))
        return true;
    return properties.dwProvCapabilities & (win::PCF_DTRDSR | win::PCF_RTSCTS);
}
