"""The video source control from Python: its button strip clicked as a user
would, a Play refused by reference and by return value, the group played to
its end, and the streams' volume and pan."""

import pytest

import ocx
from conftest import PATIENCE, VIDEO_SOURCE

PLAY_BUTTON = (13, 13)


class Source:
    def __init__(self):
        self.events = []
        self.errors = []
        self.refuse = None  # how OnPlay answers: "ref", "return" or None

    def OnPlay(self, refuse):
        self.events.append("Play")
        assert isinstance(refuse, ocx.Ref) and refuse.value is False
        if self.refuse == "ref":
            refuse.value = True
        elif self.refuse == "return":
            return True

    def OnComplete(self):
        self.events.append("Complete")

    def OnError(self, number, description, scode, source, help_file, help_context, cancel_display):
        self.errors.append(description.value)
        cancel_display.value = True


@pytest.fixture
def source(registry, media):
    control = ocx.DispatchWithEvents(VIDEO_SOURCE, Source)
    for path in media:
        assert control.AddFile(path, 0) is True, control.LastError()
    assert control.Prepare() is True
    assert control.ShowInWindow(81, 27) == control.WindowHandle != 0
    yield control
    del control


@pytest.mark.parametrize("how", ["ref", "return"])
def test_a_refused_play_click_leaves_the_group_stopped(source, how):
    source.refuse = how
    source.Click(*PLAY_BUTTON)
    assert ocx.PumpMessagesUntil(lambda: source.events, PATIENCE)
    ocx.PumpMessages(0.2)
    assert source.events == ["Play"]
    assert source.Peek() == 0.0
    assert source.Stop() is False, "nothing plays"
    assert source.errors == ["Video(s) not playing..."]


def test_an_accepted_play_click_runs_the_group_to_complete(source):
    source.Click(*PLAY_BUTTON)
    assert ocx.PumpMessagesUntil(lambda: "Complete" in source.events, PATIENCE)
    assert source.events == ["Play", "Complete"]
    assert source.errors == []
    assert source.Stop() is True


def test_volume_and_pan_round_trip_per_stream(source):
    assert source.SetVolume(0, 0.5) is True
    assert source.SetPan(1, 1.0) is True
    assert source.GetVolume(0) == 0.5000000126310624
    assert source.GetPan(1) == 0.9999999747378752
    assert source.GetVolume(1) == 1.0 and source.GetPan(0) == 0.0


def test_click_and_activate_say_what_they_need(registry):
    control = ocx.Dispatch(VIDEO_SOURCE)
    with pytest.raises(ocx.ControlError):
        control.Click(*PLAY_BUTTON)
    with pytest.raises(ocx.ControlError):
        control.ShowInWindow(0, 27)
    if ocx.DisplayInUse():
        return  # this process shows its windows: test_display covers Activate
    with pytest.raises(ocx.ControlError) as raised:
        control.Activate(0x1200007, 0, 0, 81, 27)
    assert raised.value.code == 0x8000FFFF and "ocx.UseDisplay()" in raised.value.text
