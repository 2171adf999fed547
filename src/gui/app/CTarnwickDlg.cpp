#include "gui/app/CTarnwickDlg.h"

#include "core/app/CTarnwickApp.h"
#include "core/app/CheckSession.h"
#include "core/app/ListCommandRun.h"
#include "core/app/Siblings.h"
#include "core/history/HistoryStore.h"
#include "core/platform/Autostart.h"
#include "core/ports/Executor.h"
#include "core/util/Cp932.h"
#include "core/util/SystemPath.h"
#include "core/watch/CWatchList.h"
#include "gui/app/Foreground.h"
#include "gui/app/TrayClicks.h"
#include "gui/app/WindowSession.h"
#include "gui/common/GuiPrompter.h"
#include "gui/common/ProgramIcon.h"
#include "gui/common/QtText.h"
#include "gui/dialogs/AboutDialog.h"
#include "gui/dialogs/CMailServerDlg.h"
#include "gui/dialogs/HelpPage.h"
#include "gui/editor/sheet/CDefineSheet.h"
#include "gui/editor/sheet/SheetQueue.h"
#include "gui/editor/watchlist/WatchListDialog.h"
#include "gui/feed/AnnounceFlow.h"
#include "gui/feed/AnnounceSettings.h"
#include "gui/history/ChangeView.h"
#include "gui/links/CLinkUpdateDlg.h"
#include "gui/notify/DesktopNotifier.h"
#include "gui/watch/CRenewCheckWnd.h"
#include "ui_CTarnwickDlg.h"

#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

#include <cstdio>

