// How a group ends when something goes wrong: a stream that fails while it
// plays, an end reached just before a stop, a group with nothing in it, and a
// source so slow that rendering it must be bounded and can be cut short.
#include <future>

#include "MediaTestSupport.h"
#include "platform/media/testkit/RangeServer.h"
#include "platform/notice/notice.h"

using namespace media_test;
using namespace std::chrono_literals;

namespace {

bool Saw(const std::vector<Event>& seen, LONG code) {
    for (const Event& event : seen) {
        if (event.Code == code) return true;
    }
    return false;
}

// The events that arrive within limit (none is expected to).
std::vector<Event> EventsWithin(IMediaEventEx* events, std::chrono::milliseconds limit) {
    std::vector<Event> seen;
    WaitForEvent(events, -1, seen, limit);
    return seen;
}

struct Group {
    ComPtr<IGraphBuilder> Graph = NewGraph();
    ComPtr<IMediaControl> Control = Query<IMediaControl>(Graph.Get(), IID_IMediaControl);
    ComPtr<IMediaSeeking> Seeking = Query<IMediaSeeking>(Graph.Get(), IID_IMediaSeeking);
    ComPtr<IMediaEventEx> Events = Query<IMediaEventEx>(Graph.Get(), IID_IMediaEventEx);

    LONGLONG Position() const {
        LONGLONG current = 0;
        Seeking->GetCurrentPosition(&current);
        return current;
    }
    HRESULT Rewind() const {
        LONGLONG zero = 0;
        return Seeking->SetPositions(&zero, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
    }
};

TEST(GroupFaults, AStreamThatFailsWhilePlayingIsToldWithItsReasonAndTheGroupStillEnds) {
    const auto remote = Media(Content::AudioVideo, 4.0);
    const auto local = Media(Content::Audio, 3.0);
    // As fast as the stream plays, so that it is still coming while it plays.
    const auto size = std::filesystem::file_size(remote);
    const auto rate = static_cast<std::size_t>(size / 4.0);
    testkit::RangeServer server(MediaFolder(), rate);
    platform::NoticeCapture notices;
    Group group;
    ASSERT_EQ(group.Graph->RenderFile(Wide(server.Url(remote.filename().string())).c_str(), nullptr), S_OK);
    ASSERT_EQ(Render(group.Graph.Get(), local), S_OK);
    ASSERT_TRUE(SUCCEEDED(group.Control->Run()));
    ASSERT_TRUE(WaitUntil([&] { return server.BytesSent() > size / 2; })) << "half of it has come";
    server.Break(remote.filename().string());

    std::vector<Event> seen;
    ASSERT_TRUE(WaitForEvent(group.Events.Get(), EC_COMPLETE, seen, 20s)) << "the group ends";
    ASSERT_TRUE(Saw(seen, EC_ERRORABORT));
    EXPECT_EQ(seen.back().Code, EC_COMPLETE) << "the error comes first";
    EXPECT_GE(group.Position(), 29000000) << "the rest played on to its end";
    ASSERT_EQ(notices.Count(), 1u) << "one failure is told once";
    const std::string notice = notices.Texts()[0];
    EXPECT_NE(notice.find(remote.filename().string() + " failed while playing: "), std::string::npos) << notice;
    const auto later = EventsWithin(group.Events.Get(), 500ms);
    EXPECT_FALSE(Saw(later, EC_COMPLETE) || Saw(later, EC_ERRORABORT)) << "one completion in all";
    // Played again from the start, it ends again: never a group that hangs.
    ASSERT_TRUE(SUCCEEDED(group.Control->Stop()));
    ASSERT_EQ(group.Rewind(), S_OK);
    ASSERT_TRUE(SUCCEEDED(group.Control->Run()));
    EXPECT_TRUE(WaitForEvent(group.Events.Get(), EC_COMPLETE, seen, 20s));
}

TEST(GroupFaults, AnEndReachedBeforeAStopNeverArrivesAfterIt) {
    Group group;
    ASSERT_EQ(Render(group.Graph.Get(), Media(Content::Audio, 0.3)), S_OK);
    OAEVENT handle = nullptr;
    ASSERT_EQ(group.Events->GetEventHandle(&handle), S_OK);
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(SUCCEEDED(group.Control->Run()));
        // The completion is queued and nobody has taken it yet.
        ASSERT_EQ(WaitForSingleObject(handle, 20000), WAIT_OBJECT_0) << round;
        ASSERT_TRUE(SUCCEEDED(group.Control->Stop()));
        EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_TIMEOUT) << round;
        ASSERT_EQ(group.Rewind(), S_OK);
        EXPECT_TRUE(EventsWithin(group.Events.Get(), 300ms).empty()) << round;
    }
    // Stopped just before the end, round after round: a stop is never followed by a completion.
    for (int round = 0; round < 5; ++round) {
        ASSERT_TRUE(SUCCEEDED(group.Control->Run()));
        ASSERT_TRUE(WaitUntil([&] { return group.Position() >= 2800000 - round * 100000; }));
        ASSERT_TRUE(SUCCEEDED(group.Control->Stop()));
        const auto late = EventsWithin(group.Events.Get(), 300ms);
        EXPECT_FALSE(Saw(late, EC_COMPLETE)) << round;
        ASSERT_EQ(group.Rewind(), S_OK);
    }
    // And the group still completes when it is left to play.
    ASSERT_TRUE(SUCCEEDED(group.Control->Run()));
    std::vector<Event> seen;
    EXPECT_TRUE(WaitForEvent(group.Events.Get(), EC_COMPLETE, seen));
}

