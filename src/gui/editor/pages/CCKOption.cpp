#include "editor/pages/CCKOption.h"

#include "editor/CNumEdit.h"
#include "editor/CNumSpin.h"
#include "editor/pages/SourceDownload.h"
#include "editor/sheet/CDefineSheet.h"
#include "net/FetchRequest.h"
#include "platform/CodeConverter.h"
#include "records/WatchSettings.h"
#include "util/Cp932.h"
#include "util/ErrorText.h"
#include "util/SafeFile.h"
#include "util/SystemPath.h"
#include "util/TextUtil.h"
#include "watch/CheckArea.h"
#include "watch/PageDownload.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace tw::gui {

namespace {

bool isLineBreak(QChar c) {
    return c == QChar::ParagraphSeparator || c == QChar::LineSeparator || c == u'\n' || c == u'\r';
}

} // namespace

CCKOption::CCKOption(QWidget* parent)
    : SheetPage(tr("チェックオプション"), parent), m_keyword(new QLineEdit(this)),
      m_occurrence(new QLineEdit(this)), m_offset(new CNumEdit(this)), m_size(new CNumEdit(this)),
      m_code(new QComboBox(this)), m_pickKeyword(new QPushButton(tr("ソース中から選択"), this)),
      m_pickArea(new QPushButton(tr("ソース中から選択"), this)),
      m_show(new QPushButton(tr("現在のソースコードを表示する"), this)),
      m_cancel(new QPushButton(tr("ダウンロード中止"), this)), m_view(new QPlainTextEdit(this)),
      m_download(new SourceDownload(this)) {
    m_keyword->setObjectName(QStringLiteral("keyword"));
    m_occurrence->setObjectName(QStringLiteral("occurrence"));
    m_offset->setObjectName(QStringLiteral("offset"));
    m_size->setObjectName(QStringLiteral("size"));
    m_code->setObjectName(QStringLiteral("japaneseCode"));
    m_pickKeyword->setObjectName(QStringLiteral("pickKeyword"));
    m_pickArea->setObjectName(QStringLiteral("pickArea"));
    m_show->setObjectName(QStringLiteral("showSource"));
    m_cancel->setObjectName(QStringLiteral("cancelSource"));
    m_view->setObjectName(QStringLiteral("sourceView"));

    m_code->addItems({tr("自動選択"), QStringLiteral("JIS"), QStringLiteral("EUC"),
                      QStringLiteral("UTF8"), QStringLiteral("SHIFT-JIS")});
    m_occurrence->setMaximumWidth(60);
    m_cancel->setEnabled(false);
    m_view->setReadOnly(true);
    m_view->setUndoRedoEnabled(false);
    m_view->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The marks and the picked range stay visible while a button has the focus.
    QPalette palette = m_view->palette();
    palette.setColor(QPalette::Inactive, QPalette::Highlight,
                     palette.color(QPalette::Active, QPalette::Highlight));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     palette.color(QPalette::Active, QPalette::HighlightedText));
    m_view->setPalette(palette);

    auto* keywordLabel = new QLabel(tr("アンカーキーワード"), this);
    keywordLabel->setBuddy(m_keyword);
    auto* keywordRow = new QHBoxLayout;
    keywordRow->addWidget(keywordLabel);
    keywordRow->addWidget(m_keyword, 1);
    keywordRow->addWidget(m_occurrence);
    keywordRow->addWidget(new QLabel(tr("番目"), this));
    keywordRow->addWidget(m_pickKeyword);

    auto* offsetLabel = new QLabel(tr("オフセット"), this);
    offsetLabel->setBuddy(m_offset);
    auto* sizeLabel = new QLabel(tr("サイズ"), this);
    sizeLabel->setBuddy(m_size);
    auto* areaRow = new QHBoxLayout;
    areaRow->addWidget(new QLabel(tr("チェックエリア："), this));
    areaRow->addWidget(offsetLabel);
    areaRow->addWidget(m_offset);
    areaRow->addWidget(new CNumSpin(m_offset, this));
    areaRow->addWidget(sizeLabel);
    areaRow->addWidget(m_size);
    areaRow->addWidget(new CNumSpin(m_size, this));
    areaRow->addStretch(1);
    areaRow->addWidget(m_pickArea);

    auto* codeLabel = new QLabel(tr("日本語コード"), this);
    codeLabel->setBuddy(m_code);
    auto* sourceRow = new QHBoxLayout;
    sourceRow->addWidget(m_show);
    sourceRow->addWidget(m_cancel);
    sourceRow->addStretch(1);
    sourceRow->addWidget(codeLabel);
    sourceRow->addWidget(m_code);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(keywordRow);
    layout->addLayout(areaRow);
    layout->addLayout(sourceRow);
    layout->addWidget(m_view, 1);

    // The keyboard follows the rows, not the order the controls were made in.
    QWidget* order[] = {m_keyword,  m_occurrence, m_pickKeyword, m_offset, m_size,
                        m_pickArea, m_show,       m_cancel,      m_code,   m_view};
    for (std::size_t i = 1; i < std::size(order); ++i) {
        setTabOrder(order[i - 1], order[i]);
    }

    connect(m_keyword, &QLineEdit::textChanged, this, &CCKOption::keywordChanged);
    connect(m_occurrence, &QLineEdit::textChanged, this, &CCKOption::occurrenceChanged);
    connect(m_offset, &QLineEdit::textChanged, this, &CCKOption::offsetChanged);
    connect(m_size, &QLineEdit::textChanged, this, &CCKOption::sizeChanged);
    // Only a choice of the user counts: showing the item's value must not store it.
    connect(m_code, &QComboBox::activated, this, &CCKOption::codeChanged);
    connect(m_show, &QPushButton::clicked, this, &CCKOption::showSource);
    connect(m_cancel, &QPushButton::clicked, this, &CCKOption::stopDownload);
    connect(m_pickKeyword, &QPushButton::clicked, this, &CCKOption::pickKeyword);
    connect(m_pickArea, &QPushButton::clicked, this, &CCKOption::pickArea);
    connect(m_download, &SourceDownload::finished, this, &CCKOption::downloadFinished);
}

