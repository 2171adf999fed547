// The mail settings dialog: the port's range, refused texts, and its test mail through a real
// SMTP server with the typed values, also when the window behind the progress goes away.

#include "PromptScript.h"
#include "TypeText.h"
#include "core/app/CTarnwickApp.h"
#include "core/net/MailSender.h"
#include "core/platform/CodeConverter.h"
#include "core/util/Cp932.h"
#include "gui/common/KeychainStore.h"
#include "gui/dialogs/CMailServerDlg.h"
#include "gui/dialogs/MailSendDialog.h"
#include "gui/dialogs/TestMail.h"
#include "support/AiosmtpdServer.h"
#include "support/FakePrompter.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <future>
#include <random>
#include <thread>

using tw::MailServerSettings;
using tw::gui::CMailServerDlg;

namespace {

using tw::test::typeText;

struct OpenDialog {
    explicit OpenDialog(const MailServerSettings& stored) : dialog(stored) { dialog.show(); }
    QLineEdit* edit(const char* name) {
        return dialog.findChild<QLineEdit*>(QString::fromLatin1(name));
    }
    void type(const char* name, const QString& text) {
        edit(name)->clear();
        typeText(edit(name), text);
    }
    void click(const char* name) {
        QTest::mouseClick(dialog.findChild<QPushButton*>(QString::fromLatin1(name)),
                          Qt::LeftButton);
    }

    tw::test::PromptScript boxes;
    CMailServerDlg dialog;
};

/// A server on 127.0.0.1 that refuses with its greeting, but only when let go, so a test can act
/// while a mail dialogue waits for it.
class HeldServer {
public:
    HeldServer() {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // The dialog takes ports up to 30000 only, below the system's ephemeral range.
        std::mt19937 random(std::random_device{}());
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        do {
            m_port = std::uniform_int_distribution<int>(10000, CMailServerDlg::kMaxPort)(random);
            address.sin_port = htons(static_cast<uint16_t>(m_port));
        } while (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0);
        ::listen(m_listener, 1);
        m_thread = std::thread([this, go = m_go.get_future()] {
            const int connection = ::accept(m_listener, nullptr, nullptr);
            go.wait();
            const char refusal[] = "554 no\r\n";
            ::send(connection, refusal, sizeof refusal - 1, MSG_NOSIGNAL);
            ::close(connection);
        });
    }
    ~HeldServer() {
        letGo();
        ::shutdown(m_listener, SHUT_RDWR); // a client that never came must not hold the join
        m_thread.join();
        ::close(m_listener);
    }
    int port() const { return m_port; }
    void letGo() {
        if (!m_released) {
            m_released = true;
            m_go.set_value();
        }
    }

private:
    int m_listener = -1;
    int m_port = 0;
    bool m_released = false;
    std::promise<void> m_go;
    std::thread m_thread;
};

std::string cp932(const QString& text) {
    return tw::toCp932(text.toStdString());
}

} // namespace

class MailServerDlgTest : public QObject {
    Q_OBJECT

private slots:
    // The box shows the stored choice and its mnemonic turns it; OK hands the choice on.
    void includeChangesBoxReadsAndWritesTheChoice() {
        for (const bool stored : {false, true}) {
            OpenDialog open({"mail.example.test", 25, "me@example.test", stored});
            auto* box = open.dialog.findChild<QCheckBox*>(QStringLiteral("includeChangesBox"));
            QVERIFY(box);
            QCOMPARE(box->text(), QStringLiteral("変更内容をメールに含める(&I)"));
            QCOMPARE(box->isChecked(), stored);
            QVERIFY(QTest::qWaitForWindowActive(&open.dialog));
            QTest::keyClick(open.dialog.focusWidget(), Qt::Key_I, Qt::AltModifier);
            // A mnemonic clicks the way a mouse would, a moment later.
            QTRY_COMPARE(box->isChecked(), !stored);
            open.click("okButton");
            QCOMPARE(open.dialog.result(), int(QDialog::Accepted));
            QCOMPARE(open.dialog.values().includeChanges, !stored);
        }
        // Cancel keeps what was stored.
        OpenDialog open({"mail.example.test", 25, "me@example.test", true});
        open.dialog.findChild<QCheckBox*>(QStringLiteral("includeChangesBox"))->setChecked(false);
        open.click("cancelButton");
        QVERIFY(open.dialog.values().includeChanges);
    }

