// The bridge's wait between polls: how long it sleeps with and without a wake, and that no wake is lost
// however the waker's and the waiter's steps interleave.
#include <QtTest>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Wakeup.h"

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class WakeupTest : public QObject {
    Q_OBJECT

    static milliseconds timedWait(mqtt::Wakeup &wakeup, milliseconds deadline) {
        const auto start = Clock::now();
        wakeup.waitUntil(start + deadline);
        return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    }

private slots:
    // Each wait is followed by one of 150 ms with no wake: whatever ended the first, it was used up.
    void waitsForTheDeadlineOrAWake_data() {
        QTest::addColumn<int>("wakesBefore"); // wake() calls before the wait, on the waiting thread
        QTest::addColumn<int>("wakeAfterMs"); // another thread wakes after this long; -1: never
        QTest::addColumn<int>("deadlineMs");  // the wait's deadline from its start; negative: passed
        QTest::addColumn<int>("atLeastMs");   // the wait took at least this long
        QTest::addColumn<int>("lessThanMs");  // and less than this
        QTest::newRow("no wake: to the deadline") << 0 << -1 << 150 << 150 << 3000;
        QTest::newRow("a wake given before: at once") << 1 << -1 << 5000 << 0 << 2000;
        QTest::newRow("two wakes given before: one wait at once") << 2 << -1 << 5000 << 0 << 2000;
        QTest::newRow("a wake from another thread: when it comes") << 0 << 150 << 5000 << 140 << 2000;
        QTest::newRow("a deadline already passed: at once") << 0 << -1 << -1000 << 0 << 2000;
    }
    void waitsForTheDeadlineOrAWake() {
        QFETCH(int, wakesBefore);
        QFETCH(int, wakeAfterMs);
        QFETCH(int, deadlineMs);
        QFETCH(int, atLeastMs);
        QFETCH(int, lessThanMs);
        mqtt::Wakeup wakeup;
        for (int i = 0; i < wakesBefore; ++i)
            wakeup.wake();
        std::thread waker([&] {
            if (wakeAfterMs >= 0) {
                std::this_thread::sleep_for(milliseconds(wakeAfterMs));
                wakeup.wake();
            }
        });
        const auto took = timedWait(wakeup, milliseconds(deadlineMs));
        waker.join();
        const auto next = timedWait(wakeup, milliseconds(150));
        QVERIFY2(took >= milliseconds(atLeastMs) && took < milliseconds(lessThanMs),
                 qPrintable(QString::number(took.count()) + " ms"));
        QVERIFY2(next >= milliseconds(150), qPrintable(QString::number(next.count()) + " ms"));
    }

    // The bridge's own pattern: take what is queued, then wait. A waker that queues one item and wakes,
    // again and again, each time as soon as the last was taken: a wake lost between the take and the wait
    // would leave an item waiting for the 10 s deadline.
    void noWakeIsLostBetweenATakeAndTheWait() {
        constexpr int Items = 20000;
        mqtt::Wakeup wakeup;
        std::mutex mutex;
        std::condition_variable taken;
        int queued = 0;
        int takenSoFar = 0;
        bool late = false;
        std::thread waker([&] {
            for (int i = 0; i < Items; ++i) {
                std::unique_lock lock(mutex);
                ++queued;
                lock.unlock();
                wakeup.wake();
                lock.lock();
                if (!taken.wait_for(lock, std::chrono::seconds(5), [&] { return takenSoFar > i; })) {
                    late = true;
                    return;
                }
            }
        });
        for (bool done = false; !done;) {
            std::unique_lock lock(mutex);
            takenSoFar += queued;
            queued = 0;
            done = takenSoFar == Items || late;
            lock.unlock();
            taken.notify_one();
            if (!done)
                wakeup.waitUntil(Clock::now() + std::chrono::seconds(10));
        }
        waker.join();
        QVERIFY2(!late,
                 qPrintable(QString("an item waited over 5 s after %1 of %2").arg(takenSoFar).arg(Items)));
    }
};

QTEST_GUILESS_MAIN(WakeupTest)
#include "tst_wakeup.moc"
