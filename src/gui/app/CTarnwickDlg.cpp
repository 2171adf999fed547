#include "app/CTarnwickDlg.h"

#include "app/CTarnwickApp.h"
#include "app/Foreground.h"
#include "app/GuiPrompter.h"
#include "app/QtText.h"
#include "app/Siblings.h"
#include "app/WindowSession.h"
#include "dialogs/AboutDialog.h"
#include "dialogs/CMailServerDlg.h"
#include "dialogs/HelpPage.h"
#include "dialogs/ProgramIcon.h"
#include "editor/sheet/CDefineSheet.h"
#include "editor/watchlist/WatchListDialog.h"
#include "feed/AnnounceSettings.h"
#include "feed/CAnnounceDlg.h"
#include "links/CLinkUpdateDlg.h"
#include "platform/Clock.h"
#include "ports/Executor.h"
#include "util/Cp932.h"
#include "util/SystemPath.h"
#include "watch/CRenewCheckWnd.h"
#include "watch/CWatchList.h"
#include "watch/Schedule.h"

#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

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

/// Help sections that stand for the maker's pages of the help menu.
QString sectionOf(int id) {
    switch (id) {
    case CTarnwickDlg::MainMenu::QuaylinkPage:
        return QStringLiteral("quaylink");
    case CTarnwickDlg::MainMenu::BrindlePage:
        return QStringLiteral("brindle");
    case CTarnwickDlg::MainMenu::QuestionsPage:
        return QStringLiteral("questions");
    default:
        return {};
    }
}

} // namespace

/// Hears of an edit the watch list could not apply to its item because the item had been
/// deleted while a check held it: the edit was kept as a new item, and the user is told.
class CTarnwickDlg::ListWatcher : public WatchListObserver {
public:
    explicit ListWatcher(GuiPrompter& prompter) : m_prompter(prompter) {}
    void editedItemWasGone(WatchItemId, WatchItemId) override { tellEditKeptAsNew(m_prompter); }

    static void tellEditKeptAsNew(GuiPrompter& prompter) {
        prompter.showMessage(
            jp("編集したアイテムは、その間にウォッチリストから削除されていました。\n"
               "編集した内容は新しいアイテムとして追加しました。"),
            Prompter::Icon::Warning);
    }

private:
    GuiPrompter& m_prompter;
};

CTarnwickDlg::CTarnwickDlg(CTarnwickApp& app, WindowSession& session, Executor& executor,
                           GuiPrompter& prompter, QWidget* parent)
    : QDialog(parent), m_app(app), m_session(session), m_executor(executor), m_prompter(prompter),
      m_trayAvailable([] { return QSystemTrayIcon::isSystemTrayAvailable(); }) {
    buildWidgets();
    initialise();
}

CTarnwickDlg::~CTarnwickDlg() {
    // Nothing from the bus may reach this window any more.
    m_app.messageBus().registerMessage(kShowMessage, {});
    m_app.messageBus().registerMessage(Siblings::kHelperToTarnwick, {});
    endSession();
    if (m_listWatcher) {
        m_session.watchList().removeObserver(m_listWatcher.get());
    }
    m_prompter.setParentWindow(nullptr);
}