CCKOption::~CCKOption() = default;

void CCKOption::loadItem(CDefineSheet* sheet, WatchSettings* item) {
    // Nothing of the last opening may reach this one: not a late download, not its marks.
    stopDownload();
    SheetPage::loadItem(sheet, item);
    m_source = SourceText();
    m_view->clear();
    m_keywordRange = {};
    m_areaRange = {};
    m_suppressOccurrence = m_suppressOffset = m_suppressSize = false;
}

void CCKOption::showItem() {
    const WatchSettings& watched = item();
    m_keyword->setText(shownText(watched.anchorKeyword));
    m_occurrence->setText(QString::number(watched.anchorOccurrence));
    m_offset->setText(QString::number(watched.areaOffset));
    m_size->setText(QString::number(watched.areaSize));
    m_code->setCurrentIndex(std::clamp(watched.japaneseCode, 0, m_code->count() - 1));
}

bool CCKOption::onOK() {
    const std::optional<std::string> keyword =
        recordText(m_keyword->text(), tr("アンカーキーワード"), m_keyword);
    if (!keyword) {
        return false;
    }
    WatchSettings& watched = item();
    watched.anchorKeyword = *keyword;
    watched.anchorOccurrence = parseInt(m_occurrence->text().toStdString());
    watched.areaOffset = parseInt(m_offset->text().toStdString());
    watched.areaSize = parseInt(m_size->text().toStdString());
    setConfirmed();
    return true;
}

bool CCKOption::downloading() const {
    return m_download->busy();
}

void CCKOption::hideEvent(QHideEvent* event) {
    // A download belongs to the view that shows it: leaving the page or closing the sheet ends
    // it, so it never writes the item's file behind the user's back.
    if (!event->spontaneous()) {
        stopDownload();
    }
    SheetPage::hideEvent(event);
}

void CCKOption::stopDownload() {
    m_download->cancel();
}

void CCKOption::keywordChanged() {
    if (activations() > 0) {
        showSource();
    }
}

void CCKOption::occurrenceChanged() {
    if (m_suppressOccurrence) {
        m_suppressOccurrence = false;
        return;
    }
    if (activations() > 0) {
        showSource();
    }
}

void CCKOption::offsetChanged() {
    if (m_suppressOffset) {
        m_suppressOffset = false;
        return;
    }
    if (activations() == 0) {
        return;
    }
    if (m_source.empty()) {
        startShowSource(Scroll::Area);
        return;
    }
    markArea();
    if (!m_areaRange.empty()) {
        scrollToLineOf(m_areaRange.start);
    }
}

