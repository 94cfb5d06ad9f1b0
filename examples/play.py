#!/usr/bin/python3
"""Plays a MIDI file through the player control, printing each note as it
sounds, and stops at the end of the song.

    PYTHONPATH=build/default/python python3 examples/play.py examples/example.mid
"""

import argparse
import os
import pathlib
import sys

import ocx

PROGID = "ORVALIS.OrvalisCtrl.1"
NOTE_NAMES = ["C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"]


def note_name(note):
    return f"{NOTE_NAMES[note % 12]}{note // 12 - 1}"


class Player:
    """The control's events: a line for each note, and the end of the song."""

    def __init__(self):
        self.ended = False
        self.notes = 0

    def OnNoteOn(self, channel, note, velocity, future):
        self.notes += 1
        print(f"channel {channel + 1:2}  {note_name(note):4} velocity {velocity}", flush=True)

    def OnSongEnd(self):
        self.ended = True


def module_candidates():
    """Where the player control's module may be: beside this build, or installed."""
    here = pathlib.Path(__file__).resolve().parent.parent
    yield str(here / "build" / "default" / "orvalis" / "orvalis.so")
    yield "orvalis"  # the installed module of that name


def make_player(module):
    try:
        return ocx.DispatchWithEvents(PROGID, Player)
    except ocx.ControlError as first:
        # Not registered yet: register the module, then try again.
        for candidate in [module] if module else module_candidates():
            if candidate != "orvalis" and not os.path.exists(candidate):
                continue
            try:
                ocx.RegisterModule(candidate)
                return ocx.DispatchWithEvents(PROGID, Player)
            except ocx.ControlError:
                continue
        raise first


def main():
    parser = argparse.ArgumentParser(description="Play a MIDI file through the player control, printing its notes.")
    parser.add_argument("file", help="the Standard MIDI File to play")
    parser.add_argument("--port", type=int, default=0,
                        help="the MIDI output device: 0 the synthesizer (default), 1 the capture device")
    parser.add_argument("--registry", help="the registry file to use instead of the default one")
    parser.add_argument("--module", help="the player control's module, registered when the registry lacks it")
    parser.add_argument("--timeout", type=float, default=None, help="stop after this many seconds")
    args = parser.parse_args()

    if not os.path.isfile(args.file):
        parser.exit(2, f"play.py: no such file: {args.file}\n")
    if args.registry:
        ocx.SetRegistryPath(args.registry)
    try:
        player = make_player(args.module)
    except ocx.ControlError as error:
        parser.exit(1, f"play.py: cannot make the player control: {error}\n")

    if not player.SetFileName(os.path.abspath(args.file)) or player.GetTrackCount() <= 0:
        parser.exit(1, f"play.py: not a MIDI file the player can read: {args.file}\n")
    if not player.OpenMidiPort(args.port):
        print(f"play.py: MIDI device {args.port} does not open; playing silently", file=sys.stderr)
    player.Monitor = True
    print(f"{args.file}: {player.GetTrackCount()} tracks, "
          f"{player.GetSongTempo():g} bpm", flush=True)
    if not player.Play():
        parser.exit(1, "play.py: playback does not start\n")
    try:
        finished = ocx.PumpMessagesUntil(lambda: player.ended, args.timeout)
    except KeyboardInterrupt:
        player.Stop()
        return 130
    player.Stop()
    print(f"{player.notes} notes" + ("" if finished else " (stopped before the end)"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
