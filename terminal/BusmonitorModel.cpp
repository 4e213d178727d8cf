#include "BusmonitorModel.h"

#include "CodePage.h"

#include <QColor>

namespace terminal {

using monitor::Column;

TBusmonitorModel::TBusmonitorModel(const monitor::RowStore& store, QObject* parent)
    : QAbstractTableModel(parent), store_(store)
{
    first_ = end_ = store_.FirstSeq();
}

int TBusmonitorModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    return static_cast<int>(hideEcho_ ? shown_.size() : end_ - first_);
}

int TBusmonitorModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(Column::Count);
}

uint64_t TBusmonitorModel::SeqOf(int row) const
{
    return hideEcho_ ? shown_[static_cast<size_t>(row)] : first_ + static_cast<uint64_t>(row);
}

QVariant TBusmonitorModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const uint64_t seq = SeqOf(index.row());
    if (!store_.Has(seq))
        return {};
    const monitor::Row& row = store_.At(seq);
    const auto column = static_cast<Column>(index.column());
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        std::string cell = monitor::Cell(store_, row, column, options_);
        // The frame's own bytes go through the code page; every other
        // column is the monitor's text.
        return column == Column::Text ? codepage::ToText(cell) : QString::fromStdString(cell);
    }
    if (role == Qt::TextAlignmentRole && (column == Column::Length || column == Column::Gap || column == Column::Reply))
        return QVariant(Qt::AlignRight | Qt::AlignVCenter);
    if (role == Qt::ForegroundRole) {
        if (row.flags & (monitor::FlagCollision | monitor::FlagCrcBad))
            return QColor(Qt::red);
        if (row.flags & monitor::FlagEcho)
            return QColor(Qt::gray);
        if (row.kind == monitor::RowKind::Event)
            return QColor(Qt::darkBlue);
    }
    return {};
}

QVariant TBusmonitorModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= static_cast<int>(Column::Count))
        return {};
    return QString::fromUtf8(monitor::ColumnTitle(static_cast<Column>(section)));
}

bool TBusmonitorModel::Shown(const monitor::Row& row) const
{
    return !(hideEcho_ && (row.flags & monitor::FlagEcho));
}

void TBusmonitorModel::Sync()
{
    // Rows the store has dropped leave first, in one block.
    const uint64_t first = store_.FirstSeq();
    if (first > first_) {
        if (hideEcho_) {
            size_t gone = 0;
            while (gone < shown_.size() && shown_[gone] < first)
                ++gone;
            if (gone) {
                beginRemoveRows({}, 0, static_cast<int>(gone) - 1);
                shown_.erase(shown_.begin(), shown_.begin() + static_cast<ptrdiff_t>(gone));
                endRemoveRows();
            }
        } else {
            const uint64_t last = std::min(first, end_);
            if (last > first_) {
                beginRemoveRows({}, 0, static_cast<int>(last - first_) - 1);
                first_ = last;
                endRemoveRows();
            }
        }
        first_ = first;
        end_ = std::max(end_, first);
    }
    const uint64_t end = store_.EndSeq();
    if (end <= end_)
        return;
    if (!hideEcho_) {
        beginInsertRows({}, rowCount(), rowCount() + static_cast<int>(end - end_) - 1);
        end_ = end;
        endInsertRows();
        return;
    }
    std::vector<uint64_t> added;
    for (uint64_t seq = end_; seq < end; ++seq)
        if (Shown(store_.At(seq)))
            added.push_back(seq);
    end_ = end;
    if (added.empty())
        return;
    beginInsertRows({}, rowCount(), rowCount() + static_cast<int>(added.size()) - 1);
    shown_.insert(shown_.end(), added.begin(), added.end());
    endInsertRows();
}

void TBusmonitorModel::Reset()
{
    beginResetModel();
    first_ = store_.FirstSeq();
    end_ = store_.EndSeq();
    shown_.clear();
    if (hideEcho_)
        for (uint64_t seq = first_; seq < end_; ++seq)
            if (Shown(store_.At(seq)))
                shown_.push_back(seq);
    endResetModel();
}

void TBusmonitorModel::SetOptions(const monitor::FormatOptions& options)
{
    options_ = options;
    if (rowCount() > 0)
        emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
}

void TBusmonitorModel::SetHideEcho(bool hide)
{
    if (hide == hideEcho_)
        return;
    hideEcho_ = hide;
    Reset();
}

std::vector<uint64_t> TBusmonitorModel::ShownSeqs() const
{
    if (hideEcho_)
        return {shown_.begin(), shown_.end()};
    std::vector<uint64_t> seqs;
    seqs.reserve(end_ - first_);
    for (uint64_t seq = first_; seq < end_; ++seq)
        seqs.push_back(seq);
    return seqs;
}

} // namespace terminal
