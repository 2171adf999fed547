#pragma once

// What the pointer resting on a cell shows, and a column widened by its title's edge, as a user
// does both.

#include <QAbstractItemView>
#include <QApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QTest>
#include <QToolTip>

namespace tw::test {

/// The tooltip `view` shows over the cell `index`; empty when it shows none.
inline QString tipOver(QAbstractItemView& view, const QModelIndex& index) {
    // A tip still showing from before goes first (it lingers for a moment once hidden).
    QToolTip::hideText();
    if (!QTest::qWaitFor([] { return !QToolTip::isVisible(); })) {
        return QStringLiteral("(a tip would not go)");
    }
    const QPoint point = view.visualRect(index).center();
    QHelpEvent event(QEvent::ToolTip, point, view.viewport()->mapToGlobal(point));
    QApplication::sendEvent(view.viewport(), &event);
    return QToolTip::isVisible() ? QToolTip::text() : QString();
}

/// Drags the right edge of `section`'s title by `dx` pixels with the mouse.
inline void dragSectionEdge(QHeaderView& header, int section, int dx) {
    QWidget* area = header.viewport();
    const QPoint edge(header.sectionViewportPosition(section) + header.sectionSize(section) - 1,
                      header.height() / 2);
    QTest::mousePress(area, Qt::LeftButton, {}, edge);
    QTest::mouseMove(area, edge + QPoint(dx / 2, 0));
    QTest::mouseMove(area, edge + QPoint(dx, 0));
    QTest::mouseRelease(area, Qt::LeftButton, {}, edge + QPoint(dx, 0));
}

} // namespace tw::test
