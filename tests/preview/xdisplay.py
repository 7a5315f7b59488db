"""A private X server for window tests: Xvfb on a free display, screenshots
of the whole screen through xwd, and the window manager's close request
(WM_DELETE_WINDOW), sent through libX11 since no window manager runs."""

import ctypes
import ctypes.util
import os
import shutil
import struct
import subprocess
import time

TOOLS = ("Xvfb", "xdotool", "xwd")


def missing_tools():
    return [t for t in TOOLS if not shutil.which(t)]


class Xvfb:
    def __init__(self, width=1280, height=1024):
        r, w = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(w), "-screen", "0", "%dx%dx24" % (width, height),
             "-nolisten", "tcp"], pass_fds=(w,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(w)
        number = b""
        with os.fdopen(r, "rb") as f:
            number = f.readline().strip()
        if not number:
            self.proc.kill()
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode()

    def env(self):
        return dict(os.environ, DISPLAY=self.display)

    def xdotool(self, *args):
        return subprocess.run(["xdotool"] + list(args), env=self.env(), check=True,
                              capture_output=True, text=True, timeout=20).stdout

    def window(self, name, timeout=20):
        """Id and geometry (x, y, width, height) of the window whose title
        starts with name."""
        deadline = time.monotonic() + timeout
        while True:
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^" + name],
                                   env=self.env(), capture_output=True, text=True).stdout.split()
            if found:
                wid = found[0]
                geo = dict(line.split("=", 1) for line in
                           self.xdotool("getwindowgeometry", "--shell", wid).split())
                return wid, tuple(int(geo[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
            if time.monotonic() > deadline:
                raise AssertionError("no window named %r" % name)
            time.sleep(0.1)

    def screenshot(self):
        """The screen as (width, height, rgb bytes)."""
        data = subprocess.run(["xwd", "-root", "-silent"], env=self.env(), check=True,
                              capture_output=True, timeout=20).stdout
        return parse_xwd(data)

    def close_window(self, wid):
        """What a window manager sends when the window's close button is pressed."""
        x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                   ctypes.c_void_p]
        x11.XFlush.argtypes = [ctypes.c_void_p]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

        class ClientMessage(ctypes.Structure):
            _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                        ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                        ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                        ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

        class Event(ctypes.Union):  # XEvent is 24 longs
            _fields_ = [("message", ClientMessage), ("pad", ctypes.c_long * 24)]

        dpy = x11.XOpenDisplay(self.display.encode())
        if not dpy:
            raise RuntimeError("cannot open display " + self.display)
        try:
            ev = Event()
            ev.message.type = 33  # ClientMessage
            ev.message.window = int(wid)
            ev.message.message_type = x11.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
            ev.message.format = 32
            ev.message.data[0] = x11.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
            ev.message.data[1] = 0  # CurrentTime
            x11.XSendEvent(dpy, int(wid), 0, 0, ctypes.byref(ev))
            x11.XFlush(dpy)
        finally:
            x11.XCloseDisplay(dpy)

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def parse_xwd(data):
    """(width, height, rgb bytes) of an xwd dump of a true-colour screen
    with 24 or 32 bits per pixel."""
    fields = struct.unpack(">25I", data[:100])
    header_size, width, height = fields[0], fields[4], fields[5]
    byte_order, bpp, line = fields[7], fields[11], fields[12]
    red_mask, ncolors = fields[14], fields[19]
    if bpp not in (24, 32):
        raise ValueError("xwd dump with %d bits per pixel" % bpp)
    step = bpp // 8
    start = header_size + 12 * ncolors
    pixels = data[start:start + line * height]
    # The masks name the bytes of a pixel value; byte_order says how the
    # value lies in memory (0: least significant byte first).
    shifts = [m.bit_length() - 8 for m in (red_mask, fields[15], fields[16])]
    offsets = [s // 8 if byte_order == 0 else step - 1 - s // 8 for s in shifts]
    out = bytearray(width * height * 3)
    for y in range(height):
        row = pixels[y * line:y * line + width * step]
        for c in range(3):
            out[y * width * 3 + c:(y + 1) * width * 3:3] = row[offsets[c]::step]
    return width, height, bytes(out)
