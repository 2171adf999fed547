// The update option page driven as a user would, on a real sheet: enabling rules, what OK stores
// (a multi-line body whole, a refused address), and test mails through a real SMTP server.

#include "PromptScript.h"
#include "TypeText.h"
#include "core/platform/Desktop.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "gui/editor/pages/CRNOption.h"
#include "gui/editor/sheet/CDefineSheet.h"
#include "support/AiosmtpdServer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

using tw::WatchSettings;
using tw::gui::CDefineSheet;
using tw::gui::CRNOption;

namespace {

using tw::test::typeText;

std::string cp932(const QString& text) {
    return tw::toCp932(text.toStdString());
}

class RecordingPlayer : public tw::SoundPlayer {
public:
    void play(const std::string& file) override { played.push_back(file); }
    std::vector<std::string> played;
};

/// A port on 127.0.0.1 where nothing listens.
int closedPort() {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    return ntohs(address.sin_port);
}

/// A sheet opened on `item` with the update option tab clicked; message boxes are collected.
struct OpenSheet {
    explicit OpenSheet(const WatchSettings& item, tw::MailServerSettings server = {}) {
        CDefineSheet::Context context;
        context.mailServer = [server] { return server; };
        sheet.setContext(std::move(context));
        sheet.show();
        sheet.loadItem(item, 0);
        auto* bar = sheet.findChild<QTabWidget*>()->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {},
                          bar->tabRect(CDefineSheet::UpdateOptionTab).center());
        page = sheet.page<CRNOption>();
        page->setSoundPlayer(&player);
    }
    template <typename Widget>
    Widget* find(const char* name) {
        return page->findChild<Widget*>(QString::fromLatin1(name));
    }
    QPushButton* button(const char* name) { return find<QPushButton>(name); }
    QLineEdit* edit(const char* name) { return find<QLineEdit>(name); }
    void pressOk() {
        QTest::mouseClick(sheet.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok),
                          Qt::LeftButton);
    }

    CDefineSheet sheet;
    CRNOption* page = nullptr;
    RecordingPlayer player;
    tw::test::PromptScript boxes;
};

} // namespace

class UpdateOptionTest : public QObject {
    Q_OBJECT

private slots:
    void soundListAndMailBoxEnableTheirControls() {
        WatchSettings item;
        item.soundMode = 2;
        item.soundFile = "chime.wav";
        item.sendMail = 1;
        item.downloadMode = 7; // no choice of the list: kept, not stored as "none selected"
        OpenSheet open(item);
        auto* soundList = open.find<QComboBox>("soundList");
        QLineEdit* soundFile = open.edit("soundFileEdit");
        QVERIFY(soundFile->isEnabled());
        QCOMPARE(soundFile->text(), QStringLiteral("chime.wav"));

        // An empty sound file is listened to as the standard sound.
        soundFile->clear();
        QTest::mouseClick(open.button("listenButton"), Qt::LeftButton);
        QCOMPARE(open.player.played, std::vector<std::string>{"notify.wav"});

        QTest::keyClick(soundList, Qt::Key_Up); // 標準音
        QCOMPARE(soundFile->text(), QStringLiteral("notify.wav"));
        QVERIFY(!soundFile->isEnabled());
        QVERIFY(!open.button("soundBrowseButton")->isEnabled());
        QVERIFY(open.button("listenButton")->isEnabled());
        QTest::keyClick(soundList, Qt::Key_Up); // 鳴らさない
        QVERIFY(!open.button("listenButton")->isEnabled());

        // Texts typed while the mail is on are kept after it is switched off.
        typeText(open.edit("mailToEdit"), QStringLiteral("me@example.test"));
        typeText(open.edit("subjectEdit"), QStringLiteral("更新"));
        typeText(open.find<QPlainTextEdit>("bodyEdit"), QStringLiteral("本文"));
        QTest::keyClick(open.find<QCheckBox>("mailCheck"), Qt::Key_Space);
        for (const char* name : {"mailToEdit", "subjectEdit", "bodyEdit", "testMailButton"}) {
            QVERIFY2(!open.find<QWidget>(name)->isEnabled(), name);
        }
        open.pressOk();
        QVERIFY(open.boxes.texts.isEmpty());
        const WatchSettings& stored = open.sheet.workingItem();
        QCOMPARE(stored.downloadMode, 7);
        QCOMPARE(stored.soundMode, 0);
        QCOMPARE(stored.soundFile, std::string("notify.wav"));
        QCOMPARE(stored.sendMail, 0);
        QCOMPARE(stored.mailTo, std::string("me@example.test"));
        QCOMPARE(stored.mailSubject, cp932(QStringLiteral("更新")));
        QCOMPARE(stored.mailBody, cp932(QStringLiteral("本文")));
    }

