#include "gui/editor/sheet/CDefineSheet.h"

#include "gui/common/GuiPrompter.h"
#include "gui/editor/pages/CCKOption.h"
#include "gui/editor/pages/CConPage.h"
#include "gui/editor/pages/CPGDetail.h"
#include "gui/editor/pages/CPagePage.h"
#include "gui/editor/pages/CRNOption.h"
#include "gui/editor/pages/CTimingPage.h"
#include "gui/editor/sheet/SheetPage.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QShortcut>
#include <QTabWidget>
#include <QVBoxLayout>

namespace tw::gui {

CDefineSheet::CDefineSheet(QWidget* parent)
    : QDialog(parent), m_tabs(new QTabWidget(this)),
      m_buttons(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this)) {
    setWindowTitle(tr("サイトの定義"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    m_buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("OK"));
    m_buttons->button(QDialogButtonBox::Cancel)->setText(tr("キャンセル"));
    connect(m_buttons, &QDialogButtonBox::accepted, this, &CDefineSheet::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &CDefineSheet::reject);

    // Tab order is the order of the pages.
    m_pages = {new CPagePage(m_tabs), new CTimingPage(m_tabs), new CRNOption(m_tabs),
               new CCKOption(m_tabs), new CPGDetail(m_tabs),   new CConPage(m_tabs)};
    for (SheetPage* page : m_pages) {
        m_tabs->addTab(page, page->caption());
    }
    // Every tab stays in sight: the sheet is as wide as its six captions.
    m_tabs->setUsesScrollButtons(false);
    m_tabs->setElideMode(Qt::ElideNone);
    connect(m_tabs, &QTabWidget::currentChanged, this, &CDefineSheet::tabChanged);
    // As shortcuts, because a focused drop-down list takes Ctrl+Tab as a letter to search for.
    const auto step = [this](int by) {
        m_tabs->setCurrentIndex((m_tabs->currentIndex() + by + m_tabs->count()) % m_tabs->count());
    };
    for (const QKeySequence& keys :
         {QKeySequence(Qt::CTRL | Qt::Key_Tab), QKeySequence(Qt::CTRL | Qt::Key_PageDown)}) {
        connect(new QShortcut(keys, this), &QShortcut::activated, this, [step] { step(1); });
    }
    for (const QKeySequence& keys : {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab),
                                     QKeySequence(Qt::CTRL | Qt::Key_PageUp)}) {
        connect(new QShortcut(keys, this), &QShortcut::activated, this, [step] { step(-1); });
    }

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs, 1);
    layout->addWidget(m_buttons);
}

CDefineSheet::~CDefineSheet() = default;

void CDefineSheet::loadItem(const WatchSettings& item, WatchItemId id) {
    m_item = item;
    m_itemId = id;
    m_confirmed = false;
    m_open = true;
    for (SheetPage* page : m_pages) {
        page->loadItem(this, &m_item);
    }
    m_switchingBack = true;
    m_tabs->setCurrentIndex(PageTab);
    m_switchingBack = false;
    m_current = PageTab;
    m_pages[PageTab]->onSetActive();
    // The first field of the page takes the keyboard.
    if (QWidget* first = m_pages[PageTab]->nextInFocusChain();
        first && m_pages[PageTab]->isAncestorOf(first)) {
        first->setFocus(Qt::OtherFocusReason);
    }
}

SheetPage* CDefineSheet::currentPage() const {
    return m_current < 0 ? nullptr : m_pages.at(m_current);
}

bool CDefineSheet::showPage(SheetPage* page) {
    const int index = m_tabs->indexOf(page);
    if (index < 0) {
        return false;
    }
    if (index != m_current) {
        m_tabs->setCurrentIndex(index);
    }
    return m_current == index;
}

void CDefineSheet::bringBack(SheetPage* page) {
    const int index = m_tabs->indexOf(page);
    if (index < 0) {
        return;
    }
    if (m_tabs->currentIndex() != index) {
        m_switchingBack = true;
        m_tabs->setCurrentIndex(index);
        m_switchingBack = false;
    }
    m_current = index;
}

void CDefineSheet::tabChanged(int index) {
    if (m_switchingBack || !m_open) {
        return;
    }
    if (m_current >= 0 && m_current != index && !m_pages[m_current]->onKillActive()) {
        m_switchingBack = true;
        m_tabs->setCurrentIndex(m_current);
        m_switchingBack = false;
        return;
    }
    m_current = index;
    m_pages[index]->onSetActive();
}

void CDefineSheet::tell(const QString& text) {
    GuiPrompter::tell(this, text, Prompter::Icon::Warning, windowTitle());
}

bool CDefineSheet::ask(const QString& text) {
    return GuiPrompter::askYesNo(this, text, windowTitle());
}

void CDefineSheet::accept() {
    if (SheetPage* current = currentPage(); current && !current->onKillActive()) {
        return;
    }
    for (SheetPage* page : m_pages) {
        if (page->created() && !page->onOK()) {
            // Nothing is handed over from an OK that did not finish, not even on Cancel.
            m_confirmed = false;
            bringBack(page);
            return;
        }
    }
    QDialog::accept();
}

void CDefineSheet::done(int result) {
    const bool handOver = m_open && m_confirmed;
    m_open = false;
    QDialog::done(result);
    if (handOver) {
        emit siteDefined(m_item, m_itemId);
    }
}

} // namespace tw::gui
