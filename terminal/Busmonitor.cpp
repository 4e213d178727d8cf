#include "Busmonitor.h"

#include "BusmonitorModel.h"
#include "CodePage.h"
#include "CsvExport.h"
#include "MyRegistry.h"
#include "RowFormat.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>

namespace terminal {

namespace {

constexpr int kPumpMs = 33;
constexpr int kHeaderEvery = 15; // pumps: about twice a second

QString Utf8(const std::string& text) { return QString::fromStdString(text); }

std::string LatencyText(const journal::Latency& latency)
{
    using State = journal::Latency::State;
    const std::string driver = latency.driver.empty() ? std::string() : latency.driver + ", ";
    switch (latency.state) {
    case State::None: return "Latenz: keine";
    case State::Lowered:
        return "Latenz: " + std::to_string(latency.milliseconds) + " ms (" + driver + "niedrige Latenz gesetzt)";
    case State::Unchanged:
        return "Latenz: " + std::to_string(latency.milliseconds) + " ms (" + driver +
               "niedrige Latenz nicht einstellbar)";
    case State::Unknown:
        return "Latenz: unbekannt" + (latency.driver.empty() ? std::string() : " (" + latency.driver + ")");
    }
    return {};
}

std::string CountsText(const journal::LineCounts& counts)
{
    if (!counts.known)
        return "Fehlerz\u00e4hler: vom Treiber nicht geliefert";
    return "Rahmenfehler: " + std::to_string(counts.frame) + " \u00b7 Parit\u00e4tsfehler: " +
           std::to_string(counts.parity) + " \u00b7 \u00dcberl\u00e4ufe: " + std::to_string(counts.overrun) +
           " \u00b7 Breaks: " + std::to_string(counts.breaks);
}

} // namespace

TBusmonitor::TBusmonitor(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("Busmonitor"));
    setWindowTitle(QStringLiteral("Busmonitor"));
    resize(900, 480);
    BuildControls();
    pump_ = new QTimer(this);
    pump_->setInterval(kPumpMs);
    connect(pump_, &QTimer::timeout, this, [this] { Pump(); });
    pump_->start();
    ApplyConfig();
    UpdateHeader();
}

TBusmonitor::~TBusmonitor()
{
    if (attached_)
        journal::Stop(port_.device);
}

void TBusmonitor::BuildControls()
{
    auto* layout = new QVBoxLayout(this);
    auto* controls = new QHBoxLayout;
    layout->addLayout(controls);

    controls->addWidget(new QLabel(QStringLiteral("Protokoll:"), this));
    protocol_ = new QComboBox(this);
    protocol_->addItems({QStringLiteral("keines"), QStringLiteral("Modbus RTU")});
    controls->addWidget(protocol_);

    controls->addWidget(new QLabel(QStringLiteral("Rahmenpause:"), this));
    gap_ = new QDoubleSpinBox(this);
    gap_->setRange(0, 10000);
    gap_->setDecimals(3);
    gap_->setSuffix(QStringLiteral(" ms"));
    gap_->setSpecialValueText(QStringLiteral("automatisch"));
    gap_->setToolTip(QStringLiteral("automatisch: 3,5 Zeichen, \u00fcber 19200 bit/s 1,75 ms"));
    controls->addWidget(gap_);

    controls->addWidget(new QLabel(QStringLiteral("Steuerzeichen:"), this));
    textStyle_ = new QComboBox(this);
    textStyle_->addItems({QStringLiteral("als Punkt"), QStringLiteral("als <n>")});
    controls->addWidget(textStyle_);

    hideEcho_ = new QCheckBox(QStringLiteral("Echo ausblenden"), this);
    controls->addWidget(hideEcho_);
    controls->addStretch();
    clear_ = new QPushButton(QStringLiteral("Leeren"), this);
    controls->addWidget(clear_);
    export_ = new QPushButton(QStringLiteral("Exportieren\u2026"), this);
    controls->addWidget(export_);

    header_ = new QLabel(this);
    header_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(header_);

    model_ = new TBusmonitorModel(monitor_.Rows(), this);
    table_ = new QTableView(this);
    table_->setModel(model_);
    table_->verticalHeader()->hide();
    // Fixed row heights keep a million rows cheap to lay out.
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 4);
    table_->horizontalHeader()->setStretchLastSection(true);
    // Wide enough for a typical Modbus frame; the user's widths are kept.
    const int columnWidths[] = {115, 75, 75, 50, 240, 100, 60, 60, 160, 45, 90};
    for (int c = 0; c < static_cast<int>(std::size(columnWidths)); ++c)
        table_->horizontalHeader()->resizeSection(c, columnWidths[c]);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setWordWrap(false);
    table_->setFont(QFont(QStringLiteral("Monospace")));
    layout->addWidget(table_, 1);

    summary_ = new QLabel(this);
    summary_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(summary_);

    auto changed = [this] { ApplyConfig(); };
    connect(protocol_, &QComboBox::currentIndexChanged, this, changed);
    connect(textStyle_, &QComboBox::currentIndexChanged, this, changed);
    connect(gap_, &QDoubleSpinBox::valueChanged, this, changed);
    connect(hideEcho_, &QCheckBox::toggled, this, changed);
    connect(clear_, &QPushButton::clicked, this, [this] {
        monitor_.Rows().Clear();
        monitor_.Rows().ResetSummary();
        model_->Reset();
        summary_->setText(SummaryText());
    });
    // The rows shown, or every row kept (the echo too when it is hidden).
    auto* exportMenu = new QMenu(export_);
    connect(exportMenu->addAction(QStringLiteral("Angezeigte Zeilen\u2026")), &QAction::triggered, this,
            [this] { ExportClicked(false); });
    connect(exportMenu->addAction(QStringLiteral("Alle Zeilen\u2026")), &QAction::triggered, this,
            [this] { ExportClicked(true); });
    export_->setMenu(exportMenu);
    AskExportFile = [this] {
        return QFileDialog::getSaveFileName(this, QStringLiteral("Busmonitor exportieren"), QString(),
                                            QStringLiteral("CSV-Dateien (*.csv)"))
            .toStdString();
    };
}

