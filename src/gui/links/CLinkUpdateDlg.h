#pragma once

#include "core/links/CLinkList.h"
#include "core/links/LinkReceiver.h"
#include "core/records/FetchSettings.h"
#include "gui/common/BackgroundWork.h"

#include <QDialog>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QAction;
class QMovie;
class QTimer;

namespace Ui {
class CLinkUpdateDlg;
}

namespace tw {
class Prompter;
}

namespace tw::gui {

class CFolder;
class LinkListModel;

/// "リンク更新": the links of one save folder, refreshed on a worker (all of them, or one on a
/// double-click), edited, renamed, deleted, sorted, or turned into a new watch item. The
/// folder's list stays locked while the dialog shows it, and is saved when it closes.
///
/// The list file is read on a thread of its own while the dialog shows that it loads; until it
/// is read nothing can be edited or saved, and closing ends the read first. While a worker runs,
/// only "全て更新" (which then stops it, ending the transfer in hand) does anything, and the
/// dialog does not close; a close asked for once the stop was pressed follows as soon as the
/// worker has ended. The reader and the worker reach the dialog only through its BackgroundWork.
class CLinkUpdateDlg : public QDialog, private LinkReceiver {
    Q_OBJECT
public:
    /// `folder` is the stored save folder ("c:" or "" stand for the download folder); the list's
    /// own messages and its credentials prompts go to `prompter`.
    CLinkUpdateDlg(const std::string& folder, Prompter* prompter, int downloadOption,
                   QWidget* parent = nullptr);
    /// Ends a load or a refresh that still runs (a program quitting under the dialog): it is
    /// stopped, its reports and prompts refused, and waited for.
    ~CLinkUpdateDlg() override;

    /// Takes the folder's list (asking whether to break a lock held elsewhere) and begins to read
    /// it; the rows are filled once it is read. False when the user would not take it: the
    /// dialog is not to be shown.
    bool start();

    /// The save folder to store: the one handed in, or the one the user changed to.
    const std::string& folder() const { return m_storedFolder; }
    CLinkList& links() { return m_links; }
    LinkListModel& model() const { return *m_model; }
    /// True while the list loads or a worker refreshes links (all of them, or one).
    bool busy() const { return m_loading || m_running != Running::No; }
    /// True while the list file is read.
    bool loading() const { return m_loading; }
    /// The folder the user's "c:" means.
    static std::string downloadFolder();

    /// Replaces the link editor (tests): fills the texts and returns true for OK.
    using LinkEditor = std::function<bool(std::array<std::string, 3>& texts)>;
    void setLinkEditor(LinkEditor editor) { m_linkEditor = std::move(editor); }

    // The commands.
    void updateAll();
    void refreshRow(int row);
    void removeSelected(bool withFile);
    void renameSelected();
    void editSelected();
    void newSiteFromSelected();
    void browseFolder();
    void applyFolder();
    void sortByColumn(int column);
    /// Ends a rename: the name is checked, and the link takes it or the row keeps its name.
    void finishRename(int row, const QString& text);

    void reject() override;
    void done(int result) override;

signals:
    /// A refreshed link that was updated, to be shown (after a double-click).
    void displayRequested(const tw::FetchSettings& record);
    /// A link to become a new watch item; its destFile is the local file's path.
    void newSiteRequested(const tw::FetchSettings& record);

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Running { No, All, One };

    void linkResult(int index, int result) override;
    void linkDone() override;

    /// Reads the list on a thread of its own; loadDone() follows on this one.
    void beginLoad();
    void loadDone();
    void fillRows();
    int imageAtFill(int index) const;
    bool startWorker(Running kind, int onlyIndex);
    void setAnimation(bool playing);
    void showBusy(bool busy);
    int firstSelectedRow() const;
    QList<int> selectedRows() const;
    void openContextMenu(const QPoint& position);
    /// The checks of a new file name: true when the link may take it.
    bool acceptFileName(const std::string& name);
    /// A warning over the dialog (GuiPrompter), and a Yes/No question, true for Yes.
    void tell(const QString& text);
    bool askYesNo(const QString& text);

    std::unique_ptr<Ui::CLinkUpdateDlg> m_ui;
    /// Before the list, which asks through it.
    BackgroundWork m_work;
    CLinkList m_links;
    LinkListModel* m_model = nullptr;
    QTimer* m_loadProgress = nullptr;
    bool m_loading = false;
    /// A close that waits for the end of the load, or for the worker that was told to stop.
    bool m_closePending = false;
    bool m_stopping = false;
    QMovie* m_idleMovie = nullptr;
    QMovie* m_busyMovie = nullptr;
    QAction* m_editAction;
    QAction* m_renameAction;
    QAction* m_removeAction;
    QAction* m_removeFileAction;
    QAction* m_newSiteAction;
    std::string m_storedFolder;
    int m_downloadOption;
    Running m_running = Running::No;
    std::optional<FetchSettings> m_toDisplay;
    std::array<bool, 3> m_sortDescending{};
    LinkEditor m_linkEditor;
    bool m_saved = false;
    bool m_shown = false;
};

} // namespace tw::gui
