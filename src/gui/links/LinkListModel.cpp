#include "links/LinkListModel.h"

#include "app/QtText.h"

#include <QApplication>
#include <QStyle>

#include <algorithm>
#include <numeric>

namespace tw::gui {

LinkListModel::LinkListModel(QObject* parent) : QAbstractTableModel(parent) {
    const QIcon file = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
    m_images[FileExists] = file;
    // The same page, greyed: the link is known but its file is not there.
    m_images[FileMissing] = QIcon(file.pixmap(16, 16, QIcon::Disabled));
    m_images[Updated] = QIcon(QStringLiteral(":/icons/state-updated.png"));
    m_images[Unchanged] = QIcon(QStringLiteral(":/icons/state-unchanged.png"));
    m_images[Failed] = QIcon(QStringLiteral(":/icons/state-error.png"));
}

LinkListModel::Row LinkListModel::rowOf(const FetchSettings& link, int image) {
    Row row;
    row.texts = {link.destFile, link.name, link.targetUrl};
    row.image = image;
    return row;
}

void LinkListModel::setRows(QList<Row> rows) {
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

void LinkListModel::setRow(int index, const Row& row) {
    if (index < 0 || index >= m_rows.size()) {
        return;
    }
    m_rows[index] = row;
    emit dataChanged(this->index(index, 0), this->index(index, ColumnCount - 1));
}

void LinkListModel::removeRow(int index) {
    if (index < 0 || index >= m_rows.size()) {
        return;
    }
    beginRemoveRows({}, index, index);
    m_rows.removeAt(index);
    endRemoveRows();
}

std::vector<int> LinkListModel::sortOrder(int column, bool descending) const {
    std::vector<int> order(static_cast<std::size_t>(m_rows.size()));
    std::iota(order.begin(), order.end(), 0);
    // std::string compares bytes unsigned, as memcmp does.
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        const int compared = m_rows[a].texts[column].compare(m_rows[b].texts[column]);
        return descending ? compared > 0 : compared < 0;
    });
    return order;
}

void LinkListModel::reorder(const std::vector<int>& order) {
    QList<Row> rows;
    rows.reserve(m_rows.size());
    for (const int old : order) {
        rows.append(m_rows.at(old));
    }
    setRows(std::move(rows));
}

void LinkListModel::setSortMark(int column, const QString& mark) {
    m_markedColumn = column;
    m_mark = mark;
    emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
}

int LinkListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int LinkListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant LinkListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_rows.size()) {
        return {};
    }
    const Row& row = m_rows.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
    case Qt::ToolTipRole:
        return fromCp932(row.texts[index.column()]);
    case Qt::DecorationRole:
        if (index.column() == FileColumn && row.image >= FileExists && row.image <= Failed) {
            return m_images[row.image];
        }
        return {};
    default:
        return {};
    }
}

QVariant LinkListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    static const char* const titles[ColumnCount] = {"ファイル", "名前", "リンク先ＵＲＬ"};
    if (section < 0 || section >= ColumnCount) {
        return {};
    }
    QString title = tr(titles[section]);
    if (section == m_markedColumn) {
        title += m_mark;
    }
    return title;
}

Qt::ItemFlags LinkListModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags flags = QAbstractTableModel::flags(index);
    if (index.isValid() && index.column() == FileColumn) {
        // Only through the rename command: the delegate decides whether the name is taken.
        flags |= Qt::ItemIsEditable;
    }
    return flags;
}

} // namespace tw::gui
