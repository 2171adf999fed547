#pragma once

#include <QStyledItemDelegate>

namespace tw::gui {

/// Draws cells as usual and gives a cell whose text the view cuts short (it ends in "…") its
/// whole text as the tooltip; a cell shown whole has none. Measured when the tooltip is asked
/// for, with the view's font and the column's width at that moment, so a column the user has
/// widened or narrowed is judged as it is now.
class CutTextDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    /// True when the text of `index` does not fit the cell `option` describes (its rect, font
    /// and decoration), as the view draws it on one line.
    bool isCut(const QStyleOptionViewItem& option, const QModelIndex& index) const;

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;
};

} // namespace tw::gui
