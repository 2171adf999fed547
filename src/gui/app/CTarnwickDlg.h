#pragma once

#include "core/ports/WatchListObserver.h"
#include "core/records/FetchSettings.h"

#include <QDialog>
#include <QPoint>
#include <QPointer>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QTimer;

namespace Ui {
class CTarnwickDlg;
}

namespace tw {
class CTarnwickApp;
class Executor;
class WatchSettings;
} // namespace tw

namespace tw::notify {
class DesktopNotifier;
} // namespace tw::notify

namespace tw::gui {

class AnnounceFlow;
class CDefineSheet;
class ChangeView;
class CRenewCheckWnd;
class GuiPrompter;
class SheetQueue;
class TrayClicks;
class WatchListDialog;
class WindowSession;

/// The main window: the result list under three buttons, the menu bar, and the tray icon it
/// hides into once minimised. Closing it while it has never been minimised ends the program;
/// after that, closing only hides it and Exit ends.
class CTarnwickDlg : public QDialog {
    Q_OBJECT
public:
    /// Command numbers of the menu bar and the buttons.
    struct MainMenu {
        static constexpr int NewSite = 1003;
        static constexpr int WatchList = 1004;
        static constexpr int FolderUpdate = 1010;
        static constexpr int ClearLog = 32782;
        static constexpr int MailSettings = 32781;
        static constexpr int Exit = 32771;
        static constexpr int Brindle = 32775;
        static constexpr int Quaylink = 32776;
        static constexpr int Help = 57670;
        static constexpr int QuaylinkPage = 32778;
        static constexpr int BrindlePage = 32780;
        static constexpr int QuestionsPage = 32779;
        static constexpr int About = 32773;
    };
    /// Command numbers of the two tray pop-ups.
    struct TrayMenu {
        static constexpr int Open = 32800;
        static constexpr int Exit = 32771;
        static constexpr int Brindle = 32775;
        static constexpr int Quaylink = 32776;
        static constexpr int FolderUpdate = 1010;
        static constexpr int NewSite = 1003;
        static constexpr int WatchList = 1004;
    };
    /// What a display request carries.
    enum class DisplayKind { Record = 0, Address = 1, ImageCheck = 2 };

    static constexpr const char* kImageCheckFile = "imagetest.htm";

    /// Builds the window and runs its initialisation: "State" opened, title, settings file,
    /// result list, watch list start, and a queued hand-over pick-up that shows the window.
    CTarnwickDlg(CTarnwickApp& app, WindowSession& session, Executor& executor,
                 GuiPrompter& prompter, QWidget* parent = nullptr);
    /// Ends the session if the window never ended its run.
    ~CTarnwickDlg() override;

    /// The menu or button action carrying command number `id` (the menu bar's where a tray
    /// pop-up has one with the same number); null for another number.
    QAction* action(int id) const;
    /// Triggers the action carrying command number `id`, as a click on it would.
    void command(int id);

    /// Exit: removes the tray icon and ends the program.
    void exit();
    /// Shows the window from the tray or wherever it is and brings it to the front.
    void showWindow();
    /// Minimise: hide into the tray; a second time (already in the tray) it means Exit.
    void moveToTray();
    /// Shows a record, an address or the image check page for an address.
    void display(DisplayKind kind, const FetchSettings& record);
    /// Writes imagetest.htm for `address` and shows it; false when it could not be written.
    bool imageCheck(const std::string& address);

    /// Starts hidden in the tray (tarnwick --tray), where there is one: the start-up pick-up of
    /// a hand-over then shows the window only when it brings a record. False, doing nothing,
    /// without a tray: the window is to be shown as usual.
    bool startInTray();
    /// True from startInTray() until the start-up pick-up has come back.
    bool quietStartPending() const { return m_quietStart; }
    /// The "start at login" check item: writes or removes the desktop's autostart entry; a
    /// failure is told with its reason, and the item shows what the entry says afterwards.
    void setStartAtLogin(bool start);