void TBusmonitor::ApplyConfig()
{
    config_.modbus = protocol_->currentIndex() == 1;
    config_.userGapNs = static_cast<int64_t>(gap_->value() * 1e6);
    monitor_.Configure(config_);
    monitor::FormatOptions options = model_->Options();
    options.modbus = config_.modbus;
    options.text = textStyle_->currentIndex() == 1 ? monitor::TextStyle::Decimal : monitor::TextStyle::Dots;
    if (options.wallOffsetNs == 0)
        options.wallOffsetNs = monitor::WallOffsetNow();
    model_->SetOptions(options);
    model_->SetHideEcho(hideEcho_->isChecked());
    UpdateHeader();
}

void TBusmonitor::SetTxen(bool automatic, bool invert)
{
    config_.txenAuto = automatic;
    config_.txenInvert = invert;
    monitor_.Configure(config_);
}

void TBusmonitor::Attach(const TMonitoredPort& port)
{
    if (attached_)
        Detach();
    port_ = port;
    attached_ = journal::Start(port.device);
    // A frame stays open past its gap for as long as the adapter may still
    // hold its last bytes.
    const journal::Latency latency = journal::GetLatency(port.device);
    config_.receiveHoldNs = std::max<int64_t>(2'000'000, (latency.milliseconds + 1) * 1'000'000LL);
    monitor_.Configure(config_);
    records_.clear();
    monitor_.PortOpened(journal::Clock::now(), port.settings, port.charNs, port.bitRate);
    UpdateHeader();
}

void TBusmonitor::SettingsChanged(const TMonitoredPort& port)
{
    if (!attached_)
        return;
    Pump(); // what came under the old settings is cut by them
    port_ = port;
    monitor_.SettingsChanged(journal::Clock::now(), port.settings, port.charNs, port.bitRate);
    UpdateHeader();
}

void TBusmonitor::Detach()
{
    if (!attached_)
        return;
    Pump();
    journal::Stop(port_.device);
    attached_ = false;
    monitor_.PortClosed(journal::Clock::now());
    monitor_.Tick(journal::Clock::time_point::max());
    port_ = {};
    model_->Sync();
    UpdateHeader();
}

void TBusmonitor::Pump()
{
    if (attached_) {
        records_.clear();
        journal::Take(port_.device, records_);
        monitor_.Feed(records_);
        monitor_.Tick(journal::Clock::now());
    }
    // The view follows the newest row unless the user has scrolled up.
    QScrollBar* bar = table_->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    const int before = model_->rowCount();
    model_->Sync();
    if (atEnd && model_->rowCount() != before)
        table_->scrollToBottom();
    if (--headerCountdown_ <= 0) {
        headerCountdown_ = kHeaderEvery;
        UpdateHeader();
    }
}