    void portFrom0To30000AndOtherTextsRefused() {
        const QString range = QStringLiteral("0 から 30000 までの整数を入力してください。");
        for (const QString& port : {QStringLiteral("0"), QStringLiteral("30000")}) {
            OpenDialog open({"mail.example.test", 25, "me@example.test"});
            open.type("portEdit", port);
            open.click("okButton");
            QVERIFY(open.boxes.texts.isEmpty());
            QCOMPARE(open.dialog.result(), int(QDialog::Accepted));
            QCOMPARE(open.dialog.values().port, port.toInt());
            QCOMPARE(open.dialog.values().server, std::string("mail.example.test"));
        }
        for (const QString& port :
             {QStringLiteral("30001"), QStringLiteral("abc"), QStringLiteral("-1"), QString()}) {
            OpenDialog open({"mail.example.test", 25, "me@example.test"});
            open.type("portEdit", port);
            open.click("okButton");
            QCOMPARE(open.boxes.texts, QStringList{range});
            QVERIFY(open.dialog.isVisible());
            QCOMPARE(open.dialog.focusWidget(), open.edit("portEdit"));
            QCOMPARE(open.dialog.values().port, 25);
            // Nor does a test proceed: no server is asked (none exists).
            open.click("testButton");
            QCOMPARE(open.boxes.texts, (QStringList{range, range}));
        }
    }

    void hostAndAccountRefusedWithTheirNames() {
        OpenDialog open({});
        open.type("hostEdit", QStringLiteral("mail한.example.test"));
        open.click("okButton");
        QCOMPARE(open.boxes.texts.size(), 1);
        QVERIFY(open.boxes.texts.at(0).contains(QStringLiteral("メールサーバー")));
        QCOMPARE(open.dialog.focusWidget(), open.edit("hostEdit"));

        open.type("hostEdit", QStringLiteral("mail.example.test"));
        open.type("accountEdit", QStringLiteral("me@example.test> x"));
        open.click("okButton");
        QCOMPARE(open.boxes.texts.size(), 2);
        QVERIFY(open.boxes.texts.at(1).startsWith(QStringLiteral("メールアカウント")));
        QCOMPARE(open.dialog.focusWidget(), open.edit("accountEdit"));
        QVERIFY(open.dialog.isVisible());
    }

    // The port follows the mode while it is the mode's own; one the user typed or kept stays.
    void portFollowsTheModeUntilOneIsTyped() {
        OpenDialog open({"mail.example.test", 25, "me@example.test"});
        auto* mode = open.dialog.findChild<QComboBox*>(QStringLiteral("securityBox"));
        mode->setCurrentIndex(1);
        QCOMPARE(open.edit("portEdit")->text(), QStringLiteral("587"));
        mode->setCurrentIndex(2);
        QCOMPARE(open.edit("portEdit")->text(), QStringLiteral("465"));
        open.type("portEdit", QStringLiteral("2465"));
        mode->setCurrentIndex(0);
        QCOMPARE(open.edit("portEdit")->text(), QStringLiteral("2465"));
        OpenDialog kept({"mail.example.test", 2525, "me@example.test"});
        kept.dialog.findChild<QComboBox*>(QStringLiteral("securityBox"))->setCurrentIndex(1);
        QCOMPARE(kept.edit("portEdit")->text(), QStringLiteral("2525"));
    }

    // A login without encryption, line breaks or a zero in the login, a password without a
    // user: each refused where it is typed; what passes goes on with what the dialog hides.
    void loginRefusedUnlessItCanBeSentSafely() {
        MailServerSettings stored{"mail.example.test", 25, "me@example.test"};
        stored.caFile = "/etc/own-ca.pem";
        OpenDialog open(stored);
        auto* mode = open.dialog.findChild<QComboBox*>(QStringLiteral("securityBox"));
        const auto refusedAt = [&](QWidget* box, const QString& text) {
            open.click("okButton");
            QVERIFY(open.dialog.isVisible());
            QVERIFY2(open.boxes.texts.last().contains(text), qPrintable(open.boxes.texts.last()));
            QCOMPARE(open.dialog.focusWidget(), box);
        };
        open.type("userEdit", QStringLiteral("me"));
        refusedAt(mode, QStringLiteral("STARTTLS か SSL/TLS"));
        mode->setCurrentIndex(2);
        open.edit("passwordEdit")->setText(QStringLiteral("pass\rRCPT"));
        refusedAt(open.edit("passwordEdit"), QStringLiteral("パスワードに改行"));
        open.edit("passwordEdit")->setText(QStringLiteral("p w"));
        open.edit("userEdit")->setText(QStringLiteral("m") + QChar(0) + QStringLiteral("e"));
        refusedAt(open.edit("userEdit"), QStringLiteral("ユーザー名に改行"));
        open.edit("userEdit")->clear();
        refusedAt(open.edit("userEdit"), QStringLiteral("ユーザー名も"));
        open.type("userEdit", QStringLiteral("me"));
        open.click("okButton");
        QCOMPARE(open.boxes.texts.size(), 4);
        QCOMPARE(open.dialog.result(), int(QDialog::Accepted));
        const MailServerSettings typed = open.dialog.values();
        QCOMPARE(typed.security, MailServerSettings::Security::Tls);
        QCOMPARE(typed.port, 465);
        QCOMPARE(typed.user, std::string("me"));
        QCOMPARE(typed.password, std::string("p w"));
        QCOMPARE(typed.caFile, std::string("/etc/own-ca.pem"));
    }