namespace tw::gui {

namespace {

constexpr const char* kShowMessage = CTarnwickApp::kShowMessage;

/// The address goes into a quoted attribute: escaped, so that it cannot end the attribute or
/// the tag; the browser reads the same address back.
std::string escapeAttribute(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

} // namespace

/// Hears of an edit whose item had been deleted meanwhile (while the sheet was open, or while
/// a check held the list): the edit was kept as a new item, and the user is told.
class CTarnwickDlg::ListWatcher : public WatchListObserver {
public:
    explicit ListWatcher(GuiPrompter& prompter) : m_prompter(prompter) {}
    void editedItemWasGone(WatchItemId, WatchItemId) override {
        m_prompter.showMessage(
            jp("編集したアイテムは、その間にウォッチリストから削除されていました。\n"
               "編集した内容は新しいアイテムとして追加しました。"),
            Prompter::Icon::Warning);
    }

private:
    GuiPrompter& m_prompter;
};

CTarnwickDlg::CTarnwickDlg(CTarnwickApp& app, WindowSession& session, Executor& executor,
                           GuiPrompter& prompter, QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::CTarnwickDlg>()), m_app(app), m_session(session),
      m_executor(executor), m_prompter(prompter),
      m_trayAvailable([] { return QSystemTrayIcon::isSystemTrayAvailable(); }) {
    setUpWidgets();
    connectActions();
    initialise();
}

CTarnwickDlg::~CTarnwickDlg() {
    setNotifier(nullptr);
    // Nothing from the bus may reach this window any more.
    m_app.messageBus().registerMessage(kShowMessage, {});
    m_app.messageBus().registerMessage(Siblings::kHelperToTarnwick, {});
    endSession();
    if (m_listWatcher) {
        m_session.watchList().removeObserver(m_listWatcher.get());
    }
    m_prompter.setParentWindow(nullptr);
}

CRenewCheckWnd& CTarnwickDlg::resultList() const {
    return *m_ui->resultList;
}

void CTarnwickDlg::setUpWidgets() {
    m_ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    // Along the top edge, over the margins, as a main window's menu bar.
    m_ui->mainLayout->setMenuBar(m_ui->menuBar);
    m_ui->iconLabel->setPixmap(programIcon().pixmap(32, 32));

    m_trayRightMenu = new QMenu(this);
    m_trayRightMenu->addActions({m_ui->actionTrayOpen, m_ui->actionTrayExit});
    m_trayRightMenu->addSeparator();
    m_trayRightMenu->addActions({m_ui->actionTrayBrindle, m_ui->actionTrayQuaylink});
    m_trayLeftMenu = new QMenu(this);
    m_trayLeftMenu->addActions(
        {m_ui->actionTrayFolderUpdate, m_ui->actionTrayNewSite, m_ui->actionTrayWatchList});
    m_trayLeftMenu->addSeparator();
    m_trayLeftMenu->addAction(m_ui->actionTrayExitX);
    m_trayClick = new QTimer(this);
    m_trayClick->setSingleShot(true);
    connect(m_trayClick, &QTimer::timeout, this, [this] { openTrayMenu(*m_trayLeftMenu); });

    m_sheetQueue = std::make_unique<SheetQueue>(
        m_executor, [this](WatchItemId id) { return m_session.checks().item(id); },
        [this](const WatchSettings& item, WatchItemId id) { openSheet(item, id); });

    CRenewCheckWnd* results = m_ui->resultList;
    connect(results, &CRenewCheckWnd::showSiteRequested, this, &CTarnwickDlg::showItem);
    connect(results, &CRenewCheckWnd::showAddressRequested, this,
            [this](const std::string& address) {
                FetchSettings record;
                record.targetUrl = address;
                display(DisplayKind::Address, record);
            });
    connect(results, &CRenewCheckWnd::imageCheckRequested, this,
            [this](const std::string& address) {
                FetchSettings record;
                record.targetUrl = address;
                display(DisplayKind::ImageCheck, record);
            });
    connect(results, &CRenewCheckWnd::editRequested, this, &CTarnwickDlg::editItem);
    connect(results, &CRenewCheckWnd::changesRequested, this, &CTarnwickDlg::openChanges);

    // The proportions of a 275 by 191 unit dialog in this font.
    const QFontMetrics metrics(font());
    resize(275 * metrics.averageCharWidth() / 4, 191 * metrics.height() / 8);
}

void CTarnwickDlg::connectActions() {
    const Ui::CTarnwickDlg& ui = *m_ui;
    const auto on = [this](QAction* action, auto slot) {
        connect(action, &QAction::triggered, this, slot);
    };
    // The buttons run the commands of the menus.
    connect(ui.folderUpdateButton, &QPushButton::clicked, this, &CTarnwickDlg::openLinkUpdate);
    connect(ui.watchListButton, &QPushButton::clicked, this, &CTarnwickDlg::openWatchList);
    connect(ui.clearLogButton, &QPushButton::clicked, ui.resultList, &CRenewCheckWnd::clearRows);

    on(ui.actionNewSite, [this] { newSite(); });
    on(ui.actionWatchList, [this] { openWatchList(); });
    on(ui.actionImport, [this] { importList(); });
    on(ui.actionExport, [this] { exportList(); });
    on(ui.actionClearLog, [this] { m_ui->resultList->clearRows(); });
    on(ui.actionMailSettings, [this] { openMailSettings(); });
    ui.actionNotifyChanges->setChecked(m_app.notifyChanges());
    connect(ui.actionNotifyChanges, &QAction::toggled, this, [this](bool on) {
        // A setting that could not be saved is told; it holds for this run all the same.
        m_app.setNotifyChanges(on);
    });
    on(ui.actionExit, [this] { exit(); });
    on(ui.actionBrindle, [this] { m_session.siblings().startBrindle(); });
    on(ui.actionQuaylink, [this] { m_session.siblings().startQuaylink(); });
    on(ui.actionHelp, [this] { openHelp({}); });
    // The maker's pages have their sections in the help page.
    on(ui.actionQuaylinkPage, [this] { openHelp(QStringLiteral("quaylink")); });
    on(ui.actionBrindlePage, [this] { openHelp(QStringLiteral("brindle")); });
    on(ui.actionQuestionsPage, [this] { openHelp(QStringLiteral("questions")); });
    on(ui.actionAbout, [this] { openAbout(); });
    // The entry may have been written, changed or removed by anyone since: read at each showing.
    connect(ui.operationMenu, &QMenu::aboutToShow, this, [this] {
        m_ui->actionAutostart->setChecked(
            autostartEnabled(autostartFile(m_app.paths().configFolder)));
    });
    on(ui.actionAutostart, [this](bool checked) { setStartAtLogin(checked); });

    on(ui.actionTrayOpen, [this] { showWindow(); });
    on(ui.actionTrayExit, [this] { exit(); });
    on(ui.actionTrayBrindle, [this] { m_session.siblings().startBrindle(); });
    on(ui.actionTrayQuaylink, [this] { m_session.siblings().startQuaylink(); });
    on(ui.actionTrayFolderUpdate, [this] { openLinkUpdate(); });
    on(ui.actionTrayNewSite, [this] { newSite(); });
    on(ui.actionTrayWatchList, [this] { openWatchList(); });
    on(ui.actionTrayExitX, [this] { exit(); });
}

QAction* CTarnwickDlg::action(int id) const {
    const Ui::CTarnwickDlg& ui = *m_ui;
    // The menu bar's first: a tray pop-up repeats some of its numbers.
    const std::pair<int, QAction*> commands[] = {
        {MainMenu::NewSite, ui.actionNewSite},
        {MainMenu::WatchList, ui.actionWatchList},
        {MainMenu::ClearLog, ui.actionClearLog},
        {MainMenu::MailSettings, ui.actionMailSettings},
        {MainMenu::Exit, ui.actionExit},
        {MainMenu::Brindle, ui.actionBrindle},
        {MainMenu::Quaylink, ui.actionQuaylink},
        {MainMenu::Help, ui.actionHelp},
        {MainMenu::QuaylinkPage, ui.actionQuaylinkPage},
        {MainMenu::BrindlePage, ui.actionBrindlePage},
        {MainMenu::QuestionsPage, ui.actionQuestionsPage},
        {MainMenu::About, ui.actionAbout},
        {TrayMenu::Open, ui.actionTrayOpen},
        {TrayMenu::FolderUpdate, ui.actionTrayFolderUpdate},
    };
    for (const auto& [number, action] : commands) {
        if (number == id) {
            return action;
        }
    }
    return nullptr;
}

void CTarnwickDlg::command(int id) {
    if (QAction* chosen = action(id)) {
        chosen->trigger();
    }
}

void CTarnwickDlg::initialise() {
    m_app.setState("opened");
    setWindowTitle(QStringLiteral("Tarnwick ") + QString::fromLatin1(CTarnwickApp::kVersionText));
    m_app.loadSettings();
    setWindowIcon(programIcon());
    CRenewCheckWnd* results = m_ui->resultList;
    results->setUp(&m_session.watchList());
    m_listWatcher = std::make_unique<ListWatcher>(m_prompter);
    m_session.watchList().addObserver(m_listWatcher.get());
    // Wide enough that the time, page and result columns are not cut off at the start, and the
    // untitled one after them keeps its least width, also once rows bring a vertical scroll bar:
    // no horizontal one.
    const QMargins margins = layout()->contentsMargins();
    const int columns =
        results->columnWidth(ResultListModel::TimeColumn) +
        results->columnWidth(ResultListModel::PageColumn) +
        results->columnWidth(ResultListModel::ResultColumn) +
        results->columnWidth(ResultListModel::SpareColumn) + 2 * results->frameWidth() +
        results->verticalScrollBar()->sizeHint().width() + margins.left() + margins.right();
    resize(std::max(width(), columns), height());
    m_session.setHooks({
        [this] { showWindow(); },
        [this](std::optional<FetchSettings> record) { handedOver(std::move(record)); },
    });
    m_prompter.setParentWindow(this);
    m_prompter.setQueued(true);
    watchMessages();
    m_session.start(results);
    // Once the window is up: a pending hand-over is picked up, and the window shows itself.
    m_executor.post([self = QPointer<CTarnwickDlg>(this)] {
        if (self) {
            self->m_session.pickUpHandOver();
        }
    });
    m_announcements = std::make_unique<AnnounceFlow>(AnnounceFlow::Services{
        m_executor,
        m_app.programFolder(),
        m_app.paths().configFolder,
        &m_prompter,
        m_session.checks().bridge(),
        this,
    });
    m_announcements->start("Tarnwick", announceDefaultLocation(), announceDelayMs(),
                           m_app.ownVersionNumber(), "free");
}

void CTarnwickDlg::watchMessages() {
    // The bus delivers on its own thread; the executor brings each message to this one, a
    // burst of one name as one run.
    const QPointer<CTarnwickDlg> self(this);
    m_app.messageBus().registerPosted(kShowMessage, m_executor, [self] {
        if (self) {
            self->showWindow();
        }
    });
    m_app.messageBus().registerPosted(Siblings::kHelperToTarnwick, m_executor, [self] {
        if (self) {
            // The file is read off this thread: a slow or large one must not freeze the window.
            self->m_session.pickUpHandOver();
        }
    });
}

void CTarnwickDlg::setStartAtLogin(bool start) {
    const std::string& config = m_app.paths().configFolder;
    if (const std::string failure = setAutostart(config, start, runningProgram());
        !failure.empty()) {
        m_prompter.showMessage(failure, Prompter::Icon::Error);
    }
    m_ui->actionAutostart->setChecked(autostartEnabled(autostartFile(config)));
}

bool CTarnwickDlg::startInTray() {
    if (!m_trayAvailable || !m_trayAvailable()) {
        return false;
    }
    addTrayIcon();
    m_inTray = true;
    m_quietStart = true;
    hide();
    m_app.setState("hide");
    return true;
}

void CTarnwickDlg::exit() {
    removeTrayIcon();
    m_inTray = false;
    reject();
}

void CTarnwickDlg::showWindow() {
    if (m_ended) {
        return;
    }
    // Shown anew, a dialog would be centred again (or placed by the window manager); unless the
    // screen it was on has gone meanwhile.
    if (!isVisible() && m_hiddenAt && QGuiApplication::screenAt(*m_hiddenAt)) {
        move(*m_hiddenAt);
    }
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    bringToForeground(this);
    m_app.setState("opened");
}

void CTarnwickDlg::moveToTray() {
    if (m_inTray) {
        exit();
        return;
    }
    addTrayIcon();
    m_inTray = true;
    reject();
}

void CTarnwickDlg::reject() {
    if (m_inTray) {
        if (isVisible()) {
            m_hiddenAt = pos();
        }
        setWindowState(windowState() & ~Qt::WindowMinimized);
        hide();
        m_app.setState("hide");
        return;
    }
    QDialog::reject();
}

void CTarnwickDlg::done(int result) {
    if (m_ended) {
        return;
    }
    m_ended = true;
    removeTrayIcon();
    QDialog::done(result);
    endSession();
}

void CTarnwickDlg::endSession() {
    if (m_sessionEnded) {
        return;
    }
    m_sessionEnded = true;
    // The loop that queued messages would wait for is ending: a failed save says so at once.
    // Workers waiting on this thread are let go before the session waits for a running check.
    m_prompter.setQueued(false);
    m_sheetQueue->close();
    m_announcements->closeQuestion();
    m_session.shutdown();
    // After the executor has closed: a worker waiting on its question is let go at once.
    m_announcements->end();
}

void CTarnwickDlg::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    // A hidden window can hear of a minimise it asked for before it hid: not the user's.
    const auto userMinimised = [this] { return isMinimized() && isVisible() && !m_ended; };
    if (event->type() != QEvent::WindowStateChange || !userMinimised()) {
        return;
    }
    // Without a tray the window stays on the task bar, the only way back to it.
    if (m_trayAvailable && m_trayAvailable()) {
        // After the event: showMinimized() shows the window again once the state has changed.
        QMetaObject::invokeMethod(
            this,
            [this, userMinimised] {
                if (userMinimised()) {
                    m_inTray = false;
                    moveToTray();
                }
            },
            Qt::QueuedConnection);
    }
}

void CTarnwickDlg::addTrayIcon() {
    if (!m_tray) {
        QIcon icon = programIcon();
        if (icon.pixmap(32, 32).isNull()) {
            // A tray entry without an image would be invisible, and the window lost with it.
            icon = style()->standardIcon(QStyle::SP_ComputerIcon);
        }
        m_tray = new QSystemTrayIcon(icon, this);
        m_tray->setToolTip(QStringLiteral("Tarnwick"));
        // Queued: the tray entry's own event handler is still running, and Exit from its
        // menu removes the entry.
        connect(
            m_tray, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { trayActivated(reason); },
            Qt::QueuedConnection);
        // The clicks Qt holds back while a dialog is modal, queued as the icon's own.
        m_trayClicks =
            std::make_unique<TrayClicks>([this](QSystemTrayIcon::ActivationReason reason) {
                QMetaObject::invokeMethod(
                    this, [this, reason] { trayActivated(reason); }, Qt::QueuedConnection);
            });
    }
    m_tray->show();
}

void CTarnwickDlg::removeTrayIcon() {
    if (m_tray) {
        m_tray->hide();
        m_tray->deleteLater();
        m_tray = nullptr;
    }
}

void CTarnwickDlg::trayActivated(int reason) {
    // While a dialog of ours is open, every click brings it forward instead of a menu, and a
    // double-click shows the window under it.
    if (QWidget* popup = lastActivePopup()) {
        m_trayClick->stop();
        if (reason == QSystemTrayIcon::DoubleClick) {
            showWindow();
        }
        // Its owners first, so that a box over a minimised sheet comes back with the sheet.
        QList<QWidget*> chain;
        for (QWidget* window = popup; window && window != this;
             window = window->parentWidget() ? window->parentWidget()->window() : nullptr) {
            chain.prepend(window);
        }
        for (QWidget* window : chain) {
            bringToForeground(window);
        }
        return;
    }
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        // The first click of a double-click comes as a click too: its menu would take the
        // second click away, so it waits for the double-click time.
        m_trayClick->start(QApplication::doubleClickInterval());
        break;
    case QSystemTrayIcon::Context:
        openTrayMenu(*m_trayRightMenu);
        break;
    case QSystemTrayIcon::DoubleClick:
        m_trayClick->stop();
        showWindow();
        break;
    default:
        break;
    }
}

