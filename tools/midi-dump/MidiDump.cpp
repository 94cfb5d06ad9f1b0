#include "MidiDump.h"

#include <cstdio>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "midiframework/midifile.h"
#include "orvalis/SongTimeline.h"
#include "platform/notice/notice.h"

namespace mididump {
namespace {

constexpr const char* kProgram = "midi-dump";

constexpr const char* kHelp =
    R"(Usage: midi-dump FILE
       midi-dump --events FILE
       midi-dump --help

Reads a Standard MIDI File the way the player reads it and prints what it
finds.

  FILE            a summary (division, track count, song end tick, the song's
                  length in seconds under its tempo map, measure count, file
                  tempo, first-track tempo, time signatures and track names),
                  then every track as text
  --events FILE   one line per event, for scripts (format below)
  -h, --help      this help

Event lines (--events): tracks in order, each track's events in file order,
one event per line, fields separated by one tab:
  1  track index, from 0
  2  tick, absolute, decimal
  3  kind, two upper-case hex digits: 80 90 A0 B0 C0 D0 E0 for channel
     messages, otherwise the status byte (F0, F7, FF, F1..FE)
  4  channel, 0..15 (for system messages the status byte's low nibble)
  5  data1, decimal 0..255
  6  data2, decimal 0..255
  7  kind 90: the note's duration in ticks (0 when it is never released);
     kinds FF and F0: the data block's type as two upper-case hex digits
     (the meta type, or F0)
  8  kinds FF and F0 only: the block's bytes in upper-case hex without
     separators (empty for an empty block; a system-exclusive block starts
     with F0 and holds the message as it is sent)
Other kinds have six fields. The reader normalises two messages: a note-on
with velocity 0 is kind 80 with data2 100, and a pitch bend has its most
significant 7 bits in data1 and its least significant 7 bits in data2.
This format is stable: fields may be added at the end of a line, never
removed or reordered.

FILE may also be a pipe or a FIFO (/dev/stdin, a process substitution): it
is read to its end, up to 64 MiB.

Exit status: 0 on success; 1 when the file cannot be opened or read, the
reader refuses it, or it holds no tracks (the reason goes to standard
error); 2 on a usage error.
)";

void WriteHex(std::ostream& out, const std::uint8_t* bytes, std::uint32_t length) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text(std::size_t{length} * 2, '0');
    for (std::size_t i = 0; i < length; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    out << text;
}

void WriteEventLines(std::ostream& out, const MIDI::File& file) {
    for (int t = 0; t < file.GetTrackCount(); ++t) {
        const MIDI::Track& track = *file.GetTrack(t);
        for (int i = 0; i < track.GetEventCount(); ++i) {
            const MIDI::Event& event = *track.GetEvent(i);
            const std::uint8_t kind = event.kind;
            out << t << '\t' << event.tick << '\t';
            WriteHex(out, &kind, 1);
            out << '\t' << unsigned{event.channel} << '\t' << unsigned{event.data1} << '\t' << unsigned{event.data2};
            if (kind == MIDI::kNoteOn) {
                out << '\t' << event.aux.duration;
            } else if ((kind == MIDI::kMeta || kind == MIDI::kSysEx) && event.aux.data) {
                const MIDI::EventData& data = *event.aux.data;
                const auto type = static_cast<std::uint8_t>(data.type);
                out << '\t';
                WriteHex(out, &type, 1);
                out << '\t';
                WriteHex(out, data.bytes, data.length);
            }
            out << '\n';
        }
    }
}

void WriteSummary(std::ostream& out, const char* path, const MIDI::File& file) {
    orvalis::SongTimeline timeline;
    timeline.PrepareSong(file);
    out << "File: " << path << '\n'
        << "Division: " << file.GetDivision() << " ticks per quarter note\n"
        << "Tracks: " << file.GetTrackCount() << '\n'
        << "Song end tick: " << timeline.SongEndTick << '\n';
    // Every Set Tempo of every track at its tick, as a player that follows
    // them plays the song.
    char length[64];
    std::snprintf(length, sizeof length, "%.3f", timeline.GetSongSeconds());
    out << "Song length: " << length << " s under the tempo map\n"
        << "Measures: " << timeline.GetMeasureCount() << '\n'
        << "File tempo: " << timeline.FileTempo << " BPM\n"
        << "First-track tempo: " << orvalis::SongTimeline::GetSongTempo(&file) << " BPM\n"
        << "Time signatures:";
    const char* separator = " ";
    for (const orvalis::TimeSignature& signature : timeline.TimeSignatures) {
        out << separator << unsigned{signature.Numerator} << '/' << unsigned{signature.Denominator} << " at tick "
            << signature.Tick;
        separator = ", ";
    }
    out << '\n';
    for (int t = 0; t < file.GetTrackCount(); ++t) {
        out << "Track " << t << ": " << file.GetTrack(t)->GetName() << '\n';
    }
    out << '\n';
    for (int t = 0; t < file.GetTrackCount(); ++t) {
        out << *file.GetTrack(t) << '\n';
    }
}

int UsageError(std::ostream& err, const std::string& message) {
    err << kProgram << ": " << message << '\n' << "Try '" << kProgram << " --help' for more information.\n";
    return 2;
}

}  // namespace

const char* HelpText() { return kHelp; }

int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    bool events = false;
    std::vector<const char*> files;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!optionsDone && (arg == "-h" || arg == "--help")) {
            out << kHelp;
            return 0;
        }
        if (!optionsDone && arg == "--events") {
            events = true;
        } else if (!optionsDone && arg == "--") {
            optionsDone = true;
        } else if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
            return UsageError(err, "unknown option '" + std::string(arg) + "'");
        } else {
            files.push_back(argv[i]);
        }
    }
    if (files.size() != 1) {
        return UsageError(err, files.empty() ? "no file given" : "give exactly one file");
    }
    const char* path = files[0];

    MIDI::File file;
    {
        // The reader shows open and read failures as notices; here they are
        // the tool's own messages and mark the run failed.
        platform::NoticeCapture notices;
        try {
            file.Load(path);
        } catch (const char* text) {
            err << kProgram << ": " << path << ": " << text << '\n';
            return 1;
        }
        // The reader's own text, then the system's reason for it.
        const std::vector<std::string> texts = notices.Texts();
        for (const std::string& text : texts) {
            err << kProgram << ": " << path << ": " << text;
            if (!file.GetReadFailure().empty()) {
                err << " (" << file.GetReadFailure() << ")";
            }
            err << '\n';
        }
        if (!texts.empty()) {
            return 1;
        }
    }
    if (file.GetTrackCount() == 0) {
        err << kProgram << ": " << path << ": not a Standard MIDI File (it has no tracks)\n";
        return 1;
    }
    if (events) {
        WriteEventLines(out, file);
    } else {
        WriteSummary(out, path, file);
    }
    out.flush();
    if (!out) {
        err << kProgram << ": cannot write the output\n";
        return 1;
    }
    return 0;
}

}  // namespace mididump
