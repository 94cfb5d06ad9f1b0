"""Events as a script meets them: handlers that call back, raise or let the
control go, controls on two threads, and a script that ends mid-song."""

import gc
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import ocx
from conftest import CAPTURE_DEVICE, ORVALIS, PATIENCE, write_song


def threads():
    return len(os.listdir("/proc/self/task"))


def wait_until(done, limit=PATIENCE):
    deadline = time.monotonic() + limit
    while not done() and time.monotonic() < deadline:
        ocx.PumpMessages(0.02)
    return done()


@pytest.fixture
def long_song(tmp_path):
    """About three seconds of notes: longer than any test lets it play."""
    notes = [(30, 60 + i % 12, 80) for i in range(100)]
    return write_song(tmp_path / "long.mid", {0: notes})


def playing(song, handler=None, port=True):
    player = ocx.DispatchWithEvents(ORVALIS, handler) if handler else ocx.Dispatch(ORVALIS)
    assert player.SetFileName(song)
    # One capture device: a second control plays without a port (its events come all the same).
    assert not port or player.OpenMidiPort(CAPTURE_DEVICE)
    player.Monitor = True
    assert player.Play()
    return player


class Counter:
    def __init__(self):
        self.notes = 0
        self.ends = 0

    def OnNoteOn(self, channel, note, velocity, future):
        self.notes += 1

    def OnSongEnd(self):
        self.ends += 1


def test_a_handler_that_stops_the_control_does_not_deadlock(registry, long_song):
    class Stopper(Counter):
        def OnNoteOn(self, *args):
            super().OnNoteOn(*args)
            self.stopped = self.Stop()

    player = playing(long_song, Stopper)
    assert ocx.PumpMessagesUntil(lambda: player.notes > 0, PATIENCE)
    assert player.stopped is True
    ocx.PumpMessages(0.2)
    settled = player.notes
    ocx.PumpMessages(0.3)
    assert player.notes == settled, "no notes after the handler stopped the song"
    assert player.ends == 0


def test_a_handler_that_raises_goes_to_unraisablehook_and_the_events_go_on(registry, short_song, monkeypatch):
    raised = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: raised.append(info.exc_value))

    class Raiser(Counter):
        def OnNoteOn(self, *args):
            super().OnNoteOn(*args)
            raise RuntimeError(f"note {self.notes}")

    player = playing(short_song, Raiser)
    assert ocx.PumpMessagesUntil(lambda: player.ends > 0, PATIENCE)
    assert player.notes == 7
    assert [str(error) for error in raised] == [f"note {n}" for n in range(1, 8)]


def test_with_events_attaches_a_separate_handler(registry, short_song):
    player = playing(short_song)
    first = ocx.WithEvents(player, Counter)
    second = ocx.WithEvents(player, Counter())
    assert isinstance(first, Counter) and not isinstance(first, ocx.Control)
    assert ocx.PumpMessagesUntil(lambda: first.ends > 0 and second.ends > 0, PATIENCE)
    assert first.notes == second.notes == 7


def test_releasing_the_control_disconnects_it_and_ends_its_threads(registry, long_song):
    ocx.Dispatch(ORVALIS)  # the first control's one-off threads, if any
    gc.collect()
    before = threads()
    player = playing(long_song)
    handler = ocx.WithEvents(player, Counter)
    assert ocx.PumpMessagesUntil(lambda: handler.notes > 0, PATIENCE)
    assert threads() > before
    del player
    gc.collect()
    heard = handler.notes
    ocx.PumpMessages(0.3)
    assert handler.notes == heard, "no events after the control went"
    assert wait_until(lambda: threads() == before), "the control's threads end"


def test_a_released_control_and_a_wrong_thread_raise_control_error(registry):
    player = ocx.Dispatch(ORVALIS)
    failures = []

    def elsewhere():
        try:
            player.GetTrackCount()
        except ocx.ControlError as error:
            failures.append(error.code)

    worker = threading.Thread(target=elsewhere)
    worker.start()
    worker.join()
    assert failures == [0x8001010E]
    assert player.GetTrackCount() == -1


def test_controls_on_two_threads_each_hear_their_events_on_their_own_thread(registry, short_song):
    seen = {}

    def run(name):
        class Recorder(Counter):
            def __init__(self):
                super().__init__()
                self.threads = set()

            def OnNoteOn(self, *args):
                super().OnNoteOn(*args)
                self.threads.add(threading.get_ident())

            def OnSongEnd(self):
                super().OnSongEnd()
                self.threads.add(threading.get_ident())

        player = playing(short_song, Recorder, port=False)
        done = ocx.PumpMessagesUntil(lambda: player.ends > 0, PATIENCE)
        seen[name] = (threading.get_ident(), player.threads, player.notes, done)
        player.Stop()

    workers = [threading.Thread(target=run, args=(name,)) for name in ("left", "right")]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(PATIENCE)
    assert set(seen) == {"left", "right"}
    for ident, fired_on, notes, done in seen.values():
        assert done and notes == 7
        assert fired_on == {ident}
    assert seen["left"][0] != seen["right"][0]


def test_a_control_outliving_its_thread_is_released_with_it(registry):
    made = []
    worker = threading.Thread(target=lambda: made.append(ocx.Dispatch(ORVALIS)))
    worker.start()
    worker.join()
    with pytest.raises(ocx.ControlError) as raised:
        made[0].GetTrackCount()
    assert raised.value.code == 0x80010108


def test_pumping_checks_its_arguments_and_ends_on_a_failing_predicate(registry):
    with pytest.raises(ValueError):
        ocx.PumpMessages(-1)
    assert ocx.PumpMessagesUntil(lambda: False, 0.05) is False
    assert ocx.PumpWaitingMessages() == 0

    def broken():
        raise KeyError("predicate")

    with pytest.raises(KeyError):
        ocx.PumpMessagesUntil(broken, 1.0)


def test_a_script_that_ends_while_the_song_plays_exits_cleanly(registry, long_song):
    script = textwrap.dedent(f"""
        import ocx
        ocx.SetRegistryPath({registry!r})
        class Handler:
            notes = 0
            def OnNoteOn(self, *args):
                self.notes += 1
        player = ocx.DispatchWithEvents("{ORVALIS}", Handler)
        player.SetFileName({long_song!r})
        player.OpenMidiPort({CAPTURE_DEVICE})
        player.Monitor = True
        player.Play()
        ocx.PumpMessagesUntil(lambda: player.notes > 3, 20)
        other = ocx.Dispatch("{ORVALIS}")
        other.SetFileName({long_song!r})
        other.Monitor = True
        other.Play()
        print("playing", player.notes > 3)
    """)
    started = time.monotonic()
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=30,
                          env=dict(os.environ))
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "playing True"
    assert time.monotonic() - started < 15
