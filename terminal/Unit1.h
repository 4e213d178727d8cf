#pragma once
// The main window. Its controls come from the window definition (Unit1.ui);
// this class holds the handlers bound to them and to the port object.

#include "ui_Unit1.h"

#include "Rtl.h"
#include "VaComm.h"
#include "WSocketS.h"

#include <QAction>
#include <QKeyEvent>
#include <QMenu>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <deque>
#include <exception>
#include <functional>
#include <map>

#include <memory>
#include <string>
#include <vector>

class TMyRegistry;
namespace serialdevices {
class PortListWatch;
struct Entry;
}
namespace terminal {
enum class TCaptureKind;
class TCaptureFile;
class TBusmonitor;
struct TMonitoredPort;
}

class TForm1 : public QWidget, public Ui::TForm1, public rtl::TObject {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // The port object; the window owns it.
    std::unique_ptr<TVaComm> Com;
    // Batching of received bytes: quiet time and deadline.
    QTimer* TimerUpdateMemoIn = nullptr;
    QTimer* TimerUpdateFinally = nullptr;
    // Ctrl+T from any control of the window.
    QAction* SwitchTXEN = nullptr;

    // Start-up and shut-down.
    void FormCreate(rtl::TObject* Sender);
    void FormClose(rtl::TObject* Sender);
    // The settings store: every setting, and the texts if chosen.
    void RestoreSettings(TMyRegistry& Reg);
    void SaveSettings();
    void RestorePaneCapacity();

    // Event log and error reporting.
    void LogOut(const std::string& Msg);
    // A pane reached its capacity and dropped its oldest lines: said once
    // per pane and session.
    void PaneTrimmed(TMemo* Pane);
    void AppException(rtl::TObject* Sender, const std::string& Message);

    // Receive path. Batches longer than kMaxRxLine (only ever reached far
    // above serial rates) are shown as several lines; kMaxPendingRx bounds
    // what is collected before it is shown.
    static constexpr size_t kMaxRxLine = 16u << 10;
    static constexpr size_t kMaxPendingRx = 256u << 10;
    void ComRxChar(rtl::TObject* Sender, int32_t Count);
    void TimerUpdateMemoInTimer(QObject* Sender);
    void TimerUpdateFinallyTimer(QObject* Sender);

    // Transmit path.
    void CmdSendClick(QObject* Sender);
    // Key is the typed character; set to 0 when the key is swallowed.
    void EditSendKeyPress(QObject* Sender, char& Key);
    // `Keyed`: automatic switching put TXEN to transmit for this send, and
    // the device is to let it go when the transmitter is empty.
    void SendText(const std::string& Text, bool Keyed = false);

    // Line control and TXEN switching.
    void CheckTXENClick(QObject* Sender);
    void CheckInvTXENClick(QObject* Sender);
    void SwitchTXENExecute(QObject* Sender);
    void CheckRTSClick(QObject* Sender);
    void CheckBreakClick(QObject* Sender);
    void CheckXonClick(QObject* Sender);
    void ComTxEmpty(rtl::TObject* Sender);
    void ComBreak(rtl::TObject* Sender);

    // Character-code converter.
    void EditChrKeyPress(QObject* Sender, char& Key);
    void EditChrChange(QObject* Sender);
    void EditOrdKeyPress(QObject* Sender, char& Key);
    void EditOrdChange(QObject* Sender);

    // Pane menu; PopupComponent is the pane it was opened on.
    QMenu* PopupMenu1 = nullptr;
    QAction* PopClearMemo = nullptr;
    QAction* PopClearMemos = nullptr;
    QAction* N1 = nullptr;
    QAction* PopCut = nullptr;
    QAction* PopCopy = nullptr;
    QAction* PopMarkAll = nullptr;
    TMemo* PopupComponent = nullptr;
    void PopClearMemoClick(QObject* Sender);
    void PopClearMemosClick(QObject* Sender);
    void PopCutClick(QObject* Sender);
    void PopCopyClick(QObject* Sender);
    void PopMarkAllClick(QObject* Sender);

