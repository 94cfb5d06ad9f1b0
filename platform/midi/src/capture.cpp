#include "platform/midi/capture.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "device.h"
#include "devices.h"
#include "platform/file/file.h"
#include "platform/notice/notice.h"
#include "smf.h"

namespace platform::midi {
namespace {

// One recorded message. The sender fills it and publishes it with Ready; a
// long message's bytes are copied on the device's thread before that.
struct Entry {
    std::atomic<bool> Ready{false};
    bool Long = false;
    std::uint8_t ShortLength = 0;
    std::uint8_t Short[3] = {};
    std::int64_t TimeNs = 0;
    std::uint32_t LongLength = 0;
    std::unique_ptr<std::uint8_t[]> LongBytes;
};

// The recording: entries in chunks that are allocated ahead of need by the
// device's grower thread, so a sender only ever claims an index (one atomic
// add) and writes into memory that is already there. Several threads may
// send at once. The store outlives the device so the recording can be read
// after close.
class Recording {
public:
    static constexpr std::uint64_t kChunkEntries = 4096;
    static constexpr std::uint64_t kMaxChunks = 4096;  // 16 M messages
    // Chunks kept ready past the one in use: a grower that a busy machine
    // leaves unscheduled for some milliseconds must not cost messages.
    static constexpr std::uint64_t kChunksAhead = 4;

    ~Recording() {
        for (auto& chunk : Chunks) {
            delete[] chunk.load(std::memory_order_relaxed);
        }
    }

    // Claims the next entry. Null (and counted as dropped) when the chunk is
    // not there yet. growNow tells the caller to wake the grower.
    Entry* Claim(bool& growNow) noexcept {
        std::uint64_t index = Next.fetch_add(1, std::memory_order_relaxed);
        std::uint64_t chunk = index / kChunkEntries;
        growNow = index % kChunkEntries == 0;
        Entry* entries = chunk < kMaxChunks ? Chunks[chunk].load(std::memory_order_acquire) : nullptr;
        if (!entries) {
            Dropped.fetch_add(1, std::memory_order_relaxed);
            growNow = true;
            return nullptr;
        }
        return &entries[index % kChunkEntries];
    }

    // Makes sure the chunk in use and the kChunksAhead after it exist. Grower
    // thread and open only.
    void Grow() {
        std::uint64_t current = Next.load(std::memory_order_relaxed) / kChunkEntries;
        for (std::uint64_t c = current; c < std::min(current + 1 + kChunksAhead, kMaxChunks); ++c) {
            if (!Chunks[c].load(std::memory_order_acquire)) {
                Chunks[c].store(new Entry[kChunkEntries], std::memory_order_release);
            }
        }
    }

    std::vector<CapturedMessage> Snapshot() const {
        std::vector<CapturedMessage> messages;
        std::uint64_t end = Next.load(std::memory_order_acquire);
        for (std::uint64_t index = 0; index < end; ++index) {
            std::uint64_t chunk = index / kChunkEntries;
            if (chunk >= kMaxChunks) {
                break;
            }
            const Entry* entries = Chunks[chunk].load(std::memory_order_acquire);
            if (!entries) {
                continue;
            }
            const Entry& e = entries[index % kChunkEntries];
            if (!e.Ready.load(std::memory_order_acquire)) {
                continue;
            }
            CapturedMessage m;
            m.TimeNs = e.TimeNs;
            m.Long = e.Long;
            if (e.Long) {
                m.Bytes.assign(e.LongBytes.get(), e.LongBytes.get() + e.LongLength);
            } else {
                m.Bytes.assign(e.Short, e.Short + e.ShortLength);
            }
            messages.push_back(std::move(m));
        }
        // Two senders may claim indexes in the other order than their clocks.
        std::stable_sort(messages.begin(), messages.end(),
                         [](const CapturedMessage& a, const CapturedMessage& b) { return a.TimeNs < b.TimeNs; });
        return messages;
    }

    std::uint64_t DroppedCount() const noexcept { return Dropped.load(std::memory_order_relaxed); }

private:
    std::array<std::atomic<Entry*>, kMaxChunks> Chunks{};
    std::atomic<std::uint64_t> Next{0};
    std::atomic<std::uint64_t> Dropped{0};
};

class CaptureDevice;

// The open capture device (at most one) and the latest recording.
std::mutex CaptureLock;
CaptureDevice* OpenDevice = nullptr;
std::shared_ptr<Recording> LatestRecording;
bool HoldRequested = false;

std::string FormatLogLine(const CapturedMessage& m) {
    std::int64_t us = (m.TimeNs + 500) / 1000;
    char time[32];
    std::snprintf(time, sizeof time, "%lld.%03lld", static_cast<long long>(us / 1000),
                  static_cast<long long>(us % 1000));
    std::string line = time;
    line += '\t';
    static const char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < m.Bytes.size(); ++i) {
        if (i) {
            line += ' ';
        }
        line += kHex[m.Bytes[i] >> 4];
        line += kHex[m.Bytes[i] & 15];
    }
    line += '\n';
    return line;
}

class CaptureDevice final : public Device {
public:
    CaptureDevice(const OpenRequest& request, std::shared_ptr<Recording> recording)
        : Device(request.Handle, request.Callback, request.Instance),
          Time(*request.TimeSource),
          OpenedAt(Time.NowNs()),
          LogPath(request.Config.CaptureLogPath),
          MidiPath(request.Config.CaptureMidiPath),
          Store(std::move(recording)) {}