    // With no secret service on the bus (none here), the store says so and the password goes
    // to the private tarnwick.conf.
    void withoutASecretServiceThePasswordGoesToTarnwickConf() {
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        tw::gui::KeychainStore keyring(QStringLiteral("TarnwickTest"));
        std::string secret;
        QCOMPARE(keyring.read("mail", secret), tw::SecretStore::Result::Unavailable);
        QTemporaryDir home;
        const std::string folder = home.path().toStdString();
        tw::test::FakePrompter prompter;
        tw::CTarnwickApp app(prompter, tw::AppPaths{folder, folder, folder});
        app.setSecretStore(&keyring);
        QVERIFY(!app.secretStoreAnswers());
        MailServerSettings mail{"mail.example.test", 465, "me@example.test"};
        mail.security = MailServerSettings::Security::Tls;
        mail.user = "me";
        mail.password = "secret";
        QVERIFY(app.setMailServer(mail));
        QFile conf(QString::fromStdString(app.confPath()));
        QVERIFY(conf.open(QIODevice::ReadOnly));
        QVERIFY(conf.readAll().contains("password=secret\n"));
        QCOMPARE(conf.permissions() & 0x0077, QFileDevice::Permissions());
    }

    // A test without a server would fail as if the network were down: the dialog asks for the
    // server instead, and OK still takes an empty one (no mails).
    void testWithoutAServerAsksForIt() {
        for (const QString& host : {QString(), QStringLiteral("  ")}) {
            OpenDialog open({});
            open.type("hostEdit", host);
            open.type("accountEdit", QStringLiteral("me@example.test"));
            open.click("testButton");
            QCOMPARE(open.boxes.texts, QStringList{QStringLiteral(
                                           "テスト送信するメールサーバーを入力してください。")});
            QCOMPARE(open.boxes.boxes.at(0).caption, QStringLiteral("環境設定"));
            QCOMPARE(open.dialog.focusWidget(), open.edit("hostEdit"));
            QVERIFY(open.dialog.isVisible());
            open.click("okButton");
            QCOMPARE(open.dialog.result(), int(QDialog::Accepted));
        }
    }

    void testMailUsesTheTypedValuesAndStoresNothing() {
        tw::test::AiosmtpdServer server;
        if (!tw::test::AiosmtpdServer::available()) {
            QFAIL("aiosmtpd (python3-aiosmtpd) is not installed: scripts/install-deps.sh test");
        }
        const std::string started = server.start(CMailServerDlg::kMaxPort);
        QVERIFY2(started.empty(), started.c_str());

        const MailServerSettings stored{"stored.example.test", 25, "old@example.test"};
        OpenDialog open(stored);
        open.type("hostEdit", QStringLiteral("127.0.0.1"));
        open.type("portEdit", QString::number(server.port()));
        open.type("accountEdit", QStringLiteral("me@example.test"));
        open.click("testButton");
        QCOMPARE(open.boxes.texts, QStringList());

        const tw::test::AiosmtpdServer::Received got = server.received(1);
        QCOMPARE(got.envelope,
                 std::string("HELO 127.0.0.1\nFROM me@example.test\nTO me@example.test\n"));
        std::unique_ptr<tw::CodeConverter> converter = tw::createCodeConverter();
        const std::string subject =
            tw::prepareHeaderText(cp932(QStringLiteral("Tarnwickからの通知")), converter.get());
        const std::string body = tw::prepareBody(
            cp932(QStringLiteral("サーバー設定がうまく行きました。")), converter.get());
        QVERIFY2(got.message.find("Subject: " + subject + "\r\n\r\n" + body + "\r\n") !=
                     std::string::npos,
                 got.message.c_str());

        open.click("cancelButton");
        QCOMPARE(open.dialog.result(), int(QDialog::Rejected));
        QCOMPARE(open.dialog.values().server, stored.server);
        QCOMPARE(open.dialog.values().port, stored.port);
        QCOMPARE(open.dialog.values().account, stored.account);
    }

    // The window going away takes the progress with it and stops the send, which would
    // otherwise hold this thread until the server answered.
    void windowClosedWhileTheTestRunsStopsIt() {
        HeldServer held;
        auto* window = new QWidget;
        window->show();
        QPointer<QWidget> progress;
        bool closed = false;
        // Once the progress shows the dialogue, its window goes away; then the server answers.
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            auto* modal = qobject_cast<tw::gui::MailSendDialog*>(QApplication::activeModalWidget());
            if (modal && modal->sending() && !closed) {
                closed = true;
                progress = modal;
                delete window;
                held.letGo();
            }
        });
        poll.start(10);
        const QString failure = tw::gui::sendTestMail(
            window, {"127.0.0.1", held.port(), "me@example.test"}, "me@example.test", "s", "b");
        QVERIFY(closed);
        QVERIFY2(progress.isNull(), "the progress went with its window");
        QCOMPARE(failure, QStringLiteral("送信を中止しました"));
    }
};

QTEST_MAIN(MailServerDlgTest)
#include "MailServerDlg_test.moc"
