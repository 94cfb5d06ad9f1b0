#include "platform/notice/notice.h"

#include <gtest/gtest.h>

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

}  // namespace