void CTarnwickDlg::buildWidgets() {
    m_trayClick = new QTimer(this);
    m_trayClick->setSingleShot(true);
    connect(m_trayClick, &QTimer::timeout, this, [this] { openTrayMenu(1); });
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    auto* layout = new QVBoxLayout(this);
    buildMenuBar();

    auto* top = new QHBoxLayout;
    auto* icon = new QLabel(this);
    icon->setPixmap(programIcon().pixmap(32, 32));
    icon->setFixedSize(32, 32);
    top->addWidget(icon);
    top->addStretch();
    const std::pair<int, QString> buttons[] = {
        {MainMenu::FolderUpdate, tr("フォルダ更新")},
        {MainMenu::WatchList, tr("ウォッチリスト")},
        {MainMenu::ClearLog, tr("ログのクリア")},
    };
    for (const auto& [id, text] : buttons) {
        auto* button = new QPushButton(text, this);
        // Enter in the list must not press a button.
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, [this, id = id] { command(id); });
        top->addWidget(button);
    }
    layout->addLayout(top);

    m_resultList = new CRenewCheckWnd(this);
    layout->addWidget(m_resultList, 1);
    connect(m_resultList, &CRenewCheckWnd::showSiteRequested, this, [this](int position) {
        display(DisplayKind::Record, m_session.watchList().itemAt(position));
    });
    connect(m_resultList, &CRenewCheckWnd::showAddressRequested, this,
            [this](const std::string& address) {
                FetchSettings record;
                record.targetUrl = address;
                display(DisplayKind::Address, record);
            });
    connect(m_resultList, &CRenewCheckWnd::imageCheckRequested, this,
            [this](const std::string& address) {
                FetchSettings record;
                record.targetUrl = address;
                display(DisplayKind::ImageCheck, record);
            });
    connect(m_resultList, &CRenewCheckWnd::editRequested, this,
            [this](int position) { editItem(m_session.watchList().idAt(position)); });

    m_sheet = new CDefineSheet(this);
    connect(m_sheet, &CDefineSheet::siteDefined, this, &CTarnwickDlg::siteDefined);
    connect(m_sheet, &CDefineSheet::displayRecordRequested, this,
            [this](const FetchSettings& record) { display(DisplayKind::Record, record); });
    connect(m_sheet, &CDefineSheet::displayAddressRequested, this, [this](const QString& address) {
        FetchSettings record;
        record.targetUrl = toCp932(address);
        display(DisplayKind::Address, record);
    });

    // The proportions of a 275 by 191 unit dialog in this font.
    const QFontMetrics metrics(font());
    resize(275 * metrics.averageCharWidth() / 4, 191 * metrics.height() / 8);
}

void CTarnwickDlg::buildMenuBar() {
    auto* bar = new QMenuBar(this);
    const auto add = [this](QMenu* menu, const QString& text, int id) {
        QAction* action = menu->addAction(text);
        action->setData(id);
        connect(action, &QAction::triggered, this, [this, id] { command(id); });
    };
    QMenu* operation = bar->addMenu(tr("操作(&O)"));
    add(operation, tr("新規サイト(&N)"), MainMenu::NewSite);
    add(operation, tr("ウォッチリスト(&E)"), MainMenu::WatchList);
    add(operation, tr("ログをクリア(&C)"), MainMenu::ClearLog);
    add(operation, tr("環境設定(&S)"), MainMenu::MailSettings);
    operation->addSeparator();
    add(operation, tr("Tarnwickを終了(&X)"), MainMenu::Exit);
    QMenu* pieces = bar->addMenu(tr("ピース(&P)"));
    add(pieces, tr("Brindle(&W)"), MainMenu::Brindle);
    add(pieces, tr("Quaylink(&D)"), MainMenu::Quaylink);
    QMenu* help = bar->addMenu(tr("ﾍﾙﾌﾟ(&H)"));
    add(help, tr("Tarnwickのヘルプ(&H)"), MainMenu::Help);
    help->addSeparator();
    add(help, tr("Quaylink(&D)"), MainMenu::QuaylinkPage);
    add(help, tr("Brindle(&W)"), MainMenu::BrindlePage);
    add(help, tr("更新チェックＱ＆Ａ(&Q)"), MainMenu::QuestionsPage);
    help->addSeparator();
    add(help, tr("Tarnwickについて(&A)..."), MainMenu::About);
    layout()->setMenuBar(bar);
}

void CTarnwickDlg::initialise() {
    m_app.setState("opened");
    setWindowTitle(QStringLiteral("Tarnwick ") + QString::fromLatin1(CTarnwickApp::kVersionText));
    m_app.loadSettings();
    setWindowIcon(programIcon());
    m_resultList->setUp(&m_session.watchList());
    m_listWatcher = std::make_unique<ListWatcher>(m_prompter);
    m_session.watchList().addObserver(m_listWatcher.get());
    m_sheet->setContext({
        [this] {
            return MailServerSettings{m_app.mailServer, m_app.mailPort, m_app.mailAccount};
        },
        &m_prompter,
        m_app.codeConverter(),
        m_app.programFolder(),
    });
    // Wide enough that the time, page and result columns are not cut off at the start.
    const QMargins margins = layout()->contentsMargins();
    const int columns =
        m_resultList->columnWidth(ResultListModel::TimeColumn) +
        m_resultList->columnWidth(ResultListModel::PageColumn) +
        m_resultList->columnWidth(ResultListModel::ResultColumn) + 2 * m_resultList->frameWidth() +
        m_resultList->verticalScrollBar()->sizeHint().width() + margins.left() + margins.right();
    resize(std::max(width(), columns), height());
    m_session.setHooks({
        [this] { showWindow(); },
        [this](const WatchSettings& finished, CWatchList::ItemId itemId) {
            m_resultList->addResult(finished, itemId);
        },
        [this](std::optional<FetchSettings> record) { handedOver(std::move(record)); },
    });
    m_prompter.setParentWindow(this);
    m_prompter.setQueued(true);
    watchMessages();
    m_session.start();
    m_executor.post([this] { command(Internal::PickUpHandOver); });
    startAnnounceFeed();
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
            self->command(Internal::PickUpHandOver);
        }
    });
}

