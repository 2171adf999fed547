#include "gui/links/LinkListModel.h"

#include "core/links/CLinkList.h"
#include "gui/common/QtText.h"

namespace tw::gui {

LinkListModel::LinkListModel(const CLinkList& links, ImageAtFill imageAtFill, QObject* parent)
    : QAbstractTableModel(parent), m_links(links), m_imageAtFill(std::move(imageAtFill)) {
    // A written page, and the dashed place of one: told apart at a glance, in any theme.
    m_icons[FileExists] = QIcon(QStringLiteral(":/icons/link-file.png"));
    m_icons[FileMissing] = QIcon(QStringLiteral(":/icons/link-missing.png"));
    m_icons[Updated] = QIcon(QStringLiteral(":/icons/state-updated.png"));
    m_icons[Unchanged] = QIcon(QStringLiteral(":/icons/state-unchanged.png"));
    m_icons[Failed] = QIcon(QStringLiteral(":/icons/state-error.png"));
}

void LinkListModel::reload() {
    beginResetModel();
    m_images.assign(static_cast<std::size_t>(m_links.count()), Unknown);
    endResetModel();
}

void LinkListModel::clear() {
    beginResetModel();
    std::vector<std::uint8_t>().swap(m_images);
    endResetModel();
}

std::string LinkListModel::text(int row, int column) const {
    if (row < 0 || row >= rowCount() || column < 0 || column >= ColumnCount) {
        return {};
    }
    return m_links.text(row, static_cast<CLinkList::Column>(column));
}

int LinkListModel::image(int row) const {
    if (row < 0 || row >= rowCount()) {
        return Unknown;
    }
    std::uint8_t& image = m_images[static_cast<std::size_t>(row)];
    if (image == Unknown && m_imageAtFill) {
        image = static_cast<std::uint8_t>(m_imageAtFill(row));
    }
    return image;
}

void LinkListModel::setImage(int row, int image) {
    rowChanged(row, image);
}

void LinkListModel::rowChanged(int row, int image) {
    if (row < 0 || row >= rowCount()) {
        return;
    }
    m_images[static_cast<std::size_t>(row)] = static_cast<std::uint8_t>(image);
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
}

void LinkListModel::removeRow(int row) {
    if (row < 0 || row >= rowCount()) {
        return;
    }
    beginRemoveRows({}, row, row);
    m_images.erase(m_images.begin() + row);
    endRemoveRows();
}

void LinkListModel::removeRowList(const std::vector<int>& rows) {
    // Runs of neighbouring rows, last first, so that earlier rows keep their numbers.
    std::vector<std::pair<int, int>> runs;
    for (const int row : rows) {
        if (!runs.empty() && runs.back().second + 1 == row) {
            runs.back().second = row;
        } else {
            runs.emplace_back(row, row);
        }
    }
    const auto keep = [&] {
        std::vector<std::uint8_t> images;
        images.reserve(m_images.size() - rows.size());
        std::size_t next = 0;
        for (std::size_t i = 0; i < m_images.size(); ++i) {
            if (next < rows.size() && static_cast<std::size_t>(rows[next]) == i) {
                ++next;
            } else {
                images.push_back(m_images[i]);
            }
        }
        m_images = std::move(images);
    };
    if (runs.size() > 64) {
        beginResetModel();
        keep();
        endResetModel();
        return;
    }
    // The last run first, so that the rows of the others keep their numbers.
    for (std::size_t i = runs.size(); i-- > 0;) {
        const auto& run = runs[i];
        beginRemoveRows({}, run.first, run.second);
        m_images.erase(m_images.begin() + run.first, m_images.begin() + run.second + 1);
        endRemoveRows();
    }
}

void LinkListModel::reorder(const std::vector<int>& order) {
    beginResetModel();
    std::vector<std::uint8_t> images;
    images.reserve(order.size());
    for (const int old : order) {
        images.push_back(m_images.at(static_cast<std::size_t>(old)));
    }
    m_images = std::move(images);
    endResetModel();
}

void LinkListModel::setSortMark(int column, const QString& mark) {
    m_markedColumn = column;
    m_mark = mark;
    emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
}

int LinkListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_images.size());
}

int LinkListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant LinkListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return fromCp932(text(index.row(), index.column()));
    case Qt::DecorationRole:
        if (index.column() == FileColumn) {
            const int shown = image(index.row());
            if (shown >= FileExists && shown <= Failed) {
                return m_icons[static_cast<std::size_t>(shown)];
            }
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
