#include "PromptScript.h"
#include "core/records/WatchSettings.h"
#include "core/util/Cp932.h"
#include "gui/editor/pages/CFormDataDlg.h"
#include "gui/editor/sheet/CDefineSheet.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <functional>
#include <memory>

using tw::gui::CDefineSheet;
using tw::gui::CFormDataDlg;
using namespace Qt::StringLiterals;

namespace {

const char* const kMsie = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0; Q312461)";
const char* const kNetscape =
    "Mozilla/5.0 (Windows; U; Windows NT 5.0; ja-JP; rv:0.9.4) Gecko/20011128 Netscape6/6.2.1";

} // namespace

/// A real sheet on screen, its questions answered in advance, driven with clicks and keys.
class SheetPagesTest : public QObject {
    Q_OBJECT

    std::unique_ptr<CDefineSheet> m_sheet;
    std::vector<tw::WatchSettings> m_handedOver;
    std::unique_ptr<tw::test::PromptScript> m_boxes;

    void open(const tw::WatchSettings& item, int tab = CDefineSheet::PageTab) {
        m_sheet->loadItem(item, 0);
        m_sheet->show();
        QVERIFY(QTest::qWaitForWindowActive(m_sheet.get()));
        clickTab(tab);
    }
    void clickTab(int tab) {
        QTabBar* bar = m_sheet->findChild<QTabWidget*>()->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(tab).center());
    }
    int currentTab() { return m_sheet->findChild<QTabWidget*>()->currentIndex(); }
    void clickOk() {
        auto* box = m_sheet->findChild<QDialogButtonBox*>(QString(), Qt::FindDirectChildrenOnly);
        QTest::mouseClick(box->button(QDialogButtonBox::Ok), Qt::LeftButton);
    }
    template <typename Widget = QLineEdit>
    Widget* find(const char* name) {
        return m_sheet->findChild<Widget*>(QString::fromLatin1(name));
    }
    void retype(const char* edit, const QString& text) {
        find(edit)->clear();
        QTest::keyClicks(find(edit), text);
    }

    QTreeWidget* list() { return find<QTreeWidget>("formList"); }
    QStringList rows() {
        QStringList shown;
        for (int i = 0; i < list()->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* row = list()->topLevelItem(i);
            shown.append(row->text(0) + u'|' + row->text(1));
        }
        return shown;
    }
    void select(std::initializer_list<int> rowNumbers) {
        list()->clearSelection();
        for (const int row : rowNumbers) {
            list()->topLevelItem(row)->setSelected(true);
        }
    }
    /// Clicks `button`; when it opens the pair dialog, types into it and presses Enter (OK).
    /// True when the dialog opened.
    bool pair(const char* button, const QString& name, const QString& value) {
        bool opened = false;
        QTimer::singleShot(0, this, [&] {
            if (auto* dialog = qobject_cast<CFormDataDlg*>(QApplication::activeModalWidget())) {
                opened = true;
                dialog->nameEdit()->setText(name);
                dialog->valueEdit()->setPlainText(value);
                QTest::keyClick(dialog->nameEdit(), Qt::Key_Return);
                if (dialog->isVisible()) { // OK was refused
                    dialog->reject();
                }
            }
        });
        QTest::mouseClick(find<QPushButton>(button), Qt::LeftButton);
        QCoreApplication::processEvents();
        return opened;
    }

