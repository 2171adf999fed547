#include "gui/common/CutTextDelegate.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFontMetricsF>
#include <QHelpEvent>
#include <QStyle>
#include <QTextDocument>
#include <QToolTip>

namespace tw::gui {

bool CutTextDelegate::isCut(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyleOptionViewItem item = option;
    initStyleOption(&item, index);
    if (!(item.features & QStyleOptionViewItem::HasDisplay) || item.text.isEmpty()) {
        return false;
    }
    // A row shows one line.
    if (item.text.contains(QLatin1Char('\n'))) {
        return true;
    }
    const QWidget* widget = item.widget;
    const QStyle* style = widget ? widget->style() : QApplication::style();
    // Where the style draws the text, less the margin it keeps on either side.
    const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &item, widget);
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
    const qreal room = textRect.width() - 2 * margin;
    return QFontMetricsF(item.font).horizontalAdvance(item.text) > room;
}

bool CutTextDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (!event || !view || event->type() != QEvent::ToolTip) {
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    }
    if (!index.isValid() || !isCut(option, index)) {
        QToolTip::hideText();
        return true;
    }
    QString text = index.data(Qt::DisplayRole).toString();
    // Shown as the text it is, even where it looks like markup ("<b>News</b>").
    if (Qt::mightBeRichText(text)) {
        text = QStringLiteral("<p style=\"white-space:pre-wrap\">") + text.toHtmlEscaped() +
               QStringLiteral("</p>");
    }
    // Gone once the pointer leaves the cell.
    QToolTip::showText(event->globalPos(), text, view->viewport(), option.rect);
    return true;
}

} // namespace tw::gui
