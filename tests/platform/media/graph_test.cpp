#include <atomic>
#include <fstream>

#include "MediaTestSupport.h"

using namespace media_test;

namespace {

constexpr REFERENCE_TIME kUnitsPerSecond = 10'000'000;
constexpr REFERENCE_TIME kOneFrame = kUnitsPerSecond / 30;

TEST(CreatingAGraph, RefusesOtherClassesAggregationAndUnknownInterfaces) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(IID_IBasicAudio, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, &object),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);
    auto graph = NewGraph();
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, graph.Get(), CLSCTX_INPROC_SERVER, IID_IGraphBuilder, &object),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IBasicVideo, &object),
              E_NOINTERFACE);
}

TEST(CreatingAGraph, GivesOneObjectBehindAllFourInterfaces) {
    auto graph = NewGraph();
    auto control = Query<IMediaControl>(graph.Get(), IID_IMediaControl);
    auto seeking = Query<IMediaSeeking>(graph.Get(), IID_IMediaSeeking);
    auto events = Query<IMediaEventEx>(graph.Get(), IID_IMediaEventEx);
    ASSERT_TRUE(control && seeking && events);
    EXPECT_EQ(Query<IGraphBuilder>(control.Get(), IID_IGraphBuilder).Get(), graph.Get());
    EXPECT_EQ(Query<IGraphBuilder>(events.Get(), IID_IGraphBuilder).Get(), graph.Get());
    EXPECT_FALSE(Query<IBasicAudio>(graph.Get(), IID_IBasicAudio));
}

TEST(RenderingFiles, RefusesMissingAndUnplayableFilesAndKeepsTheGraphWorking) {
    auto graph = NewGraph();
    EXPECT_EQ(graph->RenderFile(u"/no/such/file.webm", nullptr), VFW_E_NOT_FOUND);
    EXPECT_EQ(graph->RenderFile(u"", nullptr), VFW_E_NOT_FOUND);
    EXPECT_EQ(graph->RenderFile(nullptr, nullptr), E_POINTER);
    const auto junk = MediaFolder() / "not-media.webm";
    std::filesystem::create_directories(MediaFolder());
    std::ofstream(junk) << "this is not a media file, only text pretending to be one\n";
    EXPECT_TRUE(FAILED(Render(graph.Get(), junk)));
    EXPECT_TRUE(FiltersOf(graph.Get()).empty());

    ASSERT_EQ(Render(graph.Get(), Media(Content::Video, 1.0)), S_OK);
    EXPECT_EQ(FiltersOf(graph.Get()).size(), 2u);  // source and video renderer
    auto control = Query<IMediaControl>(graph.Get(), IID_IMediaControl);
    EXPECT_TRUE(SUCCEEDED(control->Pause()));
    OAFilterState state = -1;
    EXPECT_EQ(control->GetState(10000, &state), S_OK);
    EXPECT_EQ(state, State_Paused);
}

TEST(RenderingFiles, GivesEachStreamARendererOfItsOwnThatAnswersTheSamePointer) {
    auto graph = NewGraph();
    ASSERT_EQ(Render(graph.Get(), Media(Content::AudioVideo, 1.0)), S_OK);
    auto filters = FiltersOf(graph.Get());
    ASSERT_EQ(filters.size(), 3u);
    int video = 0, audio = 0, neither = 0;
    for (auto& filter : filters) {
        auto basicVideo = Query<IBasicVideo>(filter.Get(), IID_IBasicVideo);
        auto window = Query<IVideoWindow>(filter.Get(), IID_IVideoWindow);
        auto basicAudio = Query<IBasicAudio>(filter.Get(), IID_IBasicAudio);
        EXPECT_EQ(bool(basicVideo), bool(window)) << "a video renderer offers both video interfaces";
        if (basicVideo) {
            ++video;
            EXPECT_EQ(Query<IBasicVideo>(filter.Get(), IID_IBasicVideo).Get(), basicVideo.Get());
            EXPECT_EQ(Query<IVideoWindow>(filter.Get(), IID_IVideoWindow).Get(), window.Get());
        }
        if (basicAudio) {
            ++audio;
            EXPECT_EQ(Query<IBasicAudio>(filter.Get(), IID_IBasicAudio).Get(), basicAudio.Get());
        }
        if (!basicVideo && !basicAudio) ++neither;
    }
    EXPECT_EQ(video, 1);
    EXPECT_EQ(audio, 1);
    EXPECT_EQ(neither, 1);
}

