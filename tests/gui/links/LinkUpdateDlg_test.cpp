#include "CellTips.h"
#include "PromptScript.h"
#include "core/links/CLinkList.h"
#include "core/records/FetchSettings.h"
#include "core/util/Cp932.h"
#include "gui/links/CLinkUpdateDlg.h"
#include "gui/links/LinkListModel.h"
#include "support/FakePrompter.h"
#include "support/TempFolder.h"

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace tw;
using namespace tw::gui;
using tw::test::TempFolder;

namespace {

FetchSettings link(const std::string& file, const std::string& name, const std::string& address) {
    FetchSettings record;
    record.destFile = file;
    record.name = name;
    record.targetUrl = address;
    return record;
}

void writeList(const std::string& folder, const std::vector<FetchSettings>& links) {
    CLinkList list;
    list.load(folder, false);
    list.replaceAll(links);
    list.save();
}

std::vector<FetchSettings> savedList(const std::string& folder) {
    CLinkList list;
    list.load(folder, true);
    return list.links();
}

bool exists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

/// Requests for a path wait at the gate until the test opens it.
class Gate {
public:
    void pass() {
        std::unique_lock lock(m_mutex);
        ++m_arrived;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_open; });
    }
    int arrived() {
        std::lock_guard lock(m_mutex);
        return m_arrived;
    }
    void open() {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_arrived = 0;
    bool m_open = false;
};

} // namespace

class LinkUpdateDlgTest : public QObject {
    Q_OBJECT

    TempFolder m_folder;
    test::FakePrompter m_prompter;
    std::unique_ptr<test::PromptScript> m_boxes;

