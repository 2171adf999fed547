#include "watch/CRenewCheckWnd.h"

#include "app/QtText.h"
#include "records/WatchSettings.h"
#include "watch/ResultText.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QStyleOptionHeader>

namespace tw::gui {

namespace {

ResultListModel::State stateOf(int lastResult) {
    switch (lastResult) {
    case 2:
        return ResultListModel::State::Updated;
    case -1:
        return ResultListModel::State::Error;
    default:
        return ResultListModel::State::Unchanged;
    }
}

/// Column titles measured in the list's own font. Qt measures them in bold, for a highlighted
/// section this list never has, and would load the bold Japanese face for that alone.
class PlainHeader : public QHeaderView {
public:
    explicit PlainHeader(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
        // As the tree view's own header.
        setSectionsMovable(true);
        setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        setHighlightSections(false);
    }

protected:
    QSize sectionSizeFromContents(int logicalIndex) const override {
        QStyleOptionHeader option;
        initStyleOption(&option);
        option.section = logicalIndex;
        option.text = model()->headerData(logicalIndex, orientation()).toString();
        option.fontMetrics = fontMetrics();
        return style()->sizeFromContents(QStyle::CT_HeaderSection, &option, QSize(), this);
    }
};

} // namespace

CRenewCheckWnd::CRenewCheckWnd(QWidget* parent) : QTreeView(parent), m_model(this) {
    setHeader(new PlainHeader(this));
    setModel(&m_model);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    header()->setStretchLastSection(false);
    connect(this, &QAbstractItemView::doubleClicked, this, [this] { command(ShowSite); });
}

void CRenewCheckWnd::setUp(const CWatchList* watchList) {
    m_watchList = watchList;
    setColumnWidth(ResultListModel::TimeColumn, 70);
    setColumnWidth(ResultListModel::PageColumn, 240);
    setColumnWidth(ResultListModel::ResultColumn, 140);
    setColumnWidth(ResultListModel::SpareColumn, 400);
}

void CRenewCheckWnd::addResult(const WatchSettings& finished, CWatchList::ItemId itemId) {
    if (finished.targetUrl.empty()) {
        return;
    }
    const ResultRow text = resultRow(finished);
    m_model.prepend({fromCp932(text.time), fromCp932(text.page), fromCp932(text.result),
                     stateOf(finished.lastResult), itemId});
}

void CRenewCheckWnd::checkDone(WatchSettings finishedCopy, WatchItemId itemId) {
    addResult(finishedCopy, itemId);
}

std::optional<WatchItemId> CRenewCheckWnd::selectedItem() const {
    if (!m_watchList) {
        return std::nullopt;
    }
    const QModelIndexList rows = selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        return std::nullopt;
    }
    int first = rows.first().row();
    for (const QModelIndex& index : rows) {
        first = std::min(first, index.row());
    }
    const ResultListModel::Row& row = m_model.rowAt(first);
    if (row.time.isEmpty() || !row.time.front().isDigit()) {
        return std::nullopt;
    }
    if (m_watchList->positionOf(row.itemId) < 0) {
        return std::nullopt;
    }
    return row.itemId;
}

std::string CRenewCheckWnd::selectedFile() const {
    const std::optional<WatchItemId> id = selectedItem();
    return id ? m_watchList->itemAt(m_watchList->positionOf(*id)).destFile : std::string();
}

void CRenewCheckWnd::command(int id) {
    const std::optional<WatchItemId> item = selectedItem();
    if (!item) {
        return;
    }
    switch (id) {
    case ShowSite:
        emit showSiteRequested(*item);
        break;
    case ShowFile:
        if (const std::string file = selectedFile(); !file.empty()) {
            emit showAddressRequested(file);
        }
        break;
    case ImageCheck:
        if (const std::string file = selectedFile(); !file.empty()) {
            emit imageCheckRequested(file);
        }
        break;
    case EditItem:
        emit editRequested(*item);
        break;
    default:
        break;
    }
}

void CRenewCheckWnd::keyPressEvent(QKeyEvent* event) {
    // Enter shows the page as a double-click does, and must not reach the dialog.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        command(ShowSite);
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}

void CRenewCheckWnd::contextMenuEvent(QContextMenuEvent* event) {
    // The press has already selected the row under the pointer.
    QMenu menu(this);
    const std::pair<int, QString> entries[] = {
        {ShowSite, tr("サイトを表示")},
        {ShowFile, tr("ファイルを表示")},
        {ImageCheck, tr("画像チェック")},
        {EditItem, tr("アイテム編集")},
    };
    for (const auto& [id, text] : entries) {
        QAction* action = menu.addAction(text);
        action->setData(id);
    }
    if (QAction* chosen = menu.exec(event->globalPos())) {
        command(chosen->data().toInt());
    }
}

} // namespace tw::gui