QString TBusmonitor::HeaderText() const { return header_->text(); }
QString TBusmonitor::SummaryText() const { return Utf8(monitor::SummaryText(monitor_.GetSummary())); }

void TBusmonitor::UpdateHeader()
{
    std::string text;
    if (!attached_) {
        text = "Kein Port ge\u00f6ffnet";
    } else {
        char gap[64];
        if (config_.userGapNs > 0)
            std::snprintf(gap, sizeof gap, "Rahmenpause: %.3f ms", config_.userGapNs / 1e6);
        else if (port_.bitRate > 19200)
            std::snprintf(gap, sizeof gap, "Rahmenpause: 1.750 ms (\u00fcber 19200 bit/s)");
        else
            std::snprintf(gap, sizeof gap, "Rahmenpause: 3,5 Zeichen = %.3f ms", port_.charNs * 3.5 / 1e6);
        text = port_.settings + " \u00b7 " + gap + " \u00b7 " + LatencyText(journal::GetLatency(port_.device)) +
               "\n" + CountsText(journal::Counts(port_.device));
    }
    header_->setText(Utf8(text));
    summary_->setText(SummaryText());
}

std::string TBusmonitor::Export(const std::string& path, bool allKept) const
{
    monitor::CsvOptions options;
    options.format = model_->Options();
    options.format.dateInTime = true;
    options.firstSeq = monitor_.Rows().FirstSeq();
    options.endSeq = monitor_.Rows().EndSeq();
    options.textToUtf8 = [](std::string_view bytes) { return codepage::ToText(std::string(bytes)).toStdString(); };
    if (!allKept && model_->HideEcho())
        options.include = [](const monitor::Row& row) { return !(row.flags & monitor::FlagEcho); };
    return monitor::ExportCsv(path, monitor_.Rows(), options);
}

void TBusmonitor::ExportClicked(bool allKept)
{
    const std::string path = AskExportFile ? AskExportFile() : std::string();
    if (path.empty())
        return;
    if (const std::string error = Export(path, allKept); !error.empty())
        QMessageBox::warning(this, QStringLiteral("Busmonitor"), Utf8(error));
}

void TBusmonitor::Restore(TMyRegistry& Reg)
{
    // A value that cannot be read leaves the control as it is.
    auto integer = [&Reg](const char* name, int fallback) {
        try {
            return static_cast<int>(Reg.ReadIntegerDefault(name, fallback));
        } catch (const std::exception&) {
            return fallback;
        }
    };
    auto text = [&Reg](const char* name) {
        try {
            return Reg.ReadStringDefault(name, "");
        } catch (const std::exception&) {
            return std::string();
        }
    };
    const int w = integer("Width", width());
    const int h = integer("Height", height());
    if (w > 100 && h > 100)
        resize(w, h);
    const QByteArray columns = QByteArray::fromBase64(QByteArray::fromStdString(text("Columns")));
    if (!columns.isEmpty())
        table_->horizontalHeader()->restoreState(columns);
    protocol_->setCurrentIndex(std::clamp(integer("Protocol", 0), 0, 1));
    textStyle_->setCurrentIndex(std::clamp(integer("ControlCharacters", 0), 0, 1));
    gap_->setValue(std::clamp(integer("GapMicroseconds", 0), 0, 10'000'000) / 1000.0);
    hideEcho_->setChecked(text("HideEcho") == "true");
    ApplyConfig();
}

void TBusmonitor::Save(TMyRegistry& Reg) const
{
    Reg.WriteInteger("Width", width());
    Reg.WriteInteger("Height", height());
    Reg.WriteString("Columns", table_->horizontalHeader()->saveState().toBase64().toStdString());
    Reg.WriteInteger("Protocol", protocol_->currentIndex());
    Reg.WriteInteger("ControlCharacters", textStyle_->currentIndex());
    Reg.WriteInteger("GapMicroseconds", static_cast<int32_t>(gap_->value() * 1000 + 0.5));
    Reg.WriteString("HideEcho", hideEcho_->isChecked() ? "true" : "false");
}

} // namespace terminal
