#!/usr/bin/env python3
"""A plain Tk program that hosts kestravion-play inside one of its frames.

Tk makes the window and a frame; the frame's X window id goes to
`kestravion-play --into ID`, which lays its Play/Pause/Stop strip and one
picture per file out inside the frame and follows the frame's size. Nothing
of the player is imported: it is another process, and all the two share is
the X window id. Without files two short clips are made with gst-launch-1.0.

    python3 examples/tk_host.py                    # two generated clips
    python3 examples/tk_host.py a.webm b.webm      # files of your own
    python3 examples/tk_host.py --seconds 10       # close by itself after 10 s

Needs python3-tk and a display ($DISPLAY). Exit status: 0 when the window
was closed, 1 when the player could not start or ended with a failure.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile


def find_player(given):
    if given:
        return given
    on_path = shutil.which("kestravion-play")
    if on_path:
        return on_path
    here = os.path.dirname(os.path.abspath(__file__))
    built = os.path.join(here, "..", "build", "default", "tools", "kestravion-play", "kestravion-play")
    return os.path.normpath(built) if os.access(built, os.X_OK) else None


def make_clips(folder, seconds):
    """Two 320x240 VP8 clips at 30 frames per second: colour bars and a ball."""
    clips = []
    for name, pattern in (("bars", "smpte"), ("ball", "ball")):
        path = os.path.join(folder, name + ".webm")
        subprocess.run(
            ["gst-launch-1.0", "-q", "videotestsrc", "pattern=" + pattern, "num-buffers=%d" % int(seconds * 30),
             "!", "video/x-raw,width=320,height=240,framerate=30/1", "!", "vp8enc", "deadline=1",
             "!", "webmmux", "!", "filesink", "location=" + path],
            check=True)
        clips.append(path)
    return clips


def main():
    parser = argparse.ArgumentParser(description="Hosts kestravion-play inside a Tk frame.")
    parser.add_argument("files", nargs="*", help="media files to play (default: two generated clips)")
    parser.add_argument("--player", help="the kestravion-play program (default: on PATH, else build/default)")
    parser.add_argument("--registry", help="passed on to kestravion-play")
    parser.add_argument("--seconds", type=float, help="close the window by itself after this long")
    parser.add_argument("--clip-seconds", type=float, default=10.0, help="length of the generated clips")
    args = parser.parse_args()

    try:
        import tkinter as tk
    except ImportError:
        print("tk_host.py: needs python3-tk", file=sys.stderr)
        return 1
    player = find_player(args.player)
    if not player:
        print("tk_host.py: kestravion-play not found (build it, or give --player)", file=sys.stderr)
        return 1

    scratch = None
    files = args.files
    if not files:
        scratch = tempfile.mkdtemp(prefix="tk-host-")
        try:
            files = make_clips(scratch, args.clip_seconds)
        except (OSError, subprocess.CalledProcessError) as error:
            print("tk_host.py: cannot make the clips with gst-launch-1.0: %s" % error, file=sys.stderr)
            return 1

    try:
        root = tk.Tk()
    except tk.TclError as error:
        print("tk_host.py: %s" % error, file=sys.stderr)
        return 1
    root.title("Tk host")
    status = tk.Label(root, text="kestravion-play inside a Tk frame", anchor="w")
    status.pack(side="top", fill="x", padx=6, pady=4)
    frame = tk.Frame(root, width=680, height=330, background="#404040")
    frame.pack(side="top", fill="both", expand=True, padx=6)
    tk.Button(root, text="Quit", command=root.destroy).pack(side="bottom", anchor="e", padx=6, pady=4)
    # The frame's X window exists once Tk has shown it.
    root.update()
    frame_id = frame.winfo_id()
    print("frame 0x%x" % frame_id, flush=True)

    command = [player, "--into", str(frame_id)]
    if args.registry:
        command += ["--registry", args.registry]
    try:
        process = subprocess.Popen(command + ["--"] + files)
    except OSError as error:
        print("tk_host.py: cannot start %s: %s" % (player, error), file=sys.stderr)
        root.destroy()
        return 1

    outcome = {"failed": False}

    def watch():
        code = process.poll()
        if code is None:
            root.after(200, watch)
        elif code != 0:
            outcome["failed"] = True
            status.configure(text="kestravion-play ended with status %d" % code)

    root.after(200, watch)
    if args.seconds:
        root.after(int(args.seconds * 1000), root.destroy)
    # A polite kill closes the window as the Quit button does.
    signal.signal(signal.SIGTERM, lambda *_: root.after_idle(root.destroy))

    def tick():  # Python sees a signal only between Tk's events
        root.after(200, tick)

    tick()
    try:
        root.mainloop()
    except KeyboardInterrupt:
        pass

    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    if scratch:
        shutil.rmtree(scratch, ignore_errors=True)
    return 1 if outcome["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
