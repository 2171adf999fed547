#include "core/history/HistoryStore.h"
#include "core/util/Cp932.h"
#include "gui/history/ChangeView.h"
#include "support/TempFolder.h"

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

using tw::HistoryEntry;
using tw::HistoryStore;
using tw::gui::ChangeView;

namespace {

HistoryEntry page(const std::string& bytes, std::time_t when, int codePage) {
    HistoryEntry entry;
    entry.checkedAt = when;
    entry.bytes = bytes;
    entry.codePage = codePage;
    entry.contentType = "text/html";
    return entry;
}

/// A page of `lines` numbered paragraphs with a price in paragraph `priceAt`.
std::string shop(int lines, const std::string& price, int priceAt, const std::string& tail = "") {
    std::string html = "<html><head><meta charset=\"UTF-8\"></head><body>";
    for (int i = 0; i < lines; ++i) {
        html += "<p>段落" + std::to_string(i) + "です。</p>";
        if (i == priceAt) {
            html += "<p>本日の弁当は" + price + "円で販売します。</p>";
        }
    }
    return html + tail + "</body></html>";
}

/// The text of the blocks whose characters carry `test`.
QString marked(const QTextEdit& view, bool (*test)(const QTextCharFormat&)) {
    QString text;
    for (QTextBlock block = view.document()->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            if (test(it.fragment().charFormat())) {
                text += it.fragment().text() + QLatin1Char('|');
            }
        }
    }
    return text;
}

bool struck(const QTextCharFormat& format) {
    return format.fontStrikeOut();
}
bool addedWord(const QTextCharFormat& format) {
    return !format.fontStrikeOut() && format.background().style() != Qt::NoBrush;
}

} // namespace

class ChangeViewTest : public QObject {
    Q_OBJECT
private slots:
    void showsThePriceOfAShiftJisAndAUtf8VersionAndStepsByKeyboard() {
        tw::test::TempFolder data;
        HistoryStore store(data.path(), {});
        const std::string first =
            tw::jp("<html><head><meta charset=\"Shift_JIS\"></head><body><p>本日の弁当は1,980円で"
                   "販売します。</p>") +
            std::string(200, '\n') + "</body></html>";
        QCOMPARE(store.record("item.htm", page(first, 1000, 932)), std::string());
        QCOMPARE(store.record("item.htm", page(shop(40, "2,480", 0), 2000, 65001)), std::string());
        QCOMPARE(store.record("item.htm", page(shop(40, "2,480", 0, "<p>追記</p>"), 3000, 65001)),
                 std::string());
        QCOMPARE(
            store.record("item.htm", page(shop(40, "2,300", 0, "<p>追記の二</p>"), 4000, 65001)),
            std::string());

        ChangeView view(data.path(), "item.htm", QStringLiteral("弁当屋"));
        view.show();
        QVERIFY(view.windowTitle().startsWith(QStringLiteral("変更内容")));
        QCOMPARE(view.versionList()->count(), 4);
        QVERIFY(view.versionList()->item(3)->text().contains(QStringLiteral("最初")));
        QTRY_VERIFY(!view.busy());
        // Newest first: the newest against the one before, with two changes far apart.
        QCOMPARE(view.versionList()->currentRow(), 0);
        QCOMPARE(view.changeBlocks().size(), std::size_t(2));
        QCOMPARE(marked(*view.diffView(), struck), QStringLiteral("2,480|"));
        QCOMPARE(marked(*view.diffView(), addedWord), QStringLiteral("2,300|の二|"));
        QCOMPARE(view.diffView()->textCursor().blockNumber(), view.changeBlocks()[0]);
        QVERIFY(view.diffView()->toPlainText().contains(QStringLiteral("行省略")));

        QTest::keyClick(&view, Qt::Key_F8);
        QCOMPARE(view.diffView()->textCursor().blockNumber(), view.changeBlocks()[1]);
        QTest::keyClick(&view, Qt::Key_F8); // no further change: stays
        QCOMPARE(view.diffView()->textCursor().blockNumber(), view.changeBlocks()[1]);
        QTest::keyClick(&view, Qt::Key_F8, Qt::ShiftModifier);
        QCOMPARE(view.diffView()->textCursor().blockNumber(), view.changeBlocks()[0]);
        QVERIFY(view.diffText().contains(QStringLiteral("+本日の弁当は2,300円で販売します。")));

        // Down the list by keyboard to the oldest change: Shift_JIS against UTF-8, the price alone.
        view.versionList()->setFocus();
        QTest::keyClick(view.versionList(), Qt::Key_End);
        QTest::keyClick(view.versionList(), Qt::Key_Up);
        QTRY_VERIFY(!view.busy());
        QCOMPARE(view.versionList()->currentRow(), 2);
        QCOMPARE(marked(*view.diffView(), struck), QStringLiteral("1,980|"));
        QCOMPARE(marked(*view.diffView(), addedWord), QStringLiteral("2,480|"));

        // The source switch compares the markup: the declared code differs there.
        view.sourceSwitch()->setChecked(true);
        QTRY_VERIFY(!view.busy());
        QVERIFY(view.diffView()->toPlainText().contains(QStringLiteral("Shift_JIS")));

        QTest::keyClick(&view, Qt::Key_Escape);
        QVERIFY(!view.isVisible());
    }

