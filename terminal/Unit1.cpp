#include "Unit1.h"

#include "AppEvents.h"
#include "Capture.h"
#include "CodePage.h"
#include "CodePageValidator.h"
#include "DecodeText.h"
#include "Interlink.h"
#include "MessageBox.h"
#include "MyRegistry.h"
#include "PortListWatch.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QKeyEvent>

#include <algorithm>
#include <cctype>
#include <limits>
#include <map>
#include <utility>

static void InitResources()
{
    // The resources live in a static library; make sure they are registered.
    Q_INIT_RESOURCE(resources);
}

void ApplyProgramFont()
{
    static bool loaded = false;
    if (!loaded) {
        InitResources();
        QFontDatabase::addApplicationFont(QStringLiteral(":/fonts/LiberationSans-Regular.ttf"));
        QFontDatabase::addApplicationFont(QStringLiteral(":/fonts/LiberationSans-Bold.ttf"));
        loaded = true;
    }
    // The window was laid out for a bitmap font 11 pixels high, narrower
    // than any scalable font: at 10 pixels every caption fits its fixed
    // rectangle (checked by a test). A pixel size keeps that independent of
    // the screen's dots per inch.
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(10);
    font.setStyleHint(QFont::SansSerif);
    QApplication::setFont(font);
}


TForm1::TForm1(QWidget* parent) : QWidget(parent)
{
    InitResources();
    ApplyProgramFont();
    setupUi(this);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(475, 309);
    move(245, 106);
    // "&Send" and "Memos &speichern" share their letter; a shortcut shared
    // only moves the focus. Alt+S belongs to the button, which comes first,
    // as a user typing into the entry line expects; the box keeps its caption
    // and is reached by Tab and mouse.
    CheckSaveMemo->setShortcut(QKeySequence());
    // The converter fields stand out in the tool-tip colour.
    for (QLineEdit* edit : {EditChr, EditOrd}) {
        QPalette pal = edit->palette();
        pal.setColor(QPalette::Base, pal.color(QPalette::ToolTipBase));
        pal.setColor(QPalette::Text, pal.color(QPalette::ToolTipText));
        edit->setPalette(pal);
    }
    EditSend->setValidator(new TCodePageValidator(EditSend));
    // An entry line is not limited to a line edit's default 32767 characters.
    EditSend->setMaxLength(std::numeric_limits<int>::max());
    AskCaptureFolder = [this] {
        const QString folder = QFileDialog::getExistingDirectory(
            this, QStringLiteral("Ordner f\u00fcr Mitschnitte"), QFile::decodeName(QByteArray::fromStdString(DefaultCaptureFolder())));
        return QFile::encodeName(folder).toStdString();
    };
    CreateComponents();
    BindEvents();
    Guarded([&] { FormCreate(this); });
    EditSend->setFocus();
}

TForm1::~TForm1()
{
    // The writer thread tells this window of failures; it ends first.
    StopCapture();
    // The peer list refers to sockets this window owns.
    InterlinkPeers.clear();
    Client.reset();
    Server.reset();
    rtl::SetApplicationExceptionHandler(nullptr);
    reg::SetNoticeHandler(nullptr);
    // Destroying the port object closes an open port without its close event.
    Com.reset();
}

void TForm1::CreateComponents()
{
    TimerUpdateMemoIn = new QTimer(this);
    TimerUpdateMemoIn->setInterval(50);
    TimerUpdateFinally = new QTimer(this);
    TimerUpdateFinally->setInterval(200);
    SwitchTXEN = new QAction(QStringLiteral("SwitchTXEN"), this);
    SwitchTXEN->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    SwitchTXEN->setShortcutContext(Qt::WindowShortcut);
    addAction(SwitchTXEN);
    ShowBusmonitor = new QAction(QStringLiteral("ShowBusmonitor"), this);
    ShowBusmonitor->setShortcut(QKeySequence(Qt::Key_F2));
    ShowBusmonitor->setShortcutContext(Qt::WindowShortcut);
    addAction(ShowBusmonitor);

    CreateInterlinkSockets();
    portWatch_ = new serialdevices::PortListWatch(this);
    Com = std::make_unique<TVaComm>(nullptr);
    Com->Name = "Com";
    Com->SetPortNum(1);
    Com->SetDeviceName("COM%d");
    Com->SetMonitorEvents(TVaCommEvents{ceBreak, ceCts, ceDsr, ceError, ceRing, ceRlsd,
                                        ceRxChar, ceTxEmpty, ceRxFlag});
    Com->SetFlowControl(fcNone);
}

