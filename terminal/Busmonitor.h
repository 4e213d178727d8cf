#pragma once
// The bus monitor's window: a table of the frames and events on the port,
// with the line's error counts and the adapter's latency above it and the
// run's summary below. It shows and keeps rows; cutting frames, times,
// echo and checks are the monitor's (monitor/BusMonitor.h).
//
// While a port is attached the window takes the port journal about 30
// times a second; the journal runs only while the window exists.

#include "BusMonitor.h"
#include "CommApi.h"
#include "PortJournal.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <string>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QTableView;
class QTimer;
class TMyRegistry;

namespace terminal {

class TBusmonitorModel;

// What the monitor needs to know of the open port.
struct TMonitoredPort {
    win::HANDLE device = win::INVALID_HANDLE_VALUE;
    std::string settings; // "COM3 9600 8N1"
    int64_t charNs = 0;
    uint32_t bitRate = 0;
};

class TBusmonitor : public QWidget {
public:
    explicit TBusmonitor(QWidget* parent = nullptr);
    ~TBusmonitor() override;

    // The port opened (or was open when the window came), or its settings
    // changed; Detach when it closes.
    void Attach(const TMonitoredPort& port);
    void SettingsChanged(const TMonitoredPort& port);
    void Detach();
    // Automatic TXEN switching and "TXEN invertieren", as the main window has them.
    void SetTxen(bool automatic, bool invert);

    void Restore(TMyRegistry& Reg);
    void Save(TMyRegistry& Reg) const;

    // Takes what the journal holds now (the timer's step).
    void Pump();
    // Records from elsewhere than the port (a benchmark's), shown at the
    // next step as if the journal had held them.
    void Inject(const std::vector<journal::Record>& records) { monitor_.Feed(records); }
    // The export: the rows shown, or every row kept, to `path`; "" or the
    // error for the user.
    std::string Export(const std::string& path, bool allKept) const;
    // Where the export dialog would ask; tests answer in its place.
    std::function<std::string()> AskExportFile;

    const monitor::BusMonitor& Monitor() const { return monitor_; }
    TBusmonitorModel& Model() { return *model_; }
    QString HeaderText() const;
    QString SummaryText() const;

private:
    void BuildControls();
    void ApplyConfig();
    void UpdateHeader();
    void ExportClicked(bool allKept);

    monitor::BusMonitor monitor_;
    monitor::MonitorConfig config_;
    TMonitoredPort port_;
    bool attached_ = false;
    std::vector<journal::Record> records_;

    TBusmonitorModel* model_ = nullptr;
    QComboBox* protocol_ = nullptr;
    QDoubleSpinBox* gap_ = nullptr;
    QComboBox* textStyle_ = nullptr;
    QCheckBox* hideEcho_ = nullptr;
    QPushButton* export_ = nullptr;
    QPushButton* clear_ = nullptr;
    QLabel* header_ = nullptr;
    QLabel* summary_ = nullptr;
    QTableView* table_ = nullptr;
    QTimer* pump_ = nullptr;
    int headerCountdown_ = 0;
};

} // namespace terminal