    bool Start() {
        Store->Grow();
        return StartCompletions() && Grower.Start("capture grower", [this] {
            for (;;) {
                GrowRequest.Wait();
                if (QuitGrower.load(std::memory_order_acquire)) {
                    return;
                }
                try {
                    Store->Grow();
                } catch (...) {
                    // Out of memory: later messages are counted as dropped.
                }
            }
        });
    }

    MMRESULT SendShort(const std::uint8_t* bytes, int length) noexcept override {
        bool grow = false;
        Entry* e = Store->Claim(grow);
        if (grow) {
            GrowRequest.Set();
        }
        if (!e) {
            return MMSYSERR_NOMEM;
        }
        e->TimeNs = Time.NowNs() - OpenedAt;
        e->Long = false;
        e->ShortLength = static_cast<std::uint8_t>(length);
        std::copy(bytes, bytes + length, e->Short);
        e->Ready.store(true, std::memory_order_release);
        return MMSYSERR_NOERROR;
    }

protected:
    MMRESULT DeliverLong(MIDIHDR* header) noexcept override {
        bool grow = false;
        Entry* e = Store->Claim(grow);
        if (grow) {
            GrowRequest.Set();
        }
        header->reserved = reinterpret_cast<std::uintptr_t>(e);
        if (!e) {
            return MMSYSERR_NOERROR;  // counted as dropped; the message still completes
        }
        e->TimeNs = Time.NowNs() - OpenedAt;
        e->Long = true;
        e->LongLength = header->dwBufferLength;
        return MMSYSERR_NOERROR;
    }

    // The copy is made here, off the sender's thread, while the sender still
    // keeps the bytes alive (until MOM_DONE).
    void FinishLong(MIDIHDR* header) noexcept override {
        auto* e = reinterpret_cast<Entry*>(header->reserved);
        header->reserved = 0;
        if (!e) {
            return;
        }
        try {
            e->LongBytes.reset(new std::uint8_t[e->LongLength ? e->LongLength : 1]);
            std::memcpy(e->LongBytes.get(), header->lpData, e->LongLength);
            e->Ready.store(true, std::memory_order_release);
        } catch (...) {
        }
    }

    void Stop() noexcept override {
        QuitGrower.store(true, std::memory_order_release);
        GrowRequest.Set();
        Grower.JoinFor(kWorkerJoinLimit);
        {
            std::lock_guard guard(CaptureLock);
            if (OpenDevice == this) {
                OpenDevice = nullptr;
            }
        }
        try {
            WriteRecording();
        } catch (...) {
            ShowNotice("The capture recording could not be written: out of memory");
        }
    }

private:
    void WriteRecording() {
        if (Store->DroppedCount() > 0) {
            ShowNotice("The capture device lost " + std::to_string(Store->DroppedCount()) +
                       " messages: the recording could not grow fast enough");
        }
        if (LogPath.empty() && MidiPath.empty()) {
            return;
        }
        std::vector<CapturedMessage> messages = Store->Snapshot();
        std::string error;
        if (!LogPath.empty()) {
            std::string text;
            for (const auto& m : messages) {
                text += FormatLogLine(m);
            }
            if (!WriteFileAtomically(LogPath, text, &error)) {
                SetLastError(error);
                ShowNotice("The capture log was not saved. " + error);
            }
        }
        if (!MidiPath.empty()) {
            if (!WriteFileAtomically(MidiPath, BuildCaptureMidiFile(messages), &error)) {
                SetLastError(error);
                ShowNotice("The captured MIDI file was not saved. " + error);
            }
        }
    }

    Clock& Time;
    const std::int64_t OpenedAt;
    const std::string LogPath;
    const std::string MidiPath;
    std::shared_ptr<Recording> Store;
    // Written by the host (close), read by the grower thread.
    std::atomic<bool> QuitGrower{false};
    AutoResetEvent GrowRequest;
    WorkerThread Grower;
};

}  // namespace

std::unique_ptr<Device> OpenCapture(const OpenRequest& request, MMRESULT& result) {
    auto recording = std::make_shared<Recording>();
    auto device = std::make_unique<CaptureDevice>(request, recording);
    {
        std::lock_guard guard(CaptureLock);
        if (OpenDevice) {
            SetLastError("The capture device is already open");
            result = MMSYSERR_ALLOCATED;
            return nullptr;
        }
        OpenDevice = device.get();
        LatestRecording = std::move(recording);
        device->Hold(HoldRequested);
    }
    if (!device->Start()) {
        device->Shutdown();
        SetLastError("The capture device could not start its threads");
        result = MMSYSERR_NOMEM;
        return nullptr;
    }
    return device;
}

}  // namespace platform::midi

namespace platform {

std::vector<CapturedMessage> CapturedMessages() {
    std::shared_ptr<midi::Recording> recording;
    {
        std::lock_guard guard(midi::CaptureLock);
        recording = midi::LatestRecording;
    }
    return recording ? recording->Snapshot() : std::vector<CapturedMessage>{};
}

std::uint64_t CapturedMessagesDropped() {
    std::lock_guard guard(midi::CaptureLock);
    return midi::LatestRecording ? midi::LatestRecording->DroppedCount() : 0;
}

void HoldCaptureCompletions(bool hold) {
    std::lock_guard guard(midi::CaptureLock);
    midi::HoldRequested = hold;
    if (midi::OpenDevice) {
        midi::OpenDevice->Hold(hold);
    }
}

int ReleaseCaptureCompletions(int count) {
    std::lock_guard guard(midi::CaptureLock);
    return midi::OpenDevice ? midi::OpenDevice->Release(count) : 0;
}

int QueuedCaptureMessages() {
    std::lock_guard guard(midi::CaptureLock);
    return midi::OpenDevice ? midi::OpenDevice->Queued() : 0;
}

}  // namespace platform