void TForm1::RouteException()
{
    if (programChangeError_ && !*programChangeError_)
        *programChangeError_ = std::current_exception();
    else
        rtl::HandleException(this);
}

void TForm1::SetChecked(QCheckBox* Box, bool Checked)
{
    std::exception_ptr error;
    std::exception_ptr* outer = programChangeError_;
    programChangeError_ = &error;
    Box->setChecked(Checked); // runs the reaction through toggled
    programChangeError_ = outer;
    if (error)
        std::rethrow_exception(error);
}

void TForm1::BindEvents()
{
    auto onActivated = [this](QComboBox* combo, void (TForm1::*handler)(QObject*)) {
        connect(combo, &QComboBox::activated, this,
                [this, combo, handler](int) { Guarded([&] { (this->*handler)(combo); }); });
    };
    // A pick in the port list reports a click and then a change; both run
    // the same handler, and a failure in the first skips the second.
    connect(ComboPort, &QComboBox::activated, this, [this](int) {
        Guarded([&] {
            ComboPortChange(ComboPort);
            ComboPortChange(ComboPort);
        });
        // An entry kept only because it was chosen leaves once it is not.
        for (int i = 0; i < ComboPort->count(); ++i)
            if (i != ComboPort->currentIndex() && ComboPort->itemText(i).endsWith(QLatin1String(kAbsentMark))) {
                Guarded([&] { FillPortList(); });
                break;
            }
    });
    connect(portWatch_, &serialdevices::PortListWatch::Changed, this, [this] { Guarded([&] { PortListChanged(); }); });
    onActivated(ComboBaud, &TForm1::ComboBaudChange);
    onActivated(ComboParity, &TForm1::ComboParityChange);
    onActivated(ComboStopbits, &TForm1::ComboStopbitsChange);
    onActivated(ComboDatabits, &TForm1::ComboDatabitsChange);
    onActivated(ComboFC, &TForm1::ComboFCChange);
    onActivated(ComboDTRControl, &TForm1::ComboDTRControlChange);
    onActivated(ComboRTSControl, &TForm1::ComboRTSControlChange);
    connect(CmdOpen, &QPushButton::clicked, this, [this] { Guarded([&] { CmdOpenClick(CmdOpen); }); });
    connect(CmdClose, &QPushButton::clicked, this, [this] { Guarded([&] { CmdCloseClick(CmdClose); }); });

    auto onToggled = [this](QCheckBox* box, void (TForm1::*handler)(QObject*)) {
        connect(box, &QCheckBox::toggled, this, [this, box, handler](bool) { Guarded([&] { (this->*handler)(box); }); });
    };
    onToggled(CheckTXEN, &TForm1::CheckTXENClick);
    onToggled(CheckInvTXEN, &TForm1::CheckInvTXENClick);
    onToggled(CheckRTS, &TForm1::CheckRTSClick);
    onToggled(CheckXon, &TForm1::CheckXonClick);
    onToggled(CheckBreak, &TForm1::CheckBreakClick);
    connect(SwitchTXEN, &QAction::triggered, this, [this] { Guarded([&] { SwitchTXENExecute(SwitchTXEN); }); });
    connect(ShowBusmonitor, &QAction::triggered, this,
            [this] { Guarded([&] { PopBusmonitorClick(ShowBusmonitor); }); });
    for (QCheckBox* box : {CheckSwitchTXENOnTXEmpty, CheckInvTXEN})
        connect(box, &QCheckBox::toggled, this, [this] { TellBusmonitorTxen(); });
    connect(CmdSend, &QPushButton::clicked, this, [this] { Guarded([&] { CmdSendClick(CmdSend); }); });
    EditSend->installEventFilter(this);
    EditChr->installEventFilter(this);
    EditOrd->installEventFilter(this);
    connect(EditChr, &QLineEdit::textChanged, this, [this] { Guarded([&] { EditChrChange(EditChr); }); });
    connect(EditOrd, &QLineEdit::textChanged, this, [this] { Guarded([&] { EditOrdChange(EditOrd); }); });
    CreatePaneMenu();
    for (TMemo* pane : {MemoIn, MemoOut})
        connect(pane, &TMemo::Trimmed, this, [this, pane] { Guarded([&] { PaneTrimmed(pane); }); });
    connect(TimerUpdateMemoIn, &QTimer::timeout, this,
            [this] { Guarded([&] { TimerUpdateMemoInTimer(TimerUpdateMemoIn); }); });
    connect(TimerUpdateFinally, &QTimer::timeout, this,
            [this] { Guarded([&] { TimerUpdateFinallyTimer(TimerUpdateFinally); }); });

    // Open and close events run inside OpenPort and ClosePort, so whatever
    // they raise reaches the caller's guard. The other port events are
    // handed to the main thread by the port's event thread, which routes
    // what escapes to the application-wide handler.
    Com->OnOpen = [this](rtl::TObject* Sender) { ComOpen(Sender); };
    Com->OnClose = [this](rtl::TObject* Sender) { ComClose(Sender); };
    Com->OnRxChar = [this](rtl::TObject* Sender, int32_t Count) { ComRxChar(Sender, Count); };
    Com->OnTxEmpty = [this](rtl::TObject* Sender) { ComTxEmpty(Sender); };
    Com->OnBreak = [this](rtl::TObject* Sender) { ComBreak(Sender); };
    Com->OnDeviceGone = [this](rtl::TObject*, win::DWORD code) { return ComDeviceGone(code); };
}

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    if ((watched == EditChr || watched == EditOrd) && event->type() == QEvent::KeyPress)
        return ConverterKeyPress(watched, static_cast<QKeyEvent*>(event));
    if (watched == EditSend && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            char ch = 13;
            Guarded([&] { EditSendKeyPress(EditSend, ch); });
            if (ch == 0)
                return true; // swallowed: no insertion, no beep
        }
    }
    return QWidget::eventFilter(watched, event);
}

