#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/gdi/gdi.h"
#include "platform/media/media.h"
#include "platform/media/testkit/TestMedia.h"

// Helpers the media tests share: graphs, interface queries, test media and
// waiting for what the streaming threads do.
namespace media_test {

using namespace platform;
using namespace platform::media;
using testkit::Content;
using testkit::MediaSpec;

inline std::filesystem::path MediaFolder() { return std::filesystem::path(ORVALIS_BINARY_DIR) / "test-media"; }

inline std::filesystem::path Media(Content kind, double seconds, int width = 320, int height = 240) {
    MediaSpec media;
    media.Kind = kind;
    media.Seconds = seconds;
    media.Width = width;
    media.Height = height;
    return testkit::MakeMedia(MediaFolder(), media);
}

inline std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// Whether the seven bars of the "smpte" test pattern fill `width` pixels of
// `picture` from `left`, in row `y` (within the encoder's tolerance).
inline bool ShowsBars(const Image& picture, int left, int width, int y) {
    for (int bar = 0; bar < 7; ++bar) {
        const COLORREF c = picture.PixelAt(left + static_cast<int>((bar + 0.5) * width / 7), y);
        const unsigned rgb = (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c);
        if (!testkit::ColourNear(rgb, testkit::kSmpteBars[bar], 28)) return false;
    }
    return true;
}

template <class T>
ComPtr<T> Query(IUnknown* object, const IID& iid) {
    void* raw = nullptr;
    if (!object || FAILED(object->QueryInterface(iid, &raw))) return {};
    return ComPtr<T>::Attach(static_cast<T*>(raw));
}

inline ComPtr<IGraphBuilder> NewGraph() {
    void* raw = nullptr;
    const HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, &raw);
    EXPECT_EQ(hr, S_OK);
    return ComPtr<IGraphBuilder>::Attach(static_cast<IGraphBuilder*>(raw));
}

inline HRESULT Render(IGraphBuilder* graph, const std::filesystem::path& file) {
    return graph->RenderFile(Wide(file.string()).c_str(), nullptr);
}

inline std::vector<ComPtr<IBaseFilter>> FiltersOf(IGraphBuilder* graph) {
    std::vector<ComPtr<IBaseFilter>> filters;
    IEnumFilters* raw = nullptr;
    if (FAILED(graph->EnumFilters(&raw))) return filters;
    auto enumerator = ComPtr<IEnumFilters>::Attach(raw);
    IBaseFilter* batch[256];
    ULONG fetched = 0;
    enumerator->Next(256, batch, &fetched);
    for (ULONG i = 0; i < fetched; ++i) filters.push_back(ComPtr<IBaseFilter>::Attach(batch[i]));
    return filters;
}

// Every filter of the graph that answers iid, in enumeration order.
template <class T>
std::vector<ComPtr<T>> RenderersOf(IGraphBuilder* graph, const IID& iid) {
    std::vector<ComPtr<T>> found;
    for (auto& filter : FiltersOf(graph)) {
        if (auto renderer = Query<T>(filter.Get(), iid)) found.push_back(renderer);
    }
    return found;
}

// Polls until done() holds or limit passes; true when it held.
template <class Done>
bool WaitUntil(Done done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

struct Event {
    LONG Code = 0;
    LONG_PTR Param1 = 0;
    LONG_PTR Param2 = 0;
};

// Takes events until one with code arrives (returned) or limit passes; every
// event taken is appended to seen.
inline bool WaitForEvent(IMediaEventEx* events, LONG code, std::vector<Event>& seen,
                         std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        Event event;
        if (events->GetEvent(&event.Code, &event.Param1, &event.Param2, static_cast<LONG>(left.count())) != S_OK) {
            return false;
        }
        events->FreeEventParams(event.Code, event.Param1, event.Param2);
        seen.push_back(event);
        if (event.Code == code) return true;
    }
}

}  // namespace media_test