void CTarnwickDlg::command(int id) {
    switch (id) {
    case MainMenu::NewSite:
        newSite();
        break;
    case MainMenu::WatchList:
        openWatchList();
        break;
    case MainMenu::FolderUpdate:
        openLinkUpdate();
        break;
    case MainMenu::MailSettings:
        openMailSettings();
        break;
    case MainMenu::ClearLog:
        m_resultList->clearRows();
        break;
    case MainMenu::Exit:
        removeTrayIcon();
        m_inTray = false;
        reject();
        break;
    case MainMenu::Brindle:
        m_session.siblings().startBrindle();
        break;
    case MainMenu::Quaylink:
        m_session.siblings().startQuaylink();
        break;
    case MainMenu::Help:
        openHelp({});
        break;
    case MainMenu::QuaylinkPage:
    case MainMenu::BrindlePage:
    case MainMenu::QuestionsPage:
        openHelp(sectionOf(id));
        break;
    case MainMenu::About: {
        AboutDialog about(this);
        about.exec();
        break;
    }
    case TrayMenu::Open:
        showWindow();
        break;
    case Internal::PickUpHandOver:
        pickUpHandOver();
        break;
    case Internal::MoveToTray:
        moveToTray();
        break;
    default:
        break;
    }
}

void CTarnwickDlg::showWindow() {
    if (m_ended) {
        return;
    }
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    bringToForeground(this);
    m_app.setState("opened");
}

void CTarnwickDlg::moveToTray() {
    if (m_inTray) {
        command(MainMenu::Exit);
        return;
    }
    addTrayIcon();
    m_inTray = true;
    reject();
}