// --- Start-up and shut-down -------------------------------------------------

void TForm1::FormCreate(rtl::TObject*)
{
    // From here on every exception that escapes a callback is shown and the
    // program goes on.
    rtl::SetApplicationExceptionHandler(
        [this](rtl::TObject* Sender, const std::string& Message) { AppException(Sender, Message); });
    // A settings file that could not be read has been kept aside; say so.
    reg::SetNoticeHandler([](const std::string& message) { terminal::ShowMessage(message); });

    // The port list, sorted by device path; nothing chosen until the
    // settings say what.
    FillPortList();
    portWatch_->Rewatch();

    TMyRegistry Reg;
    // The capture's choice is kept apart from the main key's values and
    // restored even when those stop the restore. Then the panes hold the
    // saved texts: the store need not keep a second copy of them for the
    // whole session.
    auto afterRestore = [this] {
        RestorePortSettings();
        RestoreCaptureSettings();
        UpdateCaptureItem();
        reg::ReleaseCache();
    };
    try {
        RestoreSettings(Reg);
    } catch (...) {
        afterRestore();
        throw;
    }
    afterRestore();
}

void TForm1::closeEvent(QCloseEvent* event)
{
    try {
        FormClose(this);
        event->accept();
        closed_ = true;
    } catch (...) {
        // The close is cancelled: the window stays open.
        event->ignore();
        rtl::HandleException(this);
    }
}

void TForm1::FormClose(rtl::TObject*)
{
    // The close event logs "Port geschlossen" before the texts are saved.
    if (Com->PortIsOpen())
        Com->ClosePort();
    // Every record, the close's included, is on the disk before the settings
    // are saved.
    StopCapture();
    SaveSettings();
}

// --- Event log and error reporting ------------------------------------------

void TForm1::LogOut(const std::string& Msg)
{
    CaptureRecord(terminal::TCaptureKind::EV, Msg);
    ShowInLog(Msg);
}

void TForm1::ShowInLog(const std::string& Msg)
{
    std::string line;
    if (CheckDecode->isChecked()) {
        line = terminal::DecodeText(Msg);
    } else {
        // The pane cannot hold a zero byte; everything else goes in as it is.
        line.reserve(Msg.size());
        for (char c : Msg) {
            if (c == '\0')
                line += "<0>";
            else
                line.push_back(c);
        }
    }
    MemoOut->AddLine(line);
}

void TForm1::PaneTrimmed(TMemo* Pane)
{
    // The flag is set first: the log line itself may trim the log pane.
    bool& told = Pane == MemoIn ? receivePaneFullTold_ : logPaneFullTold_;
    if (std::exchange(told, true))
        return;
    LogOut(Pane == MemoIn ? "Empfangsfenster voll: \xe4lteste Zeilen entfernt"
                          : "Protokollfenster voll: \xe4lteste Zeilen entfernt");
}

void TForm1::AppException(rtl::TObject*, const std::string& Message)
{
    if (Message.find("Error writing dcb") != std::string::npos)
        terminal::ShowMessage("Die Port-Einstellungen werden nicht unterst\xfctzt. (Databits, Stopbits etc.)");
    else
        terminal::ShowMessage("Es trat ein Ausnahmefehler auf:\r\n" + Message);
}
