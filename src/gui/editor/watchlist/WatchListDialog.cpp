#include "gui/editor/watchlist/WatchListDialog.h"

#include "gui/common/CutTextDelegate.h"
#include "gui/common/StretchLastColumn.h"
#include "gui/editor/watchlist/WatchListModel.h"
#include "ui_WatchListDialog.h"

#include <QHeaderView>

#include <algorithm>

namespace tw::gui {

WatchListDialog::WatchListDialog(CWatchList& list, QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::WatchListDialog>()),
      m_model(new WatchListModel(list, this)) {
    m_ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    QTableView* view = m_ui->itemView;
    view->setModel(m_model);
    view->setItemDelegate(new CutTextDelegate(view));
    // Tab leaves the list for the buttons instead of walking its cells.
    view->setTabKeyNavigation(false);
    view->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    view->setColumnWidth(WatchListModel::ScheduleColumn, 140);
    view->setColumnWidth(WatchListModel::NameColumn, 140);
    // The address takes the rest of the dialog's width.
    stretchLastColumn(*view->horizontalHeader());
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);

    connect(m_ui->closeButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_ui->editButton, &QPushButton::clicked, this, &WatchListDialog::editSelected);
    connect(m_ui->newButton, &QPushButton::clicked, this, &WatchListDialog::newItem);
    connect(m_ui->deleteButton, &QPushButton::clicked, this, &WatchListDialog::deleteSelected);
    connect(m_ui->changesButton, &QPushButton::clicked, this,
            &WatchListDialog::showChangesOfSelected);
    // The row under the pointer is meant, whatever else a modifier key kept selected.
    connect(view, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { editRow(index.row()); });
}

WatchListDialog::~WatchListDialog() = default;

int WatchListDialog::topSelectedRow() const {
    const QModelIndexList rows = m_ui->itemView->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return -1;
    const auto top =
        std::min_element(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) {
            return a.row() < b.row();
        });
    return top->row();
}

void WatchListDialog::editSelected() {
    if (const int row = topSelectedRow(); row >= 0)
        editRow(row);
}

void WatchListDialog::showChangesOfSelected() {
    const int row = topSelectedRow();
    if (row < 0)
        return;
    if (const WatchItemId id = m_model->idAt(row); id != 0)
        emit changesRequested(id);
}

void WatchListDialog::editRow(int row) {
    const WatchItemId id = m_model->idAt(row);
    if (id == 0)
        return;
    reject();
    emit editRequested(id);
}

void WatchListDialog::newItem() {
    reject();
    emit newRequested();
}

void WatchListDialog::deleteSelected() {
    // Ids first: each removal shifts the rows below it.
    QList<WatchItemId> ids;
    for (const QModelIndex& index : m_ui->itemView->selectionModel()->selectedRows())
        ids.append(m_model->idAt(index.row()));
    for (const WatchItemId id : ids)
        emit removeRequested(id);
}

} // namespace tw::gui
