#include "gui/links/CLinkUpdateDlg.h"

#include "gui/common/CutTextDelegate.h"
#include "gui/common/GuiPrompter.h"
#include "gui/common/ProgramIcon.h"
#include "gui/common/QtText.h"
#include "gui/common/StretchLastColumn.h"
#include "gui/editor/CFolder.h"
#include "gui/links/CLinkEditDlg.h"
#include "gui/links/FileNameDelegate.h"
#include "gui/links/LinkListModel.h"
#include "ui_CLinkUpdateDlg.h"

#include <QAction>
#include <QDir>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QMovie>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace tw::gui {

namespace {

/// The address, last, takes the rest.
constexpr int kColumnWidths[LinkListModel::AddressColumn] = {140, 140};

} // namespace

CLinkUpdateDlg::CLinkUpdateDlg(const std::string& folder, Prompter* prompter, int downloadOption,
                               QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::CLinkUpdateDlg>()), m_links(&m_work.prompter()),
      m_editAction(new QAction(tr("リンク編集"), this)),
      m_renameAction(new QAction(tr("ファイル名変更"), this)),
      m_removeAction(new QAction(tr("リンク削除"), this)),
      m_removeFileAction(new QAction(tr("ファイル削除"), this)),
      m_newSiteAction(new QAction(tr("ウォッチアイテム"), this)), m_storedFolder(folder),
      m_downloadOption(downloadOption) {
    m_ui->setupUi(this);
    m_work.setPrompter(prompter);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    // Also registers the images and animations compiled into the library.
    setWindowIcon(programIcon());
    m_model = new LinkListModel(
        m_links, [this](int row) { return imageAtFill(row); }, this);
    m_idleMovie = new QMovie(QStringLiteral(":/anim/searching.gif"), {}, this);
    m_busyMovie = new QMovie(QStringLiteral(":/anim/downloading.gif"), {}, this);
    m_links.setBusyQuestion([this](const std::string& text) {
        switch (GuiPrompter::askYesNoCancel(this, fromCp932(text), windowTitle())) {
        case GuiPrompter::Answer::Yes:
            return CLinkList::BusyAnswer::Yes;
        case GuiPrompter::Answer::No:
            return CLinkList::BusyAnswer::No;
        default:
            return CLinkList::BusyAnswer::Cancel;
        }
    });

    QTreeView* list = m_ui->list;
    list->setModel(m_model);
    list->setItemDelegate(new CutTextDelegate(list));
    list->setItemDelegateForColumn(LinkListModel::FileColumn,
                                   new FileNameDelegate(
                                       [this](int row, const QString& text) {
                                           // After the editor has gone: a message box now would
                                           // take its focus and end the edit a second time.
                                           QMetaObject::invokeMethod(
                                               this, [this, row, text] { finishRename(row, text); },
                                               Qt::QueuedConnection);
                                       },
                                       [this] { return !busy(); }, this));
    for (int column = 0; column < LinkListModel::AddressColumn; ++column) {
        list->setColumnWidth(column, kColumnWidths[column]);
    }
    stretchLastColumn(*list->header());
    list->header()->setSectionsClickable(true);
    list->header()->setSortIndicatorShown(false);
    connect(list->header(), &QHeaderView::sectionClicked, this, &CLinkUpdateDlg::sortByColumn);
    connect(list, &QTreeView::doubleClicked, this, [this] { refreshRow(firstSelectedRow()); });
    connect(list, &QWidget::customContextMenuRequested, this, &CLinkUpdateDlg::openContextMenu);

    // Shown in the menu; the keys themselves are the list's (eventFilter).
    m_removeAction->setShortcut(QKeySequence(Qt::Key_Delete));
    m_removeFileAction->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_Delete));
    list->installEventFilter(this);
    connect(m_editAction, &QAction::triggered, this, &CLinkUpdateDlg::editSelected);
    connect(m_renameAction, &QAction::triggered, this, &CLinkUpdateDlg::renameSelected);
    connect(m_removeAction, &QAction::triggered, this, [this] { removeSelected(false); });
    connect(m_removeFileAction, &QAction::triggered, this, [this] { removeSelected(true); });
    connect(m_newSiteAction, &QAction::triggered, this, &CLinkUpdateDlg::newSiteFromSelected);

    connect(m_ui->closeButton, &QPushButton::clicked, this, &CLinkUpdateDlg::reject);
    connect(m_ui->updateButton, &QPushButton::clicked, this, &CLinkUpdateDlg::updateAll);
    connect(m_ui->removeButton, &QPushButton::clicked, this, [this] { removeSelected(false); });
    connect(m_ui->removeFileButton, &QPushButton::clicked, this, [this] { removeSelected(true); });
    connect(m_ui->folderButton, &QPushButton::clicked, this, &CLinkUpdateDlg::browseFolder);

    m_ui->loadingLabel->hide();
    m_loadProgress = new QTimer(this);
    connect(m_loadProgress, &QTimer::timeout, this, [this] {
        const std::int64_t size = m_links.loadSize();
        if (size > 0) {
            m_ui->loadingLabel->setText(
                tr("リンクリストを読み込んでいます… %1%").arg(m_links.loadProgress() * 100 / size));
        }
    });

    // A GIF that loops a limited number of times still plays for the whole refresh.
    connect(m_busyMovie, &QMovie::finished, m_busyMovie, &QMovie::start);
    m_idleMovie->jumpToFrame(0);
    m_ui->animation->setFixedSize(m_idleMovie->frameRect().size().expandedTo(QSize(32, 32)));

    // The proportions of a 444 by 205 unit dialog in this font.
    const QFontMetrics metrics(font());
    resize(444 * metrics.averageCharWidth() / 4, 205 * metrics.height() / 8);
}