void CTarnwickDlg::reject() {
    if (m_inTray) {
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
    if (m_announceDlg) {
        m_announceDlg->done(CAnnounceDlg::kLater);
    }
    m_session.shutdown();
    // After the executor has closed: a worker waiting on its question is let go at once.
    m_announceFeed.reset();
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
    // A modal dialog of ours comes forward instead of a menu.
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && modal != this) {
        bringToForeground(modal);
        if (reason == QSystemTrayIcon::DoubleClick) {
            showWindow();
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
        openTrayMenu(0);
        break;
    case QSystemTrayIcon::DoubleClick:
        m_trayClick->stop();
        showWindow();
        break;
    default:
        break;
    }
}

void CTarnwickDlg::openTrayMenu(int which) {
    QMenu menu;
    const auto add = [&menu](const QString& text, int id) { menu.addAction(text)->setData(id); };
    if (which == 0) {
        add(tr("開く"), TrayMenu::Open);
        add(tr("Tarnwickを終了"), TrayMenu::Exit);
        menu.addSeparator();
        add(tr("Brindle"), TrayMenu::Brindle);
        add(tr("Quaylink"), TrayMenu::Quaylink);
    } else {
        add(tr("フォルダ更新"), TrayMenu::FolderUpdate);
        add(tr("新規サイト"), TrayMenu::NewSite);
        add(tr("ウォッチリスト変更"), TrayMenu::WatchList);
        menu.addSeparator();
        add(tr("Tarnwickを終了(&X)"), TrayMenu::Exit);
    }
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
    if (QAction* chosen = menu.exec(point)) {
        command(chosen->data().toInt());
    }
}

void CTarnwickDlg::pickUpHandOver() {
    // The file is read off this thread: a slow or large one must not freeze the window.
    m_session.pickUpHandOver();
}

void CTarnwickDlg::handedOver(std::optional<FetchSettings> record) {
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
    openSheet(item, 0);
}

void CTarnwickDlg::editItem(WatchItemId id) {
    if (m_sheetOpen) {
        // Looked up when it is time: the item may change, go, or (added during a check) arrive.
        m_heldSheetRequests.push_back([this, id] { editItem(id); });
        return;
    }
    const int position = m_session.watchList().positionOf(id);
    if (position >= 0) {
        openSheet(m_session.watchList().itemAt(position), id);
    }
}

void CTarnwickDlg::openSheet(const WatchSettings& item, WatchItemId id) {
    if (m_ended) {
        return;
    }
    if (m_sheetOpen) {
        // Loading it now would throw away what the user is typing in the open sheet.
        m_heldSheetRequests.push_back(
            [this, item, id] { id == 0 ? openSheet(item, 0) : editItem(id); });
        return;
    }
    m_sheetOpen = true;
    ++m_sheetOpenings;
    m_sheet->loadItem(item, id);
    m_sheet->exec();
    m_sheetOpen = false;
    if (!m_heldSheetRequests.empty()) {
        // After this opening has fully ended, from the loop.
        m_executor.post([self = QPointer<CTarnwickDlg>(this)] {
            if (self) {
                self->runHeldSheetRequest();
            }
        });
    }
}

void CTarnwickDlg::runHeldSheetRequest() {
    // A request whose item has gone opens nothing: the next one is taken at once. One that
    // opens the sheet takes the rest along when it closes.
    const int openings = m_sheetOpenings;
    while (!m_sheetOpen && openings == m_sheetOpenings && !m_heldSheetRequests.empty()) {
        std::function<void()> request = std::move(m_heldSheetRequests.front());
        m_heldSheetRequests.pop_front();
        request();
    }
}

void CTarnwickDlg::siteDefined(const WatchSettings& item, WatchItemId id) {
    if (item.targetUrl.empty()) {
        return;
    }
    WatchSettings prepared = item;
    computeNextCheck(prepared, false, SystemClock::instance(), &m_prompter);
    CWatchList& list = m_session.watchList();
    if (id == 0) {
        list.add(prepared);
    } else if (!list.replaceById(id, prepared)) {
        list.add(prepared);
        ListWatcher::tellEditKeptAsNew(m_prompter);
    }
}

void CTarnwickDlg::openMailSettings() {
    CMailServerDlg dialog({m_app.mailServer, m_app.mailPort, m_app.mailAccount}, this,
                          m_app.codeConverter());
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    const MailServerSettings& settings = dialog.values();
    m_app.mailServer = settings.server;
    m_app.mailPort = settings.port;
    m_app.mailAccount = settings.account;
    m_session.setMailServer(settings);
    // At once, not only at exit: a crash must not take the user's settings with it.
    m_app.saveSettings();
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
    dialog.exec();
    m_watchListDialog = nullptr;
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

void CTarnwickDlg::startAnnounceFeed() {
    const QPointer<CTarnwickDlg> self(this);
    m_announceFeed = std::make_unique<CAnnounceFeed>(CAnnounceFeed::Services{
        m_executor,
        m_app.programFolder(),
        m_app.paths().configFolder,
        &m_prompter,
        [self] { return self ? self->askAnnouncement() : CAnnounceFeed::Answer::Later; },
        [self](const std::string* announcedUrl) {
            if (self) {
                self->announced(announcedUrl);
            }
        },
    });
    m_announceFeed->create("Tarnwick", announceDefaultLocation());
    m_announceFeed->start(announceDelayMs(), m_app.ownVersionNumber(), "free");
}

CAnnounceFeed::Answer CTarnwickDlg::askAnnouncement() {
    if (m_ended) {
        return CAnnounceFeed::Answer::Later;
    }
    auto* dialog = new CAnnounceDlg(this);
    m_announceDlg = dialog;
    if (announceAnswersItself()) {
        QTimer::singleShot(0, dialog, [dialog] { dialog->yesButton()->click(); });
    }
    const int result = dialog->exec();
    // The window may have ended while the dialog was open: it then counts as another time.
    const bool ended = m_ended || !m_announceDlg;
    delete m_announceDlg;
    return ended ? CAnnounceFeed::Answer::Later : CAnnounceDlg::answerFor(result);
}

void CTarnwickDlg::announced(const std::string* announcedUrl) {
    if (announcedUrl) {
        FetchSettings record;
        record.targetUrl = *announcedUrl;
        record.itemTag = "__Watch_Ann";
        m_session.display(record);
    }
    // The address lives in the feed: it goes only after the display bridge has its copy.
    m_announceFeed.reset();
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
