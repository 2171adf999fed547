#pragma once

#include "core/ports/WatchListObserver.h"

#include <QAbstractTableModel>
#include <QList>
#include <QString>

#include <array>

namespace tw {
class CWatchList;
}

namespace tw::gui {

/// The watch list as table rows, one per item in list order, each keyed by the item's id.
/// It observes the list while it lives: rows follow every change when the list applies it, also
/// edits the list queued during a check.
class WatchListModel : public QAbstractTableModel, private WatchListObserver {
    Q_OBJECT
public:
    enum Column { ScheduleColumn, NameColumn, AddressColumn, ColumnCount };

    /// `list` must outlive the model.
    explicit WatchListModel(CWatchList& list, QObject* parent = nullptr);
    ~WatchListModel() override;

    /// 0 when `row` is out of range.
    WatchItemId idAt(int row) const;
    /// -1 when no row holds the id.
    int rowOf(WatchItemId id) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    struct Row {
        WatchItemId id = 0;
        std::array<QString, ColumnCount> texts;
    };

    Row rowFor(WatchItemId id) const;

    void listReset() override;
    void itemAdded(WatchItemId id) override;
    void itemReplaced(WatchItemId id) override;
    void itemRemoved(WatchItemId id, int formerPosition) override;
    void itemChecked(WatchItemId id) override;

    CWatchList& m_list;
    QList<Row> m_rows;
};

} // namespace tw::gui