TEST(RenderingFiles, ListsEveryFileInTheOrderItWasAddedAndAcceptsUris) {
    auto graph = NewGraph();
    ASSERT_EQ(Render(graph.Get(), Media(Content::Audio, 1.0)), S_OK);
    const auto first = RenderersOf<IBasicAudio>(graph.Get(), IID_IBasicAudio);
    ASSERT_EQ(first.size(), 1u);
    const std::string uri = "file://" + Media(Content::AudioVideo, 1.0).string();
    ASSERT_EQ(graph->RenderFile(Wide(uri).c_str(), nullptr), S_OK);
    const auto audio = RenderersOf<IBasicAudio>(graph.Get(), IID_IBasicAudio);
    ASSERT_EQ(audio.size(), 2u);
    EXPECT_EQ(audio[0].Get(), first[0].Get()) << "the earlier file's renderer comes first and is the same";
    EXPECT_EQ(FiltersOf(graph.Get()).size(), 5u);
}

TEST(EnumeratingFilters, HandsOutShortBatchesAndRefusesMissingOutputs) {
    auto graph = NewGraph();
    ASSERT_EQ(Render(graph.Get(), Media(Content::AudioVideo, 1.0)), S_OK);
    IEnumFilters* raw = nullptr;
    ASSERT_EQ(graph->EnumFilters(&raw), S_OK);
    auto enumerator = ComPtr<IEnumFilters>::Attach(raw);
    IBaseFilter* batch[8] = {};
    ULONG fetched = 99;
    EXPECT_EQ(enumerator->Next(2, batch, nullptr), E_POINTER);
    EXPECT_EQ(enumerator->Next(8, batch, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 3u);
    for (ULONG i = 0; i < fetched; ++i) batch[i]->Release();
    EXPECT_EQ(enumerator->Next(1, batch, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(enumerator->Reset(), S_OK);
    EXPECT_EQ(enumerator->Next(1, batch, nullptr), S_OK);
    FILTER_INFO info;
    EXPECT_EQ(batch[0]->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(std::u16string(info.achName).rfind(u"Source ", 0), 0u);
    batch[0]->Release();
}

class SeekingAGroup : public ::testing::Test {
protected:
    void SetUp() override {
        Graph = NewGraph();
        ASSERT_EQ(Render(Graph.Get(), Media(Content::Video, 2.0)), S_OK);
        ASSERT_EQ(Render(Graph.Get(), Media(Content::AudioVideo, 3.0)), S_OK);
        Control = Query<IMediaControl>(Graph.Get(), IID_IMediaControl);
        Seeking = Query<IMediaSeeking>(Graph.Get(), IID_IMediaSeeking);
        Probes = RenderersOf<IVideoFrameProbe>(Graph.Get(), IID_IVideoFrameProbe);
        ASSERT_EQ(Probes.size(), 2u);
    }

    // Waits until every video renderer shows a frame within one frame of target.
    bool AllShow(REFERENCE_TIME target) {
        return WaitUntil([&] {
            for (auto& probe : Probes) {
                VideoFrame frame;
                if (probe->GetCurrentFrame(&frame, FALSE) != S_OK) return false;
                if (std::llabs(frame.StreamTime - target) > kOneFrame) return false;
            }
            return true;
        });
    }

    ComPtr<IGraphBuilder> Graph;
    ComPtr<IMediaControl> Control;
    ComPtr<IMediaSeeking> Seeking;
    std::vector<ComPtr<IVideoFrameProbe>> Probes;
};

TEST_F(SeekingAGroup, PutsEveryStreamOnTheSamePositionAndReportsItExactly) {
    ASSERT_TRUE(SUCCEEDED(Control->Pause()));
    LONGLONG target = 15'005'000;
    ASSERT_EQ(Seeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
    LONGLONG current = -1;
    EXPECT_EQ(Seeking->GetCurrentPosition(&current), S_OK);
    EXPECT_EQ(current, 15'005'000);
    EXPECT_TRUE(AllShow(target));

    LONGLONG back = -5'000'000;
    ASSERT_EQ(Seeking->SetPositions(&back, AM_SEEKING_RelativePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
    EXPECT_EQ(Seeking->GetCurrentPosition(&current), S_OK);
    EXPECT_EQ(current, 10'005'000);
    EXPECT_TRUE(AllShow(current));
}

TEST_F(SeekingAGroup, EndsAtTheLongestFileUnlessAStopIsSetAndLeavesTheStopAloneWhenAsked) {
    LONGLONG current = -1, stop = -1;
    ASSERT_EQ(Seeking->GetPositions(&current, &stop), S_OK);
    EXPECT_EQ(current, 0);
    EXPECT_NEAR(static_cast<double>(stop), 3.0 * kUnitsPerSecond, static_cast<double>(kOneFrame));

    LONGLONG start = 5'000'000, end = 25'000'000;
    ASSERT_EQ(Seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, &end, AM_SEEKING_AbsolutePositioning),
              S_OK);
    LONGLONG again = 1'000'000;
    ASSERT_EQ(Seeking->SetPositions(&again, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
    ASSERT_EQ(Seeking->GetPositions(&current, &stop), S_OK);
    EXPECT_EQ(current, 1'000'000);
    EXPECT_EQ(stop, 25'000'000);
    EXPECT_EQ(Seeking->SetPositions(nullptr, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning),
              E_POINTER);
    LONGLONG negative = -1;
    EXPECT_EQ(Seeking->SetPositions(&negative, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning),
              E_INVALIDARG);
}

TEST_F(SeekingAGroup, StopKeepsThePositionAndRunResumesFromIt) {
    LONGLONG target = 20'000'000;
    ASSERT_EQ(Seeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
    ASSERT_TRUE(SUCCEEDED(Control->Stop()));
    LONGLONG current = -1;
    Seeking->GetCurrentPosition(&current);
    EXPECT_EQ(current, target);
    ASSERT_TRUE(SUCCEEDED(Control->Run()));
    EXPECT_TRUE(WaitUntil([&] {
        Seeking->GetCurrentPosition(&current);
        return current > target + kOneFrame;
    }));
    EXPECT_LT(current, target + 2 * kUnitsPerSecond);
}

// A file joining a group that has been moved, running or paused, starts where
// the group is, not at its own beginning.
TEST(RenderingFiles, AFileAddedLaterJoinsTheGroupWhereItIs) {
    auto graph = NewGraph();
    ASSERT_EQ(Render(graph.Get(), Media(Content::Video, 3.0)), S_OK);
    auto control = Query<IMediaControl>(graph.Get(), IID_IMediaControl);
    auto seeking = Query<IMediaSeeking>(graph.Get(), IID_IMediaSeeking);
    ASSERT_TRUE(SUCCEEDED(control->Pause()));
    LONGLONG target = 15'000'000;
    ASSERT_EQ(seeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
    ASSERT_EQ(Render(graph.Get(), Media(Content::AudioVideo, 3.0)), S_OK);
    auto probes = RenderersOf<IVideoFrameProbe>(graph.Get(), IID_IVideoFrameProbe);
    ASSERT_EQ(probes.size(), 2u);
    VideoFrame frame;
    EXPECT_TRUE(WaitUntil([&] {
        return probes[1]->GetCurrentFrame(&frame, FALSE) == S_OK && std::llabs(frame.StreamTime - target) <= kOneFrame;
    })) << "the paused newcomer shows "
        << frame.StreamTime;

    ASSERT_TRUE(SUCCEEDED(control->Run()));
    LONGLONG position = 0;
    ASSERT_TRUE(WaitUntil([&] {
        seeking->GetCurrentPosition(&position);
        return position > target + kUnitsPerSecond / 4;
    }));
    ASSERT_EQ(Render(graph.Get(), Media(Content::Audio, 3.0)), S_OK);
    // The running newcomer's sound goes on from where the group is.
    auto audio = RenderersOf<IAudioTap>(graph.Get(), IID_IAudioTap);
    ASSERT_EQ(audio.size(), 2u);
    std::atomic<REFERENCE_TIME> firstHeard{-1};
    audio[1]->SetTap([&](const float*, std::size_t, int, int, REFERENCE_TIME streamTime) {
        REFERENCE_TIME unset = -1;
        firstHeard.compare_exchange_strong(unset, streamTime);
    });
    ASSERT_TRUE(WaitUntil([&] { return firstHeard.load() >= 0; }));
    audio[1]->SetTap({});
    EXPECT_GE(firstHeard.load(), position - kOneFrame);
}

TEST(AnEmptyGraph, RunsStopsAndSeeksWithoutFiles) {
    auto graph = NewGraph();
    auto control = Query<IMediaControl>(graph.Get(), IID_IMediaControl);
    auto seeking = Query<IMediaSeeking>(graph.Get(), IID_IMediaSeeking);
    EXPECT_TRUE(SUCCEEDED(control->Run()));
    EXPECT_TRUE(SUCCEEDED(control->Stop()));
    LONGLONG zero = 0;
    EXPECT_EQ(seeking->SetPositions(&zero, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
    LONGLONG current = -1, stop = -1;
    EXPECT_EQ(seeking->GetPositions(&current, &stop), S_OK);
    EXPECT_EQ(current, 0);
    EXPECT_EQ(stop, 0);
}

TEST(GraphEvents, CompleteComesOnceAfterTheLongestFileAndTheHandleFollowsTheQueue) {
    auto graph = NewGraph();
    auto events = Query<IMediaEventEx>(graph.Get(), IID_IMediaEventEx);
    OAEVENT handle = nullptr;
    ASSERT_EQ(events->GetEventHandle(&handle), S_OK);
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);

    ASSERT_EQ(Render(graph.Get(), Media(Content::Audio, 0.4)), S_OK);
    ASSERT_EQ(Render(graph.Get(), Media(Content::AudioVideo, 1.0)), S_OK);
    auto control = Query<IMediaControl>(graph.Get(), IID_IMediaControl);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_EQ(WaitForSingleObject(handle, 20000), WAIT_OBJECT_0);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(900)) << "completion waits for the longer file";
    // Signalled while queued, whatever the number of waits.
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_OBJECT_0);
    LONG code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 0), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_EQ(events->FreeEventParams(code, p1, p2), S_OK);
    EXPECT_EQ(events->GetEvent(&code, &p1, &p2, 500), E_ABORT) << "exactly one completion";
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_TIMEOUT);

    // Rewound and run again, the group completes again.
    LONGLONG zero = 0;
    auto seeking = Query<IMediaSeeking>(graph.Get(), IID_IMediaSeeking);
    ASSERT_EQ(seeking->SetPositions(&zero, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
    std::vector<Event> seen;
    EXPECT_TRUE(WaitForEvent(events.Get(), EC_COMPLETE, seen));
}

TEST(GraphEvents, NoNotifyDiscardsEventsAndOnlyKnownFlagsAreTaken) {
    auto graph = NewGraph();
    auto events = Query<IMediaEventEx>(graph.Get(), IID_IMediaEventEx);
    EXPECT_EQ(events->SetNotifyFlags(2), E_INVALIDARG);
    ASSERT_EQ(events->SetNotifyFlags(AM_MEDIAEVENT_NONOTIFY), S_OK);
    LONG flags = -1;
    EXPECT_EQ(events->GetNotifyFlags(&flags), S_OK);
    EXPECT_EQ(flags, AM_MEDIAEVENT_NONOTIFY);
    ASSERT_EQ(Render(graph.Get(), Media(Content::Audio, 0.4)), S_OK);
    auto control = Query<IMediaControl>(graph.Get(), IID_IMediaControl);
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    LONG code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    EXPECT_EQ(events->GetEvent(&code, &p1, &p2, 2000), E_ABORT);
}

}  // namespace
