#include "platform/notice/notice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(Notice, ACaptureCollectsTextsInOrderAndRestoresThePreviousHandler) {
    std::vector<std::string> outer;
    platform::SetNoticeHandler([&](std::string_view t) { outer.emplace_back(t); });
    {
        platform::NoticeCapture capture;
        platform::ShowNotice("Unable to open the file");
        platform::ShowNotice("Out of memory");
        EXPECT_EQ(capture.Texts(), (std::vector<std::string>{"Unable to open the file", "Out of memory"}));
        EXPECT_TRUE(outer.empty());
    }
    platform::ShowNotice("after");
    EXPECT_EQ(outer, std::vector<std::string>{"after"});
    platform::SetNoticeHandler(nullptr);
}

TEST(Notice, ADefaultNoticeGoesToStandardError) {
    testing::internal::CaptureStderr();
    platform::ShowNotice("Cannot read from file");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot read from file\n");
}

TEST(Notice, AThrowingHandlerStillShowsTheTextAndNeverEscapes) {
    platform::SetNoticeHandler([](std::string_view) { throw 1; });
    testing::internal::CaptureStderr();
    platform::ShowNotice("x");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "x\n");
    platform::SetNoticeHandler(nullptr);
}

TEST(Notice, NoticesFromManyThreadsAreAllCaptured) {
    platform::NoticeCapture capture;
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([] {
            for (int j = 0; j < 100; ++j) platform::ShowNotice("n");
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(capture.Count(), 800u);
}

TEST(Notice, ACaptureMayEndWhileAnotherThreadIsShowingANotice) {
    // The other thread may have taken the capture's handler just before the
    // capture went; its text must then land in memory that is still alive
    // (AddressSanitizer and ThreadSanitizer watch this).
    std::atomic<int> outside{0};
    platform::SetNoticeHandler([&outside](std::string_view) { outside.fetch_add(1); });
    std::atomic<bool> done{false};
    std::thread shower([&] {
        while (!done.load(std::memory_order_relaxed)) {
            platform::ShowNotice("n");
        }
    });
    for (int i = 0; i < 2000; ++i) {
        auto capture = std::make_unique<platform::NoticeCapture>();
        std::this_thread::yield();
    }
    done.store(true, std::memory_order_relaxed);
    shower.join();
    const int before = outside.load();
    platform::ShowNotice("after");
    EXPECT_EQ(outside.load(), before + 1) << "every capture put the handler before it back";
    platform::SetNoticeHandler(nullptr);
}

}  // namespace
