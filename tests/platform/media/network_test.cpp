#include "MediaTestSupport.h"
#include "platform/media/testkit/RangeServer.h"

using namespace media_test;

namespace {

TEST(NetworkSources, ReportBufferingBeginAndEndAndStillComplete) {
    const auto file = Media(Content::AudioVideo, 2.0);
    // About a third faster than the media's own rate: it must buffer at the
    // start, and it can catch up before the end.
    const auto rate = static_cast<std::size_t>(std::filesystem::file_size(file) / 2.0 * 1.3);
    testkit::RangeServer server(MediaFolder(), rate);
    auto graph = NewGraph();
    ASSERT_EQ(graph->RenderFile(Wide(server.Url(file.filename().string())).c_str(), nullptr), S_OK);
    EXPECT_EQ(RenderersOf<IBasicAudio>(graph.Get(), IID_IBasicAudio).size(), 1u);
    EXPECT_EQ(graph->RenderFile(Wide(server.Url("missing.webm")).c_str(), nullptr), VFW_E_CANNOT_RENDER);

    auto control = Query<IMediaControl>(graph.Get(), IID_IMediaControl);
    auto events = Query<IMediaEventEx>(graph.Get(), IID_IMediaEventEx);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    std::vector<Event> seen;
    ASSERT_TRUE(WaitForEvent(events.Get(), EC_COMPLETE, seen, std::chrono::seconds(40)));
    std::vector<LONG_PTR> buffering;
    for (auto& event : seen) {
        if (event.Code == EC_BUFFERING_DATA) buffering.push_back(event.Param1);
    }
    ASSERT_GE(buffering.size(), 2u);
    EXPECT_NE(buffering.front(), 0) << "buffering begins";
    EXPECT_EQ(buffering.back(), 0) << "and ends before the group completes";
    for (std::size_t i = 1; i < buffering.size(); ++i) {
        EXPECT_NE(buffering[i] != 0, buffering[i - 1] != 0) << "begin and end alternate";
    }
    EXPECT_GE(server.Requests(), 2u);
}

}  // namespace
