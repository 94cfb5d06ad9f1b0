// The MIDI player control: its member and event tables, the members (thin
// wrappers around the song model and the sequencer), persistence and drawing.
// The notification window and the control's life are in NotificationWindow.cpp.

#include "OrvalisCtl.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <new>
#include <utility>

#include "midiframework/midifile.h"
#include "orvalis/SongTimeline.h"
#include "platform/gdi/gdi.h"
#include "platform/notice/notice.h"
#include "platform/window/text.h"

namespace orvalis {

namespace {

constexpr const char* kBadTrack = "Bad Track";
constexpr DWORD kPropertyVersion = 0x00010000;  // 1.0, the type library's version

// A track's name as the host sees it. Names are bytes from the file; the
// host's strings are UTF-8. A name that is UTF-8 already stays as it is;
// any other is taken as Latin-1, the common case for older files, so that
// every name reaches the host whole and as valid text.
std::string HostName(const char* name) {
    std::string_view bytes(name);
    // Valid UTF-8 is what survives the trip to UTF-16 and back unchanged.
    if (ToUtf8(ToUtf16(bytes)) == bytes) return std::string(bytes);
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            text += c;
        } else {
            text += static_cast<char>(0xC0 | b >> 6);
            text += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return text;
}

}  // namespace

const DispatchTable& COrvalisCtrl::DispatchMap() {
    using C = COrvalisCtrl;
    static const DispatchTable table{
        Property<VT_BOOL>("Monitor", &C::Monitor, &C::OnMonitorChanged),
        Method<VT_BOOL, VT_BSTR>("SetFileName", &C::SetFileName, {"FileName"}),
        Method<VT_I4>("GetTrackCount", &C::GetTrackCount),
        Method<VT_BSTR, VT_I4>("GetTrackName", &C::GetTrackName, {"TrackNumber"}),
        Method<VT_R8>("GetSongTempo", &C::GetSongTempo),
        Method<VT_EMPTY, VT_R8>("SetSongTempo", &C::SetSongTempo, {"TempoBPM"}),
        Method<VT_BOOL, VT_I4, VT_BOOL>("MuteTrackByNumber", &C::MuteChannel, {"NumTrack", "bMute"})
            .AlternateName("MuteChannel"),
        Method<VT_I4, VT_BSTR>("TrackNameToTrackNumber", &C::TrackNameToTrackNumber, {"TrackName"}),
        Method<VT_BOOL, VT_BSTR, VT_BOOL>("MuteTrackByName", &C::MuteTrackByName, {"TrackName", "bMute"}),
        Method<VT_BOOL, VT_I4>("SetLoopStart", &C::SetLoopStart, {"Measure"}),
        Method<VT_BOOL, VT_I4>("SetLoopEnd", &C::SetLoopEnd, {"Measure"}),
        Method<VT_BOOL, VT_R8 | VT_BYREF, VT_I4 | VT_BYREF, VT_I4 | VT_BYREF>("GetTempoInfo", &C::GetTempoInfo,
                                                                              {"BPM", "Numerator", "Denominator"}),
        Method<VT_BOOL, VT_I4>("OpenMidiPort", &C::OpenMidiPort, {"MidiPort"}),
        Method<VT_BOOL>("CloseMidiPort", &C::CloseMidiPort),
        Method<VT_BOOL>("Play", &C::Play),
        Method<VT_BOOL>("Stop", &C::Stop),
        Method<VT_BOOL, VT_R8>("SetTempo", &C::SetTempo, {"Tempo"}),
        Method<VT_I4>("GetMeasureCount", &C::GetMeasureCount),
        Method<VT_I4>("GetTickCount", &C::GetTickCount),
        Method<VT_I4>("PollTick", &C::PollTick),
        Method<VT_I4>("PollMeasure", &C::PollMeasure),
        Method<VT_I4>("GetPolyCount", &C::GetPolyCount),
        Method<VT_BOOL, VT_I4>("Seek", &C::Seek, {"Measure"}),
        Method<VT_BOOL, VT_BOOL>("EnableLoop", &C::EnableLoop, {"bEnable"}),
        Method<VT_BSTR, VT_I4>("GetPropertaryMeta", &C::GetPropertaryMeta, {"MetaNumber"}),
        Method<VT_BOOL, VT_I4, VT_I4, VT_I4>("SendMessage", &C::SendShortMessage, {"Status", "Value1", "Value2"}),
        Method<VT_I4, VT_I4>("MeasureToTick", &C::MeasureToTick, {"Measure"}),
        Method<VT_I4, VT_I4>("TickToMeasure", &C::TickToMeasure, {"Tick"}),
        Property<VT_BOOL>("FollowTempoMap", &C::FollowTempoMap, &C::OnFollowTempoMapChanged),
        Method<VT_I4>("PollTime", &C::PollTime),
        Method<VT_R8>("GetSongLength", &C::GetSongLength),
        Method<VT_R8, VT_I4>("TickToTime", &C::TickToTime, {"Tick"}),
        Property<VT_BOOL>("FullChase", &C::FullChase, &C::OnFullChaseChanged),
    };
    return table;
}

const EventTable& COrvalisCtrl::EventMap() {
    static const EventTable table{
        StockErrorEvent(),
        Event("SongEnd"),
        Event<VT_I4, VT_I4, VT_I4, VT_I4>("NoteOn", {"Channel", "Note", "Velocity", "Future"}),
        Event<VT_I4, VT_I4, VT_I4, VT_I4>("NoteOff", {"Channel", "Note", "Velocity", "Future"}),
    };
    return table;
}

BOOL COrvalisCtrl::SetFileName(const std::string& fileName) noexcept {
    try {
        // The old song goes before the new one is read: two songs never
        // share the memory.
        Player.LoadSong(nullptr, {});
        auto file = std::make_unique<MIDI::File>();
        if (fileName.find('\0') != std::string::npos) {
            // The reader takes a C string; the part before the zero would
            // name another file. Such a name opens nothing.
            ShowNotice(MIDI::kUnableToOpenFile);
        } else {
            file->Load(fileName.c_str());
        }
        SongTimeline timeline;
        timeline.PrepareSong(*file);
        Player.LoadSong(std::move(file), std::move(timeline));
        return TRUE;
    } catch (...) {
        // The reader's refusal of a malformed track, or memory running out:
        // the new song is gone with its locals, and the old one went first.
        return FALSE;
    }
}

std::int32_t COrvalisCtrl::GetTrackCount() noexcept {
    const MIDI::File* song = Player.GetSong();
    return song ? song->GetTrackCount() : -1;
}

std::string COrvalisCtrl::GetTrackName(std::int32_t trackNumber) noexcept {
    try {
        const MIDI::File* song = Player.GetSong();
        if (!song || trackNumber < 0 || trackNumber >= song->GetTrackCount()) return kBadTrack;
        return HostName(song->GetTrack(trackNumber)->GetName());
    } catch (...) {
        return kBadTrack;
    }
}

double COrvalisCtrl::GetSongTempo() noexcept { return SongTimeline::GetSongTempo(Player.GetSong()); }

void COrvalisCtrl::SetSongTempo(double tempoBpm) noexcept { Player.SetSongTempo(tempoBpm); }

BOOL COrvalisCtrl::MuteChannel(std::int32_t channel, BOOL mute) noexcept {
    Player.MuteChannel(channel, mute ? 1 : 0);
    return TRUE;
}

std::int32_t COrvalisCtrl::FindTrack(const std::string& trackName) const {
    const MIDI::File* song = Player.GetSong();
    if (!song) return -1;
    for (int i = 0; i < song->GetTrackCount(); ++i) {
        // Over the length of the name asked for only: "Pia" finds "Piano 1".
        const std::string name = HostName(song->GetTrack(i)->GetName());
        if (name.size() >= trackName.size() &&
            EqualsNoCase(std::string_view(name).substr(0, trackName.size()), trackName)) {
            return i;
        }
    }
    return -1;
}

std::int32_t COrvalisCtrl::TrackNameToTrackNumber(const std::string& trackName) noexcept {
    try {
        return FindTrack(trackName);
    } catch (...) {
        return -1;
    }
}

BOOL COrvalisCtrl::MuteTrackByName(const std::string& trackName, BOOL mute) noexcept {
    std::int32_t track = -1;
    try {
        track = FindTrack(trackName);
    } catch (...) {
        return FALSE;
    }
    if (track < 0) return FALSE;
    // The track's index is taken as the channel: a track past 15 mutes nothing.
    Player.MuteChannel(track, mute ? 1 : 0);
    return TRUE;
}

BOOL COrvalisCtrl::SetLoopStart(std::int32_t measure) noexcept { return Player.SetLoopStart(measure) ? TRUE : FALSE; }

BOOL COrvalisCtrl::SetLoopEnd(std::int32_t measure) noexcept { return Player.SetLoopEnd(measure) ? TRUE : FALSE; }

BOOL COrvalisCtrl::GetTempoInfo(double* bpm, std::int32_t* numerator, std::int32_t* denominator) noexcept {
    if (!Player.GetSong() || !bpm || !numerator || !denominator) return FALSE;
    const SongTimeline& timeline = Player.Timeline();
    *bpm = timeline.FileTempo;
    *numerator = timeline.Numerator;
    *denominator = timeline.Denominator;
    return TRUE;
}

BOOL COrvalisCtrl::OpenMidiPort(std::int32_t port) noexcept { return Output.Open(port) ? TRUE : FALSE; }

BOOL COrvalisCtrl::CloseMidiPort() noexcept { return Output.Close() ? TRUE : FALSE; }

BOOL COrvalisCtrl::Play() noexcept {
    // Whatever the step posts before the notification window exists is
    // lost; a song played at once after the control was made would lose its
    // first notes. The window is normally there long before.
    WaitForNotifyWindow(std::chrono::steady_clock::now() + kWorkerJoinLimit);
    return Player.Play() ? TRUE : FALSE;
}

BOOL COrvalisCtrl::Stop() noexcept { return Player.Stop() ? TRUE : FALSE; }

BOOL COrvalisCtrl::SetTempo(double tempo) noexcept { return Player.SetTempo(tempo) ? TRUE : FALSE; }

std::int32_t COrvalisCtrl::GetMeasureCount() noexcept { return Player.Timeline().GetMeasureCount(); }

std::int32_t COrvalisCtrl::GetTickCount() noexcept {
    const std::uint32_t end = Player.Timeline().GetTickCount();
    return static_cast<std::int32_t>(std::min<std::uint32_t>(end, std::numeric_limits<std::int32_t>::max()));
}

std::int32_t COrvalisCtrl::PollTick() noexcept { return Player.PollTick(); }

std::int32_t COrvalisCtrl::PollMeasure() noexcept { return Player.PollMeasure(); }

std::int32_t COrvalisCtrl::GetPolyCount() noexcept { return Player.GetPolyCount(); }

BOOL COrvalisCtrl::Seek(std::int32_t measure) noexcept { return Player.Seek(measure) ? TRUE : FALSE; }

BOOL COrvalisCtrl::EnableLoop(BOOL enable) noexcept { return Player.EnableLoop(enable) ? TRUE : FALSE; }

std::string COrvalisCtrl::GetPropertaryMeta(std::int32_t metaNumber) noexcept {
    try {
        std::string text;
        const MIDI::File* song = Player.GetSong();
        if (!song || metaNumber < 0 || metaNumber > 0xFF) return text;
        for (int t = 0; t < song->GetTrackCount(); ++t) {
            const MIDI::Track* track = song->GetTrack(t);
            for (int i = 0; i < track->GetEventCount(); ++i) {
                const MIDI::Event* event = track->GetEvent(i);
                if (event->kind != MIDI::kMeta) continue;
                const MIDI::EventData* data = event->aux.data;
                if (!data || data->type != MIDI::kMetaSequencerSpecific || data->length == 0 || !data->bytes ||
                    data->bytes[0] != metaNumber) {
                    continue;
                }
                for (std::uint32_t b = 1; b < data->length; ++b) {
                    char digits[3];
                    std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(data->bytes[b]));
                    text += digits;
                }
            }
        }
        return text;
    } catch (...) {
        return {};
    }
}