    std::unique_ptr<CLinkUpdateDlg> open() {
        auto dialog = std::make_unique<CLinkUpdateDlg>(m_folder.path(), &m_prompter, 0);
        if (!dialog->start()) {
            return nullptr;
        }
        dialog->show();
        if (!QTest::qWaitFor([&] { return !dialog->loading(); }, 20000)) {
            return nullptr;
        }
        return dialog;
    }
    static QTreeView* list(CLinkUpdateDlg& dialog) { return dialog.findChild<QTreeView*>(); }
    static QPushButton* button(CLinkUpdateDlg& dialog, const char* name) {
        return dialog.findChild<QPushButton*>(QString::fromLatin1(name));
    }
    static void select(CLinkUpdateDlg& dialog, std::initializer_list<int> rows) {
        auto* selection = list(dialog)->selectionModel();
        selection->clearSelection();
        for (const int row : rows) {
            selection->select(dialog.model().index(row, 0),
                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
    static void clickHeader(CLinkUpdateDlg& dialog, int column) {
        QHeaderView* header = list(dialog)->header();
        QTest::mouseClick(
            header->viewport(), Qt::LeftButton, {},
            QPoint(header->sectionViewportPosition(column) + 5, header->height() / 2));
    }
    static std::vector<std::string> names(CLinkUpdateDlg& dialog) {
        std::vector<std::string> names;
        for (const FetchSettings& record : dialog.links().links()) {
            names.push_back(record.name);
        }
        return names;
    }
    static QString title(CLinkUpdateDlg& dialog, int column) {
        return dialog.model().headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
    }

private slots:
    void init() {
        m_boxes.reset();
        m_boxes = std::make_unique<test::PromptScript>();
        std::filesystem::remove_all(m_folder.path());
        std::filesystem::create_directory(m_folder.path());
    }

    void sortsByBytesAndKeepsTheOrder() {
        // By bytes: "B" < "b" < "あ" (0x82 0xA0), whatever the locale would say.
        writeList(m_folder.path(), {link("2.zip", jp("あ"), "http://127.0.0.1/x"),
                                    link("3.zip", "b", "http://127.0.0.1/y"),
                                    link("1.zip", "B", "http://127.0.0.1/z")});
        auto dialog = open();
        QVERIFY(dialog);
        clickHeader(*dialog, LinkListModel::NameColumn);
        QCOMPARE(names(*dialog), (std::vector<std::string>{"B", "b", jp("あ")}));
        QCOMPARE(title(*dialog, LinkListModel::NameColumn), QStringLiteral("名前▽"));
        clickHeader(*dialog, LinkListModel::NameColumn);
        QCOMPARE(names(*dialog), (std::vector<std::string>{jp("あ"), "b", "B"}));
        QCOMPARE(title(*dialog, LinkListModel::NameColumn), QStringLiteral("名前△"));
        QCOMPARE(dialog->model().text(0, LinkListModel::FileColumn), std::string("2.zip"));
        // Another column starts ascending; the name column's title is plain again.
        clickHeader(*dialog, LinkListModel::FileColumn);
        QCOMPARE(names(*dialog), (std::vector<std::string>{"B", jp("あ"), "b"}));
        QCOMPARE(title(*dialog, LinkListModel::FileColumn), QStringLiteral("ファイル▽"));
        QCOMPARE(title(*dialog, LinkListModel::NameColumn), QStringLiteral("名前"));
        clickHeader(*dialog, LinkListModel::NameColumn);
        QCOMPARE(names(*dialog), (std::vector<std::string>{"B", "b", jp("あ")}));
        dialog->reject();
        const auto saved = savedList(m_folder.path());
        QCOMPARE(saved.size(), std::size_t(3));
        QCOMPARE(saved[0].destFile + saved[1].destFile + saved[2].destFile,
                 std::string("1.zip3.zip2.zip"));
    }

    // A cut file name, name or address shows whole in its tooltip; one shown whole has none.
    void onlyACutCellHasATooltip() {
        const std::string longFile = "a-file-name-far-too-long-for-its-column.html";
        const QString longName = QStringLiteral("とても長いリンクの名前で列に収まりません");
        writeList(m_folder.path(),
                  {link("a.zip", "A", "http://127.0.0.1/a"),
                   link(longFile, jp(longName.toStdString()), "http://127.0.0.1/b")});
        auto dialog = open();
        QVERIFY(dialog);
        QTreeView& view = *list(*dialog);
        const LinkListModel& model = dialog->model();
        QCOMPARE(test::tipOver(view, model.index(1, LinkListModel::FileColumn)),
                 QString::fromStdString(longFile));
        QCOMPARE(test::tipOver(view, model.index(1, LinkListModel::NameColumn)), longName);
        QCOMPARE(test::tipOver(view, model.index(0, LinkListModel::FileColumn)), QString());
        QCOMPARE(test::tipOver(view, model.index(0, LinkListModel::NameColumn)), QString());
        QCOMPARE(test::tipOver(view, model.index(1, LinkListModel::AddressColumn)), QString());

        test::dragSectionEdge(*view.header(), LinkListModel::NameColumn, 250);
        QCOMPARE(view.columnWidth(LinkListModel::NameColumn), 390);
        QCOMPARE(test::tipOver(view, model.index(1, LinkListModel::NameColumn)), QString());
        dialog->reject();
    }

    // At the dialog's first size the links fit: the address takes what the file name and name
    // leave, and no horizontal scroll bar shows.
    void theAddressColumnTakesTheRestOfTheWidth() {
        writeList(m_folder.path(), {link("a.zip", "A", "http://127.0.0.1/a")});
        auto dialog = open();
        QVERIFY(dialog);
        QTreeView& view = *list(*dialog);
        QTRY_COMPARE(view.header()->length(), view.viewport()->width());
        QVERIFY(!view.horizontalScrollBar()->isVisible());
        dialog->reject();
    }

    void renameChecksTheNameAndLeavesTheDisk() {
        writeList(m_folder.path(), {link("a.zip", "A", "http://127.0.0.1/a"),
                                    link("b.zip", "B", "http://127.0.0.1/b")});
        TempFolder::writeFile(m_folder / "a.zip", "old");
        TempFolder::writeFile(m_folder / "taken.zip", "someone else's");
        auto dialog = open();
        QVERIFY(dialog);
        const auto rename = [&](int row, const QString& text) {
            select(*dialog, {row});
            dialog->renameSelected();
            auto* editor = list(*dialog)->viewport()->findChild<QLineEdit*>();
            QVERIFY(editor);
            editor->selectAll();
            QTest::keyClicks(editor, text);
            QTest::keyClick(editor, Qt::Key_Return);
        };
        const auto fileOf = [&](int row) { return dialog->links().link(row).destFile; };

        // An existing name asks; No keeps the old one, Yes takes it.
        m_boxes->setNextAnswer(test::PromptScript::Answer::No);
        rename(0, QStringLiteral("taken.zip"));
        QTRY_COMPARE(m_boxes->texts.size(), 1);
        QCOMPARE(m_boxes->texts[0],
                 QStringLiteral("同名ファイルが存在しています\nファイル名を変更しますか？"));
        QCOMPARE(fileOf(0), std::string("a.zip"));
        m_boxes->setNextAnswer(test::PromptScript::Answer::Yes);
        rename(0, QStringLiteral("taken.zip"));
        QTRY_COMPARE(fileOf(0), std::string("taken.zip"));
        QCOMPARE(dialog->model().text(0, 0), std::string("taken.zip"));
        // Only the link changed: both files are as they were.
        QCOMPARE(TempFolder::readFile(m_folder / "a.zip"), std::string("old"));
        QCOMPARE(TempFolder::readFile(m_folder / "taken.zip"), std::string("someone else's"));

        // Names that would leave the folder, that are the folder's own files, or that the list
        // file cannot hold.
        for (const QString& bad :
             {QStringLiteral("../b.zip"), QStringLiteral("x\\y.zip"), QStringLiteral("-r"),
              QStringLiteral(".."), QStringLiteral("BRL.HLK"), QStringLiteral("dialog.lock")}) {
            m_boxes->texts.clear();
            rename(1, bad);
            QTRY_COMPARE(m_boxes->texts.size(), 1);
            QCOMPARE(m_boxes->texts[0],
                     QStringLiteral("使用できないファイル名です\n他の名前にして下さい"));
            QCOMPARE(fileOf(1), std::string("b.zip"));
        }
        m_boxes->texts.clear();
        select(*dialog, {1});
        dialog->renameSelected();
        auto* editor = list(*dialog)->viewport()->findChild<QLineEdit*>();
        QVERIFY(editor);
        editor->setText(QString::fromUtf8("\xF0\x9F\x98\x80.zip")); // outside code page 932
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_COMPARE(m_boxes->texts.size(), 1);
        QCOMPARE(fileOf(1), std::string("b.zip"));

        rename(1, QStringLiteral("new.zip"));
        QTRY_COMPARE(fileOf(1), std::string("new.zip"));
        QVERIFY(!exists(m_folder / "new.zip"));
        dialog->reject();
        QCOMPARE(savedList(m_folder.path())[1].destFile, std::string("new.zip"));
    }

    void editAppliesAllOrNothing() {
        writeList(m_folder.path(), {link("a.zip", "A", "http://127.0.0.1/a")});
        auto dialog = open();
        QVERIFY(dialog);
        select(*dialog, {0});
        dialog->setLinkEditor([](std::array<std::string, 3>& texts) {
            texts = {"a/b.zip", "renamed", "http://127.0.0.1/moved"};
            return true;
        });
        dialog->editSelected();
        QCOMPARE(m_boxes->texts,
                 QStringList{QStringLiteral("使用できないファイル名です\n他の名前にして下さい")});
        QCOMPARE(dialog->links().link(0), link("a.zip", "A", "http://127.0.0.1/a"));
        QVERIFY(!dialog->links().isDirty());

        dialog->setLinkEditor([](std::array<std::string, 3>& texts) {
            texts[1] = "renamed";
            texts[2] = "http://127.0.0.1/moved";
            return true;
        });
        dialog->editSelected();
        QCOMPARE(dialog->links().link(0), link("a.zip", "renamed", "http://127.0.0.1/moved"));
        QCOMPARE(dialog->model().text(0, 1), std::string("renamed"));
        dialog->reject();
        QCOMPARE(savedList(m_folder.path())[0].targetUrl, std::string("http://127.0.0.1/moved"));
    }

    void deleteLinksWithAndWithoutTheirFiles() {
        writeList(m_folder.path(), {link("a.zip", "A", "http://127.0.0.1/a"),
                                    link("b.zip", "B", "http://127.0.0.1/b"),
                                    link("c.zip", "C", "http://127.0.0.1/c"),
                                    link("d.zip", "D", "http://127.0.0.1/d")});
        for (const char* file : {"a.zip", "b.zip", "c.zip", "d.zip"}) {
            TempFolder::writeFile(m_folder / file, file);
        }
        auto dialog = open();
        QVERIFY(dialog);
        select(*dialog, {0, 2});
        button(*dialog, "removeButton")->click();
        QCOMPARE(names(*dialog), (std::vector<std::string>{"B", "D"}));
        QCOMPARE(dialog->model().rowCount(), 2);
        QVERIFY(exists(m_folder / "a.zip") && exists(m_folder / "c.zip"));
        // Shift+Delete in the list deletes the file too.
        select(*dialog, {1});
        list(*dialog)->setFocus();
        QTest::keyClick(list(*dialog), Qt::Key_Delete, Qt::ShiftModifier);
        QCOMPARE(names(*dialog), std::vector<std::string>{"B"});
        QVERIFY(!exists(m_folder / "d.zip"));
        QVERIFY(exists(m_folder / "b.zip"));
        dialog->reject();
        QCOMPARE(savedList(m_folder.path()).size(), std::size_t(1));
    }

    void updateAllStopsAndTheDialogWaitsForTheWorker() {
        Gate slow;
        httplib::Server server;
        server.Get(
            R"(/(\w+)\.zip)", [&](const httplib::Request& request, httplib::Response& response) {
                if (request.matches[1] == "slow") {
                    slow.pass();
                }
                response.set_content("body of " + request.matches[1].str(), "application/zip");
            });
        const int port = server.bind_to_any_port("127.0.0.1");
        QVERIFY(port > 0);
        std::thread serving([&] { server.listen_after_bind(); });
        // Also when a check fails half-way.
        const std::unique_ptr<void, std::function<void(void*)>> stopping(&server, [&](void*) {
            slow.open();
            server.stop();
            serving.join();
        });
        const std::string base = "http://127.0.0.1:" + std::to_string(port) + "/";
        writeList(m_folder.path(), {link("slow.zip", "S", base + "slow.zip"),
                                    link("fast.zip", "F", base + "fast.zip"),
                                    link("more.zip", "M", base + "more.zip")});
        {
            auto dialog = open();
            QVERIFY(dialog);
            QPushButton* update = button(*dialog, "updateButton");
            QCOMPARE(update->text(), QStringLiteral("全て更新"));
            update->click();
            QCOMPARE(update->text(), QStringLiteral("更新中止"));
            QTRY_COMPARE(slow.arrived(), 1);
            // Busy: nothing edits the list, and the dialog does not close.
            select(*dialog, {1});
            dialog->removeSelected(false);
            dialog->reject();
            dialog->close();
            QVERIFY(dialog->isVisible());
            QCOMPARE(dialog->model().rowCount(), 3);
            update->click(); // stop, giving up the link in hand
            QTRY_VERIFY(!dialog->busy());
            slow.open();
            QCOMPARE(update->text(), QStringLiteral("リンク更新"));
            QCOMPARE(dialog->model().image(0), int(LinkListModel::Failed));
            QCOMPARE(dialog->model().image(1), int(LinkListModel::FileMissing));
            QCOMPARE(dialog->model().image(2), int(LinkListModel::FileMissing));
            QVERIFY(!exists(m_folder / "slow.zip"));
            QVERIFY(!exists(m_folder / "fast.zip"));

            // A double-click refreshes one link; an updated one is shown.
            QSignalSpy shown(dialog.get(), &CLinkUpdateDlg::displayRequested);
            select(*dialog, {2});
            const QRect row = list(*dialog)->visualRect(dialog->model().index(2, 1));
            QTest::mouseClick(list(*dialog)->viewport(), Qt::LeftButton, {}, row.center());
            QTest::mouseDClick(list(*dialog)->viewport(), Qt::LeftButton, {}, row.center());
            QVERIFY(dialog->busy());
            QTRY_COMPARE(shown.size(), 1);
            QCOMPARE(shown[0][0].value<FetchSettings>().targetUrl, base + "more.zip");
            QCOMPARE(update->text(), QStringLiteral("リンク更新"));
            QCOMPARE(dialog->model().image(2), int(LinkListModel::Updated));
            QCOMPARE(dialog->model().image(1), int(LinkListModel::FileMissing));
            dialog->reject();
            QVERIFY(!dialog->isVisible());
        }
        const auto saved = savedList(m_folder.path());
        QCOMPARE(saved.size(), std::size_t(3));
        QVERIFY(saved[0].loadValue == 0 && saved[1].loadValue == 0 && saved[2].loadValue != 0);
    }

    // A server that drips its page for as long as the test lets it: only an aborted transfer
    // lets the worker end, and the dialog close.
    void stopEndsTheTransferInHandAndEscapeThenCloses() {
        std::atomic<bool> ending{false};
        std::atomic<int> blocks{0};
        httplib::Server server;
        server.Get("/drip.zip", [&](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider(
                "application/zip", [&](std::size_t, httplib::DataSink& sink) {
                    if (ending) {
                        return false;
                    }
                    const std::string block(2048, 'd');
                    sink.write(block.data(), block.size());
                    ++blocks;
                    // The drip: 20 kB a second, well above any low-speed limit.
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    return true;
                });
        });
        const int port = server.bind_to_any_port("127.0.0.1");
        QVERIFY(port > 0);
        std::thread serving([&] { server.listen_after_bind(); });
        const std::unique_ptr<void, std::function<void(void*)>> stopping(&server, [&](void*) {
            ending = true;
            server.stop();
            serving.join();
        });
        const std::string base = "http://127.0.0.1:" + std::to_string(port) + "/";
        writeList(m_folder.path(), {link("drip.zip", "D", base + "drip.zip"),
                                    link("next.zip", "N", base + "drip.zip")});
        const std::string list = TempFolder::readFile(m_folder / "brl.hlk");
        auto dialog = open();
        QVERIFY(dialog);
        QPushButton* update = button(*dialog, "updateButton");
        update->click();
        QTRY_VERIFY(blocks >= 3);
        update->click();
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
        QTRY_VERIFY_WITH_TIMEOUT(!dialog->isVisible(), 60000);
        QVERIFY(!dialog->busy());
        QCOMPARE(dialog->model().image(0), int(LinkListModel::Failed));
        QCOMPARE(dialog->model().image(1), int(LinkListModel::FileMissing));
        QVERIFY(!exists(m_folder / "drip.zip"));
        QVERIFY(!exists(m_folder / "temp.tmp"));
        QVERIFY(!exists(m_folder / "dialog.lock"));
        QCOMPARE(TempFolder::readFile(m_folder / "brl.hlk"), list);
    }

    // The program quits under the dialog while a link trickles in: the dialog goes at once,
    // its worker ends with it, and the list is saved without the link's half download.
    void destroyedWhileRefreshingEndsTheWorker() {
        std::atomic<bool> ending{false};
        std::atomic<int> blocks{0};
        httplib::Server server;
        server.Get("/drip.zip", [&](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider(
                "application/zip", [&](std::size_t, httplib::DataSink& sink) {
                    const std::string block(2048, 'd');
                    ++blocks;
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    return !ending && sink.write(block.data(), block.size());
                });
        });
        const int port = server.bind_to_any_port("127.0.0.1");
        QVERIFY(port > 0);
        std::thread serving([&] { server.listen_after_bind(); });
        const std::unique_ptr<void, std::function<void(void*)>> stopping(&server, [&](void*) {
            ending = true;
            server.stop();
            serving.join();
        });
        const std::string address = "http://127.0.0.1:" + std::to_string(port) + "/drip.zip";
        writeList(m_folder.path(), {link("drip.zip", "D", address)});
        auto dialog = open();
        QVERIFY(dialog);
        button(*dialog, "updateButton")->click();
        QTRY_VERIFY(blocks >= 2);
        QVERIFY(dialog->busy());
        dialog.reset();
        QVERIFY(!exists(m_folder / "dialog.lock"));
        QVERIFY(!exists(m_folder / "temp.tmp"));
        QCOMPARE(savedList(m_folder.path()).size(), std::size_t(1));
    }

    // The list is read on a thread: the dialog shows it loads and takes no command until the
    // rows are there, and a close meanwhile ends the read and the dialog.
    void theListLoadsOffTheWindowsThread() {
        std::vector<FetchSettings> many;
        for (int i = 0; i < 20000; ++i) {
            many.push_back(
                link(std::to_string(i) + ".zip", "", "http://127.0.0.1/" + std::to_string(i)));
        }
        writeList(m_folder.path(), many);
        const std::string bytes = TempFolder::readFile(m_folder / "brl.hlk");
        auto dialog = std::make_unique<CLinkUpdateDlg>(m_folder.path(), &m_prompter, 0);
        QVERIFY(dialog->start());
        dialog->show();
        auto* label = dialog->findChild<QLabel*>(QStringLiteral("loadingLabel"));
        QVERIFY(dialog->loading());
        QVERIFY(label->isVisible());
        QCOMPARE(dialog->model().rowCount(), 0);
        QVERIFY(!button(*dialog, "updateButton")->isEnabled());
        dialog->updateAll();
        dialog->sortByColumn(LinkListModel::NameColumn);
        QVERIFY(dialog->links().isIdle());
        dialog->reject();
        QTRY_VERIFY(!dialog->isVisible());
        QVERIFY(!dialog->loading());
        QVERIFY(!exists(m_folder / "dialog.lock"));
        QCOMPARE(TempFolder::readFile(m_folder / "brl.hlk"), bytes);

        dialog = open();
        QVERIFY(dialog);
        QCOMPARE(dialog->model().rowCount(), 20000);
        QVERIFY(dialog->findChild<QLabel*>(QStringLiteral("loadingLabel"))->isHidden());
        QCOMPARE(dialog->model().text(19999, LinkListModel::FileColumn), std::string("19999.zip"));
        QVERIFY(button(*dialog, "updateButton")->isEnabled());
        // Many rows go at once: a hundred scattered ones, then all.
        QItemSelection scattered;
        for (int row = 0; row < 200; row += 2) {
            scattered.select(dialog->model().index(row, 0), dialog->model().index(row, 0));
        }
        list(*dialog)->selectionModel()->select(scattered, QItemSelectionModel::ClearAndSelect |
                                                               QItemSelectionModel::Rows);
        dialog->removeSelected(false);
        QCOMPARE(dialog->model().rowCount(), 19900);
        QCOMPARE(dialog->links().count(), 19900);
        QCOMPARE(dialog->model().text(0, LinkListModel::FileColumn), std::string("1.zip"));
        QCOMPARE(dialog->model().text(99, LinkListModel::FileColumn), std::string("199.zip"));
        QCOMPARE(dialog->model().text(100, LinkListModel::FileColumn), std::string("200.zip"));
        list(*dialog)->selectAll();
        dialog->removeSelected(false);
        QCOMPARE(dialog->model().rowCount(), 0);
        dialog->reject();
        QVERIFY(savedList(m_folder.path()).empty());
        TempFolder::writeFile(m_folder / "brl.hlk", bytes);

        // A list over the cap: the message, no rows, and its file is never written.
        const std::size_t told = m_prompter.messages().size();
        const int fd = ::open((m_folder / "brl.hlk").c_str(), O_WRONLY);
        QCOMPARE(::ftruncate(fd, static_cast<off_t>(CLinkList::kMaxListBytes + 1)), 0);
        ::close(fd);
        dialog = open();
        QVERIFY(dialog);
        QCOMPARE(dialog->model().rowCount(), 0);
        QCOMPARE(m_prompter.messages().size(), told + 1);
        QVERIFY(m_prompter.messages().back().find(jp("大きすぎる")) != std::string::npos);
        QVERIFY(!exists(m_folder / "dialog.lock"));
        dialog->sortByColumn(LinkListModel::FileColumn);
        dialog->reject();
        QVERIFY(!dialog->isVisible());
        QCOMPARE(std::filesystem::file_size(m_folder / "brl.hlk"),
                 std::uintmax_t(CLinkList::kMaxListBytes + 1));
    }

    void aFailedSaveKeepsTheFolderAndItsList() {
        writeList(m_folder.path(), {link("a.zip", "A", "http://127.0.0.1/a"),
                                    link("b.zip", "B", "http://127.0.0.1/b")});
        TempFolder other;
        auto dialog = open();
        QVERIFY(dialog);
        select(*dialog, {0});
        button(*dialog, "removeButton")->click();
        // The sibling holds the file while the user moves to another folder and gives up.
        TempFolder::writeFile(m_folder / "append.lock", "Brindle[1]");
        m_boxes->setNextAnswer(test::PromptScript::Answer::Cancel);
        auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("folderEdit"));
        edit->setText(QString::fromStdString(other.path()));
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(m_boxes->texts.size(), 1);
        QCOMPARE(edit->text(), QString::fromStdString(m_folder.path()));
        QCOMPARE(dialog->folder(), m_folder.path());
        QCOMPARE(names(*dialog), std::vector<std::string>{"B"});
        QVERIFY(!exists(other / "dialog.lock"));
        // Once the sibling is done, the move goes through and the change is saved.
        std::filesystem::remove(m_folder / "append.lock");
        edit->setText(QString::fromStdString(other.path()));
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(dialog->folder(), other.path());
        QCOMPARE(dialog->model().rowCount(), 0);
        QCOMPARE(savedList(m_folder.path()).size(), std::size_t(1));
        dialog->reject();
    }
};

QTEST_MAIN(LinkUpdateDlgTest)
#include "LinkUpdateDlg_test.moc"
