"""Controls inside windows of another toolkit: a Tk frame in this process, on
an X server of the test's own, checked from the server's side with the X
utilities."""

import os
import subprocess
import sys

import pytest

import ocx
from conftest import ORVALIS, PATIENCE
import xdisplay

tkinter = pytest.importorskip("tkinter")

E_INVALIDARG = 0x80070057
E_UNEXPECTED = 0x8000FFFF
RED, WHITE, BLACK = (255, 0, 0), (255, 255, 255), (0, 0, 0)


@pytest.fixture(scope="module")
def display():
    try:
        server = xdisplay.Server()
    except (FileNotFoundError, TimeoutError, RuntimeError) as error:
        pytest.skip(f"no X server for the test: {error}")
    try:
        ocx.UseDisplay(server.name)
    except ocx.ControlError as error:
        server.stop()
        pytest.skip(f"this process made its windows earlier: {error}")
    yield server.name
    server.stop()


@pytest.fixture
def tk(display):
    root = tkinter.Tk(screenName=display)
    root.geometry("420x260+0+0")
    yield root
    root.destroy()


def frame_in(root, width=300, height=200):
    frame = tkinter.Frame(root, width=width, height=height, background="#ff0000")
    frame.pack(side="left", padx=4, pady=4)
    root.update()
    return frame


def pumping(root):
    return lambda: (root.update(), ocx.PumpWaitingMessages())


def test_a_control_activated_in_a_tk_frame_is_its_child_and_paints_there(registry, tk):
    frame = frame_in(tk)
    player = ocx.Dispatch(ORVALIS)
    window = player.Activate(frame.winfo_id(), 20, 10, 120, 80)
    assert window == player.WindowHandle != 0
    xid = player.NativeWindowId
    assert xid != 0
    info = xdisplay.window_info(display_of(tk), xid)
    assert info["parent"] == frame.winfo_id()
    assert (info["x"], info["y"], info["width"], info["height"]) == (20, 10, 120, 80)

    # White with a black ellipse touching its sides, the frame's red around it.
    def painted():
        picture = xdisplay.Picture(display_of(tk), frame.winfo_id())
        return (picture.at(23, 13) == WHITE and picture.at(80, 50) == WHITE and picture.at(20, 50) == BLACK
                and picture.at(10, 50) == RED and picture.at(150, 50) == RED)

    assert xdisplay.eventually(painted, PATIENCE, pumping(tk))

    # The same frame again: moved and sized in place, the same window.
    assert player.Activate(frame.winfo_id(), 50, 30, 100, 60) == window
    info = xdisplay.window_info(display_of(tk), xid)
    assert (info["parent"], info["x"], info["y"], info["width"], info["height"]) == (
        frame.winfo_id(), 50, 30, 100, 60)

    # Another frame: the control's window is made again inside it.
    other = frame_in(tk, 100, 100)
    player.Activate(other.winfo_id(), 0, 0, 100, 100)
    assert xdisplay.window_info(display_of(tk), player.NativeWindowId)["parent"] == other.winfo_id()
    assert xdisplay.eventually(lambda: xdisplay.window_info(display_of(tk), frame.winfo_id()) is not None
                               and not children_of(display_of(tk), frame.winfo_id()), PATIENCE, pumping(tk))
    # From a window of the host's own and back.
    player.ShowInWindow(100, 100)
    assert player.NativeWindowId != 0 and not children_of(display_of(tk), other.winfo_id())
    player.Activate(other.winfo_id(), 0, 0, 100, 100)
    assert xdisplay.window_info(display_of(tk), player.NativeWindowId)["parent"] == other.winfo_id()
    del player
    # Releasing the control leaves the Tk frame as it was.
    tk.update()
    assert frame.winfo_exists() and other.winfo_exists()
    assert xdisplay.eventually(lambda: not children_of(display_of(tk), other.winfo_id()), PATIENCE, pumping(tk))


def test_a_frame_destroyed_under_the_control_takes_its_window_and_the_control_goes_on(registry, tk):
    frame = frame_in(tk)
    player = ocx.Dispatch(ORVALIS)
    player.Activate(frame.winfo_id(), 0, 0, 100, 100)
    frame.destroy()
    assert xdisplay.eventually(lambda: player.WindowHandle == 0, PATIENCE, pumping(tk))
    assert player.NativeWindowId == 0
    player.Monitor = True  # still answers
    assert player.Monitor is True
    again = frame_in(tk)
    player.Activate(again.winfo_id(), 5, 5, 50, 50)
    assert xdisplay.window_info(display_of(tk), player.NativeWindowId)["parent"] == again.winfo_id()


def test_wrong_windows_and_sizes_raise_control_error(registry, tk):
    player = ocx.Dispatch(ORVALIS)
    frame = frame_in(tk)
    for bad in (0, 0x7FFFFFF0):
        with pytest.raises(ocx.ControlError) as raised:
            player.Activate(bad, 0, 0, 10, 10)
        assert raised.value.code == E_INVALIDARG and "not a window" in raised.value.text
    for place in ((0, 0, 0, 10), (0, 0, 10, -1), (0, 0, 4097, 10), (2**31 - 5, 0, 10, 10), (0, -40000, 10, 10)):
        with pytest.raises(ocx.ControlError) as raised:
            player.Activate(frame.winfo_id(), *place)
        assert raised.value.code == E_INVALIDARG
    assert player.WindowHandle == 0
    ocx.UseDisplay()  # already in use: nothing changes
    assert ocx.DisplayInUse()


def test_the_display_is_chosen_before_the_first_control(registry, display):
    script = (
        "import ocx, sys\n"
        "def code(call):\n"
        "    try:\n"
        "        call()\n"
        "    except ocx.ControlError as e:\n"
        "        print(hex(e.code), e.text)\n"
        f"ocx.SetRegistryPath({registry!r})\n"
        "code(lambda: ocx.UseDisplay(':65000'))\n"
        f"p = ocx.Dispatch({ORVALIS!r})\n"
        "code(lambda: p.Activate(0x400001, 0, 0, 10, 10))\n"
        f"code(lambda: ocx.UseDisplay({display!r}))\n"
        "print(ocx.DisplayInUse())\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=PATIENCE,
                         env=dict(os.environ, DISPLAY=""))
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0].startswith("0x80004005 ") and ":65000" in lines[0]
    assert lines[1] == "0x8000ffff no display: call ocx.UseDisplay() before the first control is made"
    assert lines[2] == "0x8000ffff the display must be chosen before the first control is made"
    assert lines[3] == "False"


def display_of(root):
    return root.winfo_screen()


def children_of(display, window):
    out = subprocess.run(["xwininfo", "-display", display, "-children", "-id", str(window)],
                         capture_output=True, text=True, timeout=10).stdout
    return [line for line in out.splitlines() if line.strip().startswith("0x")]
