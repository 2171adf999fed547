#include "PromptScript.h"
#include "core/platform/CodeConverter.h"
#include "core/ports/CheckReceiver.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "core/watch/CReNew.h"
#include "gui/editor/pages/CCKOption.h"
#include "gui/editor/pages/SourceDownload.h"
#include "gui/editor/sheet/CDefineSheet.h"
#include "support/FakePrompter.h"
#include "support/TempFolder.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

using tw::gui::CCKOption;
using tw::gui::CDefineSheet;
using Range = tw::gui::CCKOption::Range;

namespace {

/// Serves /page.html with the test's bytes (holding requests while told to), and /slow.html,
/// a block and then a byte at a time until the client goes away or the server stops.
class PageServer {
public:
    PageServer() {
        m_server.Get("/page.html", [this](const httplib::Request&, httplib::Response& res) {
            std::unique_lock lock(m_mutex);
            ++gets;
            m_released.wait(lock, [this] { return !m_hold || m_stopping; });
            res.set_content(m_body, "text/html");
        });
        m_server.Get("/slow.html", [this](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider(
                "text/html", [this](std::size_t offset, httplib::DataSink& sink) {
                    const std::string bytes = offset == 0 ? std::string(4096, 's') : "s";
                    ++pieces;
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    return !m_stopping && sink.write(bytes.data(), bytes.size());
                });
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running()) {
            std::this_thread::yield();
        }
    }
    ~PageServer() {
        hold(false, true);
        m_server.stop();
        m_thread.join();
    }

    std::string url(const char* path = "/page.html") const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    void setBody(const std::string& body) {
        std::lock_guard lock(m_mutex);
        m_body = body;
    }
    void hold(bool held, bool stopping = false) {
        {
            std::lock_guard lock(m_mutex);
            m_hold = held;
            m_stopping = stopping;
        }
        m_released.notify_all();
    }

    std::atomic<int> gets{0};
    std::atomic<int> pieces{0};

private:
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_released;
    std::string m_body;
    bool m_hold = false;
    std::atomic<bool> m_stopping{false};
};

class Receiver : public tw::CheckReceiver {
public:
    void checkDone(tw::WatchSettings copy, tw::WatchItemId) override {
        report.set_value(std::move(copy));
    }
    std::promise<tw::WatchSettings> report;
};

const char* const kLines[] = {
    "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=%1\">",
    "<title>価格表</title></head><body>",
    "<p>商品：ノート</p>",
    "<p>価格：1,280円</p>",
    "<p>在庫：あり</p>",
    "<p>価格：2,500円</p>",
    "<p>備考：送料別</p></body></html>",
};
constexpr int kLineCount = sizeof(kLines) / sizeof(kLines[0]);

enum LineEnds { Lf, CrLf, Mixed };

int filesIn(const std::string& folder) {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(folder),
                                          std::filesystem::directory_iterator()));
}

/// Line end after line `line` (0-based) of the page.
std::string lineEnd(LineEnds style, int line) {
    static const char* const mixed[] = {"\n", "\r\n", "\r"};
    return style == Lf ? "\n" : style == CrLf ? "\r\n" : mixed[line % 3];
}

} // namespace

class CheckOptionTest : public QObject {
    Q_OBJECT

    std::unique_ptr<tw::test::TempFolder> m_folder;
    tw::test::FakePrompter m_prompter;
    std::unique_ptr<tw::CodeConverter> m_converter = tw::createCodeConverter();
    std::unique_ptr<PageServer> m_server;
    std::unique_ptr<CDefineSheet> m_sheet;
    tw::test::PromptScript m_boxes;
    tw::WatchSettings m_handedOver;

    /// The page in Unicode (UTF-8) and as served in `code` (a japaneseCode value).
    std::string pageBytes(int code, LineEnds style) {
        static const char* const charsets[] = {"UTF-8", "ISO-2022-JP", "EUC-JP", "UTF-8",
                                               "Shift_JIS"};
        static const int codePages[] = {65001, 50220, 51932, 65001, 932};
        std::string text;
        for (int line = 0; line < kLineCount; ++line) {
            text += QString::fromUtf8(kLines[line])
                        .replace(QStringLiteral("%1"), QLatin1String(charsets[code]))
                        .toStdString();
            text += lineEnd(style, line);
        }
        const std::string cp932 = tw::toCp932(text);
        std::string served;
        m_converter->convert(932, codePages[code], cp932, served);
        return served;
    }