TEST(GroupFaults, AGroupWithoutStreamsCompletesAsSoonAsItRuns) {
    Group group;
    ASSERT_TRUE(SUCCEEDED(group.Control->Run()));
    std::vector<Event> seen;
    ASSERT_TRUE(WaitForEvent(group.Events.Get(), EC_COMPLETE, seen, 2s));
    ASSERT_TRUE(SUCCEEDED(group.Control->Run()));
    EXPECT_TRUE(EventsWithin(group.Events.Get(), 300ms).empty()) << "running on is no new run";
    ASSERT_TRUE(SUCCEEDED(group.Control->Stop()));
    ASSERT_TRUE(SUCCEEDED(group.Control->Run()));
    EXPECT_TRUE(WaitForEvent(group.Events.Get(), EC_COMPLETE, seen, 2s)) << "each run from a stop completes";
}

class SlowSource : public ::testing::Test {
protected:
    // A few hundred bytes a second: discovery alone would take minutes.
    SlowSource() : Server(MediaFolder(), 300) {}
    void TearDown() override { SetRenderFileTimeout(kDefaultRenderFileTimeout); }
    std::u16string Url() { return Wide(Server.Url(Media(Content::AudioVideo, 2.0).filename().string())); }

    testkit::RangeServer Server;
};

TEST_F(SlowSource, RenderingItGivesUpAtTheRenderTimeoutAndLeavesTheGraphWorking) {
    SetRenderFileTimeout(1500ms);
    Group group;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(group.Graph->RenderFile(Url().c_str(), nullptr), VFW_E_TIMEOUT);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 1500ms);
    EXPECT_LT(took, 8s);
    EXPECT_TRUE(FiltersOf(group.Graph.Get()).empty());
    ASSERT_EQ(Render(group.Graph.Get(), Media(Content::Audio, 0.3)), S_OK);
    ASSERT_TRUE(SUCCEEDED(group.Control->Run()));
    std::vector<Event> seen;
    EXPECT_TRUE(WaitForEvent(group.Events.Get(), EC_COMPLETE, seen));
}

TEST_F(SlowSource, RenderingItIsCutShortByAbortAndByTheLastRelease) {
    for (const bool byRelease : {false, true}) {
        ComPtr<IGraphBuilder> graph = NewGraph();
        IGraphBuilder* raw = graph.Get();
        const std::u16string url = Url();
        const std::size_t requestsBefore = Server.Requests();
        auto render = std::async(std::launch::async, [raw, url] { return raw->RenderFile(url.c_str(), nullptr); });
        ASSERT_TRUE(WaitUntil([&] { return Server.Requests() > requestsBefore; })) << "the render has begun";
        const auto start = std::chrono::steady_clock::now();
        if (byRelease) {
            graph.Reset();  // as the graph's owner does when it is reset or destroyed
        } else {
            ASSERT_EQ(graph->Abort(), S_OK);
        }
        ASSERT_EQ(render.wait_for(5s), std::future_status::ready) << (byRelease ? "release" : "abort");
        EXPECT_EQ(render.get(), E_ABORT);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        if (!byRelease) {
            EXPECT_TRUE(FiltersOf(graph.Get()).empty());
            EXPECT_EQ(Render(graph.Get(), Media(Content::Audio, 0.3)), S_OK)
                << "an abort affects only renders under way";
        }
    }
}

}  // namespace