QWidget* CTarnwickDlg::lastActivePopup() const {
    QWidget* modal = QApplication::activeModalWidget();
    return modal && modal != this ? modal : nullptr;
}

void CTarnwickDlg::openTrayMenu(QMenu& menu) {
    QPoint point = QCursor::pos();
    QScreen* screen = QGuiApplication::screenAt(point);
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen) {
        const QRect area = screen->availableGeometry();
        point.setX(std::clamp(point.x(), area.left(), area.right()));
        point.setY(std::clamp(point.y(), area.top(), area.bottom()));
    }
    // The chosen action runs its command itself.
    menu.exec(point);
}

void CTarnwickDlg::handedOver(std::optional<FetchSettings> record) {
    // Started in the tray: the start-up pick-up shows the window only for a record.
    const bool quiet = m_quietStart;
    m_quietStart = false;
    if (quiet && !record) {
        return;
    }
    showWindow();
    if (record) {
        m_pendingNewSite = std::move(record);
        newSite(&*m_pendingNewSite);
    }
}

void CTarnwickDlg::newSite(const FetchSettings* record) {
    WatchSettings item;
    if (record) {
        static_cast<FetchSettings&>(item) = *record;
    }
    m_sheetQueue->openNew(item);
}

void CTarnwickDlg::editItem(WatchItemId id) {
    m_sheetQueue->openItem(id);
}