void CCKOption::sizeChanged() {
    if (m_suppressSize) {
        m_suppressSize = false;
        return;
    }
    offsetChanged();
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

std::string CCKOption::dataFolder() const {
    const std::string& folder = sheet().context().programFolder;
    return folder.empty() ? programFolder() : folder;
}

CodeConverter* CCKOption::converter() {
    if (CodeConverter* shared = sheet().context().converter) {
        return shared;
    }
    if (!m_ownConverter) {
        m_ownConverter = createCodeConverter();
    }
    return m_ownConverter.get();
}

void CCKOption::showSource() {
    startShowSource(Scroll::Keyword);
}

void CCKOption::startShowSource(Scroll scroll) {
    const WatchSettings& watched = item();
    if (watched.targetUrl.empty()) {
        sheet().tell(tr("ＵＲＬが指定されていません"));
        return;
    }
    FetchRequest request(watched);
    // The whole page is held in memory to be shown, as the checker holds it for its area.
    request.maxBodyBytes = kMaxAreaPageBytes;
    PageDownload download(dataFolder());
    if (const std::string failure = download.prepare(watched, request); !failure.empty()) {
        sheet().tell(shownText(failure));
        return;
    }
    m_scroll = scroll;
    m_download->start(std::move(request), std::move(download), sheet().context().prompter);
    m_cancel->setEnabled(true);
    m_view->viewport()->setCursor(Qt::BusyCursor);
}

void CCKOption::downloadFinished(const FetchRequest& request, PageDownload& download,
                                 bool cancelled) {
    m_cancel->setEnabled(false);
    m_view->viewport()->unsetCursor();
    if (cancelled) {
        return;
    }
    WatchSettings& watched = item();
    if (download.path().empty()) {
        sheet().tell(tr("現在のデータをダウンロードできません"));
        return;
    }
    if (!request.userName.empty()) {
        watched.userName = request.userName;
        watched.password = request.password;
    }
    std::optional<std::string> text =
        loadConverted(converter(), download.path(), watched.japaneseCode, request.contentType);
    if (!text) {
        download.discard();
        sheet().tell(tr("ダウンロードしたデータを変換できません"));
        return;
    }
    // Kept where the next check compares against it; the page is shown even when that fails.
    if (const std::string failure = download.keep(watched); !failure.empty()) {
        sheet().tell(shownText(failure));
    }
    setSourceText(std::move(*text));
    if (m_keyword->text().isEmpty() || !markKeyword()) {
        return;
    }
    markArea();
    if (m_scroll == Scroll::Area && !m_areaRange.empty()) {
        scrollToLineOf(m_areaRange.start);
    } else {
        scrollToLineOf(m_keywordRange.start);
    }
}

void CCKOption::setSourceText(std::string page) {
    m_source = SourceText(std::move(page));
    m_keywordRange = {};
    m_areaRange = {};
    m_view->setPlainText(QString::fromStdU16String(m_source.view()));
}

std::optional<std::string> CCKOption::keywordBytes() const {
    return toCp932Exact(m_keyword->text().toStdString());
}

int CCKOption::occurrence() const {
    return std::max(parseInt(m_occurrence->text().toStdString()), 1);
}

bool CCKOption::markKeyword() {
    unmark(m_keywordRange);
    if (m_keyword->text().isEmpty()) {
        m_keywordRange = {};
        unmark(m_areaRange);
        return false;
    }
    const int wanted = occurrence();
    const std::optional<std::string> keyword = keywordBytes();
    const std::vector<std::size_t> matches =
        keyword ? findKeyword(m_source.page(), *keyword, static_cast<std::size_t>(wanted))
                : std::vector<std::size_t>();
    const int found = static_cast<int>(matches.size());
    if (found == 0) {
        sheet().tell(tr("アンカーキーワードが見つかりませんでした。"));
        return false;
    }
    if (found < wanted) {
        sheet().tell(
            tr("%1番目のアンカーキーワードが見つからなかったので、最後に見つかった同じ文字列を"
               "採用します。")
                .arg(wanted));
        writeQuietly(m_occurrence, m_suppressOccurrence, QString::number(found));
    }
    const std::size_t start = matches.back();
    m_keywordRange = {static_cast<int>(m_source.viewStart(start)),
                      static_cast<int>(m_source.viewEnd(start + keyword->size()))};
    mark(m_keywordRange, QColor(255, 0, 0));
    return true;
}

void CCKOption::markArea() {
    unmark(m_areaRange);
    // The area is the one the checker cuts: none without the keyword's occurrence, and never
    // past the end of the page.
    const std::optional<std::string> keyword = keywordBytes();
    if (!keyword || keyword->empty()) {
        return;
    }
    const int wanted = occurrence();
    const std::vector<std::size_t> matches =
        findKeyword(m_source.page(), *keyword, static_cast<std::size_t>(wanted));
    if (static_cast<int>(matches.size()) < wanted) {
        return;
    }
    const auto length = static_cast<std::int64_t>(m_source.page().size());
    const std::int64_t size = parseInt(m_size->text().toStdString());
    std::int64_t start = static_cast<std::int64_t>(matches.back() + keyword->size()) +
                         parseInt(m_offset->text().toStdString());
    if (size <= 0 || start >= length) {
        return;
    }
    start = std::max<std::int64_t>(start, 0);
    const std::int64_t end = std::min(length, start + size);
    m_areaRange = {static_cast<int>(m_source.viewStart(static_cast<std::size_t>(start))),
                   static_cast<int>(m_source.viewEnd(static_cast<std::size_t>(end)))};
    mark(m_areaRange, QColor(0, 0, 255));
}

void CCKOption::mark(Range range, const QColor& color) {
    QTextCursor cursor(m_view->document());
    const int last = cursor.document()->characterCount() - 1;
    cursor.setPosition(std::clamp(range.start, 0, last));
    cursor.setPosition(std::clamp(range.end, 0, last), QTextCursor::KeepAnchor);
    QTextCharFormat format;
    format.setForeground(color);
    format.setFontWeight(QFont::Bold);
    cursor.mergeCharFormat(format);
    QTextCursor caret = m_view->textCursor();
    caret.setPosition(0);
    m_view->setTextCursor(caret);
}

void CCKOption::unmark(Range& range) {
    if (!range.empty()) {
        QTextCursor cursor(m_view->document());
        const int last = cursor.document()->characterCount() - 1;
        cursor.setPosition(std::clamp(range.start, 0, last));
        cursor.setPosition(std::clamp(range.end, 0, last), QTextCursor::KeepAnchor);
        QTextCharFormat plain;
        plain.setForeground(QColor(0, 0, 0));
        cursor.setCharFormat(plain);
    }
    range = {};
}

void CCKOption::scrollToLineOf(int position) {
    const QTextBlock block = m_view->document()->findBlock(position);
    if (block.isValid()) {
        m_view->verticalScrollBar()->setValue(block.blockNumber());
    }
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
    const QTextCursor selection = m_view->textCursor();
    const QString text = selection.selectedText();
    if (text.isEmpty()) {
        return;
    }
    if (std::any_of(text.begin(), text.end(), isLineBreak)) {
        // Line ends differ from page to page and the keyword box holds one line.
        sheet().tell(tr("アンカーキーワードには改行を含められません。1行の中の文字列を選択してくだ"
                        "さい。"));
        return;
    }
    const int start = selection.selectionStart();
    const int end = selection.selectionEnd();
    unmark(m_keywordRange);
    const std::size_t from = m_source.pageOffset(static_cast<std::size_t>(start));
    const std::string keyword =
        m_source.page().substr(from, m_source.pageOffset(static_cast<std::size_t>(end)) - from);
    // Counted the way the checker counts, overlapping matches included.
    const std::size_t before = findKeyword(m_source.page(), keyword, SIZE_MAX, from).size();
    m_keywordRange = {start, end};
    mark(m_keywordRange, QColor(255, 0, 0));
    m_keyword->setText(text);
    m_occurrence->setText(QString::number(before + 1));
}

void CCKOption::pickArea() {
    const QTextCursor selection = m_view->textCursor();
    if (m_keyword->text().isEmpty() || !selection.hasSelection()) {
        return;
    }
    const std::optional<std::string> keyword = keywordBytes();
    const int wanted = occurrence();
    const std::vector<std::size_t> matches =
        keyword ? findKeyword(m_source.page(), *keyword, static_cast<std::size_t>(wanted))
                : std::vector<std::size_t>();
    if (static_cast<int>(matches.size()) < wanted) {
        // The offset counts from the keyword: without it there is nothing to count from.
        sheet().tell(tr("%1番目のアンカーキーワードがソース中に見つからないため、チェックエリアを決"
                        "められません。")
                         .arg(wanted));
        return;
    }
    const Range range{selection.selectionStart(), selection.selectionEnd()};
    unmark(m_areaRange);
    m_areaRange = range;
    mark(m_areaRange, QColor(0, 0, 255));
    const auto keywordEnd = static_cast<std::int64_t>(matches.back() + keyword->size());
    const auto areaStart =
        static_cast<std::int64_t>(m_source.pageOffset(static_cast<std::size_t>(range.start)));
    const auto areaEnd =
        static_cast<std::int64_t>(m_source.pageOffset(static_cast<std::size_t>(range.end)));
    writeQuietly(m_offset, m_suppressOffset, QString::number(areaStart - keywordEnd));
    writeQuietly(m_size, m_suppressSize, QString::number(areaEnd - areaStart));
}

} // namespace tw::gui