private slots:
    void init() {
        m_sheet = std::make_unique<CDefineSheet>();
        m_handedOver.clear();
        m_boxes = std::make_unique<tw::test::PromptScript>();
        connect(m_sheet.get(), &CDefineSheet::siteDefined,
                [this](const tw::WatchSettings& item) { m_handedOver.push_back(item); });
    }
    void cleanup() {
        m_sheet.reset();
        m_boxes.reset();
    }

    void formDataRoundTrips() {
        const struct {
            const char* text;
            QStringList shown;
            const char* stored;
        } cases[] = {
            {"a=1&b=x%3dy", {u"a|1"_s, u"b|x=y"_s}, "a=1&b=x%3dy"},
            {"a=%82%A0+b", {u"a|あ b"_s}, "a=%82%a0+b"},
            {"flag&&c=", {u"flag|"_s, u"c|"_s}, "flag=&c="},
            {"fl%41g", {u"flAg|"_s}, "flAg="},
        };
        for (const auto& example : cases) {
            // What one OK stores, the next opening reads back and stores unchanged.
            tw::WatchSettings item;
            item.formData = example.text;
            for (int opening = 0; opening < 2; ++opening) {
                open(item, CDefineSheet::FormDataTab);
                QCOMPARE(rows(), example.shown);
                clickOk();
                item = m_handedOver.back();
                QCOMPARE(item.formData, std::string(example.stored));
            }
        }
        // A page never shown leaves the text as loaded.
        tw::WatchSettings item;
        item.formData = "fl%41g&a=%82%A0";
        open(item);
        clickOk();
        QCOMPARE(m_handedOver.back().formData, item.formData);
    }

    void formDataEditing() {
        tw::WatchSettings item;
        item.formData = "a=1&b=2&c=3";
        open(item, CDefineSheet::FormDataTab);
        select({0, 1});
        QVERIFY(!pair("insertButton", u"x"_s, u"y"_s));
        QVERIFY(!pair("editButton", u"x"_s, u"y"_s));
        list()->clearSelection();
        QVERIFY(pair("insertButton", u"x-y"_s, u"z."_s));
        select({1});
        QVERIFY(pair("insertButton", u"名"_s, u"v"_s));
        QCOMPARE(rows(), (QStringList{u"a|1"_s, u"名|v"_s, u"b|2"_s, u"c|3"_s, u"x-y|z."_s}));

        // An empty name: No keeps the row as it was, Yes deletes it.
        select({2});
        m_boxes->setNextAnswer(tw::test::PromptScript::Answer::No);
        m_boxes->setNextAnswer(tw::test::PromptScript::Answer::Yes);
        QVERIFY(pair("editButton", QString(), u"changed"_s));
        QCOMPARE(rows().at(2), u"b|2"_s);
        QVERIFY(pair("editButton", QString(), u"changed"_s));
        QCOMPARE(m_boxes->asked().size(), 2);
        QCOMPARE(m_boxes->asked().at(0),
                 u"フォームデータのデータ名が空白です。\nこのページを正常に呼び出せなく"
                 u"なるかもしれません。\n削除しますか？"_s);
        // Inserting one: Yes cancels, No inserts it.
        list()->clearSelection();
        m_boxes->setNextAnswer(tw::test::PromptScript::Answer::Yes);
        m_boxes->setNextAnswer(tw::test::PromptScript::Answer::No);
        QVERIFY(pair("insertButton", QString(), u"1"_s));
        QVERIFY(pair("insertButton", QString(), u"2"_s));
        QCOMPARE(m_boxes->asked().at(2),
                 u"フォームデータのデータ名が空白です。\nこのページを正常に呼び出せなく"
                 u"なるかもしれません。\n挿入を取り消しますか？"_s);
        // A character code page 932 cannot hold keeps the dialog open and inserts nothing.
        QVERIFY(pair("insertButton", u"한"_s, QString()));
        QCOMPARE(m_boxes->told().size(), 1);
        QVERIFY(m_boxes->told().front().contains(u"한"_s));

        select({0});
        QVERIFY(pair("editButton", u"a"_s, u"one\ntwo"_s));
        select({2, 4});
        QTest::mouseClick(find<QPushButton>("deleteButton"), Qt::LeftButton);
        clickOk();
        QCOMPARE(m_handedOver.back().formData, std::string("a=one%0atwo&%96%bc=v&x%2dy=z%2e"));
    }

    void pageDataFields() {
        tw::WatchSettings item;
        item.targetUrl = "http://127.0.0.1/old";
        item.referer = "http://127.0.0.1/from";
        QSignalSpy records(m_sheet.get(), &CDefineSheet::displayRecordRequested);
        QSignalSpy addresses(m_sheet.get(), &CDefineSheet::displayAddressRequested);
        open(item);
        QCOMPARE(find("passwordEdit")->echoMode(), QLineEdit::Password);
        find("urlEdit")->clear();
        QTest::mouseClick(find<QPushButton>("urlCheckButton"), Qt::LeftButton);
        QTest::mouseClick(find<QPushButton>("clearButton"), Qt::LeftButton);
        QTest::mouseClick(find<QPushButton>("refererCheckButton"), Qt::LeftButton);
        QCOMPARE(records.size(), 0);
        QCOMPARE(addresses.size(), 1);
        QCOMPARE(addresses.front().front().toString(), QString());

        // Leaving the page puts the URL typed into the item, for the pages that fetch it.
        retype("urlEdit", u"http://127.0.0.1/typed"_s);
        clickTab(CDefineSheet::CheckOptionTab);
        QCOMPARE(m_sheet->workingItem().targetUrl, std::string("http://127.0.0.1/typed"));

        // A character 932 cannot hold: OK from another tab comes back to the page and stays.
        clickTab(CDefineSheet::PageTab);
        find("nameEdit")->setText(u"名😀"_s);
        retype("userEdit", u"someone"_s);
        clickTab(CDefineSheet::ConnectionTab);
        clickOk();
        QVERIFY(m_sheet->isVisible());
        QCOMPARE(currentTab(), int(CDefineSheet::PageTab));
        QVERIFY(find("nameEdit")->hasFocus());
        QVERIFY(m_boxes->told().size() == 1 && m_boxes->told().front().contains(u"😀"_s));
        // So does a referer that would end its header line.
        find("nameEdit")->setText(u"名前"_s);
        find("refererEdit")->setText(u"http://127.0.0.1/\r\nX-Injected: 1"_s);
        clickOk();
        QVERIFY(m_sheet->isVisible() && find("refererEdit")->hasFocus());
        QCOMPARE(m_boxes->told().size(), 2);
        QVERIFY(m_handedOver.empty());

        retype("refererEdit", u"http://127.0.0.1/ref"_s);
        QTest::keyClick(find("userEdit"), Qt::Key_Return);
        QVERIFY(!m_sheet->isVisible());
        QCOMPARE(m_handedOver.size(), std::size_t(1));
        QCOMPARE(m_handedOver.front().name, tw::jp("名前"));
        QCOMPARE(m_handedOver.front().userName, std::string("someone"));
        QCOMPARE(m_handedOver.front().referer, std::string("http://127.0.0.1/ref"));
        open(item);
        QTest::keyClick(find("nameEdit"), Qt::Key_Escape);
        QCOMPARE(m_handedOver.size(), std::size_t(1));
    }

    void connection() {
        const struct {
            const char* proxy;
            const char* agent;
            QString host, port, typedPort, checked;
            const char* storedProxy;
            const char* storedAgent;
        } cases[] = {
            {"proxy.test:8080",
             kNetscape,
             u"proxy.test"_s,
             u"8080"_s,
             {},
             u"netscapeRadio"_s,
             "proxy.test:8080",
             kNetscape},
            {"a:b:c", kMsie, u"a"_s, u"b:c"_s, {}, u"msieRadio"_s, "a:b:c", kMsie},
            {"lonely", "MSIE or Netscape", {}, {}, {}, u"netscapeRadio"_s, "", kNetscape},
            {"proxy.test:8080", "Wget/1.21", u"proxy.test"_s, u"8080"_s, u""_s, u"ownRadio"_s, "",
             "Tarnwick1.20"},
            {"", "", {}, {}, u"3128"_s, u"ownRadio"_s, "", "Tarnwick1.20"},
        };
        for (const auto& example : cases) {
            tw::WatchSettings item;
            item.proxy = example.proxy;
            item.userAgent = example.agent;
            open(item, CDefineSheet::ConnectionTab);
            QCOMPARE(find("hostEdit")->text(), example.host);
            QCOMPARE(find("portEdit")->text(), example.port);
            for (QRadioButton* radio : m_sheet->findChildren<QRadioButton*>()) {
                QCOMPARE(radio->isChecked(), radio->objectName() == example.checked);
            }
            if (!example.typedPort.isNull()) {
                retype("portEdit", example.typedPort);
            }
            clickOk();
            QCOMPARE(m_handedOver.back().proxy, std::string(example.storedProxy));
            QCOMPARE(m_handedOver.back().userAgent, std::string(example.storedAgent));
        }
        tw::WatchSettings item;
        open(item, CDefineSheet::ConnectionTab);
        retype("hostEdit", u"127.0.0.1"_s);
        find("portEdit")->setText(u"80\r\nX: 1"_s);
        clickOk();
        QVERIFY(m_sheet->isVisible() && find("portEdit")->hasFocus());
        retype("portEdit", u"3128"_s);
        auto* msie = find<QRadioButton>("msieRadio");
        // On the indicator: a wide button takes clicks only on its indicator and text.
        QTest::mouseClick(msie, Qt::LeftButton, {}, QPoint(6, msie->height() / 2));
        clickOk();
        QCOMPARE(m_handedOver.back().proxy, std::string("127.0.0.1:3128"));
        QCOMPARE(m_handedOver.back().userAgent, std::string(kMsie));
    }
};

QTEST_MAIN(SheetPagesTest)
#include "SheetPages_test.moc"
