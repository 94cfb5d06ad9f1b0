#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>

#include "platform/com/com.h"
#include "platform/media/media.h"
#include "platform/thread/thread.h"
#include "platform/window/window.h"

// The media graph engine behind the video source control: one filter graph
// holding every file the host adds, run, paused, stopped and sought as one
// group; per-stream volume and balance; each stream's video handed to a
// consumer window; completion and buffering turned into window messages by a
// worker thread.

// Sent (synchronously) to a stream's consumer window: wParam the stream index,
// lParam the address of its StreamEntry, or 0 to detach.
inline constexpr platform::UINT WM_ATTACHSTREAM = platform::WM_APP + 0xD1E;  // 0x8D1E
// Posted to the notify window by the worker: wParam 0 when the whole group
// completed (lParam 0); wParam 1 for buffering, lParam nonzero when it began
// and 0 when it ended; wParam 2 when a stream failed while playing (lParam the
// graph's result code). The group goes on without the failed stream.
inline constexpr platform::UINT WM_GRAPHNOTIFY = platform::WM_APP + 0xD1F;  // 0x8D1F
inline constexpr platform::WPARAM kGraphNotifyComplete = 0;
inline constexpr platform::WPARAM kGraphNotifyBuffering = 1;
inline constexpr platform::WPARAM kGraphNotifyStreamFailed = 2;

// trunc(value) as a 32-bit result: how control values scaled to the audio
// interface's units (hundredths of a decibel, balance) become its integers.
// False, with result unchanged, when no 32-bit integer holds it (NaN,
// infinities, out of range): such a value is refused rather than converted.
inline bool TruncateToLong(double value, platform::media::LONG& result) noexcept {
    if (!std::isfinite(value)) return false;
    const double truncated = std::trunc(value);
    if (truncated < std::numeric_limits<platform::media::LONG>::min() ||
        truncated > std::numeric_limits<platform::media::LONG>::max()) {
        return false;
    }
    result = static_cast<platform::media::LONG>(truncated);
    return true;
}

// One added file. The engine owns it and the one reference each non-null
// interface holds; a consumer that is sent its address only borrows them
// (reads the pointers, never adds or drops a reference) until it is told to
// detach.
struct StreamEntry {
    char16_t FileName[260];  // as given to AddFile, UTF-16, zero-terminated
    platform::ComPtr<platform::media::IVideoWindow> VideoWindow;
    platform::ComPtr<platform::media::IBasicAudio> BasicAudio;
    platform::ComPtr<platform::media::IBasicVideo> BasicVideo;
    std::int32_t Attached;          // 1 once Prepare has handled the stream
    platform::HWND ConsumerHandle;  // where the video is shown; 0 for nowhere
};

class CKestravion {
public:
    static constexpr std::uint32_t MaxStreams = 16;     // NOLINT(readability-identifier-naming): its published name
    static constexpr std::uint32_t kMaxFilters = 256;   // examined after each file
    static constexpr std::size_t kErrorTextSize = 128;  // bytes, with the terminator
    static constexpr std::uint32_t kWorkerWaitMs = 200;

    // Builds an empty graph and starts the worker (see Reset).
    CKestravion();
    // Tears everything down without stopping first (see ReleaseAll).
    virtual ~CKestravion();
    CKestravion(const CKestravion&) = delete;
    CKestravion& operator=(const CKestravion&) = delete;

    // Renders a file (a path or a URI, UTF-8) into the graph and records a new
    // stream whose video goes to consumerHandle (0: none). FALSE, with the
    // reason in the error text, when it cannot be played, when 16 streams
    // exist already, when the name needs more than 259 UTF-16 units, or when
    // no graph exists; the stream count is then unchanged.
    platform::BOOL AddFile(const char* fileName, platform::HWND consumerHandle);
    // Attaches each stream added since the last Prepare to its consumer window
    // (which gets WM_ATTACHSTREAM). Always TRUE.
    platform::BOOL Prepare();
    platform::BOOL Run();
    platform::BOOL Pause();
    // Stops, rewinds to 0 and cues the whole group (its first pictures show).
    // FALSE when it is not running or paused.
    platform::BOOL Stop();
    // Drops every stream and builds a new empty graph. FALSE when the graph
    // cannot be made; every graph operation then fails until a Reset succeeds.
    platform::BOOL Reset();
    // Moves the whole group to ms milliseconds, in any state. FALSE on failure.
    platform::BOOL Seek(double ms);
    // The current position in milliseconds (fractional), -1.0 on failure.
    double Peek();
    // The stop position in milliseconds (the longest stream's end unless set), -1.0 on failure.
    double PeekEnd();
    // One stream's volume, 0.0 silent to 1.0 full (linear in decibels:
    // hundredths of a decibel = v * 10000 - 10000). FALSE for a bad index, a
    // stream without audio, or a value the renderer refuses.
    platform::BOOL SetVolume(std::int32_t stream, double volume);
    // One stream's balance, -1.0 left to 1.0 right. Failures as SetVolume.
    platform::BOOL SetPan(std::int32_t stream, double pan);
    // Reads a stream's volume and balance back in the units above; either
    // output may be null. Always TRUE; a bad index or a stream without audio
    // reads as full volume, centred.
    platform::BOOL GetAudioLevels(std::int32_t stream, double* volume, double* pan);
    // The text of the most recent failure ("" before the first one).
    const char* GetErrorText() const { return ErrorText; }
    // The window that receives WM_GRAPHNOTIFY; 0: notices are dropped.
    void SetNotifyWindow(platform::HWND window);
    // Records that a stream failed while playing (the control calls it when
    // the worker's notice arrives) and returns the error text it left.
    const char* StreamFailed();

    // What the engine shares with its worker. The worker holds it too, so a
    // worker left running after a join that timed out never reads a
    // destroyed engine. Written by the control thread, read by the worker.
    struct WorkerShared {
        std::atomic<std::int32_t> StopRequested{0};
        std::atomic<platform::HWND> NotifyWindow{0};
    };

    // The engine's state, read by the controls and their tests. Written only
    // by the control thread. The interfaces are released by ReleaseAll, in
    // its order, never by their holders going out of scope.
    std::int32_t State;  // 0 stopped, 1 running, 2 paused
    platform::ComPtr<platform::media::IGraphBuilder> GraphBuilder;
    platform::ComPtr<platform::media::IMediaEventEx> MediaEvent;
    platform::ComPtr<platform::media::IMediaControl> MediaControl;
    platform::ComPtr<platform::media::IMediaSeeking> MediaSeeking;
    std::uint32_t StreamCount;
    StreamEntry Streams[MaxStreams];
    char ErrorText[kErrorTextSize];
    std::unique_ptr<platform::WorkerThread> WorkerThread;  // null when there is none
    platform::media::OAEVENT EventHandle;                  // the graph's; never closed here
    // StopRequested and NotifyWindow of the current worker.
    std::shared_ptr<WorkerShared> Shared;
    platform::HWND NotifyWindow;

private:
    platform::BOOL ReleaseAll();
    void SetError(const char* text);
    void DropGraph();
    static void GraphEventThread(std::shared_ptr<WorkerShared> shared,
                                 platform::ComPtr<platform::media::IMediaEventEx> events);
};
