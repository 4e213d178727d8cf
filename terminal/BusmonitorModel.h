#pragma once
// The monitor's rows as a table for the view: one row per kept monitor row,
// or per kept row that is not our echo when the echo is hidden. Texts are
// made only for the rows the view asks for.

#include "RowFormat.h"
#include "RowStore.h"

#include <QAbstractTableModel>

#include <deque>

namespace terminal {

class TBusmonitorModel : public QAbstractTableModel {
public:
    explicit TBusmonitorModel(const monitor::RowStore& store, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Brings the table up to the store: dropped rows leave, new ones come.
    void Sync();
    // Everything again (a new filter or text style, the store cleared).
    void Reset();

    void SetOptions(const monitor::FormatOptions& options);
    const monitor::FormatOptions& Options() const { return options_; }
    void SetHideEcho(bool hide);
    bool HideEcho() const { return hideEcho_; }

    // The store's number of a table row.
    uint64_t SeqOf(int row) const;
    // The numbers of every row the table shows, oldest first.
    std::vector<uint64_t> ShownSeqs() const;

private:
    bool Shown(const monitor::Row& row) const;

    const monitor::RowStore& store_;
    monitor::FormatOptions options_;
    bool hideEcho_ = false;
    // What the table shows: with the echo hidden, the numbers of the rows
    // shown; otherwise the range [first_, end_).
    std::deque<uint64_t> shown_;
    uint64_t first_ = 0;
    uint64_t end_ = 0;
};

} // namespace terminal
