"""The example scripts, run as a user runs them."""

import os
import pathlib
import subprocess
import sys

import mido

from conftest import CAPTURE_DEVICE, module_path

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