    // Capture file: every byte of both directions and every event, with its
    // time, in a file (see Capture.h). One pane menu item starts and ends it;
    // the choice and the folder live in the settings subkey Capture.
    QAction* N2 = nullptr;
    QAction* PopCapture = nullptr;
    void PopCaptureClick(QObject* Sender);
    // The bus monitor: a window of its own, from the pane menu or F2.
    QAction* PopBusmonitor = nullptr;
    QAction* ShowBusmonitor = nullptr;
    void PopBusmonitorClick(QObject* Sender);
    terminal::TBusmonitor* Busmonitor() const { return busmonitor_; }
    // Asks for the capture folder; "" when the user cancels. Tests replace it.
    std::function<std::string()> AskCaptureFolder;
    // Where capturing goes when the settings name no folder.
    static std::string DefaultCaptureFolder();
    bool CaptureEnabled() const { return captureEnabled_; }
    const std::string& CaptureFolder() const { return captureFolder_; }
    // The file being written, "" when none is open.
    std::string CaptureFile() const;

    // Interlink: frames a payload and sends it to every connected peer.
    void ILSend(const std::string& Payload);
    // Bytes a peer may have queued and unsent before it is dropped.
    static constexpr size_t kMaxQueuedPerPeer = 8u << 20;
    // Interlink roles: the listening server and the connecting client.
    std::unique_ptr<net::TWSocketServer> Server;
    std::unique_ptr<net::TWSocket> Client;
    void FormShow(rtl::TObject* Sender);
    void ILGet(const std::string& Payload);
    void ServerDataAvailable(rtl::TObject* Sender, uint16_t Error);
    void ClientDataAvailable(rtl::TObject* Sender, uint16_t Error);
    void ServerClientConnect(rtl::TObject* Sender, net::TWSocketClient* NewClient, uint16_t Error);
    void ServerClientDisconnect(rtl::TObject* Sender, net::TWSocketClient* OldClient, uint16_t Error);
    void ClientSessionConnected(rtl::TObject* Sender, uint16_t Error);
    void ClientSessionClosed(rtl::TObject* Sender, uint16_t Error);
    void ServerSessionConnected(rtl::TObject* Sender, uint16_t Error);
    // Tests run their windows' Interlink on a private port, never on the
    // machine's 666; the program itself has no way to change it.
    static void SetInterlinkPortForTests(const std::string& port);
    // Ends the message loop without the window's closing steps.
    void TerminateApplication();
    bool Terminating() const { return terminating_; }
    // The window has been closed with its closing steps done.
    bool Closed() const { return closed_; }

    // Sets a check box from the program. Its reaction runs exactly when the
    // state changes, as for a click; unlike a click, whatever the reaction
    // raises reaches the caller.
    void SetChecked(QCheckBox* Box, bool Checked);

    // Port configuration.
    void ComboPortChange(QObject* Sender);
    void ComboBaudChange(QObject* Sender);
    void ComboParityChange(QObject* Sender);
    void ComboStopbitsChange(QObject* Sender);
    void ComboDatabitsChange(QObject* Sender);
    void ComboFCChange(QObject* Sender);
    void ComboDTRControlChange(QObject* Sender);
    void ComboRTSControlChange(QObject* Sender);
    void CmdOpenClick(QObject* Sender);
    void CmdCloseClick(QObject* Sender);
    void ComOpen(rtl::TObject* Sender);
    void ComClose(rtl::TObject* Sender);
    void ReOpenCom();

