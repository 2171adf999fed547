#include "PromptScript.h"
#include "gui/editor/CFolder.h"
#include "gui/editor/CNumEdit.h"
#include "gui/editor/CNumSpin.h"

#include <QAction>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

using tw::gui::CFolder;
using tw::gui::CNumEdit;
using tw::gui::CNumSpin;

class EditsTest : public QObject {
    Q_OBJECT

private slots:
    void arithmeticOnDigitText_data();
    void arithmeticOnDigitText();
    void arrowsStepWithPadding();
    void keysStepAndBoundsHold();
    void nonDigitTextIsLeftAlone();
    void boundsAreCheckedAgainstEachOther();
    void folderBrowseTakesOnlyAChoice();
    void folderCommitStripsAndChecks();
};

void EditsTest::arithmeticOnDigitText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("up");
    QTest::addColumn<QString>("down");
    QTest::newRow("padded") << "09"
                            << "10"
                            << "08";
    QTest::newRow("grows") << "999999"
                           << "1000000"
                           << "999998";
    QTest::newRow("long carry") << "1999999"
                                << "2000000"
                                << "1999998";
    QTest::newRow("long borrow") << "1000000"
                                 << "1000001"
                                 << "0999999";
    QTest::newRow("beyond 64 bits") << "99999999999999999999"
                                    << "100000000000000000000"
                                    << "99999999999999999998";
    QTest::newRow("empty") << ""
                           << ""
                           << "";
}

void EditsTest::arithmeticOnDigitText() {
    QFETCH(QString, text);
    QFETCH(QString, up);
    QFETCH(QString, down);
    QCOMPARE(CNumEdit::plusOne(text), up);
    if (!text.isEmpty()) {
        QCOMPARE(CNumEdit::minusOne(text), down);
    }
    QCOMPARE(CNumEdit::compare(QStringLiteral("007"), QStringLiteral("7")), 0);
    QCOMPARE(CNumEdit::compare(QStringLiteral("10"), QStringLiteral("9")), 1);
    QCOMPARE(CNumEdit::compare(QStringLiteral("9"), QStringLiteral("010")), -1);
    QCOMPARE(CNumEdit::compare(QString(), QStringLiteral("000")), 0);
}

void EditsTest::arrowsStepWithPadding() {
    QWidget window;
    auto* edit = new CNumEdit(&window);
    auto* spin = new CNumSpin(edit, &window);
    window.show();
    edit->setText(QStringLiteral("09"));
    QTest::mouseClick(spin->upButton(), Qt::LeftButton);
    QCOMPARE(edit->text(), QStringLiteral("10"));
    QTest::mouseClick(spin->downButton(), Qt::LeftButton);
    QTest::mouseClick(spin->downButton(), Qt::LeftButton);
    QCOMPARE(edit->text(), QStringLiteral("08"));

    edit->setText(QStringLiteral("000"));
    QTest::mouseClick(spin->downButton(), Qt::LeftButton);
    QCOMPARE(edit->text(), QStringLiteral("000"));
    edit->clear();
    QTest::mouseClick(spin->downButton(), Qt::LeftButton);
    QTest::mouseClick(spin->upButton(), Qt::LeftButton);
    QCOMPARE(edit->text(), QString());
}

void EditsTest::keysStepAndBoundsHold() {
    CNumEdit edit;
    QCOMPARE(edit.setUpper(QStringLiteral("12")), 0);
    QCOMPARE(edit.setLower(QStringLiteral("1")), 0);
    edit.show();
    QTest::keyClicks(&edit, QStringLiteral("11"));
    QTest::keyClick(&edit, Qt::Key_Up);
    QCOMPARE(edit.text(), QStringLiteral("12"));
    QTest::keyClick(&edit, Qt::Key_Up);
    QCOMPARE(edit.text(), QStringLiteral("12"));

    edit.setText(QStringLiteral("02"));
    QTest::keyClick(&edit, Qt::Key_Down);
    QCOMPARE(edit.text(), QStringLiteral("01"));
    QTest::keyClick(&edit, Qt::Key_Down);
    QCOMPARE(edit.text(), QStringLiteral("01"));

    // A typed value beyond a bound is not stepped further out.
    edit.setText(QStringLiteral("40"));
    QTest::keyClick(&edit, Qt::Key_Up);
    QCOMPARE(edit.text(), QStringLiteral("40"));
}

