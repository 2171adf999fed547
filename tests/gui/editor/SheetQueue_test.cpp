#include "gui/editor/sheet/SheetQueue.h"
#include "support/ManualExecutor.h"

#include <QTest>

#include <map>
#include <memory>
#include <string>
#include <vector>

using tw::WatchItemId;
using tw::WatchSettings;
using tw::gui::SheetQueue;

namespace {

WatchSettings named(const std::string& name) {
    WatchSettings item;
    item.name = name;
    item.targetUrl = "http://127.0.0.1/" + name + ".html";
    return item;
}

/// A queue over a list of its own; `whileOpen` runs inside an opening of the sheet, as the
/// user's or a sibling's requests would come while its modal loop runs.
struct Fixture {
    tw::test::ManualExecutor executor;
    std::map<WatchItemId, WatchSettings> items;
    /// Name and id of each opening, in order.
    std::vector<std::pair<std::string, WatchItemId>> opened;
    std::function<void()> whileOpen;
    std::unique_ptr<SheetQueue> queue = std::make_unique<SheetQueue>(
        executor,
        [this](WatchItemId id) -> std::optional<WatchSettings> {
            const auto found = items.find(id);
            return found == items.end() ? std::nullopt : std::optional(found->second);
        },
        [this](const WatchSettings& item, WatchItemId id) {
            opened.emplace_back(item.name, id);
            QVERIFY(queue->isOpen());
            if (auto act = std::exchange(whileOpen, {})) {
                act();
            }
        });
};

using Openings = std::vector<std::pair<std::string, WatchItemId>>;

} // namespace

/// The site definition sheet's openings, one at a time.
class SheetQueueTest : public QObject {
    Q_OBJECT
private slots:
    void opensAtOnceWhileTheSheetIsClosed() {
        Fixture f;
        f.items[7] = named("seven");
        f.queue->openNew(named("new"));
        f.queue->openItem(7);
        QCOMPARE(f.opened, (Openings{{"new", 0}, {"seven", 7}}));
        QVERIFY(!f.queue->isOpen());
        QCOMPARE(f.executor.runPending(), 0);
    }

    void requestsWhileOpenWaitAndOpenInTurnOnceItHasClosed() {
        Fixture f;
        f.items[1] = named("one");
        f.items[2] = named("two");
        f.whileOpen = [&] {
            f.queue->openItem(2);
            f.queue->openNew(named("handed over"));
            // Nothing opens over the open sheet.
            QCOMPARE(f.opened.size(), std::size_t(1));
            QCOMPARE(f.queue->heldCount(), std::size_t(2));
        };
        f.queue->openItem(1);
        // Not from inside the closing opening: from the loop, once it has fully ended.
        QCOMPARE(f.opened, (Openings{{"one", 1}}));
        f.executor.runPending();
        QCOMPARE(f.opened, (Openings{{"one", 1}, {"two", 2}, {"handed over", 0}}));
        QCOMPARE(f.queue->heldCount(), std::size_t(0));
    }

    void aHeldEditOpensOnTheItemAsItIsWhenItsTurnComes() {
        Fixture f;
        f.items[1] = named("one");
        f.items[2] = named("two");
        f.whileOpen = [&] {
            f.queue->openItem(2);
            // A check finished meanwhile, or another edit landed.
            f.items[2] = named("two, changed");
        };
        f.queue->openItem(1);
        f.executor.runPending();
        QCOMPARE(f.opened.back(), (std::pair<std::string, WatchItemId>{"two, changed", 2}));
    }

    // A held edit whose item goes meanwhile opens nothing, and does not hold up the next.
    void aHeldEditWhoseItemHasGoneOpensNothingAndTheNextGoesAtOnce() {
        Fixture f;
        f.items[1] = named("one");
        f.items[2] = named("two");
        f.whileOpen = [&] {
            f.queue->openItem(2);
            f.queue->openNew(named("handed over"));
            f.items.erase(2);
        };
        f.queue->openItem(1);
        // One turn of the loop takes both: the gone item, then the new one.
        QCOMPARE(f.executor.runPending(), 1);
        QCOMPARE(f.opened, (Openings{{"one", 1}, {"handed over", 0}}));
    }

    void requestsMadeInAHeldOpeningWaitForItInTurn() {
        Fixture f;
        f.items[1] = named("one");
        f.whileOpen = [&] {
            f.queue->openNew(named("a"));
            f.queue->openNew(named("b"));
            f.whileOpen = [&] { f.queue->openNew(named("made in a")); };
        };
        f.queue->openItem(1);
        f.executor.runPending();
        QCOMPARE(f.opened, (Openings{{"one", 1}, {"a", 0}, {"b", 0}, {"made in a", 0}}));
    }

    void afterCloseNothingOpensAndHeldRequestsAreDropped() {
        Fixture f;
        f.items[1] = named("one");
        f.whileOpen = [&] {
            f.queue->openNew(named("held"));
            f.queue->close();
        };
        f.queue->openItem(1);
        f.executor.runPending();
        f.queue->openNew(named("late"));
        f.queue->openItem(1);
        QCOMPARE(f.opened, (Openings{{"one", 1}}));
        QCOMPARE(f.queue->heldCount(), std::size_t(0));
    }

    // The window may go while the loop still holds the turn the queue asked for.
    void aTurnThatComesAfterTheQueueHasGoneDoesNothing() {
        Fixture f;
        f.items[1] = named("one");
        f.whileOpen = [&] { f.queue->openNew(named("held")); };
        f.queue->openItem(1);
        f.queue.reset();
        QCOMPARE(f.executor.runPending(), 1);
        QCOMPARE(f.opened, (Openings{{"one", 1}}));
    }
};

QTEST_MAIN(SheetQueueTest)
#include "SheetQueue_test.moc"
