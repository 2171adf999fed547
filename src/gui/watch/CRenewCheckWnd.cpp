#include "gui/watch/CRenewCheckWnd.h"

#include "core/records/WatchSettings.h"
#include "core/watch/ResultText.h"
#include "gui/common/CutTextDelegate.h"
#include "gui/common/QtText.h"
#include "gui/common/StretchLastColumn.h"

#include <QAction>
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

CRenewCheckWnd::CRenewCheckWnd(QWidget* parent)
    : QTreeView(parent), m_model(this), m_showSite(new QAction(tr("サイトを表示"), this)),
      m_showFile(new QAction(tr("ファイルを表示"), this)),
      m_imageCheck(new QAction(tr("画像チェック"), this)),
      m_editItem(new QAction(tr("アイテム編集"), this)),
      m_showChanges(new QAction(tr("変更内容を表示(&D)"), this)) {
    setHeader(new PlainHeader(this));
    setModel(&m_model);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // An error cut at the column's edge can be read in its tooltip, or by widening the column.
    setItemDelegate(new CutTextDelegate(this));

    connect(m_showSite, &QAction::triggered, this, [this] {
        if (const auto id = selectedItem()) {
            emit showSiteRequested(*id);
        }
    });
    connect(m_showFile, &QAction::triggered, this, [this] {
        if (const std::string file = selectedFile(); !file.empty()) {
            emit showAddressRequested(file);
        }
    });
    connect(m_imageCheck, &QAction::triggered, this, [this] {
        if (const std::string file = selectedFile(); !file.empty()) {
            emit imageCheckRequested(file);
        }
    });
    connect(m_editItem, &QAction::triggered, this, [this] {
        if (const auto id = selectedItem()) {
            emit editRequested(*id);
        }
    });
    // Also for a row whose check found nothing new: the item's last change is shown.
    connect(m_showChanges, &QAction::triggered, this, [this] {
        if (const auto id = selectedItem()) {
            emit changesRequested(*id);
        }
    });
    connect(this, &QAbstractItemView::doubleClicked, m_showSite, &QAction::trigger);
}

void CRenewCheckWnd::setUp(const CWatchList* watchList) {
    m_watchList = watchList;
    setColumnWidth(ResultListModel::TimeColumn, 70);
    setColumnWidth(ResultListModel::PageColumn, 240);
    setColumnWidth(ResultListModel::ResultColumn, 140);
    // The untitled column takes what the window leaves, not 400 pixels, and shrinks as the others
    // are widened.
    stretchLastColumn(*header());
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

QAction* CRenewCheckWnd::action(int id) const {
    const std::pair<int, QAction*> commands[] = {
        {ShowSite, m_showSite}, {ShowFile, m_showFile},       {ImageCheck, m_imageCheck},
        {EditItem, m_editItem}, {ShowChanges, m_showChanges},
    };
    for (const auto& [number, action] : commands) {
        if (number == id) {
            return action;
        }
    }
    return nullptr;
}

void CRenewCheckWnd::command(int id) {
    if (QAction* chosen = action(id)) {
        chosen->trigger();
    }
}

void CRenewCheckWnd::keyPressEvent(QKeyEvent* event) {
    // Enter shows the page as a double-click does, and must not reach the dialog.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        m_showSite->trigger();
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}

void CRenewCheckWnd::contextMenuEvent(QContextMenuEvent* event) {
    // The press has already selected the row under the pointer.
    QMenu menu(this);
    menu.addActions({m_showSite, m_showFile, m_imageCheck, m_editItem});
    menu.addSeparator();
    menu.addAction(m_showChanges);
    menu.exec(event->globalPos());
}

} // namespace tw::gui
