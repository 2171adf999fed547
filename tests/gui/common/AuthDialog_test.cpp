#include "gui/common/AuthDialog.h"

#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using tw::Prompter;
using tw::gui::AuthDialog;

namespace {

template <typename T>
T* child(AuthDialog& dialog, const char* name) {
    T* widget = dialog.findChild<T*>(QString::fromLatin1(name));
    Q_ASSERT(widget);
    return widget;
}

/// Japanese text arrives from the input method as a committed string, not as key presses.
void typeWithInputMethod(QWidget* widget, const QString& text) {
    QInputMethodEvent event;
    event.setCommitString(text);
    QCoreApplication::sendEvent(widget, &event);
}

Prompter::AuthChallenge itemOrigin(const std::string& origin = "http://127.0.0.1") {
    return Prompter::AuthChallenge{origin, "", true};
}

/// If the dialog failed to end as the test expects, end it with OK so that run() returns
/// (and the test fails on its result) instead of hanging.
void failSafe(AuthDialog& dialog) {
    QTimer::singleShot(60000, &dialog, [&dialog] { dialog.done(QDialog::Accepted); });
}

} // namespace

class AuthDialogTest : public QObject {
    Q_OBJECT

private slots:
    void closesItselfAsCancelAfterItsTimeOut() {
        AuthDialog dialog;
        QSignalSpy rejected(&dialog, &QDialog::rejected);
        std::string user = "alice";
        std::string password = "secret";
        failSafe(dialog);

        QVERIFY(!dialog.run(user, password, itemOrigin(), 1));
        QCOMPARE(rejected.count(), 1);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(user, std::string("alice"));
        QCOMPARE(password, std::string("secret"));
    }

    void okReturnsWhatWasTypedInCodePage932() {
        AuthDialog dialog;
        std::string user = "old";
        std::string password = "old";
        // The realm arrives in code page 932: "秘密".
        const Prompter::AuthChallenge challenge{"http://127.0.0.1:8080", "\x94\xe9\x96\xa7", true};
        QString shownAddress;
        QString shownRealm;
        bool otherServerTold = true;
        QString shownUser;
        QTimer::singleShot(0, &dialog, [&] {
            shownAddress = child<QLabel>(dialog, "addressLabel")->toolTip();
            shownRealm = child<QLabel>(dialog, "realmLabel")->text();
            otherServerTold = child<QLabel>(dialog, "otherServerLabel")->isVisible();
            auto* userEdit = child<QLineEdit>(dialog, "userEdit");
            shownUser = userEdit->text();
            // The prefilled user ID is selected, so typing replaces it.
            typeWithInputMethod(userEdit, QStringLiteral("ユーザー①"));
            auto* passwordEdit = child<QLineEdit>(dialog, "passwordEdit");
            passwordEdit->clear();
            typeWithInputMethod(passwordEdit, QStringLiteral("秘密"));
            QTest::mouseClick(child<QPushButton>(dialog, "okButton"), Qt::LeftButton);
        });
        failSafe(dialog);

        QVERIFY(dialog.run(user, password, challenge, 60));
        QCOMPARE(shownAddress, QStringLiteral("http://127.0.0.1:8080"));
        QVERIFY(shownRealm.contains(QStringLiteral("秘密")));
        QVERIFY(!otherServerTold);
        QCOMPARE(shownUser, QStringLiteral("old"));
        QCOMPARE(user, std::string("\x83\x86\x81\x5b\x83\x55\x81\x5b\x87\x40"));
        QCOMPARE(password, std::string("\x94\xe9\x96\xa7"));
    }

    void characterOutsideCodePage932IsRefusedUntilCorrected() {
        AuthDialog dialog;
        std::string user;
        std::string password;
        bool stayedOpen = false;
        bool told = false;
        QTimer::singleShot(0, &dialog, [&] {
            auto* userEdit = child<QLineEdit>(dialog, "userEdit");
            QTest::keyClicks(userEdit, QStringLiteral("bob"));
            typeWithInputMethod(userEdit, QStringLiteral("한"));
            QTest::keyClicks(child<QLineEdit>(dialog, "passwordEdit"), QStringLiteral("pw"));
            QTest::mouseClick(child<QPushButton>(dialog, "okButton"), Qt::LeftButton);
            stayedOpen = dialog.isVisible();
            told = child<QLabel>(dialog, "errorLabel")->isVisible();
            QTest::keyClick(userEdit, Qt::Key_Backspace);
            QTest::mouseClick(child<QPushButton>(dialog, "okButton"), Qt::LeftButton);
        });
        failSafe(dialog);

        QVERIFY(dialog.run(user, password, itemOrigin(), 60));
        QVERIFY(stayedOpen);
        QVERIFY(told);
        QCOMPARE(user, std::string("bob"));
        QCOMPARE(password, std::string("pw"));
    }

    void cancelReturnsFalseAndKeepsTheValues() {
        AuthDialog dialog;
        std::string user = "alice";
        std::string password = "secret";
        QTimer::singleShot(0, &dialog, [&] {
            QTest::keyClicks(child<QLineEdit>(dialog, "userEdit"), QStringLiteral("mallory"));
            QTest::mouseClick(child<QPushButton>(dialog, "cancelButton"), Qt::LeftButton);
        });
        failSafe(dialog);

        QVERIFY(!dialog.run(user, password, itemOrigin(), 60));
        QCOMPARE(user, std::string("alice"));
        QCOMPARE(password, std::string("secret"));
    }

    void anotherServerIsNamedAndTheUserToldItsAnswerIsNotKept() {
        AuthDialog dialog;
        std::string user;
        std::string password;
        const Prompter::AuthChallenge challenge{"https://login.example.net:8443", "", false};
        QString shownAddress;
        bool realmShown = true;
        bool otherServerTold = false;
        QTimer::singleShot(0, &dialog, [&] {
            shownAddress = child<QLabel>(dialog, "addressLabel")->text();
            realmShown = child<QLabel>(dialog, "realmLabel")->isVisible();
            otherServerTold = child<QLabel>(dialog, "otherServerLabel")->isVisible();
            QTest::mouseClick(child<QPushButton>(dialog, "cancelButton"), Qt::LeftButton);
        });
        failSafe(dialog);

        QVERIFY(!dialog.run(user, password, challenge, 60));
        QCOMPARE(shownAddress, QStringLiteral("https://login.example.net:8443"));
        QVERIFY(!realmShown);
        QVERIFY(otherServerTold);
    }
};

QTEST_MAIN(AuthDialogTest)
#include "AuthDialog_test.moc"