void CTarnwickDlg::openSheet(const WatchSettings& item, WatchItemId id) {
    if (m_ended) {
        return;
    }
    CDefineSheet& sheet = defineSheet();
    sheet.loadItem(item, id);
    sheet.exec();
}

CDefineSheet& CTarnwickDlg::defineSheet() {
    // Made when first opened, not with the window: its six pages cost megabytes of widgets and
    // fonts that a window which only watches never needs. It is kept for later openings.
    if (!m_sheet) {
        m_sheet = new CDefineSheet(this);
        connect(m_sheet, &CDefineSheet::siteDefined, this, &CTarnwickDlg::siteDefined);
        connect(m_sheet, &CDefineSheet::displayRecordRequested, this,
                [this](const FetchSettings& record) { display(DisplayKind::Record, record); });
        connect(m_sheet, &CDefineSheet::displayAddressRequested, this,
                [this](const QString& address) {
                    FetchSettings record;
                    record.targetUrl = toCp932(address);
                    display(DisplayKind::Address, record);
                });
        m_sheet->setContext({
            [this] { return m_session.checks().mailServer(); },
            &m_prompter,
            m_app.codeConverter(),
            m_app.programFolder(),
        });
    }
    return *m_sheet;
}

void CTarnwickDlg::siteDefined(const WatchSettings& item, WatchItemId id) {
    m_session.checks().defineItem(item, id);
}

