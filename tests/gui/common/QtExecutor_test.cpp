#include "gui/common/QtExecutor.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <atomic>
#include <thread>

using tw::gui::QtExecutor;

namespace {

/// Waits, without running the GUI thread's loop, until a worker is caught in send().
void waitForSender(const QtExecutor& executor, int count = 1) {
    while (executor.waitingSenders() < count) {
        std::this_thread::yield();
    }
}

} // namespace

class QtExecutorTest : public QObject {
    Q_OBJECT
private slots:
    void postsRunInOrderOnTheOwnThread() {
        QtExecutor executor;
        QList<int> order;
        std::thread worker([&] {
            executor.postAfter(std::chrono::milliseconds(5), [&] { order.append(3); });
            executor.post([&] {
                QVERIFY(QThread::currentThread() == qApp->thread());
                order.append(1);
            });
            executor.post([&] { order.append(2); });
        });
        worker.join();
        QTRY_COMPARE(order.size(), 3);
        QVERIFY(order.indexOf(1) < order.indexOf(2));
        QVERIFY(order.contains(3));
    }

    void sendRunsOnTheOwnThreadAndWaits() {
        QtExecutor executor;
        std::atomic<bool> returned{false};
        bool ran = false;
        bool sent = false;
        std::thread worker([&] {
            sent = executor.send([&] { ran = QThread::currentThread() == qApp->thread(); });
            returned = true;
        });
        waitForSender(executor);
        QVERIFY(!returned);
        QTRY_VERIFY(returned);
        worker.join();
        QVERIFY(sent);
        QVERIFY(ran);
        // On the own thread a send runs at once.
        bool direct = false;
        QVERIFY(executor.send([&] { direct = true; }));
        QVERIFY(direct);
    }

    void closeReleasesAWaitingSenderWhileTheOwnerJoinsIt() {
        QtExecutor executor;
        bool ran = false;
        bool sent = true;
        std::thread worker([&] { sent = executor.send([&] { ran = true; }); });
        waitForSender(executor);
        // The owner closes and joins without running its loop: the worker must come back.
        executor.close();
        worker.join();
        QVERIFY(!sent);
        QCoreApplication::processEvents();
        QVERIFY(!ran);
        QCOMPARE(executor.waitingSenders(), 0);

        // After close: refused at once, posts dropped.
        bool posted = false;
        executor.post([&] { posted = true; });
        std::thread late([&] { sent = executor.send([&] { ran = true; }); });
        late.join();
        QCoreApplication::processEvents();
        QVERIFY(!sent);
        QVERIFY(!ran);
        QVERIFY(!posted);
    }

    void aSendAlreadyRunningFinishesBeforeItsSenderReturns() {
        QtExecutor executor;
        std::atomic<bool> returned{false};
        bool sent = false;
        bool closedDuringTask = false;
        std::thread worker([&] {
            sent = executor.send([&] {
                // The owner begins to close while the task runs.
                executor.close();
                closedDuringTask = !returned;
            });
            returned = true;
        });
        waitForSender(executor);
        QTRY_VERIFY(returned);
        worker.join();
        QVERIFY(closedDuringTask);
        QVERIFY(sent);
    }
};

QTEST_MAIN(QtExecutorTest)
#include "QtExecutor_test.moc"