    bool inTray() const { return m_inTray; }
    CRenewCheckWnd& resultList() const;
    /// Desktops without a tray minimise normally; tests decide for themselves.
    void setTrayAvailable(std::function<bool()> available) {
        m_trayAvailable = std::move(available);
    }
    /// Opens the site definition sheet on a new item; with a record, the item fetches as the
    /// record says. While the sheet is open, the request waits until it has closed.
    void newSite(const FetchSettings* record = nullptr);
    /// Opens the sheet on the watch list's item `id` (held as newSite() is).
    void editItem(WatchItemId id);
    /// Takes the sheet's confirmed item into the watch list through the check session.
    void siteDefined(const WatchSettings& item, WatchItemId id);
    /// The site definition sheet, made on first use.
    CDefineSheet& defineSheet();
    /// Opens the change view of the watch list's item `id`, or raises the one open for it.
    /// Null when the item is gone.
    ChangeView* openChanges(WatchItemId id);
    /// The open change view of item `id`, else null.
    ChangeView* changeView(WatchItemId id) const;
    /// Where the notices of changes and failures go (null: nowhere). Its "表示" and "変更内容"
    /// come back here, for an item that still exists; a notice no service took shows as the
    /// tray icon's balloon while the window is in the tray. It must outlive this window.
    void setNotifier(notify::DesktopNotifier* notifier);
    /// The tray icon while the window has one, else null.
    QSystemTrayIcon* trayIcon() const { return m_tray; }
    /// The watch list dialog while it is open, else null.
    WatchListDialog* watchListDialog() const { return m_watchListDialog; }
    /// The record the download helper handed over last (the new-site sheet opens on it).
    const std::optional<FetchSettings>& pendingNewSite() const { return m_pendingNewSite; }

    void reject() override;
    void done(int result) override;

protected:
    void changeEvent(QEvent* event) override;

private:
    void setUpWidgets();
    void connectActions();
    void initialise();
    void watchMessages();
    void addTrayIcon();
    void removeTrayIcon();
    void trayActivated(int reason);
    /// The dialog of ours that is modal now (the sheet, a list, a box), else null.
    QWidget* lastActivePopup() const;
    void openTrayMenu(QMenu& menu);
    void handedOver(std::optional<FetchSettings> record);
    void openHelp(const QString& section);
    void openAbout();
    void openLinkUpdate();
    void endSession();
    void openWatchList();
    void importList();
    void exportList();
    void openMailSettings();
    void openSheet(const WatchSettings& item, WatchItemId id);
    void showItem(WatchItemId id);

    std::unique_ptr<Ui::CTarnwickDlg> m_ui;
    CTarnwickApp& m_app;
    WindowSession& m_session;
    Executor& m_executor;
    GuiPrompter& m_prompter;
    QMenu* m_trayRightMenu = nullptr;
    QMenu* m_trayLeftMenu = nullptr;
    QSystemTrayIcon* m_tray = nullptr;
    QTimer* m_trayClick = nullptr;
    std::unique_ptr<TrayClicks> m_trayClicks;
    std::function<bool()> m_trayAvailable;
    std::optional<FetchSettings> m_pendingNewSite;
    /// Null until the sheet is first opened.
    CDefineSheet* m_sheet = nullptr;
    std::unique_ptr<SheetQueue> m_sheetQueue;
    WatchListDialog* m_watchListDialog = nullptr;
    /// The last file imported or exported: the next chooser starts there.
    QString m_listFile;
    /// One change view per item; a closed one deletes itself.
    std::map<WatchItemId, QPointer<ChangeView>> m_changeViews;
    class ListWatcher;
    std::unique_ptr<ListWatcher> m_listWatcher;
    /// Where the window was when it went into the tray: it comes back there.
    std::optional<QPoint> m_hiddenAt;
    bool m_inTray = false;
    bool m_quietStart = false;
    bool m_ended = false;
    bool m_sessionEnded = false;
    std::unique_ptr<AnnounceFlow> m_announcements;
    notify::DesktopNotifier* m_notifier = nullptr;
};

} // namespace tw::gui
