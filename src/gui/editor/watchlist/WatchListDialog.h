#pragma once

#include "core/ports/WatchListObserver.h"

#include <QDialog>

#include <memory>

namespace Ui {
class WatchListDialog;
}

namespace tw {
class CWatchList;
}

namespace tw::gui {

class WatchListModel;

/// "ウォッチリスト": every watch item with its schedule, name and address, from which items are
/// edited, created and deleted. The dialog shows the list and changes nothing itself: it asks
/// by signal. Edit and New close the dialog first and then ask for the sheet, so that the
/// sheet opens only once the list has gone (a receiver that opens it from inside the signal
/// should queue that, to let exec() return first); Delete asks for each selected item's
/// removal at once, and the rows follow when the list has removed them.
class WatchListDialog : public QDialog {
    Q_OBJECT
public:
    /// `list` must outlive the dialog; while the dialog lives it observes the list.
    explicit WatchListDialog(CWatchList& list, QWidget* parent = nullptr);
    ~WatchListDialog() override;

    WatchListModel& model() const { return *m_model; }

    /// The item of the topmost selected row, with the dialog closed first; nothing without one.
    void editSelected();
    /// Closes the dialog and asks for a new item.
    void newItem();
    /// Asks for the removal of every selected item, without a question.
    void deleteSelected();
    /// Asks for the change view of the topmost selected item; the dialog stays open.
    void showChangesOfSelected();

signals:
    void editRequested(tw::WatchItemId id);
    void newRequested();
    void removeRequested(tw::WatchItemId id);
    void changesRequested(tw::WatchItemId id);

private:
    void editRow(int row);
    /// The row of the topmost selected item; -1 without one.
    int topSelectedRow() const;

    std::unique_ptr<Ui::WatchListDialog> m_ui;
    WatchListModel* m_model;
};

} // namespace tw::gui
