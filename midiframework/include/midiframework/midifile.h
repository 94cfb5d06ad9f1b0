#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "midiframework/TrackContainer.h"
#include "midiframework/miditrack.h"

namespace MIDI {

// Texts the reader shows (the first three, through platform::ShowNotice) or
// throws (the others, as the const char* itself).
inline constexpr const char* kUnableToOpenFile = "Unable to open the file";
inline constexpr const char* kOutOfMemory = "Out of memory";
inline constexpr const char* kCannotReadFile = "Cannot read from file";
inline constexpr const char* kBadTrackFormat = "Bad MIDI track format";
inline constexpr const char* kRunningStatusNotDefined = "Running status not defined";
inline constexpr const char* kBadChunkSize = "Bad chunk size";
inline constexpr const char* kTooManyTracks = "Too many tracks (at most 127)";

// A Standard MIDI File read into tracks of events.
//
// The reader takes the header fields at fixed offsets (the 16-bit track count
// from bytes 10-11, division from bytes 12-13) and parses the track chunks
// from byte 14 on in one forward pass. A count above kMaxReadableTracks is
// refused with kTooManyTracks. Every read is bounded by the chunk and by the buffer: a
// file that ends early, a chunk without an end-of-track event, or an event or
// length that runs past its chunk is refused with kBadChunkSize.
//
// Running status is the last channel status (80..EF). Meta, system-exclusive
// and other system messages leave it in effect, as players do; a data byte
// with no channel status before it is kRunningStatusNotDefined.
class File : public TrackContainer {
public:
    // Ticks per quarter note of a File whose Load read no header, so that the
    // timeline's measure arithmetic stays defined for it.
    static constexpr std::int32_t kDefaultDivision = 480;
    // The most tracks a file may announce; the container's last slot stays free.
    static constexpr int kMaxReadableTracks = kMaxTracks - 1;
    // The most bytes read from a pipe, a FIFO or another input without a size.
    static constexpr std::uint32_t kMaxStreamBytes = 64u << 20;

    File();
    ~File() override;

    // Reads and parses the file at path. Returns normally, with no tracks, when
    // the file cannot be opened, allocated or read (the text has then been shown
    // as a notice, and GetReadFailure says why) or is 14 bytes long or shorter.
    // Throws one of the const char* texts above for a malformed track or a
    // header announcing too many; the object then holds the tracks parsed so
    // far and should be discarded.
    void Load(const char* path);

    // Why the last Load could not read its file, in the system's words ("No
    // such file or directory") or the reader's ("it holds more than the 64 MiB
    // limit"); empty when it could.
    const std::string& GetReadFailure() const { return ReadFailure; }

    // Runs the same parser on size bytes already in memory; throws like Load.
    // The bytes are only read during the call.
    void LoadFromMemory(const std::uint8_t* bytes, std::size_t size);

    // Ticks per quarter note from the header (0..65535, whatever its top bit
    // says); kDefaultDivision when no header was read.
    std::int32_t GetDivision() const { return Division; }

    // The whole file in a new buffer, or null after showing kUnableToOpenFile,
    // kOutOfMemory or kCannotReadFile (reason, when given, then says why).
    // size is set once the file's size is known. A read that delivers fewer
    // bytes than the size is kCannotReadFile; an input without a size of its
    // own (a pipe, a FIFO, /dev/stdin) is read to its end, and one longer than
    // kMaxStreamBytes is kCannotReadFile.
    static std::unique_ptr<std::uint8_t[]> LoadFileBytes(const char* path, std::uint32_t& size,
                                                         std::string* reason = nullptr);

    // Checks the chunk at position (which must lie within [.., end]) for the
    // type MTrk and stores its declared length. Returns position + 8, the first
    // event. Throws kBadTrackFormat for another type, kBadChunkSize when fewer
    // than 8 bytes remain.
    static const std::uint8_t* ReadTrackChunkHeader(const std::uint8_t* position, const std::uint8_t* end,
                                                    std::uint32_t& length);

    // Parses the track chunk at position into track, note durations included
    // (paired as Track::ComputeNoteDurations pairs them), and returns the
    // position just after its end-of-track event, which is the chunk's end.
    // end is the end of the buffer; nothing at or after it is read.
    static const std::uint8_t* ReadTrack(Track& track, const std::uint8_t* position, const std::uint8_t* end);

private:
    std::int32_t Division;
    std::string ReadFailure;
};

// Writes the event as two lines of text ("Tick: N", then a line chosen by its
// kind); tablature meta events add lines of their own. Each line ends with
// std::endl. Malformed meta payloads are named, never read past their length.
std::ostream& operator<<(std::ostream& stream, const Event& event);

}  // namespace MIDI
