#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "NotificationQueue.h"
#include "midiframework/midifile.h"
#include "orvalis/SongTimeline.h"
#include "platform/clock/manualclock.h"

// What one run of orvalis-play drives. In real time that is the player
// control, created by ProgID and called by name as any host would; rendering
// faster than real time steps the sequencer itself on the manual clock, since
// the control's events come some time after their notes by design and would
// fall behind at hundreds of times real time.
//
// Bars and channels count from 0 here; the session converts.
namespace orvalis_play {

class Playback {
public:
    virtual ~Playback() = default;

    // Opens the MIDI output device. False when it does not open; the MIDI
    // layer's last error says why.
    virtual bool OpenDevice(int device) = 0;
    // Gives the player the song at path, which the tool has read (file) and
    // measured (timeline) already. False with why set.
    virtual bool LoadSong(const std::string& path, std::unique_ptr<MIDI::File> file, orvalis::SongTimeline timeline,
                          std::string& why) = 0;

    virtual void SetTempo(double bpm) = 0;
    virtual void SetSongTempo(double bpm) = 0;
    virtual void Mute(int channel) = 0;
    // Loops from the start of measure first to the start of measure end.
    virtual void SetLoop(int first, int end) = 0;
    virtual void EnableLoop(bool on) = 0;
    // False for a measure the song does not have.
    virtual bool Seek(int measure) = 0;
    virtual void SetMonitor(bool on) = 0;
    // The two playback options; set before LoadSong, so that the song starts
    // at the tempo the option gives it.
    virtual void SetFollowTempoMap(bool on) = 0;
    virtual void SetFullChase(bool on) = 0;

    virtual bool Play() = 0;
    // Releases every sounding note.
    virtual void Stop() = 0;
    // Lets playback go on: one timer period offline; in real time until a
    // notification waits or stop() holds, 5 ms at most.
    virtual void Wait(const std::function<bool()>& stop) = 0;
    // Lets released notes ring on for limit (unless stop() holds).
    virtual void Linger(std::chrono::milliseconds limit, const std::function<bool()>& stop) = 0;
    // The next notification: a song end or a note, with its time.
    virtual bool Take(NotificationQueue::Entry& entry) = 0;
    // Notifications that found the queue full.
    virtual std::uint64_t Dropped() const = 0;

    virtual std::int32_t PollTick() = 0;
    virtual std::int32_t PollMeasure() = 0;
    virtual int GetPolyCount() = 0;
    // The position in ms and the song's length in seconds, under the timing
    // in force (the tempo map's while it is followed).
    virtual std::int32_t PollTime() = 0;
    virtual double GetSongLength() = 0;
    // The run's clock, in nanoseconds.
    virtual std::int64_t NowNs() const = 0;

    // Closes the device, which writes its files.
    virtual void CloseDevice() = 0;
};

// The sequencer on the manual clock, stepped by Wait.
std::unique_ptr<Playback> MakeOfflinePlayback(platform::ManualClock& clock);

// The player control, made by ProgID; when the registry lacks it, or names a
// module file that is gone, the tool registers its own module first. Null
// with why set when no control can be made.
std::unique_ptr<Playback> MakeControlPlayback(std::string& why);

}  // namespace orvalis_play
