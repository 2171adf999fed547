#pragma once

#include <QAbstractTableModel>
#include <QIcon>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tw {
class CLinkList;
}

namespace tw::gui {

/// The rows of the link update dialog, one per link in list order (row i shows link i): file
/// name, name and address, read from the list as a row is shown, and an image for what is known
/// of the link's file. Only the image is kept per row (one byte), so that hundreds of thousands
/// of links cost the view next to nothing; the image a row gets when the list is filled (its file
/// exists or not) is looked up when the row is first shown.
class LinkListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { FileColumn, NameColumn, AddressColumn, ColumnCount };
    /// The row images; a refresh result r shows image r + 2. Unknown: not looked up yet.
    enum Image {
        Unknown = 0,
        FileExists = 2,
        Updated = 3,
        Unchanged = 4,
        FileMissing = 5,
        Failed = 6
    };
    /// The image of row `row` when the list is filled (FileExists, FileMissing or Failed).
    using ImageAtFill = std::function<int(int row)>;

    LinkListModel(const CLinkList& links, ImageAtFill imageAtFill, QObject* parent = nullptr);

    /// Shows every link of the list, images to be looked up.
    void reload();
    /// Shows no row (while the list loads).
    void clear();
    /// The text of a cell as the link holds it (code page 932).
    std::string text(int row, int column) const;
    int image(int row) const;
    void setImage(int row, int image);
    /// The link of `row` changed: its texts are shown again and its image is `image`.
    void rowChanged(int row, int image);
    void removeRow(int row);
    /// Removes the rows `rows` (ascending): range by range, or all at once when they are many.
    void removeRowList(const std::vector<int>& rows);
    /// The rows now stand in the order `order` gives (new row i was row order[i]).
    void reorder(const std::vector<int>& order);
    /// The titles: `column` gets `mark` appended, the others show their plain titles.
    void setSortMark(int column, const QString& mark);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    const CLinkList& m_links;
    ImageAtFill m_imageAtFill;
    /// One per row; looked up lazily, hence mutable.
    mutable std::vector<std::uint8_t> m_images;
    int m_markedColumn = -1;
    QString m_mark;
    std::array<QIcon, Failed + 1> m_icons;
};

} // namespace tw::gui
