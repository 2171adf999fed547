#include "gui/history/ChangeView.h"

#include "core/history/VersionChange.h"
#include "core/platform/CodeConverter.h"
#include "gui/common/QtText.h"
#include "gui/history/DiffDocument.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QSplitter>
#include <QTextBlock>
#include <QTextEdit>
#include <QVBoxLayout>

#include <algorithm>

namespace tw::gui {

/// What a diff thread hands back.
struct ChangeView::Outcome {
    VersionChange change;
    /// The version compared with, if any.
    std::optional<HistoryVersion> before;
    /// Older versions passed over because they could not be read.
    QStringList skipped;
    int row = -1;
    bool source = false;
};

ChangeView::ChangeView(const std::string& dataFolder, const std::string& key,
                       const QString& itemName, QWidget* parent)
    : QDialog(parent), m_store(dataFolder, HistoryLimits{}), m_key(key),
      m_converter(createCodeConverter()) {
    setWindowTitle(itemName.isEmpty() ? tr("変更内容") : tr("変更内容 - %1").arg(itemName));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    buildWidgets();
    loadVersions();
}

ChangeView::~ChangeView() {
    m_stop = true;
    m_work.close();
}

void ChangeView::buildWidgets() {
    auto* listLabel = new QLabel(tr("記録した版(&V)"), this);
    m_list = new QListWidget(this);
    listLabel->setBuddy(m_list);
    m_list->setToolTip(tr("選んだ版を、その前の版と比べて表示します"));
    m_listBox = new QWidget(this);
    QWidget* listBox = m_listBox;
    auto* listLayout = new QVBoxLayout(listBox);
    listLayout->setContentsMargins(0, 0, 0, 0);
    listLayout->addWidget(listLabel);
    listLayout->addWidget(m_list);

    m_message = new QLabel(this);
    m_message->setWordWrap(true);
    m_message->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_text = new QTextEdit(this);
    m_text->setReadOnly(true);
    // The cursor moves by keyboard, so that F8 has a place to start from and text can be
    // selected and copied without a mouse.
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_text->setUndoRedoEnabled(false);
    auto* textBox = new QWidget(this);
    auto* textLayout = new QVBoxLayout(textBox);
    textLayout->setContentsMargins(0, 0, 0, 0);
    textLayout->addWidget(m_message);
    textLayout->addWidget(m_text, 1);

    auto* splitter = new QSplitter(this);
    splitter->addWidget(listBox);
    splitter->addWidget(textBox);
    splitter->setStretchFactor(1, 1);
    splitter->setChildrenCollapsible(false);

    m_previous = new QPushButton(tr("前の変更(&P)"), this);
    m_previous->setToolTip(tr("前の変更へ (Shift+F8)"));
    m_next = new QPushButton(tr("次の変更(&N)"), this);
    m_next->setToolTip(tr("次の変更へ (F8)"));
    m_source = new QCheckBox(tr("ソースを表示(&S)"), this);
    m_source->setToolTip(tr("ページの読める文章の代わりに、HTML のソースを比べます"));
    m_copy = new QPushButton(tr("コピー(&C)"), this);
    m_copy->setToolTip(tr("表示中の変更を差分の形式でクリップボードにコピーします"));
    auto* close = new QPushButton(tr("閉じる"), this);
    for (QPushButton* button : {m_previous, m_next, m_copy, close}) {
        button->setAutoDefault(false);
    }
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_previous);
    buttons->addWidget(m_next);
    buttons->addWidget(m_source);
    buttons->addStretch(1);
    buttons->addWidget(m_copy);
    buttons->addWidget(close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(splitter, 1);
    layout->addLayout(buttons);

    setTabOrder(m_list, m_text);
    setTabOrder(m_text, m_previous);
    setTabOrder(m_previous, m_next);
    setTabOrder(m_next, m_source);
    setTabOrder(m_source, m_copy);
    setTabOrder(m_copy, close);

    connect(m_list, &QListWidget::currentRowChanged, this, [this] { compare(); });
    connect(m_source, &QCheckBox::toggled, this, [this] { compare(); });
    connect(m_previous, &QPushButton::clicked, this, &ChangeView::previousChange);
    connect(m_next, &QPushButton::clicked, this, &ChangeView::nextChange);
    connect(m_copy, &QPushButton::clicked, this,
            [this] { QApplication::clipboard()->setText(diffText()); });
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    connect(new QShortcut(QKeySequence(Qt::Key_F8), this), &QShortcut::activated, this,
            &ChangeView::nextChange);
    connect(new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F8), this), &QShortcut::activated, this,
            &ChangeView::previousChange);

    const QFontMetrics metrics(font());
    splitter->setSizes(
        {metrics.horizontalAdvance(QStringLiteral("0000/00/00 00:00:00（テキスト以外）")),
         metrics.averageCharWidth() * 90});
    // Wide enough for a line of a page, but never larger than the screen.
    QSize size(metrics.averageCharWidth() * 120, metrics.height() * 32);
    if (const QScreen* screen = this->screen()) {
        size = size.boundedTo(screen->availableSize() * 0.9);
    }
    resize(size);
}