CLinkUpdateDlg::~CLinkUpdateDlg() {
    if (m_loading) {
        m_links.cancelLoad();
    }
    if (m_running != Running::No) {
        m_links.stopWorker(true);
    }
    // Refuses the worker's reports, so that it ends without this thread; the reader ends at once
    // when cancelled.
    m_work.close();
    m_links.waitIdle();
    if (!m_saved) {
        m_links.save();
    }
}

std::string CLinkUpdateDlg::downloadFolder() {
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    const QString folder =
        !downloads.isEmpty() && QDir(downloads).exists() ? downloads : QDir::homePath();
    return toCp932(folder);
}

bool CLinkUpdateDlg::start() {
    const std::string folder = CLinkList::effectiveFolder(m_storedFolder, downloadFolder());
    if (m_links.lockFolder(folder, false) == 0) {
        if (!askYesNo(tr("リンクファイルが他で使用されている可能性があります。\n"
                         "更新ダイアログが開けません\nリンクファイルを強制的に使用しますか？\n"))) {
            return false;
        }
        m_links.lockFolder(folder, true);
    }
    m_ui->folderEdit->setFolder(fromCp932(m_links.folder()));
    beginLoad();
    return true;
}

void CLinkUpdateDlg::beginLoad() {
    m_loading = true;
    m_model->clear();
    m_ui->loadingLabel->setText(tr("リンクリストを読み込んでいます…"));
    m_ui->loadingLabel->show();
    m_loadProgress->start(200);
    setCursor(Qt::BusyCursor);
    setAnimation(true);
    showBusy(true);
    // A list of hundreds of thousands of links takes a while: the window stays responsive.
    m_work.start([this] { m_links.readList(); }, [this] { loadDone(); });
}

void CLinkUpdateDlg::loadDone() {
    m_loading = false;
    m_loadProgress->stop();
    m_ui->loadingLabel->hide();
    unsetCursor();
    setAnimation(false);
    showBusy(false);
    fillRows();
    if (m_closePending) {
        m_closePending = false;
        reject();
    }
}

void CLinkUpdateDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!m_shown) {
        m_shown = true;
        setMinimumWidth(width());
    }
}

void CLinkUpdateDlg::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        applyFolder();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool CLinkUpdateDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_ui->list && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Delete &&
            (key->modifiers() == Qt::NoModifier || key->modifiers() == Qt::ShiftModifier)) {
            removeSelected(key->modifiers() == Qt::ShiftModifier);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CLinkUpdateDlg::reject() {
    if (m_loading) {
        // Nothing is shown yet, so nothing is lost: the read ends, then the dialog.
        m_links.cancelLoad();
        m_closePending = true;
        return;
    }
    if (m_running != Running::No) {
        // Once stopped, the worker ends at once: the close follows it.
        m_closePending = m_stopping;
        return;
    }
    m_saved = true;
    m_links.save();
    QDialog::reject();
}

void CLinkUpdateDlg::done(int result) {
    // Not while a worker runs: it reports to this dialog, and the list is saved at the end.
    if (busy()) {
        return;
    }
    QDialog::done(result);
}

void CLinkUpdateDlg::tell(const QString& text) {
    GuiPrompter::tell(this, text, Prompter::Icon::Warning, windowTitle());
}

bool CLinkUpdateDlg::askYesNo(const QString& text) {
    return GuiPrompter::askYesNo(this, text, windowTitle());
}

int CLinkUpdateDlg::imageAtFill(int index) const {
    const std::string path = m_links.diskPath(index);
    if (path.empty()) {
        return LinkListModel::Failed;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        return LinkListModel::FileMissing;
    }
    std::fclose(file);
    return LinkListModel::FileExists;
}

void CLinkUpdateDlg::fillRows() {
    m_model->reload();
}

void CLinkUpdateDlg::showBusy(bool busy) {
    // What would do nothing now looks so; "全て更新" stays, to stop a run of all links, and
    // "閉じる" while the list loads (it ends the read).
    for (QWidget* control :
         {static_cast<QWidget*>(m_ui->removeButton), static_cast<QWidget*>(m_ui->removeFileButton),
          static_cast<QWidget*>(m_ui->folderButton), static_cast<QWidget*>(m_ui->folderEdit)}) {
        control->setEnabled(!busy);
    }
    m_ui->closeButton->setEnabled(!busy || m_loading);
    m_ui->updateButton->setEnabled(!m_loading);
}

void CLinkUpdateDlg::setAnimation(bool playing) {
    if (playing) {
        m_idleMovie->stop();
        m_ui->animation->setMovie(m_busyMovie);
        m_busyMovie->start();
    } else {
        m_busyMovie->stop();
        m_ui->animation->setMovie(m_idleMovie);
        m_idleMovie->jumpToFrame(0);
    }
}

int CLinkUpdateDlg::firstSelectedRow() const {
    const QList<int> rows = selectedRows();
    return rows.isEmpty() ? -1 : rows.front();
}

QList<int> CLinkUpdateDlg::selectedRows() const {
    QList<int> rows;
    for (const QModelIndex& index : m_ui->list->selectionModel()->selectedRows()) {
        rows.append(index.row());
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

bool CLinkUpdateDlg::startWorker(Running kind, int onlyIndex) {
    if (busy()) {
        return false;
    }
    // A worker that has reported its end sends nothing more: joining it cannot wait on us.
    m_links.waitIdle();
    m_links.setDownloadOption(m_downloadOption);
    m_running = kind;
    m_stopping = false;
    m_toDisplay.reset();
    if (!m_links.startWorker(m_work.executor(), *this, onlyIndex)) {
        m_running = Running::No;
        return false;
    }
    setCursor(Qt::BusyCursor);
    setAnimation(true);
    showBusy(true);
    if (kind == Running::All) {
        m_ui->updateButton->setText(tr("更新中止"));
    }
    return true;
}

void CLinkUpdateDlg::updateAll() {
    if (m_running == Running::All) {
        // The transfer in hand ends too: a server dripping its page holds nobody up.
        m_stopping = true;
        m_links.stopWorker(true);
        return;
    }
    startWorker(Running::All, -1);
}

void CLinkUpdateDlg::refreshRow(int row) {
    if (row < 0 || row >= m_model->rowCount()) {
        return;
    }
    startWorker(Running::One, row);
}

void CLinkUpdateDlg::linkResult(int index, int result) {
    m_model->rowChanged(index, result + 2);
    if (m_running == Running::One && result == kLinkUpdated) {
        m_toDisplay = m_links.link(index);
    }
}

void CLinkUpdateDlg::linkDone() {
    const Running was = m_running;
    m_running = Running::No;
    m_stopping = false;
    setAnimation(false);
    unsetCursor();
    showBusy(false);
    if (was == Running::All) {
        m_ui->updateButton->setText(tr("リンク更新"));
    }
    if (m_toDisplay) {
        // Once the worker has let go of this thread.
        QMetaObject::invokeMethod(
            this, [this, record = *m_toDisplay] { emit displayRequested(record); },
            Qt::QueuedConnection);
        m_toDisplay.reset();
    }
    if (m_closePending) {
        m_closePending = false;
        QMetaObject::invokeMethod(
            this, [this] { reject(); }, Qt::QueuedConnection);
    }
}

void CLinkUpdateDlg::removeSelected(bool withFile) {
    if (busy()) {
        return;
    }
    // The links go in one step, so that a selection of the whole list is quick to delete; with
    // their files, up to the first file that cannot be deleted.
    std::vector<int> removed;
    std::string failed;
    for (const int row : selectedRows()) {
        if (withFile && m_links.removeFile(row) < 0) {
            failed = m_links.localPath(row);
            break;
        }
        removed.push_back(row);
    }
    if (m_links.remove(removed) == 0) {
        m_model->removeRowList(removed);
    }
    if (!failed.empty()) {
        tell(tr("ファイルを削除できませんでした。\n%1").arg(fromCp932(failed)));
    }
}

void CLinkUpdateDlg::renameSelected() {
    const int row = firstSelectedRow();
    if (busy() || row < 0) {
        return;
    }
    const QModelIndex index = m_model->index(row, LinkListModel::FileColumn);
    m_ui->list->setCurrentIndex(index);
    m_ui->list->edit(index);
}

bool CLinkUpdateDlg::acceptFileName(const std::string& name) {
    switch (m_links.checkFileName(name)) {
    case CLinkList::NameCheck::Unusable:
        tell(tr("使用できないファイル名です\n他の名前にして下さい"));
        return false;
    case CLinkList::NameCheck::Exists:
        return askYesNo(tr("同名ファイルが存在しています\nファイル名を変更しますか？"));
    case CLinkList::NameCheck::Usable:
        break;
    }
    return true;
}

void CLinkUpdateDlg::finishRename(int row, const QString& text) {
    if (busy() || row < 0 || row >= m_model->rowCount() || text.isEmpty()) {
        return;
    }
    bool lossless = true;
    const std::string name = toCp932(text, &lossless);
    FetchSettings link = m_links.link(row);
    if (lossless && name == link.destFile) {
        return;
    }
    // A character the list file cannot hold makes a name as unusable as a "/" does.
    if (!lossless) {
        tell(tr("使用できないファイル名です\n他の名前にして下さい"));
        return;
    }
    if (!acceptFileName(name)) {
        return;
    }
    // Only the link changes: its next download goes to the new name.
    link.destFile = name;
    m_links.replace(row, link);
    m_model->rowChanged(row, imageAtFill(row));
}

void CLinkUpdateDlg::editSelected() {
    const int row = firstSelectedRow();
    if (busy() || row < 0) {
        return;
    }
    std::array<std::string, 3> texts;
    for (int column = 0; column < LinkListModel::ColumnCount; ++column) {
        texts[static_cast<std::size_t>(column)] = m_model->text(row, column);
    }
    const std::array<std::string, 3> shown = texts;
    bool confirmed = false;
    if (m_linkEditor) {
        confirmed = m_linkEditor(texts);
    } else {
        CLinkEditDlg editor(texts, this);
        confirmed = editor.exec() == QDialog::Accepted;
        texts = editor.texts();
    }
    if (!confirmed || busy()) {
        return;
    }
    if (texts[CLinkEditDlg::FileName] != shown[CLinkEditDlg::FileName] &&
        !acceptFileName(texts[CLinkEditDlg::FileName])) {
        return;
    }
    FetchSettings link = m_links.link(row);
    std::string* const fields[3] = {&link.destFile, &link.name, &link.targetUrl};
    bool changed = false;
    for (int field = 0; field < 3; ++field) {
        if (texts[field] != shown[field]) {
            *fields[field] = texts[field];
            changed = true;
        }
    }
    if (changed) {
        m_links.replace(row, link);
        const int image = texts[CLinkEditDlg::FileName] != shown[CLinkEditDlg::FileName]
                              ? imageAtFill(row)
                              : m_model->image(row);
        m_model->rowChanged(row, image);
    }
}

void CLinkUpdateDlg::newSiteFromSelected() {
    const int row = firstSelectedRow();
    if (busy() || row < 0) {
        return;
    }
    FetchSettings record = m_links.link(row);
    record.destFile = m_links.localPath(row);
    emit newSiteRequested(record);
}

void CLinkUpdateDlg::browseFolder() {
    if (busy()) {
        return;
    }
    if (m_ui->folderEdit->browse() == 0) {
        applyFolder();
    }
}

void CLinkUpdateDlg::applyFolder() {
    if (busy()) {
        return;
    }
    CFolder* edit = m_ui->folderEdit;
    bool changed = false;
    if (edit->commit(changed) != 0) {
        edit->setFolder(fromCp932(m_links.folder()));
        return;
    }
    if (!changed) {
        return;
    }
    if (m_links.save() != 0) {
        // Nothing is lost: the dialog stays on the folder whose list it still holds.
        edit->setFolder(fromCp932(m_links.folder()));
        return;
    }
    const std::string folder = toCp932(edit->folder());
    m_storedFolder = folder;
    // A refusal leaves the list empty: the other holder's list is not shown.
    const bool taken = m_links.lockFolder(folder, false) == 1;
    edit->setFolder(fromCp932(m_links.folder()));
    if (taken) {
        beginLoad();
    } else {
        fillRows();
    }
}

void CLinkUpdateDlg::sortByColumn(int column) {
    if (busy() || column < 0 || column >= LinkListModel::ColumnCount) {
        return;
    }
    // The list takes the shown order, so that it is saved.
    const std::vector<int> order = m_links.sortBy(
        static_cast<CLinkList::Column>(column), m_sortDescending[static_cast<std::size_t>(column)]);
    m_model->reorder(order);
    const bool descending = !m_sortDescending[column];
    m_sortDescending = {};
    m_sortDescending[column] = descending;
    m_model->setSortMark(column, descending ? tr("▽") : tr("△"));
}

void CLinkUpdateDlg::openContextMenu(const QPoint& position) {
    if (busy()) {
        return;
    }
    const bool one = m_ui->list->selectionModel()->selectedRows().size() == 1;
    m_editAction->setEnabled(one);
    m_renameAction->setEnabled(one);
    QMenu menu(this);
    menu.addAction(m_editAction);
    menu.addAction(m_renameAction);
    menu.addAction(m_removeAction);
    menu.addAction(m_removeFileAction);
    menu.addSeparator();
    menu.addAction(m_newSiteAction);
    menu.exec(m_ui->list->viewport()->mapToGlobal(position));
}

} // namespace tw::gui
