#pragma once
// The main window. Its controls come from the window definition (Unit1.ui);
// this class holds the handlers bound to them and to the port object.

#include "ui_Unit1.h"

#include "Rtl.h"
#include "VaComm.h"

#include <QWidget>

#include <memory>
#include <string>

class TForm1 : public QWidget, public Ui::TForm1, public rtl::TObject {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // The port object; the window owns it.
    std::unique_ptr<TVaComm> Com;

    // Start-up and shut-down.
    void FormCreate(rtl::TObject* Sender);
    void FormClose(rtl::TObject* Sender);

    // Event log and error reporting.
    void LogOut(const std::string& Msg);
    void AppException(rtl::TObject* Sender, const std::string& Message);

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

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateComponents();
    void BindEvents();
    // Runs a handler; whatever escapes it goes to AppException.
    template <class F>
    void Guarded(F&& handler);
    // Closes and opens again; on failure leaves the Closed button state and
    // passes the exception on.
    template <class F>
    void Reopen(F&& betweenCloseAndOpen);
};

// The window's font: one bundled font at a fixed pixel size, so that every
// caption fits its fixed rectangle the same way on every machine.
void ApplyProgramFont();