void CTarnwickDlg::showItem(WatchItemId id) {
    if (const std::optional<WatchSettings> item = m_session.checks().item(id)) {
        display(DisplayKind::Record, *item);
    }
}

void CTarnwickDlg::setNotifier(notify::DesktopNotifier* notifier) {
    if (m_notifier) {
        m_notifier->setActionHandler({});
        m_notifier->setFallback({});
        m_session.checks().setNotifier(nullptr);
    }
    m_notifier = notifier;
    if (!m_notifier) {
        return;
    }
    m_session.checks().setNotifier(m_notifier);
    // Both run on this thread, where the notifier lives.
    m_notifier->setActionHandler([this](WatchItemId id, Notifier::Action action) {
        if (m_ended) {
            return;
        }
        // An item deleted since is found by neither: nothing happens.
        if (action == Notifier::Action::Changes) {
            openChanges(id);
        } else {
            showItem(id);
        }
    });
    m_notifier->setFallback([this](const Notice& notice) {
        if (m_tray && m_tray->isVisible()) {
            m_tray->showMessage(
                QString::fromStdString(notice.summary), QString::fromStdString(notice.body),
                notice.kind == Notice::Kind::Failing ? QSystemTrayIcon::Warning
                                                     : QSystemTrayIcon::Information);
        }
    });
}

