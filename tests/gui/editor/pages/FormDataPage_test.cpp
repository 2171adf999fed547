#include "SheetDriver.h"
#include "editor/pages/CFormDataDlg.h"
#include "util/Cp932.h"

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>
#include <QTreeWidget>

#include <functional>

using tw::gui::CDefineSheet;
using tw::gui::CFormDataDlg;
using namespace Qt::StringLiterals;

namespace {

tw::WatchSettings itemWithForm(const char* formData) {
    tw::WatchSettings item;
    item.targetUrl = "http://127.0.0.1/form";
    item.formData = formData;
    return item;
}

} // namespace

class FormDataPageTest : public QObject {
    Q_OBJECT

    std::unique_ptr<tw::test::SheetDriver> m_driver;

    QTreeWidget* list() { return m_driver->find<QTreeWidget>("formList"); }
    QStringList rows() {
        QStringList shown;
        for (int i = 0; i < list()->topLevelItemCount(); ++i) {
            shown.append(list()->topLevelItem(i)->text(0) + QLatin1Char('|') +
                         list()->topLevelItem(i)->text(1));
        }
        return shown;
    }
    void select(std::initializer_list<int> rowNumbers) {
        list()->clearSelection();
        for (const int row : rowNumbers) {
            list()->topLevelItem(row)->setSelected(true);
        }
    }
    void click(const char* button) {
        QTest::mouseClick(m_driver->find<QPushButton>(button), Qt::LeftButton);
    }
    /// Clicks `button` and lets `handle` work the pair dialog if one opens; true when it did.
    bool clickWithDialog(const char* button, std::function<void(CFormDataDlg&)> handle) {
        bool opened = false;
        QTimer::singleShot(0, this, [&] {
            if (auto* dialog = qobject_cast<CFormDataDlg*>(QApplication::activeModalWidget())) {
                opened = true;
                handle(*dialog);
            }
        });
        click(button);
        QCoreApplication::processEvents();
        return opened;
    }
    static void type(CFormDataDlg& dialog, const QString& name, const QString& value) {
        dialog.nameEdit()->clear();
        tw::test::typeText(dialog.nameEdit(), name);
        dialog.valueEdit()->clear();
        tw::test::typeText(dialog.valueEdit(), value);
    }
    static void pressOk(CFormDataDlg& dialog) {
        QTest::keyClick(dialog.nameEdit(), Qt::Key_Return);
    }
    static std::function<void(CFormDataDlg&)> typeAndOk(const QString& name, const QString& value) {
        return [=](CFormDataDlg& dialog) {
            type(dialog, name, value);
            pressOk(dialog);
        };
    }

private slots:
    void init() { m_driver = std::make_unique<tw::test::SheetDriver>(); }
    void cleanup() { m_driver.reset(); }

    void rowsAndStoredText_data();
    void rowsAndStoredText();
    void neverShownKeepsTheText();
    void editDeleteInsert();
    void characterOutsideCodePageIsRefusedInTheDialog();
};

void FormDataPageTest::rowsAndStoredText_data() {
    QTest::addColumn<QString>("formData");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QString>("stored");
    QTest::newRow("value holding =")
        << "a=1&b=x%3dy" << QStringList{u"a|1"_s, u"b|x=y"_s} << "a=1&b=x%3dy";
    QTest::newRow("japanese bytes and a blank")
        << "a=%82%A0+b" << QStringList{u"a|あ b"_s} << "a=%82%a0+b";
    QTest::newRow("empty pieces and no =")
        << "flag&&c=" << QStringList{u"flag|"_s, u"c|"_s} << "flag=&c=";
    QTest::newRow("encoded name without =") << "fl%41g" << QStringList{u"flAg|"_s} << "flAg=";
    QTest::newRow("empty") << "" << QStringList{} << "";
}

void FormDataPageTest::rowsAndStoredText() {
    QFETCH(QString, formData);
    QFETCH(QStringList, shown);
    QFETCH(QString, stored);
    std::string text = formData.toStdString();
    // Two openings in a row: what one OK stores, the next reads back and stores unchanged.
    for (int opening = 0; opening < 2; ++opening) {
        m_driver->open(itemWithForm(text.c_str()));
        m_driver->clickTab(CDefineSheet::FormDataTab);
        QCOMPARE(rows(), shown);
        m_driver->clickOk();
        QVERIFY(m_driver->handedOver());
        text = m_driver->handedOver()->formData;
        QCOMPARE(QString::fromStdString(text), stored);
    }
}

void FormDataPageTest::neverShownKeepsTheText() {
    m_driver->open(itemWithForm("fl%41g&a=%82%A0"));
    m_driver->clickOk();
    QVERIFY(m_driver->handedOver());
    QCOMPARE(m_driver->handedOver()->formData, std::string("fl%41g&a=%82%A0"));
}

