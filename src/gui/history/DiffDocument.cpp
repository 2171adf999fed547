#include "gui/history/DiffDocument.h"

#include <QCoreApplication>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

namespace tw::gui {

namespace {

/// Characters of a line shown at most: a page of one enormous line (minified source) would
/// otherwise take the text view's layout minutes.
constexpr qsizetype kLineChars = 5000;

// Light enough to read black text on, distinct without colour (struck through, marked lines).
const QColor kAddedLine(0xe6, 0xff, 0xec);
const QColor kAddedText(0xac, 0xf2, 0xbd);
const QColor kRemovedLine(0xff, 0xeb, 0xe9);
const QColor kRemovedText(0xff, 0xc0, 0xc0);
const QColor kFoldText(0x6a, 0x73, 0x7d);
const QColor kFoldLine(0xf1, 0xf3, 0xf5);

QString tr(const char* text) {
    return QCoreApplication::translate("tw::gui::ChangeView", text);
}

class Writer {
public:
    // One edit block: the document is laid out once at its end, not after each insertion.
    explicit Writer(QTextDocument& document) : m_cursor(&document) { m_cursor.beginEditBlock(); }
    ~Writer() { m_cursor.endEditBlock(); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void fold(std::size_t lines) {
        QTextBlockFormat block;
        block.setAlignment(Qt::AlignHCenter);
        block.setBackground(kFoldLine);
        QTextCharFormat text;
        text.setForeground(kFoldText);
        startBlock(block);
        m_cursor.insertText(tr("（%1 行省略）").arg(lines), text);
    }

    int line(const DiffLine& line) {
        QTextBlockFormat block;
        if (line.kind == DiffLine::Kind::Added) {
            block.setBackground(kAddedLine);
        } else if (line.kind == DiffLine::Kind::Removed) {
            block.setBackground(kRemovedLine);
        }
        startBlock(block);
        const int number = m_cursor.blockNumber();
        qsizetype left = kLineChars;
        qsizetype cut = 0;
        for (const DiffSpan& span : line.spans) {
            QString text =
                QString::fromUtf8(span.text.data(), static_cast<qsizetype>(span.text.size()));
            if (text.size() > left) {
                cut += text.size() - left;
                text.truncate(left);
            }
            left -= text.size();
            QTextCharFormat format;
            if (span.kind == DiffSpan::Kind::Added && line.kind == DiffLine::Kind::Changed) {
                format.setBackground(kAddedText);
            } else if (span.kind == DiffSpan::Kind::Removed) {
                format.setFontStrikeOut(true);
                if (line.kind == DiffLine::Kind::Changed) {
                    format.setBackground(kRemovedText);
                }
            }
            m_cursor.insertText(text, format);
        }
        if (cut > 0) {
            QTextCharFormat format;
            format.setForeground(kFoldText);
            m_cursor.insertText(tr("…（以下 %1 文字省略）").arg(cut), format);
        }
        return number;
    }

private:
    void startBlock(const QTextBlockFormat& format) {
        if (m_first) {
            m_cursor.setBlockFormat(format);
            m_first = false;
        } else {
            m_cursor.insertBlock(format, QTextCharFormat());
        }
    }

    QTextCursor m_cursor;
    bool m_first = true;
};

} // namespace

std::vector<int> fillDiffDocument(QTextDocument& document, const TextDiff& diff) {
    document.clear();
    std::vector<int> changes;
    Writer writer(document);
    for (const DiffHunk& hunk : diff.hunks) {
        if (hunk.hiddenBefore > 0) {
            writer.fold(hunk.hiddenBefore);
        }
        bool inChange = false;
        for (const DiffLine& line : hunk.lines) {
            const int block = writer.line(line);
            const bool changed = line.kind != DiffLine::Kind::Same;
            if (changed && !inChange) {
                changes.push_back(block);
            }
            inChange = changed;
        }
    }
    if (diff.hiddenAfter > 0) {
        writer.fold(diff.hiddenAfter);
    }
    return changes;
}

} // namespace tw::gui