void CTarnwickDlg::openMailSettings() {
    CheckSession& checks = m_session.checks();
    CMailServerDlg dialog(checks.mailServer(), this, m_app.codeConverter());
    dialog.setPasswordPlace(m_app.secretStoreAnswers());
    if (dialog.exec() == QDialog::Accepted) {
        checks.setMailServer(dialog.values());
    }
}

void CTarnwickDlg::openWatchList() {
    if (m_watchListDialog) {
        bringToForeground(m_watchListDialog);
        return;
    }
    WatchListDialog dialog(m_session.watchList(), this);
    m_watchListDialog = &dialog;
    // Queued: the sheet opens once the list dialog has gone.
    connect(
        &dialog, &WatchListDialog::editRequested, this, [this](WatchItemId id) { editItem(id); },
        Qt::QueuedConnection);
    connect(
        &dialog, &WatchListDialog::newRequested, this, [this] { newSite(); }, Qt::QueuedConnection);
    connect(&dialog, &WatchListDialog::removeRequested, this,
            [this](WatchItemId id) { m_session.checks().removeItem(id); });
    connect(&dialog, &WatchListDialog::changesRequested, this, &CTarnwickDlg::openChanges);
    dialog.exec();
    m_watchListDialog = nullptr;
    // Views opened over the list (it blocks every other window while it is open) stay open.
    for (auto& [id, view] : m_changeViews) {
        if (view && view->parentWidget() == &dialog) {
            const QRect geometry = view->geometry();
            view->setParent(this, view->windowFlags());
            view->setGeometry(geometry);
            view->show();
        }
    }
}

void CTarnwickDlg::importList() {
    const QString file = GuiPrompter::openFileName(
        this, tr("インポートするファイルを選択"),
        tr("アドレスの一覧 (*.txt *.opml *.xml *.yaml *.yml);;すべてのファイル (*)"), m_listFile);
    if (file.isEmpty()) {
        return;
    }
    m_listFile = file;
    ListRequest request;
    request.kind = ListRequest::Kind::Import;
    request.file = QFile::encodeName(file).toStdString();
    // The same as the shell's --import: checked and added through the session, which saves.
    const ListAnswer answer = applyToSession(request, m_session.checks());
    GuiPrompter::tell(this, QString::fromStdString(answer.out + answer.err).trimmed(),
                      answer.code == 0 ? Prompter::Icon::Information : Prompter::Icon::Warning);
}