    CCKOption* open(const tw::WatchSettings& item, bool sharedConverter = true) {
        m_sheet = std::make_unique<CDefineSheet>();
        m_sheet->setContext(
            {{}, &m_prompter, sharedConverter ? m_converter.get() : nullptr, m_folder->path()});
        m_boxes.texts.clear();
        connect(m_sheet.get(), &CDefineSheet::siteDefined, this,
                [this](const tw::WatchSettings& item, tw::WatchItemId) { m_handedOver = item; });
        m_sheet->loadItem(item, 0);
        m_sheet->show();
        auto* page = m_sheet->page<CCKOption>();
        m_sheet->showPage(page);
        return page;
    }

    tw::WatchSettings item(const std::string& url = {}) {
        tw::WatchSettings w;
        w.targetUrl = url.empty() ? m_server->url() : url;
        w.soundMode = 0;
        w.popUp = 0;
        return w;
    }

    template <typename T>
    T* child(CCKOption* page, const char* name) {
        return page->findChild<T*>(QString::fromLatin1(name));
    }
    void click(CCKOption* page, const char* name) {
        QTest::mouseClick(child<QPushButton>(page, name), Qt::LeftButton);
    }
    /// Selects the `nth` occurrence of `text` in the source view, as a user drags over it.
    bool select(CCKOption* page, const QString& text, int nth = 1) {
        QPlainTextEdit* view = page->sourceView();
        const QString shown = view->document()->toPlainText();
        int at = -1;
        for (int i = 0; i < nth; ++i) {
            at = shown.indexOf(text, at + 1);
            if (at < 0) {
                return false;
            }
        }
        QTextCursor cursor(view->document());
        cursor.setPosition(at);
        cursor.setPosition(at + static_cast<int>(text.size()), QTextCursor::KeepAnchor);
        view->setTextCursor(cursor);
        return true;
    }
    /// Show source and wait until its download has been applied or refused.
    void showAndWait(CCKOption* page) {
        click(page, "showSource");
        QTRY_VERIFY_WITH_TIMEOUT(!page->downloading(), 20000);
    }
    /// One real check of `w` by the core's checker.
    tw::WatchSettings runChecker(tw::WatchSettings w) {
        tw::CheckerServices services;
        services.prompter = &m_prompter;
        services.converter = m_converter.get();
        services.programFolder = m_folder->path();
        tw::CReNew checker(services);
        Receiver receiver;
        checker.setReceiver(&receiver);
        w.nextCheck = 0;
        w.lastModified = 0;
        checker.arm(w);
        const tw::WatchSettings report = receiver.report.get_future().get();
        checker.waitDone();
        checker.setIdle();
        return report;
    }
    QTextCharFormat formatAt(CCKOption* page, int position) {
        QTextCursor cursor(page->sourceView()->document());
        cursor.setPosition(position + 1);
        return cursor.charFormat();
    }

    /// Downloads of the open sheet whose end has not been handled, superseded ones too.
    int pendingDownloads() {
        return m_sheet
                   ? m_sheet->page<CCKOption>()->findChild<tw::gui::SourceDownload*>()->pending()
                   : 0;
    }

private slots:
    void init() {
        m_folder = std::make_unique<tw::test::TempFolder>();
        m_server = std::make_unique<PageServer>();
    }
    void cleanup() {
        // Superseded downloads too: nothing may outlive the test's folder and server.
        QTRY_COMPARE_WITH_TIMEOUT(pendingDownloads(), 0, 20000);
        m_sheet.reset();
        m_server.reset();
        m_folder.reset();
    }

