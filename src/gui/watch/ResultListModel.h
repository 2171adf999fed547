#pragma once

#include "core/watch/CWatchList.h"

#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QIcon>
#include <QList>
#include <QSet>
#include <QString>
#include <QTimer>

namespace tw::gui {

/// The rows of the result list, newest first. Each row keeps the id of the watch item it
/// reports on, never its position: items move and go while rows stay.
class ResultListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { TimeColumn, PageColumn, ResultColumn, SpareColumn, ColumnCount };
    /// Image of a row: the page was not updated, was updated, or the check failed.
    enum class State { Unchanged, Updated, Error };

    struct Row {
        QString time;
        QString page;
        QString result;
        State state = State::Unchanged;
        CWatchList::ItemId itemId = 0;
    };

    static constexpr int kFlushSpacing = 100; // milliseconds

    explicit ResultListModel(QObject* parent = nullptr);

    /// Puts `row` on top once the event loop turns, and while rows keep coming at most every
    /// kFlushSpacing: rows that come together go in together, so the view lays itself out
    /// once for them rather than once each.
    void prepend(Row row);
    /// Puts the rows waiting for the loop's turn on top now.
    void flush();
    /// Removes all rows, waiting ones too.
    void clear();
    const Row& rowAt(int row) const { return m_rows.at(row); }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QString shared(const QString& text);

    QList<Row> m_rows;
    /// Oldest first.
    QList<Row> m_pending;
    QTimer m_flushTimer;
    QElapsedTimer m_sinceFlush;
    QSet<QString> m_texts;
    QIcon m_icons[3];
};

} // namespace tw::gui
