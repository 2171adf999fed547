#include "gui/editor/pages/CCKOption.h"

#include "core/records/WatchSettings.h"
#include "core/util/TextUtil.h"
#include "gui/editor/CNumEdit.h"
#include "gui/editor/CNumSpin.h"
#include "gui/editor/sheet/CDefineSheet.h"
#include "ui_CCKOption.h"

#include <QHideEvent>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace tw::gui {

CCKOption::CCKOption(QWidget* parent)
    : SheetPage(tr("チェックオプション"), parent), m_ui(std::make_unique<Ui::CCKOption>()) {
    m_ui->setupUi(this);
    for (CNumEdit* edit : {m_ui->offset, m_ui->size}) {
        m_ui->areaRow->insertWidget(m_ui->areaRow->indexOf(edit) + 1, new CNumSpin(edit, this));
    }
    QPlainTextEdit* view = m_ui->sourceView;
    // The marks and the picked range stay visible while a button has the focus.
    QPalette palette = view->palette();
    palette.setColor(QPalette::Inactive, QPalette::Highlight,
                     palette.color(QPalette::Active, QPalette::Highlight));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     palette.color(QPalette::Active, QPalette::HighlightedText));
    view->setPalette(palette);
    m_preview = new SourcePreview(view, this);
    m_settle = new QTimer(this);
    m_settle->setSingleShot(true);
    m_settle->setInterval(kSettleMs);
    connect(m_settle, &QTimer::timeout, this, &CCKOption::settle);

    connect(m_ui->keyword, &QLineEdit::textChanged, this, &CCKOption::keywordChanged);
    connect(m_ui->occurrence, &QLineEdit::textChanged, this, &CCKOption::occurrenceChanged);
    connect(m_ui->offset, &QLineEdit::textChanged, this, &CCKOption::offsetChanged);
    connect(m_ui->size, &QLineEdit::textChanged, this, &CCKOption::sizeChanged);
    // Only a choice of the user counts: showing the item's value must not store it.
    connect(m_ui->japaneseCode, &QComboBox::activated, this, &CCKOption::codeChanged);
    connect(m_ui->showSource, &QPushButton::clicked, this, &CCKOption::showSource);
    connect(m_ui->cancelSource, &QPushButton::clicked, this, [this] {
        // Cancel means no download: not the one in flight, nor one that typing would start.
        if (m_pending == Pending::Source || (m_pending == Pending::Area && m_preview->empty())) {
            m_settle->stop();
            m_pending = Pending::None;
        }
        m_preview->stopDownload();
    });
    connect(m_ui->pickKeyword, &QPushButton::clicked, this, &CCKOption::pickKeyword);
    connect(m_ui->pickArea, &QPushButton::clicked, this, &CCKOption::pickArea);
    connect(m_preview, &SourcePreview::message, this,
            [this](const QString& text) { sheet().tell(text); });
    connect(m_preview, &SourcePreview::downloadingChanged, this, &CCKOption::downloadingChanged);
    connect(m_preview, &SourcePreview::shown, this, &CCKOption::sourceShown);
}

CCKOption::~CCKOption() = default;

void CCKOption::loadItem(CDefineSheet* sheet, WatchSettings* item) {
    // Nothing of the last opening may reach this one: not a late download, not its marks.
    m_preview->clear();
    m_settle->stop();
    m_pending = Pending::None;
    SheetPage::loadItem(sheet, item);
    m_suppressOccurrence = m_suppressOffset = m_suppressSize = false;
}

void CCKOption::setSettleDelay(int ms) {
    m_settle->setInterval(ms);
}

bool CCKOption::settling() const {
    return m_settle->isActive();
}

void CCKOption::onSetActive() {
    const bool returning = activations() > 0;
    SheetPage::onSetActive();
    // What was left waiting when the user went to another page is done now that they are back.
    if (returning && m_pending != Pending::None) {
        settle();
    }
}

bool CCKOption::onKillActive() {
    // The last change is not lost: marks are made at once. A download waits until the page is
    // shown again, as a hidden page does not download (hideEvent); OK stores the boxes as typed.
    m_settle->stop();
    if (m_pending == Pending::Area && !m_preview->empty()) {
        settle();
    }
    return true;
}

void CCKOption::showItem() {
    const WatchSettings& watched = item();
    m_ui->keyword->setText(shownText(watched.anchorKeyword));
    m_ui->occurrence->setText(QString::number(watched.anchorOccurrence));
    m_ui->offset->setText(QString::number(watched.areaOffset));
    m_ui->size->setText(QString::number(watched.areaSize));
    m_ui->japaneseCode->setCurrentIndex(
        std::clamp(watched.japaneseCode, 0, m_ui->japaneseCode->count() - 1));
}

bool CCKOption::onOK() {
    const std::optional<std::string> keyword =
        recordText(m_ui->keyword->text(), tr("アンカーキーワード"), m_ui->keyword);
    if (!keyword) {
        return false;
    }
    WatchSettings& watched = item();
    watched.anchorKeyword = *keyword;
    watched.anchorOccurrence = parseInt(m_ui->occurrence->text().toStdString());
    watched.areaOffset = parseInt(m_ui->offset->text().toStdString());
    watched.areaSize = parseInt(m_ui->size->text().toStdString());
    setConfirmed();
    return true;
}