    void damagedVersionsAreSkippedWithAMessage() {
        tw::test::TempFolder data;
        HistoryStore store(data.path(), {});
        QCOMPARE(store.record("item.htm", page(shop(5, "100", 1), 1000, 65001)), std::string());
        QCOMPARE(store.record("item.htm", page(shop(5, "200", 1), 2000, 65001)), std::string());
        QCOMPARE(store.record("item.htm", page(shop(5, "300", 1), 3000, 65001)), std::string());
        QCOMPARE(store.record("item.htm", page(shop(5, "400", 1), 4000, 65001)), std::string());
        const auto versions = store.versions("item.htm");
        const std::string folder = data.path() + "/history/item.htm/";
        // The second version cut short (not even listed), the third damaged inside.
        std::filesystem::resize_file(folder + versions[1].fileName,
                                     std::filesystem::file_size(folder + versions[1].fileName) - 9);
        std::fstream(folder + versions[2].fileName, std::ios::in | std::ios::out | std::ios::binary)
                .seekp(-30, std::ios::end)
            << "X";

        ChangeView view(data.path(), "item.htm", QStringLiteral("弁当屋"));
        view.show();
        QTRY_VERIFY(!view.busy());
        QCOMPARE(view.versionList()->count(), 3);
        // The newest against the oldest readable one.
        QCOMPARE(marked(*view.diffView(), struck), QStringLiteral("100|"));
        QCOMPARE(marked(*view.diffView(), addedWord), QStringLiteral("400|"));
        const QString message = view.messageLabel()->text();
        QVERIFY2(message.contains(QStringLiteral("読めない版を飛ばしました")), qPrintable(message));
        QVERIFY2(message.contains(QStringLiteral("読めない版を一覧から除きました")),
                 qPrintable(message));
        // Choosing the damaged one itself says why it cannot be shown.
        view.versionList()->setCurrentRow(1);
        QTRY_VERIFY(!view.busy());
        QVERIFY(view.changeBlocks().empty());
        QVERIFY(!view.messageLabel()->text().isEmpty());
    }

    void anItemWithoutHistorySaysSo() {
        tw::test::TempFolder data;
        ChangeView view(data.path(), "never.htm", QStringLiteral("新しいアイテム"));
        view.show();
        QVERIFY(!view.busy());
        QVERIFY(view.messageLabel()->text().contains(QStringLiteral("記録した版がまだありません")));
        QVERIFY(!view.diffView()->isVisible());
        ChangeView noKey(data.path(), "", QString());
        QCOMPARE(noKey.windowTitle(), QStringLiteral("変更内容"));
        QVERIFY(noKey.messageLabel()->text().contains(QStringLiteral("まだありません")));
    }

    void aWindowClosedDuringALongDiffGoesAway() {
        tw::test::TempFolder data;
        HistoryStore store(data.path(), {});
        // The same lines in another order: the search, not a count, finds the change too large.
        std::vector<std::string> lines;
        for (int i = 0; i < 150000; ++i) {
            lines.push_back("行" + std::to_string(i) + "\n");
        }
        std::string before;
        for (const std::string& line : lines) {
            before += line;
        }
        std::shuffle(lines.begin(), lines.end(), std::mt19937(3));
        std::string after;
        for (const std::string& line : lines) {
            after += line;
        }
        HistoryEntry plain = page(before, 1000, 65001);
        plain.contentType = "text/plain";
        QCOMPARE(store.record("big.txt", plain), std::string());
        plain = page(after, 2000, 65001);
        plain.contentType = "text/plain";
        QCOMPARE(store.record("big.txt", plain), std::string());

        auto* view = new ChangeView(data.path(), "big.txt", QStringLiteral("大きい"));
        view->setAttribute(Qt::WA_DeleteOnClose);
        QPointer<ChangeView> alive(view);
        view->show();
        QVERIFY(view->busy());
        view->close();
        QTRY_VERIFY(alive.isNull());

        // Left to run, it says the diff is too large.
        ChangeView kept(data.path(), "big.txt", QStringLiteral("大きい"));
        QTRY_VERIFY_WITH_TIMEOUT(!kept.busy(), 60000);
        QVERIFY(kept.messageLabel()->text().contains(QStringLiteral("差分が大きすぎます")));
    }
};

QTEST_MAIN(ChangeViewTest)
#include "ChangeView_test.moc"
