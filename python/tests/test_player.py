"""The player control driven from Python: its members by name with checked
values, its failure values, and a song played on the capture device whose
note events match what an independent reader finds in the file."""

import threading

import mido
import pytest

import ocx
from conftest import CAPTURE_DEVICE, ORVALIS, PATIENCE


class Notes:
    def __init__(self):
        self.on = []
        self.ends = 0
        self.threads = set()

    def OnNoteOn(self, channel, note, velocity, future):
        self.threads.add(threading.get_ident())
        self.on.append((channel, note, velocity, future))

    def OnSongEnd(self):
        self.threads.add(threading.get_ident())
        self.ends += 1


def note_ons(path):
    return [(m.channel, m.note, m.velocity, 0) for m in mido.MidiFile(path) if m.type == "note_on" and m.velocity > 0]


def test_played_song_gives_the_files_note_ons_in_order_then_song_end(registry, short_song):
    player = ocx.DispatchWithEvents(ORVALIS, Notes)
    assert isinstance(player, Notes) and isinstance(player, ocx.Control)
    assert player.SetFileName(short_song) is True
    assert player.OpenMidiPort(CAPTURE_DEVICE) is True
    player.Monitor = True
    assert player.Monitor is True
    assert player.Play() is True
    assert ocx.PumpMessagesUntil(lambda: player.ends > 0, PATIENCE)
    assert player.Stop() is True
    assert player.on == note_ons(short_song)
    assert player.threads == {threading.get_ident()}, "events run on the thread that made the control"


def test_tempo_info_comes_back_as_a_tuple_of_result_and_outputs(player, short_song):
    assert player.SetFileName(short_song)
    ok, bpm, numerator, denominator = player.GetTempoInfo()
    assert (ok, bpm, numerator, denominator) == (True, 240.0, 4, 4)
    assert isinstance(numerator, int) and isinstance(bpm, float)
    assert player.GetTrackName(1) == "Channel 0"
    assert player.TrackNameToTrackNumber("channel 1") == 2


def test_every_member_gives_its_failure_value_without_a_song(player):
    assert player.GetTrackCount() == -1
    assert player.GetTrackName(0) == "Bad Track"
    assert player.GetSongTempo() == 120.0
    assert player.TrackNameToTrackNumber("Piano") == -1
    assert player.MuteTrackByName("Piano", True) is False
    assert player.MuteTrackByNumber(3, True) is True
    assert player.GetTempoInfo(1.5, 7, 9) == (False, 1.5, 7, 9), "outputs untouched on failure"
    assert player.OpenMidiPort(99) is False
    assert player.CloseMidiPort() is False
    assert player.Seek(0) is False
    assert player.EnableLoop(True) is False
    assert player.GetPropertaryMeta(5) == ""
    assert player.GetTickCount() == 0
    assert player.PollTick() == 0
    assert player.Stop() is True
    assert player.SendMessage(0x90, 60, 100) is True


def test_names_resolve_without_case_and_through_the_controls_own_names(player):
    player.monitor = True
    assert player.MONITOR is True
    assert player.settempo(90.5) is True
    assert player.MuteChannel(2, True) is True, "the control's own name for MuteTrackByNumber"
    names = dir(player)
    assert {"Monitor", "SetFileName", "GetTempoInfo", "MuteTrackByNumber", "TickToMeasure"} <= set(names)
    assert hasattr(player, "Play") and not hasattr(player, "Rewind")


@pytest.mark.parametrize(
    "call, code",
    [
        (lambda p: p.Rewind, 0x80020006),
        (lambda p: p.Invoke("Rewind"), 0x80020006),
        (lambda p: setattr(p, "Rewind", 1), 0x80020006),
        (lambda p: p.SetFileName(42), 0x80020005),
        (lambda p: p.SetFileName(None), 0x80020005),
        (lambda p: p.SetFileName("a\0b"), 0x80020005),
        (lambda p: p.GetTrackName("1"), 0x80020005),
        (lambda p: p.GetTrackName(1.0), 0x80020005),
        (lambda p: p.GetTrackName(2**31), 0x8002000A),
        (lambda p: p.GetTrackName(-(2**31) - 1), 0x8002000A),
        (lambda p: p.GetTrackName(), 0x8002000E),
        (lambda p: p.GetTrackName(1, 2), 0x8002000E),
        (lambda p: p.GetTempoInfo(1.0, 2, 3, 4), 0x8002000E),
        (lambda p: setattr(p, "Monitor", "yes"), 0x80020005),
        (lambda p: setattr(p, "Play", True), 0x80020003),
    ],
    ids=[
        "unknown-get", "unknown-invoke", "unknown-set", "int-for-string", "none-for-string", "nul-in-string",
        "str-for-long", "float-for-long", "long-too-big", "long-too-small", "too-few", "too-many",
        "too-many-outputs", "str-for-bool", "set-a-method",
    ],
)
def test_a_wrong_call_raises_control_error_before_anything_is_called(player, short_song, call, code):
    assert player.SetFileName(short_song)
    with pytest.raises(ocx.ControlError) as raised:
        call(player)
    assert raised.value.code == code
    assert raised.value.member and raised.value.text
    assert player.GetTrackCount() == 3, "the song is still the one loaded"


def test_strings_go_both_ways_as_utf8(player, tmp_path, short_song):
    import shutil

    named = tmp_path / "Lied für Ålesund ♫.mid"
    shutil.copy(short_song, named)
    assert player.SetFileName(str(named)) is True
    assert player.GetTrackCount() == 3
    assert player.TrackNameToTrackNumber("CHANNEL 0") == 1


def test_properties_are_saved_and_loaded_as_a_dict_and_as_a_file(player, registry, tmp_path):
    player.Monitor = True
    saved = player.SaveProperties()
    assert saved["Monitor"] in ("true", "True", "1", "-1")
    other = ocx.Dispatch(ORVALIS)
    assert other.Monitor is False
    assert other.LoadProperties(saved) == []
    assert other.Monitor is True

    path = tmp_path / "player.ocx"
    player.SaveProperties(str(path))
    third = ocx.Dispatch(ORVALIS, properties=str(path))
    assert third.Monitor is True
    with pytest.raises(ocx.ControlError):
        other.LoadProperties(str(tmp_path / "missing.ocx"))
    with pytest.raises(ocx.ControlError):
        other.LoadProperties({"Monitor": [1]})


def test_unknown_classes_and_modules_raise_control_error(registry, tmp_path):
    with pytest.raises(ocx.ControlError) as raised:
        ocx.Dispatch("NOSUCH.Control.1")
    assert "NOSUCH.Control.1" in raised.value.text
    with pytest.raises(ocx.ControlError):
        ocx.RegisterModule(str(tmp_path / "missing.so"))
    not_a_module = tmp_path / "text.so"
    not_a_module.write_text("not a module")
    with pytest.raises(ocx.ControlError):
        ocx.RegisterModule(str(not_a_module))
