#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "midiframework/midioutput.h"
#include "orvalis/OrvalisIds.h"
#include "orvalis/Sequencer.h"
#include "platform/automation/control.h"
#include "platform/automation/winthread.h"

namespace orvalis {

using namespace platform;

// The MIDI player control. Plays one Standard MIDI File at a time through its
// MidiOutput, on its sequencer's own 2 ms timer, and reports the song's end
// and, with Monitor on, every note it sends as events. Two saved options,
// both off by default, change how a song plays: FollowTempoMap plays its
// tempo changes (SetTempo then sets a speed), FullChase makes a seek or a
// loop wrap restore everything the song set before the target.
//
// Threads. Every member and property runs on the control's thread (the one
// that made it). The sequencer's timer worker plays the song and posts what
// it reports to the notification window; a thread of the control's own owns
// that window and fires the events there, in the order they were posted.
class COrvalisCtrl : public COleControl, public NotificationSink {
public:
    COrvalisCtrl();
    ~COrvalisCtrl() override;

    static const DispatchTable& DispatchMap();
    static const EventTable& EventMap();
    const DispatchTable& GetDispatchTable() const override { return DispatchMap(); }
    const EventTable& GetEventTable() const override { return EventMap(); }

    // The Automation members, in the order of the member table. Failure
    // values as the table's comments say; none of them throws.
    BOOL SetFileName(const std::string& fileName) noexcept;
    std::int32_t GetTrackCount() noexcept;                        // -1 without a song
    std::string GetTrackName(std::int32_t trackNumber) noexcept;  // "Bad Track"
    double GetSongTempo() noexcept;                               // 120 without a song
    void SetSongTempo(double tempoBpm) noexcept;
    BOOL MuteChannel(std::int32_t channel, BOOL mute) noexcept;                  // TRUE
    std::int32_t TrackNameToTrackNumber(const std::string& trackName) noexcept;  // -1
    BOOL MuteTrackByName(const std::string& trackName, BOOL mute) noexcept;      // FALSE when none matches
    BOOL SetLoopStart(std::int32_t measure) noexcept;
    BOOL SetLoopEnd(std::int32_t measure) noexcept;
    BOOL GetTempoInfo(double* bpm, std::int32_t* numerator, std::int32_t* denominator) noexcept;
    BOOL OpenMidiPort(std::int32_t port) noexcept;
    BOOL CloseMidiPort() noexcept;
    BOOL Play() noexcept;
    BOOL Stop() noexcept;
    BOOL SetTempo(double tempo) noexcept;
    std::int32_t GetMeasureCount() noexcept;
    std::int32_t GetTickCount() noexcept;
    std::int32_t PollTick() noexcept;
    std::int32_t PollMeasure() noexcept;
    std::int32_t GetPolyCount() noexcept;
    BOOL Seek(std::int32_t measure) noexcept;
    BOOL EnableLoop(BOOL enable) noexcept;
    std::string GetPropertaryMeta(std::int32_t metaNumber) noexcept;  // "" when none
    // "SendMessage" to the host; another C++ name, so that it does not hide
    // the window layer's SendMessage inside the control.
    BOOL SendShortMessage(std::int32_t status, std::int32_t value1, std::int32_t value2) noexcept;
    std::int32_t MeasureToTick(std::int32_t measure) noexcept;
    std::int32_t TickToMeasure(std::int32_t tick) noexcept;
    // Times under the timing in force (the tempo map's while FollowTempoMap
    // is on); 0 without a song.
    std::int32_t PollTime() noexcept;               // ms
    double GetSongLength() noexcept;                // seconds
    double TickToTime(std::int32_t tick) noexcept;  // ms

    void OnMonitorChanged() noexcept;
    void OnFollowTempoMapChanged() noexcept;
    void OnFullChaseChanged() noexcept;

    // NotificationSink, on the timer worker: posts to the notification window.
    void Post(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) noexcept override;

protected:
    void DoPropExchange(CPropExchange* px) override;
    void OnResetState() override;
    void OnDraw(HDC dc, const RECT& bounds, const RECT& invalid) override;
    std::vector<CLSID> GetPropPageIDs() const override;

private:
    static UINT NotifyThread(void* parameter);
    static LRESULT NotifyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // Waits until the notification window exists or its thread has ended
    // (at most until deadline), answering calls sent to this thread
    // meanwhile. The window, or 0.
    HWND WaitForNotifyWindow(std::chrono::steady_clock::time_point deadline) noexcept;
    // Stops the events and ends the notification thread (bounded).
    void EndNotifications() noexcept;
    // Hands the persisted properties to the sequencer (after a load or a reset).
    void PushPersistedToPlayer() noexcept;
    // The index of the first track whose name begins with trackName, or -1.
    std::int32_t FindTrack(const std::string& trackName) const;

    MidiOutput Output;
    // The notification window, written by the notification thread once the
    // window exists and cleared by the destructor; read by the timer worker
    // in Post. Declared before Player so that it outlives every step.
    std::atomic<HWND> NotifyWindow{0};
    // The output must outlive the sequencer, which sends to it to the end.
    Sequencer Player{Output};
    // The Monitor property: the host's value, on the control's thread only.
    // The step reads the sequencer's own copy (SetMonitor).
    BOOL Monitor = FALSE;
    // The two playback options, kept the same way: the host's values; the
    // sequencer holds the copies the step reads.
    BOOL FollowTempoMap = FALSE;
    BOOL FullChase = FALSE;
    std::unique_ptr<CWinThread> Notifier;
};

}  // namespace orvalis