void CTarnwickDlg::exportList() {
    // Beside the last list, under a name of its own (never over the file just imported), without
    // a suffix: the chooser adds that of the format picked.
    const QString exportStart =
        (m_listFile.isEmpty() ? QString() : QFileInfo(m_listFile).absolutePath() + u'/') +
        tr("ウォッチリスト");
    // In the order of ListFormat: urls, opml, yaml.
    const QString file = GuiPrompter::saveFileName(
        this, tr("エクスポートするファイルを選択"),
        {tr("アドレスの一覧 (*.txt)"), tr("OPML (*.opml)"), tr("urls.yaml (*.yaml)")},
        {QStringLiteral("txt"), QStringLiteral("opml"), QStringLiteral("yaml")}, exportStart);
    if (file.isEmpty()) {
        return;
    }
    m_listFile = file;
    std::string error;
    const QByteArray argument = QFile::encodeName(file);
    std::string name = argument.toStdString();
    char command[] = "--export";
    char* argv[] = {command, name.data()};
    // The format follows the name's extension, which the chooser added for the filter chosen.
    std::optional<ListRequest> request = parseListCommand(2, argv, 0, error);
    if (!request) {
        return;
    }
    const ListAnswer answer = applyToSession(*request, m_session.checks());
    GuiPrompter::tell(this, QString::fromStdString(answer.out + answer.err).trimmed(),
                      answer.code == 0 ? Prompter::Icon::Information : Prompter::Icon::Warning);
}

ChangeView* CTarnwickDlg::changeView(WatchItemId id) const {
    const auto found = m_changeViews.find(id);
    return found == m_changeViews.end() ? nullptr : found->second.data();
}

ChangeView* CTarnwickDlg::openChanges(WatchItemId id) {
    std::erase_if(m_changeViews, [](const auto& entry) { return entry.second.isNull(); });
    if (ChangeView* open = changeView(id)) {
        bringToForeground(open);
        return open;
    }
    const std::optional<WatchSettings> item = m_session.checks().item(id);
    if (!item) {
        return nullptr;
    }
    QWidget* parent = m_watchListDialog != nullptr ? static_cast<QWidget*>(m_watchListDialog)
                                                   : static_cast<QWidget*>(this);
    auto* view = new ChangeView(m_app.programFolder(), HistoryStore::keyOf(item->compareFile),
                                fromCp932(item->name), parent);
    view->setAttribute(Qt::WA_DeleteOnClose);
    m_changeViews[id] = view;
    view->show();
    return view;
}

void CTarnwickDlg::display(DisplayKind kind, const FetchSettings& record) {
    switch (kind) {
    case DisplayKind::Record:
        m_session.display(record);
        break;
    case DisplayKind::Address: {
        FetchSettings plain;
        plain.targetUrl = record.targetUrl;
        m_session.display(plain);
        break;
    }
    case DisplayKind::ImageCheck:
        imageCheck(record.targetUrl);
        break;
    }
}

bool CTarnwickDlg::imageCheck(const std::string& address) {
    const std::string path = m_app.programFolder() + "/" + kImageCheckFile;
    const std::string page =
        "<html><body><img src=\"" + escapeAttribute(address) + "\"></body></html>";
    std::FILE* file = std::fopen(systemPath(path).c_str(), "w");
    bool written = file != nullptr;
    if (file) {
        written = std::fwrite(page.data(), 1, page.size(), file) == page.size();
        written = std::fclose(file) == 0 && written;
    }
    if (!written) {
        m_prompter.showMessage(jp("一時ファイルが作れません。"), Prompter::Icon::Error);
        return false;
    }
    FetchSettings record;
    record.targetUrl = path;
    m_session.display(record);
    return true;
}

void CTarnwickDlg::openAbout() {
    AboutDialog about(this);
    about.exec();
}

void CTarnwickDlg::openHelp(const QString& section) {
    if (!QFileInfo::exists(helpPagePath())) {
        m_prompter.showMessage(toCp932(tr("ヘルプファイルが見つかりません。")),
                               Prompter::Icon::Warning);
        return;
    }
    QDesktopServices::openUrl(helpPageUrl(section));
}

void CTarnwickDlg::openLinkUpdate() {
    CLinkUpdateDlg dialog(m_app.linkSaveFolder, &m_prompter, m_app.linkDownloadOption, this);
    connect(&dialog, &CLinkUpdateDlg::displayRequested, this,
            [this](const FetchSettings& record) { display(DisplayKind::Record, record); });
    // The sheet opens over the dialog, which waits for it as for a sent message.
    connect(&dialog, &CLinkUpdateDlg::newSiteRequested, this,
            [this](const FetchSettings& record) { newSite(&record); });
    if (dialog.start()) {
        dialog.exec();
    }
    if (dialog.folder() != m_app.linkSaveFolder) {
        m_app.linkSaveFolder = dialog.folder();
        m_app.saveSettings();
    }
}

} // namespace tw::gui
