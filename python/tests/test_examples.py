"""The example scripts, run as a user runs them."""

import os
import pathlib
import subprocess
import sys

import mido
import pytest

from conftest import CAPTURE_DEVICE, PATIENCE, module_path
import xdisplay

EXAMPLES = pathlib.Path(os.environ.get("OCX_EXAMPLES") or pathlib.Path(__file__).resolve().parents[2] / "examples")


def run(*args, registry):
    return subprocess.run([sys.executable, str(EXAMPLES / "play.py"), "--registry", registry, *args],
                          capture_output=True, text=True, timeout=60)


def test_play_prints_every_note_and_ends_with_the_song(short_song, tmp_path):
    # A fresh registry: the script registers the module it is told of.
    registry = str(tmp_path / "registry")
    done = run("--port", str(CAPTURE_DEVICE), "--module", module_path("OCX_ORVALIS_MODULE", "orvalis"), short_song,
               registry=registry)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    notes = [m for m in mido.MidiFile(short_song) if m.type == "note_on" and m.velocity > 0]
    assert lines[0].endswith(": 3 tracks, 240 bpm")
    assert lines[1] == "channel  1  C4   velocity 100"
    assert len(lines) == len(notes) + 2
    assert lines[-1] == f"{len(notes)} notes"


def test_play_refuses_what_it_cannot_play(tmp_path):
    registry = str(tmp_path / "registry")
    missing = run(str(tmp_path / "missing.mid"), registry=registry)
    assert missing.returncode == 2 and "no such file" in missing.stderr
    text = tmp_path / "text.mid"
    text.write_text("not a song")
    module = module_path("OCX_ORVALIS_MODULE", "orvalis")
    garbage = run("--port", str(CAPTURE_DEVICE), "--module", module, str(text), registry=registry)
    assert garbage.returncode == 1 and "not a MIDI file" in garbage.stderr
    help_text = subprocess.run([sys.executable, str(EXAMPLES / "play.py"), "--help"], capture_output=True, text=True)
    assert help_text.returncode == 0 and "--port" in help_text.stdout


SMPTE_BARS = [(255, 255, 255), (255, 255, 0), (0, 255, 255), (0, 255, 0), (255, 0, 255), (255, 0, 0), (0, 0, 255)]


@pytest.fixture(scope="module")
def x_server():
    try:
        import tkinter  # noqa: F401  the wall is a Tk program
    except ImportError:
        pytest.skip("python3-tk is missing")
    try:
        server = xdisplay.Server()
    except (FileNotFoundError, TimeoutError, RuntimeError) as error:
        pytest.skip(f"no X server for the test: {error}")
    yield server.name
    server.stop()


def wall(*args, display, registry, **options):
    return subprocess.Popen(
        [sys.executable, str(EXAMPLES / "video_wall.py"), "--registry", registry,
         "--module", module_path("OCX_KESTRAVION_MODULE", "kestravion"), *args],
        env=dict(os.environ, DISPLAY=display), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **options)


def test_video_wall_shows_the_clips_in_its_tk_frames_follows_its_size_and_closes_by_itself(x_server, tmp_path):
    running = wall("--clips", "2", "--clip-seconds", "4", "--seconds", "4", display=x_server,
                   registry=str(tmp_path / "registry"))
    try:
        first = running.stdout.readline().split()
        assert first[:1] == ["wall"], running.stderr.read()
        window = int(first[1], 16)
        cells = [running.stdout.readline().split() for _ in range(2)]
        assert [line[:1] for line in cells] == [["cell"], ["cell"]]
        cell = int(cells[0][1], 16)

        def shows_bars(width):
            picture = xdisplay.Picture(x_server, cell)
            if picture.width != width:
                return False
            row = [picture.at(int((bar + 0.5) * width / 7), picture.height // 5) for bar in range(7)]
            return all(max(abs(a - b) for a, b in zip(seen, bar)) <= 28 for seen, bar in zip(row, SMPTE_BARS))

        assert xdisplay.eventually(lambda: shows_bars(320), 10), "the first clip's bars fill its frame"
        # The window grows as a user would grow it; the frames, and the
        # pictures in them, share the new width.
        info = xdisplay.window_info(x_server, window)
        while info["parent"] not in (info["root"], None):  # Tk's wrapper: the window a user resizes
            window = info["parent"]
            info = xdisplay.window_info(x_server, window)
        subprocess.run(["xdotool", "windowsize", str(window), str(info["width"] + 200), str(info["height"])],
                       check=True, timeout=10, env=dict(os.environ, DISPLAY=x_server))
        assert xdisplay.eventually(lambda: shows_bars(420), 10), "the bars follow the frame's new width"
        assert running.wait(PATIENCE) == 0, running.stderr.read()
    finally:
        if running.poll() is None:
            running.kill()
            running.wait()


def test_video_wall_refuses_what_it_cannot_show(x_server, tmp_path):
    text = tmp_path / "text.webm"
    text.write_text("not a video")
    registry = str(tmp_path / "registry")
    bad = wall(str(text), display=x_server, registry=registry)
    _, error = bad.communicate(timeout=PATIENCE)
    assert bad.returncode == 1 and "text.webm" in error
    missing = wall(str(tmp_path / "missing.webm"), display=x_server, registry=registry)
    _, error = missing.communicate(timeout=PATIENCE)
    assert missing.returncode == 2 and "no such file" in error
    headless = wall("--clips", "1", display="", registry=registry)
    _, error = headless.communicate(timeout=PATIENCE)
    assert headless.returncode == 1 and "display" in error