    void multiLineBodyKeptWholeThroughOkAndTheFile() {
        WatchSettings item;
        item.sendMail = 1;
        OpenSheet open(item);
        auto* body = open.find<QPlainTextEdit>("bodyEdit");
        // A character code page 932 has no place for is refused, and OK stays on the page.
        typeText(body, QStringLiteral("一行目한"));
        open.pressOk();
        QCOMPARE(open.boxes.texts.size(), 1);
        QVERIFY(open.boxes.texts.at(0).contains(QStringLiteral("本文")));
        QVERIFY(open.sheet.isVisible());
        QCOMPARE(open.sheet.currentPage(), open.page);

        QTest::keyClick(body, Qt::Key_Backspace);
        QTest::keyClick(body, Qt::Key_Return);
        typeText(body, QStringLiteral("二行目"));
        QTest::keyClick(body, Qt::Key_Return);
        QTest::keyClick(body, Qt::Key_Return);
        typeText(body, QStringLiteral("四行目"));
        open.pressOk();
        QVERIFY(!open.sheet.isVisible());
        const std::string expected = cp932(QStringLiteral("一行目\r\n二行目\r\n\r\n四行目"));
        QCOMPARE(open.sheet.workingItem().mailBody, expected);

        WatchSettings reread;
        reread.fromText(open.sheet.workingItem().toText());
        QCOMPARE(reread.mailBody, expected);

        // A body left alone goes back as the record held it, whatever its line ends.
        reread.mailBody = "one\ntwo\rthree\r\n";
        OpenSheet again(reread);
        QCOMPARE(again.find<QPlainTextEdit>("bodyEdit")->toPlainText(),
                 QStringLiteral("one\ntwo\nthree\n"));
        again.pressOk();
        QCOMPARE(again.sheet.workingItem().mailBody, std::string("one\ntwo\rthree\r\n"));
    }

    void addressThatCouldBreakTheEnvelopeIsRefused() {
        WatchSettings item;
        item.sendMail = 1;
        item.mailTo = "old@example.test";
        OpenSheet open(item);
        QLineEdit* address = open.edit("mailToEdit");
        address->clear();
        typeText(address, QStringLiteral("me@example.test> NOTIFY=x"));
        open.pressOk();
        QCOMPARE(open.boxes.texts.size(), 1);
        QVERIFY(open.boxes.texts.at(0).startsWith(QStringLiteral("宛先アドレス")));
        QVERIFY(open.sheet.isVisible());
        QCOMPARE(open.sheet.focusWidget(), address);
        QCOMPARE(open.sheet.workingItem().mailTo, std::string("old@example.test"));

        // Refused before a test mail too: nothing connects (the server does not exist).
        QTest::mouseClick(open.button("testMailButton"), Qt::LeftButton);
        QCOMPARE(open.boxes.texts.size(), 2);
        QCOMPARE(open.boxes.texts.at(1), open.boxes.texts.at(0));
    }

