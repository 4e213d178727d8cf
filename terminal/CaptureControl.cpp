// The capture file as the window drives it: the pane menu item, the settings
// subkey, a file per port that opens, the records of both directions and of
// the events, and a failure told in the log pane.

#include "Unit1.h"

#include "Capture.h"
#include "CodePage.h"
#include "MyRegistry.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>

#include <filesystem>

namespace {

const char* const kCaptureKey = "Software\\Brenlow\\Tarrowin\\Capture";

std::string ForLog(const std::string& path)
{
    return codepage::ToBytes(QFile::decodeName(QByteArray::fromStdString(path)));
}

const char* ParityLetter(TVaParity parity)
{
    switch (parity) {
    case paOdd: return "O";
    case paEven: return "E";
    case paMark: return "M";
    case paSpace: return "S";
    case paNone: break;
    }
    return "N";
}

const char* StopbitsText(TVaStopbits stopbits)
{
    return stopbits == sb2 ? "2" : stopbits == sb15 ? "1.5" : "1";
}

} // namespace

std::string TForm1::DefaultCaptureFolder()
{
    return QFile::encodeName(QDir::homePath()).toStdString() + "/Tarrowin-Mitschnitte";
}

std::string TForm1::CaptureFile() const
{
    return capture_ ? capture_->CurrentFile() : std::string();
}

void TForm1::RestoreCaptureSettings()
{
    TMyRegistry Reg;
    Reg.SetRootKey(reg::HKEY::HKEY_CURRENT_USER);
    if (!Reg.OpenKey(kCaptureKey, false))
        return;
    try {
        captureEnabled_ = Reg.ReadStringDefault("Enabled", "false") == "true";
        captureFolder_ = Reg.ReadStringDefault("Folder", "");
    } catch (const rtl::Exception& e) {
        // A value of another type: capturing stays off, and the log says why.
        captureEnabled_ = false;
        captureFolder_.clear();
        ShowInLog(std::string("Mitschnitt aus: ") + e.what());
    }
}

void TForm1::SaveCaptureSettings()
{
    TMyRegistry Reg;
    Reg.SetRootKey(reg::HKEY::HKEY_CURRENT_USER);
    // A user who never captured gets no subkey.
    if (!Reg.OpenKey(kCaptureKey, false) && !captureEnabled_ && captureFolder_.empty())
        return;
    Reg.OpenKey(kCaptureKey, true);
    Reg.WriteString("Enabled", captureEnabled_ ? "true" : "false");
    Reg.WriteString("Folder", captureFolder_);
}

void TForm1::UpdateCaptureItem()
{
    if (PopCapture)
        PopCapture->setText(captureEnabled_ ? QStringLiteral("Mitschnitt beenden")
                                            : QStringLiteral("Mitschnitt starten\u2026"));
}

void TForm1::PopCaptureClick(QObject*)
{
    if (captureEnabled_) {
        // Said before the end, so that the file carries it as its last line.
        LogOut("Mitschnitt beendet");
        StopCapture();
        captureEnabled_ = false;
        UpdateCaptureItem();
        SaveCaptureSettings();
        return;
    }
    // Asked once; again only when the folder kept has gone.
    std::string folder = captureFolder_;
    std::error_code error;
    if (folder.empty() || !std::filesystem::is_directory(folder, error)) {
        folder = AskCaptureFolder ? AskCaptureFolder() : std::string();
        if (folder.empty())
            return;
    }
    captureFolder_ = folder;
    captureEnabled_ = true;
    UpdateCaptureItem();
    SaveCaptureSettings();
    if (Com->PortIsOpen())
        EnsureCaptureFile();
    else
        LogOut("Mitschnitt beginnt mit dem n\xe4" "chsten \xd6" "ffnen des Ports");
}

void TForm1::EnsureCaptureFile()
{
    if (!captureEnabled_ || !Com->PortIsOpen())
        return;
    const std::string port = "COM" + std::to_string(Com->PortNum());
    const std::string folder = captureFolder_.empty() ? DefaultCaptureFolder() : captureFolder_;
    if (capture_ && capture_->Running() && capture_->PortName() == port && capture_->Folder() == folder)
        return;
    // Another port: its bytes go to a file of its own.
    StopCapture();
    if (captureFolder_.empty()) {
        std::error_code ignored; // a folder that cannot be made is told by the start
        std::filesystem::create_directories(folder, ignored);
    }
    auto file = std::make_unique<terminal::TCaptureFile>();
    const unsigned generation = ++captureGeneration_;
    file->SetFailureHandler([this, generation](const std::string& message) {
        // On the writer thread: the window hears of it in its own.
        QMetaObject::invokeMethod(
            this, [this, generation, message] { Guarded([&] { CaptureFailed(generation, message); }); },
            Qt::QueuedConnection);
    });
    if (const std::string error = file->Start(folder, port); !error.empty()) {
        // Off until the user starts it again; kept so at the close.
        captureEnabled_ = false;
        UpdateCaptureItem();
        LogOut(error);
        return;
    }
    capture_ = std::move(file);
    LogOut("Mitschnitt in " + ForLog(capture_->CurrentFile()));
}

void TForm1::StopCapture()
{
    if (!capture_)
        return;
    capture_->Stop();
    capture_.reset();
}

void TForm1::CaptureFailed(unsigned generation, const std::string& message)
{
    // A capture replaced or ended since has nothing more to say.
    if (!capture_ || generation != captureGeneration_)
        return;
    StopCapture();
    // A user who has made room starts again by hand; a restart does not go
    // back to a disk that was full.
    captureEnabled_ = false;
    UpdateCaptureItem();
    LogOut(message);
}

void TForm1::CaptureRecord(terminal::TCaptureKind kind, const std::string& bytes,
                           std::chrono::system_clock::time_point time)
{
    if (capture_)
        capture_->Record(kind, bytes, time, CheckDecode->isChecked());
}

std::string TForm1::PortSettingsText() const
{
    return "COM" + std::to_string(Com->PortNum()) + " " + std::to_string(VaBaudrateValue(Com->Baudrate())) + " " +
           std::to_string(4 + static_cast<int>(Com->Databits())) + ParityLetter(Com->Parity()) +
           StopbitsText(Com->Stopbits());
}