QString ChangeView::versionName(const HistoryVersion& version) const {
    return QDateTime::fromSecsSinceEpoch(version.checkedAt)
        .toLocalTime()
        .toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"));
}

void ChangeView::loadVersions() {
    std::vector<std::string> problems;
    if (!m_key.empty()) {
        m_versions = m_store.versions(m_key, &problems);
    }
    std::reverse(m_versions.begin(), m_versions.end());
    for (const std::string& problem : problems) {
        m_skipped.append(fromCp932(problem));
    }
    if (m_versions.empty()) {
        m_message->setText(
            tr("このアイテムには記録した版がまだありません。\n"
               "次のチェックから、更新が見つかるたびにページの内容を記録し、ここで変更内容を表示"
               "します。"));
        if (!m_skipped.isEmpty()) {
            m_message->setText(m_message->text() + QLatin1Char('\n') + tr("読めなかった版: ") +
                               m_skipped.join(QStringLiteral("、")));
        }
        m_text->hide();
        m_listBox->hide();
        for (QWidget* widget : {static_cast<QWidget*>(m_previous), static_cast<QWidget*>(m_next),
                                static_cast<QWidget*>(m_source), static_cast<QWidget*>(m_copy)}) {
            widget->setEnabled(false);
        }
        m_list->setEnabled(false);
        return;
    }
    for (std::size_t i = 0; i < m_versions.size(); ++i) {
        QString name = versionName(m_versions[i]);
        if (!m_versions[i].text) {
            name += tr("（テキスト以外）");
        } else if (i + 1 == m_versions.size()) {
            name += tr("（最初の記録）");
        }
        m_list->addItem(name);
    }
    m_list->setCurrentRow(0);
    m_list->setFocus();
}

void ChangeView::compare() {
    if (m_running) {
        m_pending = true;
        return;
    }
    const int row = m_list->currentRow();
    if (row < 0 || row >= static_cast<int>(m_versions.size())) {
        return;
    }
    m_pending = false;
    m_running = true;
    const HistoryVersion after = m_versions[static_cast<std::size_t>(row)];
    const std::vector<HistoryVersion> older(m_versions.begin() + row + 1, m_versions.end());
    const bool source = m_source->isChecked();
    m_source->setEnabled(after.html);
    m_message->setText(tr("比較しています…"));
    auto outcome = std::make_shared<Outcome>();
    outcome->row = row;
    outcome->source = source;
    const bool started = m_work.start(
        [this, outcome, after, older, source] {
            DiffOptions options;
            options.stop = &m_stop;
            // A version before that cannot be read is passed over for the one before it.
            for (std::size_t i = 0;; ++i) {
                const HistoryVersion* before = i < older.size() ? &older[i] : nullptr;
                outcome->change = changeBetween(m_store, m_key, before, after, m_converter.get(),
                                                source, options);
                if (!outcome->change.beforeFailed || m_stop) {
                    if (before != nullptr) {
                        outcome->before = *before;
                    }
                    return;
                }
                outcome->skipped.append(versionName(*before) + QStringLiteral(": ") +
                                        fromCp932(outcome->change.problem));
            }
        },
        [this, outcome] {
            m_running = false;
            showOutcome(*outcome);
            if (m_pending) {
                compare();
            }
        });
    if (!started) {
        m_running = false;
    }
}