void CCKOption::hideEvent(QHideEvent* event) {
    // A download belongs to the view that shows it: leaving the page or closing the sheet ends
    // it, so it never writes the item's file behind the user's back.
    // What waits for typing to pause waits for the page to be shown again.
    if (!event->spontaneous()) {
        m_settle->stop();
        if (m_preview->downloading()) {
            m_preview->stopDownload();
            m_pending =
                std::max(m_pending, m_scroll == Scroll::Area ? Pending::Area : Pending::Source);
        }
    }
    SheetPage::hideEvent(event);
}

void CCKOption::keywordChanged() {
    changed(Pending::Source);
}

void CCKOption::occurrenceChanged() {
    if (m_suppressOccurrence) {
        m_suppressOccurrence = false;
        return;
    }
    changed(Pending::Source);
}

void CCKOption::offsetChanged() {
    if (m_suppressOffset) {
        m_suppressOffset = false;
        return;
    }
    changed(Pending::Area);
}

void CCKOption::sizeChanged() {
    if (m_suppressSize) {
        m_suppressSize = false;
        return;
    }
    offsetChanged();
}

void CCKOption::changed(Pending what) {
    if (activations() == 0) {
        return;
    }
    m_pending = std::max(m_pending, what);
    m_settle->start();
}

void CCKOption::settle() {
    m_settle->stop();
    switch (std::exchange(m_pending, Pending::None)) {
    case Pending::None:
        break;
    case Pending::Area:
        showArea();
        break;
    case Pending::Source:
        startShowSource(Scroll::Keyword);
        break;
    }
}

void CCKOption::showArea() {
    if (m_preview->empty()) {
        startShowSource(Scroll::Area);
        return;
    }
    markArea();
    if (!m_preview->areaRange().empty()) {
        m_preview->scrollToLineOf(m_preview->areaRange().start);
    }
}

void CCKOption::codeChanged(int index) {
    if (index < 0) {
        return;
    }
    item().japaneseCode = index;
    if (activations() > 0) {
        showSource();
    }
}

void CCKOption::showSource() {
    startShowSource(Scroll::Keyword);
}

void CCKOption::startShowSource(Scroll scroll) {
    // A download shows and marks with what the boxes hold now: nothing else needs to wait.
    m_settle->stop();
    m_pending = Pending::None;
    const CDefineSheet::Context& context = sheet().context();
    SourcePreview::Services services;
    services.dataFolder = context.programFolder.empty() ? programFolder() : context.programFolder;
    services.converter = context.converter;
    services.prompter = context.prompter;
    if (m_preview->download(item(), services)) {
        m_scroll = scroll;
    }
}

void CCKOption::downloadingChanged(bool downloading) {
    m_ui->cancelSource->setEnabled(downloading);
}

void CCKOption::sourceShown() {
    if (m_ui->keyword->text().isEmpty() || !markKeyword()) {
        return;
    }
    markArea();
    const Range area = m_preview->areaRange();
    m_preview->scrollToLineOf(
        m_scroll == Scroll::Area && !area.empty() ? area.start : m_preview->keywordRange().start);
}

int CCKOption::occurrence() const {
    return std::max(parseInt(m_ui->occurrence->text().toStdString()), 1);
}

bool CCKOption::markKeyword() {
    const int wanted = occurrence();
    const int found = m_preview->markKeyword(m_ui->keyword->text(), wanted);
    if (found > 0 && found < wanted) {
        writeQuietly(m_ui->occurrence, m_suppressOccurrence, QString::number(found));
    }
    return found > 0;
}

void CCKOption::markArea() {
    m_preview->markArea(m_ui->keyword->text(), occurrence(),
                        parseInt(m_ui->offset->text().toStdString()),
                        parseInt(m_ui->size->text().toStdString()));
}

void CCKOption::writeQuietly(QLineEdit* box, bool& suppress, const QString& text) {
    // A write that changes nothing sends no notification, so it must not leave the flag set
    // to swallow the user's next change.
    if (box->text() != text) {
        suppress = true;
        box->setText(text);
    }
}

void CCKOption::pickKeyword() {
    if (const std::optional<SourcePreview::Keyword> picked = m_preview->pickKeyword()) {
        // Ordinary changes, and a choice rather than typing: the page is shown again with both
        // marks at once.
        m_ui->keyword->setText(picked->text);
        m_ui->occurrence->setText(QString::number(picked->occurrence));
        settle();
    }
}

void CCKOption::pickArea() {
    if (const std::optional<SourcePreview::Area> picked =
            m_preview->pickArea(m_ui->keyword->text(), occurrence())) {
        writeQuietly(m_ui->offset, m_suppressOffset, QString::number(picked->offset));
        writeQuietly(m_ui->size, m_suppressSize, QString::number(picked->size));
    }
}

} // namespace tw::gui
