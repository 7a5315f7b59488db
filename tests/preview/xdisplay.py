"""A private X server (Xvfb) with screenshots through xwd."""

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