BOOL COrvalisCtrl::SendShortMessage(std::int32_t status, std::int32_t value1, std::int32_t value2) noexcept {
    Output.SendShort(status, value1, value2);
    return TRUE;
}

std::int32_t COrvalisCtrl::MeasureToTick(std::int32_t measure) noexcept {
    return Player.Timeline().MeasureToTick(measure);
}

std::int32_t COrvalisCtrl::TickToMeasure(std::int32_t tick) noexcept { return Player.Timeline().TickToMeasure(tick); }

std::int32_t COrvalisCtrl::PollTime() noexcept { return Player.PollTime(); }

double COrvalisCtrl::GetSongLength() noexcept { return Player.GetSongLength(); }

double COrvalisCtrl::TickToTime(std::int32_t tick) noexcept { return Player.TickToTime(tick); }

void COrvalisCtrl::OnMonitorChanged() noexcept {
    SetModifiedFlag();
    Player.SetMonitor(Monitor ? 1 : 0);
}

void COrvalisCtrl::OnFollowTempoMapChanged() noexcept {
    SetModifiedFlag();
    Player.SetFollowTempoMap(FollowTempoMap ? 1 : 0);
}

void COrvalisCtrl::OnFullChaseChanged() noexcept {
    SetModifiedFlag();
    Player.SetFullChase(FullChase ? 1 : 0);
}