    // The port list follows the machine: devices that come and go while the
    // program runs, and an open port whose device went away, which waits
    // for it and opens again when the box "automatisch wieder verbinden"
    // is ticked.
    void PortListChanged();
    // The listed port name the list shows ("COM5"), without the mark of a
    // device that is away; "" when nothing is chosen.
    std::string ChosenPortName() const;
    // The port waits for its device to come back.
    bool WaitingForDevice() const { return waiting_; }
    // The mark an absent chosen entry carries behind its port name.
    static const char* const kAbsentMark;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateComponents();
    void BindEvents();
    // Runs a handler; whatever escapes it goes to AppException, or back to
    // the program code that set a check box (SetChecked).
    template <class F>
    void Guarded(F&& handler)
    {
        try {
            handler();
        } catch (...) {
            RouteException();
        }
    }
    void RouteException();
    std::exception_ptr* programChangeError_ = nullptr;
    void CreatePaneMenu();
    void CreateInterlinkSockets();
    // Same user (or root) at the other end of a connection.
    bool AcceptsPeer(winsock::SOCKET Handle);
    // The peer walk of every frame this copy sends or relays.
    void SendToPeers(const std::string& Frame);
    bool PeerTakesFrames(net::TCustomWSocket* Peer);
    static constexpr size_t kSendBlockSize = 1460; // bytes per send-queue block
    bool ServerIsOurs();
    bool shownBefore_ = false;
    bool terminating_ = false;
    bool closed_ = false;
    // The server's input from each client connection. A peer gets a bounded
    // share of work per turn of the event loop, so that one peer's burst
    // never holds the others or the port; what is left waits its turn.
    // Input of a connection that has closed is still carried out.
    struct PeerInput {
        net::TCustomWSocket* connection = nullptr; // null once it has closed
        std::string buffer;
        bool waiting = false; // in serverTurns_
        bool held = false;    // its events suspended: too much input pending
        bool busy = false;    // its frames being carried out
    };
    static constexpr int kFramesPerTurn = 16;
    static constexpr size_t kMaxPendingInput = 64 * 1024;
    std::map<net::TCustomWSocket*, std::shared_ptr<PeerInput>> serverInBuffers_;
    std::deque<std::shared_ptr<PeerInput>> serverTurns_;
    bool serverTurnPosted_ = false;
    void TakeFramesOf(const std::shared_ptr<PeerInput>& input);
    void WaitForTurn(const std::shared_ptr<PeerInput>& input);
    void RunServerTurn();
    void SetChrText(const std::string& bytes);
    // Character keys of the converter boxes; true when swallowed.
    bool ConverterKeyPress(QObject* watched, QKeyEvent* key);
    bool converterSetsChr_ = false;
    // The device for which the log has said that it has no control lines;
    // cleared when another port is picked.
    std::string noControlLinesToldFor_;
    bool receivePaneFullTold_ = false;
    bool logPaneFullTold_ = false;
    // The Xon box was unticked in this session: output is to be held, also
    // after a reopen. A first start's unticked box asks for nothing, and a
    // port opens with its output released.
    bool xonHoldAsked_ = false;
    // Closes and opens again; on failure leaves the Closed button state and
    // passes the exception on.
    template <class F>
    void Reopen(F&& betweenCloseAndOpen);
    // Runs a step that may fail to open the port or have a line setting
    // refused; the log then says why, and the exception goes on.
    template <class F>
    void TellingWhyPortFails(F&& step);
    void LogPortFailure(const std::string& message);

    // The port list and its watch.
    serialdevices::PortListWatch* portWatch_ = nullptr;
    void FillPortList();
    // The settings subkey Port: the box and the port chosen last.
    void RestorePortSettings();
    void SavePortSettings();
    // At start-up: the port chosen last, when the saved position now shows
    // another device and it is here.
    void PreferRememberedPort();
    // The device the port opened last, to know it again when it returns.
    struct OpenedDevice {
        int32_t port = 0;
        std::string path;     // "" for one that cannot be watched
        std::string identity; // "" when only the path is known
    };
    OpenedDevice opened_;
    bool waiting_ = false;
    bool waitSawGone_ = false;
    bool waitToldOther_ = false;
    int identityLooks_ = 0;
    void NotePortOpened();
    bool ComDeviceGone(uint32_t code);
    void TryReconnect(const std::vector<serialdevices::Entry>& list);
    void EndWaiting();

    // The bus monitor window, made at its first opening; it follows the
    // port's opens and closes and the TXEN boxes.
    terminal::TBusmonitor* busmonitor_ = nullptr;
    terminal::TMonitoredPort MonitoredPort() const;
    void TellBusmonitorTxen();
    void SaveBusmonitorSettings();

    // Capture state: what the user chose, and the file while a port is open
    // for it.
    bool captureEnabled_ = false;
    std::string captureFolder_;
    std::unique_ptr<terminal::TCaptureFile> capture_;
    // Tells failures of a capture that has since been replaced apart.
    unsigned captureGeneration_ = 0;
    void RestoreCaptureSettings();
    void SaveCaptureSettings();
    // Starts the file for the open port unless one for it runs already.
    void EnsureCaptureFile();
    void StopCapture();
    void CaptureFailed(unsigned generation, const std::string& message);
    void UpdateCaptureItem();
    // A record of the capture file, if one is running.
    void CaptureRecord(terminal::TCaptureKind kind, const std::string& bytes,
                       std::chrono::system_clock::time_point time = std::chrono::system_clock::now());
    // "COM5 9600 8N1", for the capture's record of an open.
    std::string PortSettingsText() const;
    // The log pane's line, without a capture record.
    void ShowInLog(const std::string& Msg);
};

// The window's font: one bundled font at a fixed pixel size, so that every
// caption fits its fixed rectangle the same way on every machine.
void ApplyProgramFont();