void ChangeView::showOutcome(const Outcome& outcome) {
    if (m_pending) {
        return; // another version is already asked for
    }
    const VersionChange& change = outcome.change;
    QStringList lines;
    const HistoryVersion& after = m_versions[static_cast<std::size_t>(outcome.row)];
    m_shownNew = versionName(after);
    m_shownOld = outcome.before ? versionName(*outcome.before) : QString();
    if (!change.problem.empty()) {
        lines.append(fromCp932(change.problem));
        m_shown = {};
        m_changes.clear();
        m_text->clear();
    } else {
        m_shown = change.diff;
        m_changes = fillDiffDocument(*m_text->document(), m_shown);
        if (!outcome.before) {
            lines.append(
                tr("%1 に最初に記録した内容です（すべて追加として表示）。").arg(m_shownNew));
        } else if (m_shown.identical()) {
            lines.append(tr("%1 と %2 の間に、表示する文章の変更はありません。")
                             .arg(m_shownOld, m_shownNew));
        } else {
            lines.append(tr("%1 → %2　変更 %3 か所")
                             .arg(m_shownOld, m_shownNew)
                             .arg(static_cast<qsizetype>(m_changes.size())));
        }
        if (change.asSource) {
            lines.append(tr("ページが大きいため、ソースを比べています。"));
        }
    }
    for (const QString& skipped : outcome.skipped) {
        lines.append(tr("読めない版を飛ばしました（%1）").arg(skipped));
    }
    for (const QString& skipped : m_skipped) {
        lines.append(tr("読めない版を一覧から除きました（%1）").arg(skipped));
    }
    m_message->setText(lines.join(QLatin1Char('\n')));
    m_previous->setEnabled(m_changes.size() > 1);
    m_next->setEnabled(!m_changes.empty());
    m_copy->setEnabled(!m_shown.hunks.empty());
    if (!m_changes.empty()) {
        moveToChange(m_changes.front());
    }
    emit changeShown();
}

void ChangeView::moveToChange(int block) {
    QTextCursor cursor(m_text->document()->findBlockByNumber(block));
    m_text->setTextCursor(cursor);
    // The change near the top, with its context above it in sight.
    QScrollBar* bar = m_text->verticalScrollBar();
    const QRect at = m_text->cursorRect(cursor);
    bar->setValue(bar->value() + at.top() - at.height() * 4);
}

void ChangeView::nextChange() {
    const int current = m_text->textCursor().blockNumber();
    const auto next = std::find_if(m_changes.begin(), m_changes.end(),
                                   [&](int block) { return block > current; });
    if (next != m_changes.end()) {
        moveToChange(*next);
    }
}

void ChangeView::previousChange() {
    const int current = m_text->textCursor().blockNumber();
    const auto previous = std::find_if(m_changes.rbegin(), m_changes.rend(),
                                       [&](int block) { return block < current; });
    if (previous != m_changes.rend()) {
        moveToChange(*previous);
    }
}

QString ChangeView::diffText() const {
    if (m_shown.hunks.empty()) {
        return {};
    }
    const std::string text = unifiedDiff(
        m_shown, (m_shownOld.isEmpty() ? QStringLiteral("/dev/null") : m_shownOld).toStdString(),
        m_shownNew.toStdString());
    return QString::fromStdString(text);
}

void ChangeView::closeEvent(QCloseEvent* event) {
    m_stop = true;
    QDialog::closeEvent(event);
}

} // namespace tw::gui
