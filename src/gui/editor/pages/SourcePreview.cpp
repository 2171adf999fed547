#include "gui/editor/pages/SourcePreview.h"

#include "core/net/FetchRequest.h"
#include "core/platform/CodeConverter.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/watch/CheckArea.h"
#include "core/watch/PageDownload.h"
#include "gui/common/QtText.h"
#include "gui/editor/pages/SourceDownload.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

#include <algorithm>
#include <cstdint>

namespace tw::gui {

namespace {

bool isLineBreak(QChar c) {
    return c == QChar::ParagraphSeparator || c == QChar::LineSeparator || c == u'\n' || c == u'\r';
}

} // namespace

SourcePreview::SourcePreview(QPlainTextEdit* view, QObject* parent)
    : QObject(parent), m_view(view), m_download(new SourceDownload(this)) {
    connect(m_download, &SourceDownload::finished, this, &SourcePreview::downloadFinished);
}

SourcePreview::~SourcePreview() = default;

void SourcePreview::clear() {
    stopDownload();
    m_item = nullptr;
    m_source = SourceText();
    m_view->clear();
    m_keywordRange = {};
    m_areaRange = {};
}

bool SourcePreview::downloading() const {
    return m_download->busy();
}

void SourcePreview::stopDownload() {
    m_download->cancel();
}

CodeConverter* SourcePreview::converter() {
    if (m_converter) {
        return m_converter;
    }
    if (!m_ownConverter) {
        m_ownConverter = createCodeConverter();
    }
    return m_ownConverter.get();
}

bool SourcePreview::download(WatchSettings& item, const Services& services) {
    if (item.targetUrl.empty()) {
        emit message(tr("ＵＲＬが指定されていません"));
        return false;
    }
    FetchRequest request(item);
    // The whole page is held in memory to be shown, as the checker holds it for its area.
    request.maxBodyBytes = kMaxAreaPageBytes;
    PageDownload download(services.dataFolder);
    if (const std::string failure = download.prepare(item, request); !failure.empty()) {
        emit message(fromCp932(failure));
        return false;
    }
    m_item = &item;
    m_converter = services.converter;
    m_download->start(std::move(request), std::move(download), services.prompter);
    m_view->viewport()->setCursor(Qt::BusyCursor);
    emit downloadingChanged(true);
    return true;
}

void SourcePreview::downloadFinished(const FetchRequest& request, PageDownload& download,
                                     bool cancelled) {
    m_view->viewport()->unsetCursor();
    emit downloadingChanged(false);
    if (cancelled || !m_item) {
        return;
    }
    WatchSettings& item = *m_item;
    if (download.path().empty()) {
        emit message(tr("現在のデータをダウンロードできません"));
        return;
    }
    if (!request.userName.empty()) {
        item.userName = request.userName;
        item.password = request.password;
    }
    std::optional<std::string> text =
        loadConverted(converter(), download.path(), item.japaneseCode, request.contentType);
    if (!text) {
        download.discard();
        emit message(tr("ダウンロードしたデータを変換できません"));
        return;
    }
    // Kept where the next check compares against it; the page is shown even when that fails.
    if (const std::string failure = download.keep(item); !failure.empty()) {
        emit message(fromCp932(failure));
    }
    setSourceText(std::move(*text));
    emit shown();
}

void SourcePreview::setSourceText(std::string page) {
    m_source = SourceText(std::move(page));
    m_keywordRange = {};
    m_areaRange = {};
    m_view->setPlainText(QString::fromStdU16String(m_source.view()));
}

int SourcePreview::markKeyword(const QString& keyword, int occurrence) {
    unmark(m_keywordRange);
    if (keyword.isEmpty()) {
        m_keywordRange = {};
        unmark(m_areaRange);
        return 0;
    }
    const std::optional<std::string> bytes = toCp932Exact(keyword.toStdString());
    const std::vector<std::size_t> matches =
        bytes ? findKeyword(m_source.page(), *bytes, static_cast<std::size_t>(occurrence))
              : std::vector<std::size_t>();
    const int found = static_cast<int>(matches.size());
    if (found == 0) {
        emit message(tr("アンカーキーワードが見つかりませんでした。"));
        return 0;
    }
    if (found < occurrence) {
        emit message(
            tr("%1番目のアンカーキーワードが見つからなかったので、最後に見つかった同じ文字列を"
               "採用します。")
                .arg(occurrence));
    }
    const std::size_t start = matches.back();
    m_keywordRange = {static_cast<int>(m_source.viewStart(start)),
                      static_cast<int>(m_source.viewEnd(start + bytes->size()))};
    mark(m_keywordRange, QColor(255, 0, 0));
    return found;
}

void SourcePreview::markArea(const QString& keyword, int occurrence, std::int64_t offset,
                             std::int64_t size) {
    unmark(m_areaRange);
    const std::optional<std::string> bytes = toCp932Exact(keyword.toStdString());
    if (!bytes || bytes->empty()) {
        return;
    }
    const std::vector<std::size_t> matches =
        findKeyword(m_source.page(), *bytes, static_cast<std::size_t>(occurrence));
    if (static_cast<int>(matches.size()) < occurrence) {
        return;
    }
    const auto length = static_cast<std::int64_t>(m_source.page().size());
    std::int64_t start = static_cast<std::int64_t>(matches.back() + bytes->size()) + offset;
    if (size <= 0 || start >= length) {
        return;
    }
    start = std::max<std::int64_t>(start, 0);
    const std::int64_t end = std::min(length, start + size);
    m_areaRange = {static_cast<int>(m_source.viewStart(static_cast<std::size_t>(start))),
                   static_cast<int>(m_source.viewEnd(static_cast<std::size_t>(end)))};
    mark(m_areaRange, QColor(0, 0, 255));
}

void SourcePreview::mark(Range range, const QColor& color) {
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

void SourcePreview::unmark(Range& range) {
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

void SourcePreview::scrollToLineOf(int position) {
    const QTextBlock block = m_view->document()->findBlock(position);
    if (block.isValid()) {
        m_view->verticalScrollBar()->setValue(block.blockNumber());
    }
}

std::optional<SourcePreview::Keyword> SourcePreview::pickKeyword() {
    const QTextCursor selection = m_view->textCursor();
    const QString text = selection.selectedText();
    if (text.isEmpty()) {
        return std::nullopt;
    }
    if (std::any_of(text.begin(), text.end(), isLineBreak)) {
        // Line ends differ from page to page and the keyword box holds one line.
        emit message(tr("アンカーキーワードには改行を含められません。1行の中の文字列を選択してくだ"
                        "さい。"));
        return std::nullopt;
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
    return Keyword{text, static_cast<int>(before + 1)};
}

std::optional<SourcePreview::Area> SourcePreview::pickArea(const QString& keyword, int occurrence) {
    const QTextCursor selection = m_view->textCursor();
    if (keyword.isEmpty() || !selection.hasSelection()) {
        return std::nullopt;
    }
    const std::optional<std::string> bytes = toCp932Exact(keyword.toStdString());
    const std::vector<std::size_t> matches =
        bytes ? findKeyword(m_source.page(), *bytes, static_cast<std::size_t>(occurrence))
              : std::vector<std::size_t>();
    if (static_cast<int>(matches.size()) < occurrence) {
        // The offset counts from the keyword: without it there is nothing to count from.
        emit message(tr("%1番目のアンカーキーワードがソース中に見つからないため、チェックエリアを"
                        "決められません。")
                         .arg(occurrence));
        return std::nullopt;
    }
    const Range range{selection.selectionStart(), selection.selectionEnd()};
    unmark(m_areaRange);
    m_areaRange = range;
    mark(m_areaRange, QColor(0, 0, 255));
    const auto keywordEnd = static_cast<std::int64_t>(matches.back() + bytes->size());
    const auto areaStart =
        static_cast<std::int64_t>(m_source.pageOffset(static_cast<std::size_t>(range.start)));
    const auto areaEnd =
        static_cast<std::int64_t>(m_source.pageOffset(static_cast<std::size_t>(range.end)));
    return Area{areaStart - keywordEnd, areaEnd - areaStart};
}

} // namespace tw::gui
