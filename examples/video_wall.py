#!/usr/bin/python3
"""A wall of videos in a Tk window: one video source control plays every file
as one group, each file in a video consumer control placed inside a Tk frame
of the grid. The Play, Pause and Stop buttons of the Tk row call the source's
methods; its own button strip sits beside them and works as well. The
pictures follow the window's size.

    PYTHONPATH=build/default/python python3 examples/video_wall.py             # four generated clips
    PYTHONPATH=build/default/python python3 examples/video_wall.py a.webm b.webm
    PYTHONPATH=build/default/python python3 examples/video_wall.py --seconds 10  # close by itself

Needs python3-tk, a display ($DISPLAY) and, without files, gst-launch-1.0.
Exit status: 0 when the window was closed, 1 when the wall could not be
built (no display, a control or file that does not load), 2 for bad options.
"""

import argparse
import math
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile

import ocx

SOURCE = "KESTRAVION.VideoSourceCtrl.1"
CONSUMER = "KESTRAVION.VideoConsumerCtrl.1"
STRIP = (81, 27)  # the source control's own size
PATTERNS = ("smpte", "ball", "pinwheel", "circular")
MAX_FILES = 16


def make_clips(folder, count, seconds):
    """`count` 320x240 VP8 clips at 30 frames per second, each another test pattern."""
    clips = []
    for index in range(count):
        pattern = PATTERNS[index % len(PATTERNS)]
        path = os.path.join(folder, "%d-%s.webm" % (index + 1, pattern))
        subprocess.run(
            ["gst-launch-1.0", "-q", "videotestsrc", "pattern=" + pattern, "num-buffers=%d" % max(1, int(seconds * 30)),
             "!", "video/x-raw,width=320,height=240,framerate=30/1", "!", "vp8enc", "deadline=1",
             "!", "webmmux", "!", "filesink", "location=" + path],
            check=True, stdout=subprocess.DEVNULL)
        clips.append(path)
    return clips


def module_candidates():
    """Where the video controls' module may be: beside this build, or installed."""
    here = pathlib.Path(__file__).resolve().parent.parent
    yield str(here / "build" / "default" / "kestravion" / "kestravion.so")
    yield "kestravion"  # the installed module of that name


def dispatch(progid, module, handler=None):
    make = (lambda: ocx.DispatchWithEvents(progid, handler)) if handler else (lambda: ocx.Dispatch(progid))
    try:
        return make()
    except ocx.ControlError as first:
        # Not registered yet: register the module, then try again.
        for candidate in [module] if module else module_candidates():
            if candidate != "kestravion" and not os.path.exists(candidate):
                continue
            try:
                ocx.RegisterModule(candidate)
                return make()
            except ocx.ControlError:
                continue
        raise first


class Source:
    """The source control's events, shown in the status line."""

    def __init__(self):
        self.status = None  # set by the wall once its label exists
        self.complete = False

    def say(self, text):
        if self.status is not None:
            self.status.configure(text=text)

    def OnPlay(self, refuse):
        self.complete = False
        self.say("playing")

    def OnPause(self, refuse):
        self.say("paused")

    def OnStop(self, refuse):
        self.complete = False
        self.say("stopped")

    def OnComplete(self):
        self.complete = True
        self.say("at the end: Play starts again")

    def OnError(self, number, description, scode, source, help_file, help_context, cancel_display):
        print("video_wall.py: %s" % description.value, file=sys.stderr, flush=True)
        self.say(description.value)
        cancel_display.value = True


