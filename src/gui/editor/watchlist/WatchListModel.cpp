#include "gui/editor/watchlist/WatchListModel.h"

#include "core/watch/CWatchList.h"
#include "core/watch/ScheduleText.h"
#include "gui/common/QtText.h"

namespace tw::gui {

WatchListModel::WatchListModel(CWatchList& list, QObject* parent)
    : QAbstractTableModel(parent), m_list(list) {
    listReset();
    m_list.addObserver(this);
}

WatchListModel::~WatchListModel() {
    m_list.removeObserver(this);
}

WatchItemId WatchListModel::idAt(int row) const {
    return row >= 0 && row < m_rows.size() ? m_rows.at(row).id : 0;
}

int WatchListModel::rowOf(WatchItemId id) const {
    for (int row = 0; row < m_rows.size(); ++row) {
        if (m_rows.at(row).id == id)
            return row;
    }
    return -1;
}

int WatchListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int WatchListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant WatchListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_rows.size() || index.column() >= ColumnCount)
        return {};
    if (role == Qt::DisplayRole)
        return m_rows.at(index.row()).texts[index.column()];
    return {};
}

QVariant WatchListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case ScheduleColumn:
        return tr("スケジュール");
    case NameColumn:
        return tr("名前");
    case AddressColumn:
        return tr("リンク先ＵＲＬ");
    default:
        return {};
    }
}

WatchListModel::Row WatchListModel::rowFor(WatchItemId id) const {
    Row row;
    row.id = id;
    const int position = m_list.positionOf(id);
    if (position < 0)
        return row;
    const WatchSettings item = m_list.itemAt(position);
    row.texts[ScheduleColumn] = fromCp932(describeSchedule(item));
    row.texts[NameColumn] = fromCp932(item.name);
    row.texts[AddressColumn] = fromCp932(item.targetUrl);
    return row;
}

void WatchListModel::listReset() {
    beginResetModel();
    m_rows.clear();
    for (int position = 0; position < m_list.count(); ++position)
        m_rows.append(rowFor(m_list.idAt(position)));
    endResetModel();
}

void WatchListModel::itemAdded(WatchItemId id) {
    const int row = static_cast<int>(m_rows.size());
    beginInsertRows({}, row, row);
    m_rows.append(rowFor(id));
    endInsertRows();
}

void WatchListModel::itemReplaced(WatchItemId id) {
    const int row = rowOf(id);
    if (row < 0)
        return;
    m_rows[row] = rowFor(id);
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

void WatchListModel::itemRemoved(WatchItemId id, int formerPosition) {
    // The rows mirror the list, so the former position is the row; the id decides if not.
    const int row = idAt(formerPosition) == id ? formerPosition : rowOf(id);
    if (row < 0)
        return;
    beginRemoveRows({}, row, row);
    m_rows.removeAt(row);
    endRemoveRows();
}

void WatchListModel::itemChecked(WatchItemId id) {
    itemReplaced(id);
}

} // namespace tw::gui
