#include "platform/thread/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/notice/notice.h"

using namespace std::chrono_literals;

namespace {

TEST(WorkerThread, JoinsAWorkerThatEndsWhenAsked) {
    std::atomic<bool> quit{false};
    std::atomic<int> loops{0};
    platform::WorkerThread worker;
    ASSERT_TRUE(worker.Start("test worker", [&] {
        while (!quit.load(std::memory_order_acquire)) {
            loops.fetch_add(1);
            std::this_thread::sleep_for(1ms);
        }
    }));
    EXPECT_TRUE(worker.Running());
    quit.store(true, std::memory_order_release);
    EXPECT_TRUE(worker.JoinFor(5s));
    EXPECT_FALSE(worker.Running());
    EXPECT_TRUE(worker.JoinFor(0ms)) << "joining twice is harmless";
}

TEST(WorkerThread, AWorkerThatDoesNotEndInTimeIsDetachedAndNamedInANotice) {
    platform::NoticeCapture capture;
    // Shared so that the detached thread never touches a destroyed object.
    auto release = std::make_shared<platform::AutoResetEvent>();
    {
        platform::WorkerThread worker;
        ASSERT_TRUE(worker.Start("stuck", [release] { release->Wait(); }));
        EXPECT_FALSE(worker.JoinFor(30ms));
        EXPECT_FALSE(worker.Running()) << "a detached thread is no longer the owner's";
    }
    ASSERT_EQ(capture.Count(), 1u);
    EXPECT_NE(capture.Texts()[0].find("\"stuck\" did not end within 30 ms"), std::string::npos);
    release->Set();
}

TEST(WorkerThread, AnOwnerEndedFromItsOwnWorkerLetsItGoAtOnceAndQuietly) {
    platform::NoticeCapture capture;
    auto started = std::make_shared<platform::AutoResetEvent>();
    auto ended = std::make_shared<platform::AutoResetEvent>();
    auto* worker = new platform::WorkerThread;
    ASSERT_TRUE(worker->Start("self end", [worker, started, ended] {
        started->Wait();
        delete worker;
        ended->Set();
    }));
    started->Set();
    EXPECT_TRUE(ended->WaitFor(5s)) << "the destructor waited for its own thread";
    EXPECT_EQ(capture.Count(), 0u);
}

TEST(WorkerThread, AStartedWorkerCannotBeStartedAgain) {
    platform::WorkerThread worker;
    ASSERT_TRUE(worker.Start("a", [] {}));
    EXPECT_FALSE(worker.Start("b", [] {}));
    EXPECT_TRUE(worker.JoinFor(5s));
    EXPECT_TRUE(worker.Start("c", [] {})) << "after the join the owner may start a new one";
}

TEST(AutoResetEvent, SignalsThatArriveWhileNobodyWaitsMergeIntoOne) {
    platform::AutoResetEvent event;
    event.Set();
    event.Set();
    event.Set();
    EXPECT_TRUE(event.WaitFor(0ms));
    EXPECT_FALSE(event.WaitFor(5ms));
}

TEST(AutoResetEvent, WakesAWaiterOnAnotherThread) {
    platform::AutoResetEvent event;
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        event.Wait();
        woke = true;
    });
    event.Set();
    waiter.join();
    EXPECT_TRUE(woke);
    EXPECT_FALSE(event.WaitFor(0ms)) << "the waiter took the signal";
}

TEST(Semaphore, CountsUpToItsMaximumAndRefusesMore) {
    platform::Semaphore sem(0, 2);
    EXPECT_FALSE(sem.AcquireFor(1ms));
    EXPECT_TRUE(sem.Release());
    EXPECT_TRUE(sem.Release());
    EXPECT_FALSE(sem.Release()) << "beyond the maximum";
    EXPECT_EQ(sem.Available(), 2);
    EXPECT_TRUE(sem.AcquireFor(0ms));
    EXPECT_TRUE(sem.AcquireFor(0ms));
    EXPECT_FALSE(sem.AcquireFor(0ms));
}

}  // namespace
