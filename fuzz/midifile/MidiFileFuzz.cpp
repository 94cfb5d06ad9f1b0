// Feeds arbitrary bytes to the MIDI file reader, then everything that reads a
// loaded song: the invariant check, the timeline and the text dump. A crash,
// a sanitizer report, an unknown error text or a broken invariant is a find.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <streambuf>
#include <string>

#include "SongInvariants.h"
#include "midiframework/midifile.h"
#include "orvalis/SongTimeline.h"

namespace {

// Swallows the dump but lets every formatting step run.
class DiscardBuffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "midifile fuzz: %s\n", what.c_str());
    std::abort();
}

bool IsReaderText(const char* text) {
    for (const char* known :
         {MIDI::kBadTrackFormat, MIDI::kRunningStatusNotDefined, MIDI::kBadChunkSize, MIDI::kTooManyTracks}) {
        if (text == known || std::strcmp(text, known) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    MIDI::File file;
    try {
        file.LoadFromMemory(data, size);
    } catch (const char* text) {
        if (!IsReaderText(text)) {
            Fail(std::string("unknown error text: ") + text);
        }
        return 0;
    }
    const std::string broken = smf::CheckLoadedSong(file);
    if (!broken.empty()) {
        Fail(broken);
    }

    orvalis::SongTimeline timeline;
    timeline.PrepareSong(file);
    const std::int32_t measures = timeline.GetMeasureCount();
    for (std::int32_t measure : {0, 1, measures, measures + 1, -1, INT32_MAX, INT32_MIN}) {
        const std::int32_t tick = timeline.MeasureToTick(measure);
        timeline.TickToMeasure(tick);
    }
    timeline.TickToMeasure(static_cast<std::int32_t>(timeline.SongEndTick));
    orvalis::SongTimeline::GetSongTempo(&file);

    DiscardBuffer discard;
    std::ostream out(&discard);
    for (int t = 0; t < file.GetTrackCount(); ++t) {
        out << *file.GetTrack(t);
    }
    return 0;
}