    void testMailArrivesWithTheTypedTexts() {
        tw::test::AiosmtpdServer server;
        if (!tw::test::AiosmtpdServer::available()) {
            QFAIL("aiosmtpd (python3-aiosmtpd) is not installed: scripts/install-deps.sh test");
        }
        const std::string started = server.start();
        QVERIFY2(started.empty(), started.c_str());

        WatchSettings item;
        item.sendMail = 1;
        OpenSheet open(item, {"127.0.0.1", server.port(), "sender@example.test"});
        typeText(open.edit("mailToEdit"), QStringLiteral("to@example.test"));
        typeText(open.edit("subjectEdit"), QStringLiteral("Page changed"));
        auto* body = open.find<QPlainTextEdit>("bodyEdit");
        typeText(body, QStringLiteral("first"));
        QTest::keyClick(body, Qt::Key_Return);
        typeText(body, QStringLiteral(".second"));
        QTest::mouseClick(open.button("testMailButton"), Qt::LeftButton);

        QCOMPARE(open.boxes.texts, QStringList());
        const tw::test::AiosmtpdServer::Received got = server.received(1);
        QCOMPARE(got.envelope,
                 std::string("HELO 127.0.0.1\nFROM sender@example.test\nTO to@example.test\n"));
        QVERIFY2(got.message.find("Subject: Page changed\r\n\r\nfirst\r\n.second\r\n") !=
                     std::string::npos,
                 got.message.c_str());
        // A test stores nothing.
        QCOMPARE(open.sheet.workingItem().mailTo, std::string());

        // Nobody listening: the sender's own words.
        OpenSheet closed(item, {"127.0.0.1", closedPort(), "sender@example.test"});
        typeText(closed.edit("mailToEdit"), QStringLiteral("to@example.test"));
        QTest::mouseClick(closed.button("testMailButton"), Qt::LeftButton);
        QCOMPARE(closed.boxes.texts, QStringList{QStringLiteral("ネットワークに繋がっていません")});
    }

    // No server set: the test says so and where it is set, instead of a connection failure
    // that would blame the network; nothing is sent.
    void testMailWithoutAServerNamesTheSettings() {
        WatchSettings item;
        item.sendMail = 1;
        for (const std::string& server : {std::string(), std::string(" \t")}) {
            OpenSheet open(item, {server, 25, "sender@example.test"});
            typeText(open.edit("mailToEdit"), QStringLiteral("to@example.test"));
            QTest::mouseClick(open.button("testMailButton"), Qt::LeftButton);
            QCOMPARE(
                open.boxes.texts,
                QStringList{QStringLiteral(
                    "メールサーバーが設定されていないため、メールを送信できません。\n"
                    "メインウィンドウのメニュー「操作(O)」→「環境設定(S)」で設定してください。")});
            QCOMPARE(open.boxes.boxes.at(0).caption, QStringLiteral("サイトの定義"));
        }
    }

    // Each "参照" offers its chooser at the edit's file; a choice fills the edit, a cancel keeps
    // it.
    void browseButtonsFillTheirEdits() {
        WatchSettings item;
        item.soundMode = 2;
        item.destFile = "/srv/pages/page.html";
        OpenSheet open(item);
        using Kind = tw::gui::GuiPrompter::ChooserKind;
        const struct {
            const char* button;
            const char* edit;
            Kind kind;
            QString title;
            QString suffix;
        } choosers[] = {
            {"saveBrowseButton", "saveFileEdit", Kind::SaveFile,
             QStringLiteral("ダウンロードデータを保存するファイルを選択"), QString()},
            {"soundBrowseButton", "soundFileEdit", Kind::OpenFile,
             QStringLiteral("サウンドファイルを選択"), QStringLiteral("wav")},
            {"runBrowseButton", "runEdit", Kind::OpenFile,
             QStringLiteral("ページ更新時に実行するファイルを選択"), QString()},
        };
        for (const auto& chooser : choosers) {
            const QString before = open.edit(chooser.edit)->text();
            QTest::mouseClick(open.button(chooser.button), Qt::LeftButton);
            QCOMPARE(open.edit(chooser.edit)->text(), before);
            QCOMPARE(open.boxes.choosers.back().kind, chooser.kind);
            QCOMPARE(open.boxes.choosers.back().title, chooser.title);
            QCOMPARE(open.boxes.choosers.back().start, before);
            QCOMPARE(open.boxes.choosers.back().defaultSuffix, chooser.suffix);
            open.boxes.setNextFileName(QStringLiteral("/tmp/chosen"));
            QTest::mouseClick(open.button(chooser.button), Qt::LeftButton);
            QCOMPARE(open.edit(chooser.edit)->text(), QStringLiteral("/tmp/chosen"));
        }
        QCOMPARE(open.boxes.choosers.size(), std::size_t(6));
        QCOMPARE(open.boxes.choosers.front().start, QStringLiteral("/srv/pages/page.html"));
        QVERIFY(open.boxes.texts.isEmpty());
    }
};

QTEST_MAIN(UpdateOptionTest)
#include "UpdateOption_test.moc"
