#include "gui/watch/ResultListModel.h"

#include <algorithm>

namespace tw::gui {

ResultListModel::ResultListModel(QObject* parent)
    : QAbstractTableModel(parent), m_icons{QIcon(QStringLiteral(":/icons/state-unchanged.png")),
                                           QIcon(QStringLiteral(":/icons/state-updated.png")),
                                           QIcon(QStringLiteral(":/icons/state-error.png"))} {
    m_flushTimer.setSingleShot(true);
    connect(&m_flushTimer, &QTimer::timeout, this, &ResultListModel::flush);
}

QString ResultListModel::shared(const QString& text) {
    const auto found = m_texts.constFind(text);
    if (found != m_texts.cend()) {
        return *found;
    }
    m_texts.insert(text);
    return text;
}

void ResultListModel::prepend(Row row) {
    // Rows repeat a few pages, results and minutes: each text is kept once.
    row.time = shared(row.time);
    row.page = shared(row.page);
    row.result = shared(row.result);
    m_pending.append(std::move(row));
    if (!m_flushTimer.isActive()) {
        // A lone row shows at once; a flood of them only every so often.
        const qint64 since = m_sinceFlush.isValid() ? m_sinceFlush.elapsed() : kFlushSpacing;
        m_flushTimer.start(static_cast<int>(std::max<qint64>(0, kFlushSpacing - since)));
    }
}

void ResultListModel::flush() {
    m_flushTimer.stop();
    if (m_pending.isEmpty()) {
        return;
    }
    m_sinceFlush.start();
    beginInsertRows({}, 0, static_cast<int>(m_pending.size()) - 1);
    for (Row& row : m_pending) {
        m_rows.prepend(std::move(row));
    }
    m_pending.clear();
    endInsertRows();
}

void ResultListModel::clear() {
    m_flushTimer.stop();
    beginResetModel();
    m_pending.clear();
    m_rows.clear();
    m_texts.clear();
    endResetModel();
}

int ResultListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int ResultListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ResultListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_rows.size()) {
        return {};
    }
    const Row& row = m_rows.at(index.row());
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case TimeColumn:
            return row.time;
        case PageColumn:
            return row.page;
        case ResultColumn:
            return row.result;
        default:
            return {};
        }
    }
    if (role == Qt::DecorationRole && index.column() == TimeColumn) {
        return m_icons[static_cast<int>(row.state)];
    }
    return {};
}

QVariant ResultListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return {};
    }
    switch (section) {
    case TimeColumn:
        return tr("時刻");
    case PageColumn:
        return tr("ページ");
    case ResultColumn:
        return tr("結果");
    default:
        return QString();
    }
}

} // namespace tw::gui