// Loading and resetting write the members without their change
// notifications, so both hand the values to the sequencer here.
void COrvalisCtrl::PushPersistedToPlayer() noexcept {
    Player.SetMonitor(Monitor ? 1 : 0);
    Player.SetFollowTempoMap(FollowTempoMap ? 1 : 0);
    Player.SetFullChase(FullChase ? 1 : 0);
}

void COrvalisCtrl::DoPropExchange(CPropExchange* px) {
    ExchangeVersion(px, kPropertyVersion, TRUE);
    COleControl::DoPropExchange(px);
    PX_Bool(px, "Monitor", Monitor, FALSE);
    // Saved before these two existed, data has no entries for them and
    // loads them as FALSE: the song plays as it always did.
    PX_Bool(px, "FollowTempoMap", FollowTempoMap, FALSE);
    PX_Bool(px, "FullChase", FullChase, FALSE);
    if (px->IsLoading()) PushPersistedToPlayer();
}

void COrvalisCtrl::OnResetState() {
    COleControl::OnResetState();
    Monitor = FALSE;
    FollowTempoMap = FALSE;
    FullChase = FALSE;
    PushPersistedToPlayer();
}

void COrvalisCtrl::OnDraw(HDC dc, const RECT& bounds, const RECT&) {
    FillRect(dc, &bounds, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    Ellipse(dc, bounds.left, bounds.top, bounds.right, bounds.bottom);
}

std::vector<CLSID> COrvalisCtrl::GetPropPageIDs() const { return {CLSID_OrvalisPropPage}; }

}  // namespace orvalis
