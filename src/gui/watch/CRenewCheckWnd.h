#pragma once

#include "core/ports/CheckReceiver.h"
#include "core/watch/CWatchList.h"
#include "gui/watch/ResultListModel.h"

#include <QTreeView>

#include <optional>

class QAction;

namespace tw {
class WatchSettings;
}

namespace tw::gui {

/// The result list of the main window: one row per finished check, newest on top. It is the
/// check session's receiver of finished checks. Its row commands name the row's item by id and
/// ask the main window through signals, which are direct calls on the GUI thread and so return
/// once the window has handled them.
class CRenewCheckWnd : public QTreeView, public CheckReceiver {
    Q_OBJECT
public:
    /// Command numbers of the row context menu.
    enum Command : int {
        ShowSite = 32772,
        ShowFile = 32778,
        ImageCheck = 32774,
        EditItem = 32811,
        ShowChanges = 32830,
    };

    explicit CRenewCheckWnd(QWidget* parent = nullptr);

    /// Column widths and the list whose items the rows refer to.
    void setUp(const CWatchList* watchList);

    /// The row for a finished check, on top, referring to item `itemId`. The placeholder
    /// that stands for "nothing due before midnight" adds none.
    void addResult(const WatchSettings& finished, CWatchList::ItemId itemId);
    /// A finished check from the check session: its row.
    void checkDone(WatchSettings finishedCopy, WatchItemId itemId) override;
    void clearRows() { m_model.clear(); }

    ResultListModel& model() { return m_model; }
    /// The row command carrying `id` (ShowSite ...); null for another number.
    QAction* action(int id) const;
    /// Triggers the row command carrying `id`. It acts on the first selected row; ignored when
    /// no row is selected, the row is not a check result or its item is gone.
    void command(int id);

signals:
    /// The item `id` of the watch list, to be shown in the browser.
    void showSiteRequested(tw::WatchItemId id);
    /// A file or address to be shown.
    void showAddressRequested(const std::string& address);
    void imageCheckRequested(const std::string& address);
    /// The item `id` of the watch list, to be edited.
    void editRequested(tw::WatchItemId id);
    /// The item `id` of the watch list, whose last change is to be shown.
    void changesRequested(tw::WatchItemId id);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    /// The id of the first selected row's item while it is in the list.
    std::optional<WatchItemId> selectedItem() const;
    /// The save file of the first selected row's item; empty when it has none.
    std::string selectedFile() const;

    ResultListModel m_model;
    const CWatchList* m_watchList = nullptr;
    QAction* m_showSite;
    QAction* m_showFile;
    QAction* m_imageCheck;
    QAction* m_editItem;
    QAction* m_showChanges;
};

} // namespace tw::gui