class Wall:
    def __init__(self, tk, root, files, module):
        self.root = root
        self.failed = False
        self.source = dispatch(SOURCE, module, Source)
        self.consumers = []

        row = tk.Frame(root)
        row.pack(side="top", fill="x", padx=6, pady=4)
        for label, action in (("Play", self.play), ("Pause", self.pause), ("Stop", self.stop)):
            tk.Button(row, text=label, width=6, command=action).pack(side="left", padx=2)
        strip = tk.Frame(row, width=STRIP[0], height=STRIP[1])
        strip.pack(side="left", padx=8)
        self.status = tk.Label(row, text="", anchor="w")
        self.status.pack(side="left", fill="x", expand=True)
        tk.Button(row, text="Quit", command=self.close).pack(side="right")
        self.source.status = self.status

        grid = tk.Frame(root, background="#202020")
        grid.pack(side="top", fill="both", expand=True, padx=6, pady=(0, 6))
        columns = max(1, math.ceil(math.sqrt(len(files))))
        rows = math.ceil(len(files) / columns)
        for column in range(columns):
            grid.columnconfigure(column, weight=1, uniform="cell")
        for line in range(rows):
            grid.rowconfigure(line, weight=1, uniform="cell")
        cells = []
        for index in range(len(files)):
            cell = tk.Frame(grid, width=320, height=240, background="#000000")
            cell.grid(row=index // columns, column=index % columns, sticky="nsew", padx=2, pady=2)
            cells.append(cell)
        # The frames' X windows exist once Tk has shown them.
        root.update()
        print("wall 0x%x" % int(root.wm_frame(), 16), flush=True)

        self.source.Activate(strip.winfo_id(), 0, 0, *STRIP)
        for cell, path in zip(cells, files):
            consumer = dispatch(CONSUMER, module)
            consumer.Activate(cell.winfo_id(), 0, 0, max(1, cell.winfo_width()), max(1, cell.winfo_height()))
            # Each picture follows its frame's size.
            cell.bind("<Configure>", lambda event, c=consumer, f=cell: self.fit(c, f, event.width, event.height))
            if not self.source.AddFile(os.path.abspath(path), consumer.GetHandle()):
                raise RuntimeError("%s: %s" % (path, self.source.LastError()))
            self.consumers.append(consumer)
            print("cell 0x%x %s" % (cell.winfo_id(), path), flush=True)
        if not self.source.Prepare():
            raise RuntimeError("the files cannot play as a group: %s" % self.source.LastError())

    def fit(self, consumer, cell, width, height):
        if width > 0 and height > 0 and cell.winfo_exists():
            consumer.Activate(cell.winfo_id(), 0, 0, width, height)

    def play(self):
        if self.source.complete:  # the group stays running at its end: back to the start first
            self.source.Stop()
        if self.source.Run():
            self.source.complete = False
            self.source.say("playing")

    def pause(self):
        if self.source.Pause():
            self.source.say("paused")

    def stop(self):
        if self.source.Stop():
            self.source.complete = False
            self.source.say("stopped")

    def pump(self):
        ocx.PumpWaitingMessages()
        self.root.after(10, self.pump)

    def close(self):
        if self.source is None:
            return
        # The controls go before the frames they live in.
        self.source.Stop()
        self.source.status = None
        self.consumers.clear()
        self.source = None
        self.root.destroy()


def main():
    parser = argparse.ArgumentParser(description="A grid of video consumers in a Tk window, driven by one source.")
    parser.add_argument("files", nargs="*", help="up to 16 media files (default: generated clips)")
    parser.add_argument("--clips", type=int, default=4, help="how many clips to generate without files (1 to 16)")
    parser.add_argument("--clip-seconds", type=float, default=10.0, help="length of the generated clips")
    parser.add_argument("--seconds", type=float, help="close the window by itself after this long")
    parser.add_argument("--paused", action="store_true", help="show the first pictures and wait for Play")
    parser.add_argument("--registry", help="the registry file to use instead of the default one")
    parser.add_argument("--module", help="the video controls' module, registered when the registry lacks it")
    args = parser.parse_args()
    if len(args.files) > MAX_FILES:
        parser.exit(2, "video_wall.py: at most %d files\n" % MAX_FILES)
    if not 1 <= args.clips <= MAX_FILES:
        parser.exit(2, "video_wall.py: --clips takes 1 to %d\n" % MAX_FILES)
    for path in args.files:
        if not os.path.isfile(path):
            parser.exit(2, "video_wall.py: no such file: %s\n" % path)

    try:
        import tkinter as tk
    except ImportError:
        print("video_wall.py: needs python3-tk", file=sys.stderr)
        return 1
    try:
        root = tk.Tk()
    except tk.TclError as error:
        print("video_wall.py: %s" % error, file=sys.stderr)
        return 1
    root.title("Video wall")
    try:
        # Before the first control: every window of this process goes to Tk's display.
        ocx.UseDisplay(root.winfo_screen())
    except ocx.ControlError as error:
        print("video_wall.py: %s" % error, file=sys.stderr)
        return 1
    if args.registry:
        ocx.SetRegistryPath(args.registry)

    scratch = None
    files = args.files
    if not files:
        scratch = tempfile.mkdtemp(prefix="video-wall-")
        try:
            files = make_clips(scratch, args.clips, args.clip_seconds)
        except (OSError, subprocess.CalledProcessError) as error:
            print("video_wall.py: cannot make the clips with gst-launch-1.0: %s" % error, file=sys.stderr)
            shutil.rmtree(scratch, ignore_errors=True)
            return 1

    status = 0
    try:
        wall = Wall(tk, root, files, args.module)
    except (ocx.ControlError, RuntimeError) as error:
        print("video_wall.py: %s" % error, file=sys.stderr)
        root.destroy()
        status = 1
    else:
        root.protocol("WM_DELETE_WINDOW", wall.close)
        if not args.paused:
            wall.play()
        wall.pump()
        if args.seconds:
            root.after(int(args.seconds * 1000), wall.close)
        # A polite kill closes the window as the Quit button does.
        signal.signal(signal.SIGTERM, lambda *_: root.after_idle(wall.close))
        try:
            root.mainloop()
        except KeyboardInterrupt:
            wall.close()
        wall = None
    if scratch:
        shutil.rmtree(scratch, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
