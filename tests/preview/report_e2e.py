"""The refresh report of the demo run: one entry per EPDC update, self-contained."""

import base64
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zlib

from folian_e2e import BUILD_DIR, RUNNER, SLOW, sanitizer_env

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
UPDATE = re.compile(r"^update kind=\w+ marker=\d+ region=(\d+),(\d+) (\d+)x(\d+) waveform=(\d+) "
                    r"mode=(\d+) .* t=(\d+\.\d+)$")
ENTRY = re.compile(r'<div class="entry[^"]*" data-index="(\d+)" data-kind="(\w+)" '
                   r'data-rect="(\d+),(\d+),(\d+),(\d+)" data-waveform="(\w+)">(.*?)</div></div>')
WIDTH = 1236
FULL_COLOUR, PARTIAL_COLOUR = (220, 40, 40), (30, 110, 230)


def decode_png(data):
    """(width, height, rgb) of the report's own PNGs: 8-bit RGB, filter 0."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, width = 8, b"", 0
    while pos < len(data):
        length = int.from_bytes(data[pos:pos + 4], "big")
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height = int.from_bytes(body[:4], "big"), int.from_bytes(body[4:8], "big")
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    line = width * 3 + 1
    return width, height, b"".join(raw[y * line + 1:(y + 1) * line] for y in range(height))


class DemoReport(unittest.TestCase):
    def test_one_entry_per_refresh_with_the_logged_rectangle(self):
        out = tempfile.mkdtemp(prefix="folian-demo-")
        self.addCleanup(shutil.rmtree, out, True)
        env = dict(os.environ, FOLIAN_BUILD_DIR=BUILD_DIR, **sanitizer_env())
        run = subprocess.run([os.path.join(ROOT, "scripts", "demo.sh"), out], env=env,
                             capture_output=True, text=True, timeout=60 * SLOW)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)

        with open(os.path.join(out, "epdc.log")) as f:
            updates = [tuple(m.groups()) for m in map(UPDATE.match, f) if m]
        with open(os.path.join(out, "report.html"), encoding="utf-8") as f:
            page = f.read()
        entries = ENTRY.findall(page)
        # The demo's start-up page and its seven page turns.
        self.assertEqual(len(updates), 8)
        self.assertEqual([int(e[0]) for e in entries], list(range(len(updates))))

        previous_t = None
        for (x, y, w, h, _, mode, t), (index, kind, ex, ey, ew, eh, wf, body) in zip(updates, entries):
            with self.subTest(entry=index):
                self.assertEqual((ex, ey, ew, eh), (x, y, w, h))
                self.assertEqual(kind, "full" if mode == "1" else "partial")
                self.assertEqual(wf, "GC16" if mode == "1" else "AUTO")
                if previous_t is not None:
                    gap = round((float(t) - previous_t) * 1000)
                    self.assertRegex(body, r"\+%d ms" % gap)
                previous_t = float(t)

                # The picture is the panel after this update, scaled down by
                # a whole step, with the rectangle's corners in its colour.
                png = base64.b64decode(re.search(r'src="data:image/png;base64,([^"]+)"', body).group(1))
                tw, th, rgb = decode_png(png)
                step = -(-WIDTH // tw)
                colour = bytes(FULL_COLOUR if kind == "full" else PARTIAL_COLOUR)
                x0, y0 = int(x) // step, int(y) // step
                x1 = min(tw - 1, (int(x) + int(w) - 1) // step)
                y1 = min(th - 1, (int(y) + int(h) - 1) // step)
                def at(px, py):
                    return rgb[(py * tw + px) * 3:(py * tw + px) * 3 + 3]
                for cx, cy in ((x0, y0), (x1, y0), (x0, y1), (x1, y1)):
                    self.assertEqual(at(cx, cy), colour, (cx, cy))
                # ... and not beyond them: the panel itself is gray.
                my, mx = (y0 + y1) // 2, (x0 + x1) // 2
                for cx, cy in ((x0 - 1, my), (x1 + 1, my), (mx, y0 - 1), (mx, y1 + 1)):
                    if 0 <= cx < tw and 0 <= cy < th:
                        self.assertNotEqual(at(cx, cy), colour, (cx, cy))

        fulls = sum(1 for u in updates if u[5] == "1")
        self.assertIn("%d: %d full, %d partial" % (len(updates), fulls, len(updates) - fulls), page)
        # Self-contained: every source is inline.
        self.assertEqual(re.findall(r'(?:src|href)="(?!data:)[^"]*"', page), [])
        self.assertNotIn("<link", page)
        self.assertNotIn("<script", page)


if __name__ == "__main__":
    if RUNNER:
        print("skipped: the demo runs the host's program, this build runs under " + RUNNER[0])
        sys.exit(77)
    unittest.main()
