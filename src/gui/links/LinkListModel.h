#pragma once

#include "records/FetchSettings.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <QList>

#include <array>
#include <string>
#include <vector>

namespace tw::gui {

/// The rows of the link update dialog, one per link in list order (row i shows link i): file
/// name, name and address, and an image for what is known of the link's file. The texts are
/// code page 932 as the link holds them, so that sorting compares the stored bytes.
class LinkListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { FileColumn, NameColumn, AddressColumn, ColumnCount };
    /// The row images; a refresh result r shows image r + 2.
    enum Image { FileExists = 2, Updated = 3, Unchanged = 4, FileMissing = 5, Failed = 6 };

    explicit LinkListModel(QObject* parent = nullptr);

    struct Row {
        std::array<std::string, ColumnCount> texts;
        int image = FileMissing;
    };
    static Row rowOf(const FetchSettings& link, int image);

    void setRows(QList<Row> rows);
    const Row& row(int index) const { return m_rows.at(index); }
    void setRow(int index, const Row& row);
    void removeRow(int index);
    /// Stable order of the rows by `column`'s bytes; returns the old row of each new row.
    std::vector<int> sortOrder(int column, bool descending) const;
    void reorder(const std::vector<int>& order);
    /// The titles: `column` gets `mark` appended, the others show their plain titles.
    void setSortMark(int column, const QString& mark);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    QList<Row> m_rows;
    int m_markedColumn = -1;
    QString m_mark;
    std::array<QIcon, Failed + 1> m_images;
};

} // namespace tw::gui