    // The heart of the page: whatever the code and line ends, the area picked in the viewer is
    // the area the checker cuts from the same bytes.
    void pickedAreaIsWhatTheCheckerFinds_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("lineEnds");
        const char* const codes[] = {"auto", "jis", "euc", "utf8", "sjis"};
        const char* const ends[] = {"lf", "crlf", "mixed"};
        for (int code = 0; code < 5; ++code) {
            for (int style = Lf; style <= Mixed; ++style) {
                QTest::addRow("%s-%s", codes[code], ends[style]) << code << style;
            }
        }
    }
    void pickedAreaIsWhatTheCheckerFinds() {
        QFETCH(int, code);
        QFETCH(int, lineEnds);
        const auto style = static_cast<LineEnds>(lineEnds);
        const std::string served = pageBytes(code, style);
        m_server->setBody(served);
        tw::WatchSettings w = item();
        w.japaneseCode = code;
        // Only the SHIFT-JIS choice keeps a separate code path from the others.
        CCKOption* page = open(w, code != 4);
        showAndWait(page);
        QVERIFY(page->sourceView()->toPlainText().contains(QStringLiteral("価格表")));

        QVERIFY(select(page, QStringLiteral("価格："), 2));
        click(page, "pickKeyword");
        QCOMPARE(child<QLineEdit>(page, "keyword")->text(), QStringLiteral("価格："));
        QCOMPARE(child<QLineEdit>(page, "occurrence")->text(), QStringLiteral("2"));
        QTRY_VERIFY_WITH_TIMEOUT(!page->downloading(), 20000);
        QVERIFY(!page->keywordRange().empty());

        // From inside the price across a line end into the next line.
        QVERIFY(select(page, QStringLiteral("500円</p>\n<p>備考：送料")));
        click(page, "pickArea");
        QCOMPARE(child<QLineEdit>(page, "offset")->text(), QStringLiteral("2"));
        const std::string expected = tw::toCp932("500円</p>" + lineEnd(style, 5) + "<p>備考：送料");
        QCOMPARE(child<QLineEdit>(page, "size")->text(), QString::number(expected.size()));
        QVERIFY(m_boxes.texts.isEmpty());

        m_sheet->accept();
        QCOMPARE(m_handedOver.anchorKeyword, tw::jp("価格："));
        QCOMPARE(m_handedOver.anchorOccurrence, 2);
        QCOMPARE(m_handedOver.japaneseCode, code);
        // Show source stored the page whole where the next check compares against it.
        QCOMPARE(tw::test::TempFolder::readFile(m_handedOver.compareFile), served);
        QCOMPARE(filesIn(*m_folder / "comp"), 1);

        const tw::WatchSettings checked = runChecker(m_handedOver);
        QCOMPARE(checked.lastResult, 2);
        QCOMPARE(QByteArray::fromStdString(checked.areaText), QByteArray::fromStdString(expected));
    }

    // Also: an area running past the end of the page is marked up to the end.
    void occurrenceBeyondTheMatchesTakesTheLast() {
        m_server->setBody(pageBytes(4, CrLf));
        tw::WatchSettings w = item();
        w.japaneseCode = 4;
        w.anchorKeyword = tw::jp("価格：");
        w.anchorOccurrence = 3;
        w.areaSize = 100000;
        CCKOption* page = open(w);
        showAndWait(page);
        QCOMPARE(m_boxes.texts,
                 QStringList{QStringLiteral("3番目のアンカーキーワードが見つからなかったので、"
                                            "最後に見つかった同じ文字列を採用します。")});
        QCOMPARE(child<QLineEdit>(page, "occurrence")->text(), QStringLiteral("2"));
        const QString shown = page->sourceView()->toPlainText();
        const int second = static_cast<int>(shown.lastIndexOf(QStringLiteral("価格：")));
        QCOMPARE(page->keywordRange().start, second);
        QCOMPARE(formatAt(page, second).foreground().color(), QColor(255, 0, 0));
        QCOMPARE(formatAt(page, second).fontWeight(), int(QFont::Bold));
        QCOMPARE(m_server->gets.load(), 1); // writing "2" shows nothing again

        const int end = page->sourceView()->document()->characterCount() - 1;
        QCOMPARE(page->areaRange().start, page->keywordRange().end);
        QCOMPARE(page->areaRange().end, end);
        QCOMPARE(formatAt(page, end - 2).foreground().color(), QColor(0, 0, 255));
        QCOMPARE(page->source().pageOffset(static_cast<std::size_t>(end)),
                 pageBytes(4, CrLf).size());
    }

    void areaBeforeTheKeywordGivesANegativeOffset() {
        m_server->setBody(pageBytes(2, CrLf));
        tw::WatchSettings w = item();
        w.japaneseCode = 2;
        w.anchorKeyword = tw::jp("在庫：");
        CCKOption* page = open(w);
        showAndWait(page);
        QVERIFY(select(page, QStringLiteral("1,280円")));
        click(page, "pickArea");
        // "1,280円</p>\r\n<p>" lies between the area's start and the keyword's end.
        const int offset = -static_cast<int>(tw::jp("1,280円</p>\r\n<p>在庫：").size());
        QCOMPARE(child<QLineEdit>(page, "offset")->text(), QString::number(offset));
        QCOMPARE(child<QLineEdit>(page, "size")->text(), QStringLiteral("7"));
        QCOMPARE(m_server->gets.load(), 1); // the page's own writes cause no download
        m_sheet->accept();
        QCOMPARE(runChecker(m_handedOver).areaText, tw::jp("1,280円"));
    }

    void pickingIsRefusedWhereTheCheckerCouldNotFollow() {
        m_server->setBody(pageBytes(3, Mixed));
        tw::WatchSettings w = item();
        w.japaneseCode = 3;
        w.anchorKeyword = tw::jp("ない言葉");
        w.areaOffset = 5;
        CCKOption* page = open(w);
        showAndWait(page);
        QCOMPARE(m_boxes.texts,
                 QStringList{QStringLiteral("アンカーキーワードが見つかりませんでした。")});

        // An area cannot be counted from a keyword the page does not hold.
        QVERIFY(select(page, QStringLiteral("ノート")));
        click(page, "pickArea");
        QCOMPARE(m_boxes.texts.size(), 2);
        QVERIFY(m_boxes.texts.last().contains(QStringLiteral("見つからない")));
        QCOMPARE(child<QLineEdit>(page, "offset")->text(), QStringLiteral("5"));
        QVERIFY(page->areaRange().empty());

        // A keyword over a line end would differ with the page's line ends.
        QVERIFY(select(page, QStringLiteral("ノート</p>\n<p>")));
        click(page, "pickKeyword");
        QCOMPARE(m_boxes.texts.size(), 3);
        QVERIFY(m_boxes.texts.last().contains(QStringLiteral("改行")));
        QCOMPARE(child<QLineEdit>(page, "keyword")->text(), QStringLiteral("ない言葉"));
        QCOMPARE(m_server->gets.load(), 1);
    }

    void codeListIsStoredAtOnceAndShowsAgain() {
        m_server->setBody(pageBytes(2, Lf));
        tw::WatchSettings w = item();
        w.japaneseCode = 9; // shown as the last entry, but kept unless the user chooses
        CCKOption* page = open(w);
        auto* codes = child<QComboBox>(page, "japaneseCode");
        QCOMPARE(codes->currentIndex(), 4);
        QCOMPARE(m_sheet->workingItem().japaneseCode, 9);
        QTest::keyClicks(codes, QStringLiteral("E")); // "EUC", as a user types it
        QCOMPARE(codes->currentIndex(), 2);
        QCOMPARE(m_sheet->workingItem().japaneseCode, 2);
        QVERIFY(page->downloading());
        QTRY_VERIFY_WITH_TIMEOUT(!page->downloading(), 20000);
        QVERIFY(page->sourceView()->toPlainText().contains(QStringLiteral("商品")));
        QCOMPARE(m_server->gets.load(), 1);
    }

    // The window keeps running while a page trickles in; Cancel ends it and nothing of it is
    // applied, and a later Show source supersedes one still in flight.
    void slowDownloadCanBeCancelled() {
        m_server->setBody(pageBytes(4, Lf));
        CCKOption* page = open(item(m_server->url("/slow.html")));
        click(page, "showSource");
        QTRY_VERIFY_WITH_TIMEOUT(m_server->pieces.load() >= 3, 20000);
        QVERIFY(page->downloading());
        // The page still answers the user meanwhile.
        child<QLineEdit>(page, "offset")->setText(QStringLiteral("4"));
        QCOMPARE(child<QLineEdit>(page, "offset")->text(), QStringLiteral("4"));
        QVERIFY(child<QPushButton>(page, "cancelSource")->isEnabled());
        click(page, "cancelSource");
        QTRY_VERIFY_WITH_TIMEOUT(!page->downloading(), 20000);
        QVERIFY(page->sourceView()->toPlainText().isEmpty());
        QVERIFY(m_boxes.texts.isEmpty());
        QVERIFY(m_sheet->workingItem().compareFile.empty());
        QVERIFY(std::filesystem::is_empty(*m_folder / "comp"));
    }

    void onlyTheLatestDownloadIsApplied() {
        m_server->setBody(tw::jp("<p>古いページ</p>"));
        m_server->hold(true);
        tw::WatchSettings w = item();
        w.japaneseCode = 4;
        CCKOption* page = open(w);
        click(page, "showSource");
        QTRY_COMPARE_WITH_TIMEOUT(m_server->gets.load(), 1, 20000);
        m_server->setBody(tw::jp("<p>新しいページ</p>"));
        click(page, "showSource");
        QTRY_COMPARE_WITH_TIMEOUT(m_server->gets.load(), 2, 20000);
        m_server->hold(false);
        QTRY_VERIFY_WITH_TIMEOUT(!page->downloading(), 20000);
        // Let the superseded one end too; it must change nothing.
        QTRY_COMPARE_WITH_TIMEOUT(pendingDownloads(), 0, 20000);
        QCOMPARE(filesIn(*m_folder / "comp"), 1);
        QCOMPARE(page->sourceView()->toPlainText(), QStringLiteral("<p>新しいページ</p>"));
        QCOMPARE(tw::test::TempFolder::readFile(m_sheet->workingItem().compareFile),
                 tw::jp("<p>新しいページ</p>"));
    }

    // With downloads kept, Show source replaces the save file (mode 1) or adds the next
    // numbered one (mode 2), a relative name taken in the data folder and kept relative.
    void keptDownloadsGoWhereTheCheckerKeepsThem() {
        const std::string page = pageBytes(4, Lf);
        m_server->setBody(page);
        std::filesystem::create_directory(*m_folder / "dl");
        tw::test::TempFolder::writeFile(*m_folder / "dl/page.html", "old");
        tw::WatchSettings w = item();
        w.downloadMode = 1;
        w.destFile = "dl/page.html";
        CCKOption* page1 = open(w);
        showAndWait(page1);
        QCOMPARE(tw::test::TempFolder::readFile(*m_folder / "dl/page.html"), page);
        QCOMPARE(m_sheet->workingItem().destFile, std::string("dl/page.html"));
        QCOMPARE(filesIn(*m_folder / "dl"), 1);

        w.downloadMode = 2;
        CCKOption* page2 = open(w);
        showAndWait(page2);
        QCOMPARE(m_sheet->workingItem().destFile, std::string("dl/page_1.html"));
        QCOMPARE(tw::test::TempFolder::readFile(*m_folder / "dl/page_1.html"), page);
        QCOMPARE(filesIn(*m_folder / "dl"), 2);

        w.destFile = "../outside.html";
        open(w);
        click(m_sheet->page<CCKOption>(), "showSource");
        QCOMPARE(m_boxes.texts, QStringList{QStringLiteral(
                                    "保存先のファイル名がデータフォルダの外を指しています")});
        QVERIFY(!m_sheet->page<CCKOption>()->downloading());
    }

    void keptDownloadsInAJapaneseFolderHaveTheirUtf8Names() {
        const std::string page = pageBytes(4, Lf);
        m_server->setBody(page);
        std::filesystem::create_directory(*m_folder / "ダウンロード");
        tw::WatchSettings w = item();
        w.downloadMode = 1;
        w.destFile = tw::jp(*m_folder / "ダウンロード/価格.html");
        showAndWait(open(w));
        QCOMPARE(m_boxes.texts, QStringList());
        QCOMPARE(tw::test::TempFolder::readFile(*m_folder / "ダウンロード/価格.html"), page);
        QCOMPARE(filesIn(*m_folder / "ダウンロード"), 1);

        w.downloadMode = 2;
        showAndWait(open(w));
        QCOMPARE(m_boxes.texts, QStringList());
        QCOMPARE(m_sheet->workingItem().destFile, tw::jp(*m_folder / "ダウンロード/価格_1.html"));
        QCOMPARE(tw::test::TempFolder::readFile(*m_folder / "ダウンロード/価格_1.html"), page);
        QCOMPARE(filesIn(*m_folder / "ダウンロード"), 2);
        QCOMPARE(filesIn(m_folder->path()), 1);
    }

    // Said once the typing has paused, not for every letter.
    void withoutUrlASettledChangeSaysSoOnce() {
        tw::WatchSettings w = item();
        w.targetUrl.clear();
        CCKOption* page = open(w);
        QTest::keyClicks(child<QLineEdit>(page, "keyword"), QStringLiteral("ab"));
        QVERIFY(m_boxes.texts.isEmpty());
        QTRY_VERIFY(!page->settling());
        QCOMPARE(m_boxes.texts, QStringList{QStringLiteral("ＵＲＬが指定されていません")});
        m_sheet->accept();
        QCOMPARE(m_handedOver.anchorKeyword, std::string("ab"));
        QCOMPARE(m_handedOver.areaSize, 20);
    }

    // A keyword typed letter by letter, each letter handled before the next as a typist's are,
    // is downloaded and looked for once, when the typing pauses: one request at the server and
    // one message that it is not there.
    void aTypedKeywordCostsOneDownloadAndOneMessage() {
        m_server->setBody(pageBytes(4, Lf));
        tw::WatchSettings w = item();
        w.japaneseCode = 4;
        CCKOption* page = open(w);
        auto* keyword = child<QLineEdit>(page, "keyword");
        for (QChar letter : QStringLiteral("nowhere")) {
            QTest::keyClick(keyword, letter.toLatin1());
            QTRY_VERIFY_WITH_TIMEOUT(!page->downloading(), 20000);
        }
        QCOMPARE(keyword->text(), QStringLiteral("nowhere"));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->gets.load(), 1, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!page->settling() && !page->downloading(), 20000);
        QCOMPARE(m_boxes.texts,
                 QStringList{QStringLiteral("アンカーキーワードが見つかりませんでした。")});
        QCOMPARE(m_server->gets.load(), 1);

        // Found once settled: marked, still without a message.
        keyword->clear();
        QTest::keyClicks(keyword, QStringLiteral("<title>"));
        QTRY_VERIFY_WITH_TIMEOUT(!page->settling() && !page->downloading(), 20000);
        QCOMPARE(m_server->gets.load(), 2);
        QCOMPARE(m_boxes.texts.size(), 1);
        QVERIFY(!page->keywordRange().empty());
    }

    // The same for the number boxes: the occurrence shows the page again once, and so does the
    // size while no page is shown; with one shown, the area is marked without a download.
    void typedNumbersWaitForThePauseToo() {
        m_server->setBody(pageBytes(4, Lf));
        tw::WatchSettings w = item();
        w.japaneseCode = 4;
        w.anchorKeyword = tw::jp("価格：");
        CCKOption* page = open(w);
        auto typeSlowly = [page](QLineEdit* box, const QString& text) {
            box->selectAll();
            for (QChar c : text) {
                QTest::keyClick(box, c.toLatin1());
                QTRY_VERIFY_WITH_TIMEOUT(!page->downloading(), 20000);
            }
            QTRY_VERIFY_WITH_TIMEOUT(!page->settling() && !page->downloading(), 20000);
        };
        auto area = [page] {
            const Range range = page->areaRange();
            return page->sourceView()->toPlainText().mid(range.start, range.end - range.start);
        };
        typeSlowly(child<QLineEdit>(page, "size"), QStringLiteral("25"));
        QCOMPARE(m_server->gets.load(), 1);
        QCOMPARE(area(), QStringLiteral("1,280円</p>\n<p>在庫：あり"));
        typeSlowly(child<QLineEdit>(page, "size"), QStringLiteral("11"));
        QCOMPARE(m_server->gets.load(), 1);
        QCOMPARE(area(), QStringLiteral("1,280円</p>"));
        typeSlowly(child<QLineEdit>(page, "occurrence"), QStringLiteral("12"));
        QCOMPARE(m_server->gets.load(), 2);
        // Only the settled number asked: the 12th is not there, the last (2nd) is taken.
        QCOMPARE(m_boxes.texts.size(), 1);
        QVERIFY(m_boxes.texts.at(0).startsWith(QStringLiteral("12番目")));
        QCOMPARE(child<QLineEdit>(page, "occurrence")->text(), QStringLiteral("2"));
    }

    // A change still waiting when the user leaves the page is neither lost nor acted on behind
    // their back: the page downloads when they come back, and OK stores the boxes as typed.
    void aChangeLeftWaitingIsKept() {
        m_server->setBody(pageBytes(4, Lf));
        tw::WatchSettings w = item();
        w.japaneseCode = 4;
        CCKOption* page = open(w);
        QTest::keyClicks(child<QLineEdit>(page, "keyword"), QStringLiteral("<title"));
        QVERIFY(page->settling());
        m_sheet->showPage(m_sheet->page(CDefineSheet::ConnectionTab));
        QVERIFY(!page->settling());
        QVERIFY(!page->downloading());
        m_sheet->showPage(page);
        QVERIFY(page->downloading());
        QTRY_VERIFY_WITH_TIMEOUT(!page->downloading(), 20000);
        QCOMPARE(m_server->gets.load(), 1);
        QVERIFY(!page->keywordRange().empty());
        QVERIFY(m_boxes.texts.isEmpty());

        QTest::keyClicks(child<QLineEdit>(page, "keyword"), QStringLiteral(">"));
        QTest::keyClick(child<QLineEdit>(page, "keyword"), Qt::Key_Return);
        QVERIFY(!m_sheet->isVisible());
        QCOMPARE(m_handedOver.anchorKeyword, std::string("<title>"));
        QVERIFY(!page->settling());
        QVERIFY(!page->downloading());
    }
};

QTEST_MAIN(CheckOptionTest)
#include "CheckOption_test.moc"
