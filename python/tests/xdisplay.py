"""An X server of the test's own (Xvfb) and what the server shows, read back
with the X utilities: independent of the module under test."""

import os
import re
import select
import shutil
import struct
import subprocess
import time


class Server:
    """Xvfb on a free display number; `name` is ":N"."""

    def __init__(self, width=800, height=600):
        if not shutil.which("Xvfb"):
            raise FileNotFoundError("Xvfb")
        ready, told = os.pipe()
        try:
            self.process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(told), "-screen", "0", f"{width}x{height}x24", "-nolisten", "tcp"],
                pass_fds=(told,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(told)
            told = -1
            number = b""
            deadline = time.monotonic() + 10
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([ready], [], [], left)[0]:
                    raise TimeoutError("Xvfb did not start")
                chunk = os.read(ready, 16)
                if not chunk:
                    raise RuntimeError("Xvfb ended before it took a display")
                number += chunk
        except BaseException:
            if told >= 0:
                os.close(told)
            if hasattr(self, "process"):
                self.stop()
            raise
        finally:
            os.close(ready)
        self.name = ":" + number.decode().strip()

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def window_info(display, window):
    """xwininfo's view of a window: its parent, place in it and size."""
    out = subprocess.run(["xwininfo", "-display", display, "-tree", "-id", str(window)],
                         capture_output=True, text=True, timeout=10).stdout
    out += subprocess.run(["xwininfo", "-display", display, "-id", str(window)],
                          capture_output=True, text=True, timeout=10).stdout

    def number(label):
        found = re.search(label + r":\s+(-?\w+)", out)
        return int(found.group(1), 0) if found else None

    return {"root": number("Root window id"), "parent": number("Parent window id"), "x": number("Relative upper-left X"),
            "y": number("Relative upper-left Y"), "width": number("Width"), "height": number("Height"),
            "viewable": "IsViewable" in out}


class Picture:
    """A window's pixels as the server shows them (xwd), as (r, g, b)."""

    def __init__(self, display, window):
        data = subprocess.run(["xwd", "-display", display, "-id", str(window), "-silent"],
                              capture_output=True, timeout=10).stdout
        if len(data) < 100:
            raise ValueError("xwd gave no picture of window 0x%x" % window)
        fields = struct.unpack(">25I", data[:100])
        header_size, version, _, depth, width, height = fields[:6]
        byte_order, bits_per_pixel, bytes_per_line, ncolors = fields[7], fields[11], fields[12], fields[19]
        if version != 7 or bits_per_pixel != 32:
            raise ValueError("xwd picture of %d bits per pixel (version %d)" % (bits_per_pixel, version))
        self.width, self.height, self.stride = width, height, bytes_per_line
        self.little = byte_order == 0
        self.pixels = data[header_size + 12 * ncolors:]

    def at(self, x, y):
        offset = y * self.stride + 4 * x
        value = struct.unpack_from("<I" if self.little else ">I", self.pixels, offset)[0]
        return ((value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF)


def eventually(condition, timeout, step=None):
    """condition() until true or timeout seconds; step() runs between tries."""
    deadline = time.monotonic() + timeout
    while True:
        if condition():
            return True
        if time.monotonic() > deadline:
            return False
        if step:
            step()
        else:
            time.sleep(0.02)