// The arrows used to replace text that is not a number with a number, silently.
void EditsTest::nonDigitTextIsLeftAlone() {
    QWidget window;
    auto* edit = new CNumEdit(&window);
    auto* spin = new CNumSpin(edit, &window);
    window.show();
    for (const QString& typed : {QStringLiteral("1a"), QStringLiteral("abc"), QStringLiteral(" 5"),
                                 QStringLiteral("-3"), QStringLiteral("１２")}) {
        edit->clear();
        if (typed.front().unicode() < 128) {
            QTest::keyClicks(edit, typed);
        } else {
            edit->insert(typed); // as an input method commits it
        }
        QCOMPARE(edit->text(), typed);
        QTest::mouseClick(spin->upButton(), Qt::LeftButton);
        QTest::mouseClick(spin->downButton(), Qt::LeftButton);
        QTest::keyClick(edit, Qt::Key_Up);
        QCOMPARE(edit->text(), typed);
    }
}

void EditsTest::boundsAreCheckedAgainstEachOther() {
    CNumEdit edit;
    QCOMPARE(edit.setLower(QStringLiteral("5")), 0); // no upper bound yet
    QCOMPARE(edit.setUpper(QStringLiteral("4")), 1);
    QCOMPARE(edit.setUpper(QStringLiteral("31")), 0);
    QCOMPARE(edit.setLower(QStringLiteral("32")), 1);
    QCOMPARE(edit.setLower(QString()), 1);
    QCOMPARE(edit.setUpper(QString()), 0);
    QCOMPARE(edit.lower(), QStringLiteral("5"));
    QCOMPARE(edit.upper(), QString());
}

void EditsTest::folderBrowseTakesOnlyAChoice() {
    tw::test::PromptScript script;
    CFolder folder;
    script.setNextFileName(QStringLiteral("/srv/pages"));
    folder.show();
    folder.setText(QStringLiteral("/tmp"));
    folder.browseAction()->trigger();
    QCOMPARE(script.choosers.size(), std::size_t(1));
    QCOMPARE(script.choosers[0].kind, tw::gui::GuiPrompter::ChooserKind::Folder);
    QCOMPARE(script.choosers[0].title, QStringLiteral("どのフォルダを選びますか？"));
    QCOMPARE(script.choosers[0].start, QStringLiteral("/tmp"));
    QCOMPARE(folder.text(), QStringLiteral("/srv/pages"));

    QCOMPARE(folder.browse(), -1); // no name set: cancelled
    QCOMPARE(folder.text(), QStringLiteral("/srv/pages"));
}

void EditsTest::folderCommitStripsAndChecks() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    CFolder folder;
    folder.setFolder(dir.path());
    bool changed = true;

    folder.setText(dir.path() + QStringLiteral("// "));
    QCOMPARE(folder.commit(changed), 0);
    QVERIFY(!changed);

    const QString sub = dir.path() + QStringLiteral("/sub");
    QVERIFY(QDir().mkdir(sub));
    folder.setText(sub + QStringLiteral("/ \t"));
    QCOMPARE(folder.commit(changed), 0);
    QVERIFY(changed);
    QCOMPARE(folder.folder(), sub);

    // A Japanese name: the disk holds it in UTF-8, the program in code page 932.
    const QString japanese = dir.path() + QStringLiteral("/ダウンロード");
    QVERIFY(QDir().mkdir(japanese));
    folder.setText(japanese);
    QCOMPARE(folder.commit(changed), 0);
    QCOMPARE(folder.folder(), japanese);

    // A folder that is not there is refused with the check's message and its reason, in a box
    // titled with the program's name.
    tw::test::PromptScript script;
    folder.setText(dir.path() + QStringLiteral("/missing"));
    QVERIFY(folder.commit(changed) != 0);
    QVERIFY(changed);
    QCOMPARE(script.texts,
             QStringList{QStringLiteral(
                 "保存用のフォルダ名が不正です。\n理由: ファイルまたはフォルダがありません")});
    QCOMPARE(script.boxes.at(0).caption, QStringLiteral("Tarnwick"));
    QCOMPARE(folder.folder(), japanese);
}

QTEST_MAIN(EditsTest)
#include "Edits_test.moc"
