#pragma once

#include "watch/CWatchList.h"
#include "watch/ResultListModel.h"

#include <QTreeView>

#include <optional>

namespace tw {
class WatchSettings;
}

namespace tw::gui {

/// The result list of the main window: one row per finished check, newest on top. Its row
/// commands ask the main window through signals, which are direct calls on the GUI thread and
/// so return once the window has handled them.
class CRenewCheckWnd : public QTreeView {
    Q_OBJECT
public:
    /// Commands of the row context menu.
    enum Command : int {
        ShowSite = 32772,
        ShowFile = 32778,
        ImageCheck = 32774,
        EditItem = 32811,
    };

    explicit CRenewCheckWnd(QWidget* parent = nullptr);

    /// Column widths and the list whose items the rows refer to.
    void setUp(const CWatchList* watchList);

    /// The row for a finished check, on top, referring to item `itemId`. The placeholder
    /// that stands for "nothing due before midnight" adds none.
    void addResult(const WatchSettings& finished, CWatchList::ItemId itemId);
    void clearRows() { m_model.clear(); }

    ResultListModel& model() { return m_model; }
    /// Runs a row command on the first selected row; ignored when no row is selected, the
    /// row is not a check result or its item is gone.
    void command(int id);

signals:
    /// The item at `position` of the watch list, to be shown in the browser.
    void showSiteRequested(int position);
    /// A file or address to be shown.
    void showAddressRequested(const std::string& address);
    void imageCheckRequested(const std::string& address);
    /// The item at `position` (0-based) to be edited.
    void editRequested(int position);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    std::optional<int> selectedPosition() const;

    ResultListModel m_model;
    const CWatchList* m_watchList = nullptr;
};

} // namespace tw::gui
