"""The panel preview in a private X server: clicks and keys turn pages and
switch night mode and dithering, the window shows the panel's pictures in its
16 levels, quitting ends folian with status 0."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from folian_e2e import BUILD_DIR, RUNNER, SANITIZE, SANITIZER_REPORT, SLOW, Folian, read_pgm
from xdisplay import Xvfb, missing_tools

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PREVIEW = os.path.join(BUILD_DIR, "tools", "folian_preview")
UPDATE = re.compile(r"^update kind=\w+ marker=\d+ region=(\d+),(\d+) (\d+)x(\d+) waveform=\d+ mode=(\d+)")


def level(v):
    """The panel's nearest of its 16 levels."""
    return (v + 8) // 17 * 17


class Preview(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="folian-preview-test-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.x = Xvfb()
        self.addCleanup(self.x.stop)

    def updates(self):
        with open(os.path.join(self.run, "epdc.log")) as f:
            return [tuple(int(v) for v in m.groups()) for m in map(UPDATE.match, f) if m]

    def snapshot(self, index):
        return read_pgm(os.path.join(self.run, "snaps", "update_%04d.pgm" % index))

    def assert_window_shows(self, index, before):
        """The panel area of the window equals snapshot `index` wherever the
        snapshot is flat enough for scaling not to blur it, and differs from
        snapshot `before` somewhere there."""
        w, h, new = self.snapshot(index)
        old = self.snapshot(before)[2]
        wx, wy, ww, _ = self.geometry
        scale = self.scale
        deadline = time.monotonic() + 5 * SLOW
        while True:
            sw, _, rgb = self.x.screenshot()
            checked = changed = 0
            wrong = []
            for sy in range(0, int(h * scale) - 1, 3):
                for sx in range(0, ww - 1, 3):
                    px, py = int((sx + 0.5) / scale), int((sy + 0.5) / scale)
                    if not (4 <= px < w - 4 and 4 <= py < h - 4):
                        continue
                    v = new[py * w + px]
                    flat = bytes([v]) * 5
                    shown_v = level(v)
                    if any(new[(py + dy) * w + px - 2:(py + dy) * w + px + 3] != flat for dy in range(-2, 3)):
                        continue
                    shown = rgb[((wy + sy) * sw + wx + sx) * 3:((wy + sy) * sw + wx + sx) * 3 + 3]
                    checked += 1
                    changed += old[py * w + px] != v
                    if any(abs(c - shown_v) > 2 for c in shown):
                        wrong.append((px, py, shown_v, tuple(shown)))
            if not wrong or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        # Forward, not back: the panel shows a page it has not shown before.
        for earlier in range(index):
            self.assertTrue(self.snapshot(earlier)[2] != new, "update %d shows update %d's page again"
                            % (index, earlier))
        self.assertGreater(checked, 10000)
        self.assertGreater(changed, 100, "the page turn changed nothing visible")
        self.assertEqual(wrong[:5], [], "%d of %d points differ from update %d" % (len(wrong), checked, index))

    def test_window_turns_pages_and_closing_ends_folian(self):
        bundle = os.path.join(self.dir, "bundle")
        subprocess.run([os.path.join(ROOT, "scripts", "demo_bundle.sh"), bundle, BUILD_DIR], check=True)
        self.run = os.path.join(self.dir, "run")
        win = Folian(tool=[PREVIEW, "--bundle", bundle, "--out", self.run, "--build", BUILD_DIR],
                     env=dict(self.x.env(), SDL_RENDER_DRIVER="software"), trace=False)
        self.addCleanup(win.cleanup)
        self.scale = float(win.wait_line(r"at scale (\d+\.\d+)", timeout=10).group(1))
        win.wait_line(r"^shown update 0 full ", timeout=10)
        wid, self.geometry = self.x.window("folian preview")
        _, _, ww, wh = self.geometry

        # A click on the right half of the panel: the next page.
        self.x.xdotool("mousemove", "--window", wid, str(ww * 3 // 4), str(wh // 2), "click", "1")
        win.wait_line(r"^shown update 1 partial ", timeout=10)
        self.assert_window_shows(1, before=0)

        # Page Down (the pointer is in the window, so the key goes there).
        self.x.xdotool("key", "Next")
        win.wait_line(r"^shown update 2 partial ", timeout=10)
        self.assert_window_shows(2, before=1)

        # Sleep, then wake: waking refreshes the whole panel, which only
        # happens after a sleep.  The repaint key does it once more.
        self.x.xdotool("key", "s")
        time.sleep(0.5 * SLOW)
        self.x.xdotool("key", "w")
        win.wait_line(r"^shown update 3 full ", timeout=10)
        self.x.xdotool("key", "r")
        win.wait_line(r"^shown update 4 full ", timeout=10)

        # Night mode: the whole panel turns over at once.
        self.x.xdotool("key", "n")
        win.wait_line(r"^modes n: night on \| d: dither off ", timeout=10)
        win.wait_line(r"^shown update 5 full ", timeout=10)
        self.assertEqual(self.snapshot(5)[2], bytes(255 - v for v in self.snapshot(4)[2]))
        self.assert_window_shows(5, before=4)
        # Dithering, from the next page on, whose pictures' grays become
        # patterns of two levels.
        self.x.xdotool("key", "d")
        win.wait_line(r"^modes n: night on \| d: dither on ", timeout=10)
        self.x.xdotool("key", "Next")
        win.wait_line(r"^shown update 6 partial ", timeout=10)
        w, h, sixth = self.snapshot(6)
        # Inside the right picture's frame, gray 128 inverted.
        frame = {sixth[y * w + x] for y in range(h * 68 // 100, h * 92 // 100) for x in range(w * 53 // 100, w * 55 // 100)}
        self.assertEqual(frame, {119, 136})
        self.assert_window_shows(6, before=5)
        self.x.xdotool("key", "m")
        self.x.xdotool("key", "f")
        win.wait_line(r"\| m: motion auto \| f: flashes every 6, night 3 \| t: turn 0$", timeout=10)
        # Two pages on in quick succession: the second goes out fast, and
        # the union, here the whole panel, is cleaned up after.
        self.x.xdotool("key", "--delay", "60", "Next", "Next")
        # An instrumented build can take longer than the 250 ms that makes
        # the second page fast; then it is a plain page turn, the third since
        # the last flash, and night mode flashes every third: no clean-up.
        shown = win.wait_line(r"^shown update 8 (fast .* DU|full .* GC16)$", timeout=10)
        fast = not SANITIZE or shown.group(1).startswith("fast")
        if fast:
            win.wait_line(r"^shown update 9 clean-up ", timeout=10)
        # The picture turned a quarter: the page comes again, turned, in full.
        self.x.xdotool("key", "t")
        win.wait_line(r"\| t: turn 90$", timeout=10)
        win.wait_line(r"^shown update %d full " % (10 if fast else 9), timeout=10)

        win.signal(signal.SIGTERM)  # as closing the window: folian is ended first
        self.assertEqual(win.wait(30), 0)
        win.wait_line(r"^folian exited with status 0$")
        updates = self.updates()
        self.assertEqual([u[4] for u in updates], [1, 0, 0, 1, 1, 1, 0, 0] + ([0, 1] if fast else [1]) + [1])
        with open(os.path.join(self.run, "folian.log"), encoding="utf-8", errors="replace") as f:
            log = f.read()
        self.assertIsNone(SANITIZER_REPORT.search(log), log)


def missing():
    if RUNNER:
        return "the program under test runs only under " + RUNNER[0]
    if not os.path.exists(PREVIEW):
        return "folian_preview is not built (no SDL2)"
    tools = missing_tools()
    return "missing " + ", ".join(tools) if tools else None


if __name__ == "__main__":
    why = missing()
    if why:
        print("skipped: " + why)
        sys.exit(77)
    unittest.main()