void FormDataPageTest::editDeleteInsert() {
    m_driver->open(itemWithForm("a=1&b=2&c=3"));
    m_driver->clickTab(CDefineSheet::FormDataTab);

    select({0, 1});
    QVERIFY(!clickWithDialog("insertButton", typeAndOk(u"x"_s, u"y"_s)));
    QVERIFY(!clickWithDialog("editButton", typeAndOk(u"x"_s, u"y"_s)));
    QCOMPARE(rows(), (QStringList{u"a|1"_s, u"b|2"_s, u"c|3"_s}));

    // Nothing selected: the new pair goes to the end; a hyphen and a full stop are encoded.
    list()->clearSelection();
    QVERIFY(clickWithDialog("insertButton", typeAndOk(u"x-y"_s, u"z."_s)));
    QCOMPARE(rows().last(), QStringLiteral("x-y|z."));

    // One selected: the new pair goes before it.
    select({1});
    QVERIFY(clickWithDialog("insertButton", typeAndOk(u"名"_s, u"v"_s)));
    QCOMPARE(rows().at(1), QStringLiteral("名|v"));

    // An empty name: No keeps the row as it was, Yes deletes it.
    const QString deleteQuestion = QStringLiteral(
        "フォームデータのデータ名が空白です。\nこのページを正常に呼び出せなくなるかもしれません。\n"
        "削除しますか？");
    select({2});
    m_driver->answers = {false};
    QVERIFY(clickWithDialog("editButton", typeAndOk(u""_s, u"changed"_s)));
    QCOMPARE(m_driver->asked, QStringList{deleteQuestion});
    QCOMPARE(rows().at(2), QStringLiteral("b|2"));
    m_driver->answers = {true};
    QVERIFY(clickWithDialog("editButton", typeAndOk(u""_s, u"changed"_s)));
    QCOMPARE(rows(), (QStringList{u"a|1"_s, u"名|v"_s, u"c|3"_s, u"x-y|z."_s}));

    // Insert with an empty name: Yes cancels, No inserts it; cancel inserts nothing.
    const QString insertQuestion = QStringLiteral(
        "フォームデータのデータ名が空白です。\nこのページを正常に呼び出せなくなるかもしれません。\n"
        "挿入を取り消しますか？");
    m_driver->asked.clear();
    list()->clearSelection();
    m_driver->answers = {true, false};
    QVERIFY(clickWithDialog("insertButton", typeAndOk(u""_s, u"1"_s)));
    QVERIFY(clickWithDialog("insertButton", typeAndOk(u""_s, u"2"_s)));
    QCOMPARE(m_driver->asked, (QStringList{insertQuestion, insertQuestion}));
    QVERIFY(clickWithDialog("insertButton", [](CFormDataDlg& dialog) {
        type(dialog, u"lost"_s, u""_s);
        dialog.reject();
    }));
    QCOMPARE(rows().last(), QStringLiteral("|2"));

    // Editing keeps what the dialog was not asked to change, and shows the row as it was.
    select({0});
    QString shownName;
    QVERIFY(clickWithDialog("editButton", [&](CFormDataDlg& dialog) {
        shownName = dialog.name() + QLatin1Char('|') + dialog.value();
        dialog.valueEdit()->setPlainText(QStringLiteral("one\ntwo"));
        pressOk(dialog);
    }));
    QCOMPARE(shownName, QStringLiteral("a|1"));

    select({2, 3});
    click("deleteButton");
    QCOMPARE(rows().size(), 3);

    m_driver->clickOk();
    QVERIFY(m_driver->handedOver());
    QCOMPARE(m_driver->handedOver()->formData, std::string("a=one%0atwo&%96%bc=v&=2"));
}

void FormDataPageTest::characterOutsideCodePageIsRefusedInTheDialog() {
    m_driver->open(itemWithForm("a=1"));
    m_driver->clickTab(CDefineSheet::FormDataTab);
    bool stayedOpen = false;
    QVERIFY(clickWithDialog("insertButton", [&](CFormDataDlg& dialog) {
        dialog.nameEdit()->setText(QStringLiteral("한"));
        dialog.valueEdit()->setFocus();
        QTest::mouseClick(dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok),
                          Qt::LeftButton);
        stayedOpen = dialog.isVisible() && dialog.focusWidget() == dialog.nameEdit();
        dialog.reject();
    }));
    QVERIFY(stayedOpen);
    QCOMPARE(m_driver->told.size(), 1);
    QVERIFY(m_driver->told.front().contains(QStringLiteral("한")));
    QCOMPARE(rows(), QStringList{u"a|1"_s});
}

QTEST_MAIN(FormDataPageTest)
#include "FormDataPage_test.moc"
