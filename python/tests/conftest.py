"""Shared fixtures: a scratch registry with both control modules registered,
and small MIDI and media files made for the tests."""

import gc
import os
import pathlib
import subprocess

import pytest

import ocx

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = ROOT / "build" / "default"

ORVALIS = "ORVALIS.OrvalisCtrl.1"
VIDEO_SOURCE = "KESTRAVION.VideoSourceCtrl.1"
CAPTURE_DEVICE = 1  # records what it is sent, makes no sound

# Generous bounds: only a hang runs into them.
PATIENCE = 20.0


def module_path(variable, name):
    return os.environ.get(variable) or str(BUILD / name / f"{name}.so")


@pytest.fixture(scope="session")
def registry(tmp_path_factory):
    path = tmp_path_factory.mktemp("registry") / "registry"
    ocx.SetRegistryPath(str(path))
    ocx.RegisterModule(module_path("OCX_ORVALIS_MODULE", "orvalis"))
    ocx.RegisterModule(module_path("OCX_KESTRAVION_MODULE", "kestravion"))
    yield str(path)
    ocx.SetRegistryPath("")


@pytest.fixture(autouse=True)
def released():
    """Controls kept by reference cycles (a handler's traceback, say) end with
    their test: the capture device is one, and the next test opens it."""
    yield
    gc.collect()


@pytest.fixture
def player(registry):
    control = ocx.Dispatch(ORVALIS)
    yield control
    del control


def write_song(path, notes, ticks_per_beat=480, tempo=250000):
    """A type 1 file with one track per channel in `notes`, a dict of
    channel -> [(delta ticks, note, velocity)], each note held 20 ticks."""
    import mido

    song = mido.MidiFile(type=1, ticks_per_beat=ticks_per_beat)
    conductor = mido.MidiTrack([mido.MetaMessage("set_tempo", tempo=tempo, time=0)])
    song.tracks.append(conductor)
    for channel, events in notes.items():
        track = mido.MidiTrack([mido.MetaMessage("track_name", name=f"Channel {channel}", time=0)])
        for delta, note, velocity in events:
            track.append(mido.Message("note_on", channel=channel, note=note, velocity=velocity, time=delta))
            track.append(mido.Message("note_off", channel=channel, note=note, velocity=64, time=20))
        song.tracks.append(track)
    song.save(str(path))
    return str(path)


@pytest.fixture
def short_song(tmp_path):
    """About 0.6 s of notes on two channels, never two at the same time, and a
    note-on of velocity 0 (a note-off by another name)."""
    first = [(0, 60, 100), (40, 62, 90), (40, 64, 80), (40, 0, 0), (40, 65, 70)]
    second = [(10, 40, 50), (60, 43, 55), (60, 47, 60)]
    return write_song(tmp_path / "short.mid", {0: first, 1: second})


def make_media(folder, name, seconds):
    """A WebM file with test-pattern video and a sine, made with GStreamer."""
    path = pathlib.Path(folder) / name
    frames = max(1, int(seconds * 30))
    samples = int(seconds * 48000)
    pipeline = (
        f"webmmux name=mux ! filesink location={path} "
        f"videotestsrc num-buffers={frames} pattern=smpte ! video/x-raw,width=160,height=120,framerate=30/1 "
        "! vp8enc deadline=1 ! mux. "
        f"audiotestsrc num-buffers={samples // 960} samplesperbuffer=960 wave=sine ! audio/x-raw,rate=48000 "
        "! audioconvert ! vorbisenc ! mux."
    )
    subprocess.run(["gst-launch-1.0", "-q", *pipeline.split()], check=True, timeout=60,
                   stdout=subprocess.DEVNULL)
    return str(path)


@pytest.fixture(scope="session")
def media(tmp_path_factory):
    folder = tmp_path_factory.mktemp("media")
    return [make_media(folder, "first.webm", 0.5), make_media(folder, "second.webm", 0.7)]
