"""The refresh report of the demo run: one entry per EPDC update, self-contained."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from folian_e2e import BUILD_DIR, RUNNER, SLOW, sanitizer_env

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
UPDATE = re.compile(r"^update kind=\w+ marker=\d+ region=(\d+),(\d+) (\d+)x(\d+) waveform=(\d+) "
                    r"mode=(\d+) .* t=(\d+\.\d+)$")
ENTRY = re.compile(r'<div class="entry[^"]*" data-index="(\d+)" data-kind="(\w+)" '
                   r'data-rect="(\d+),(\d+),(\d+),(\d+)" data-waveform="(\w+)">(.*?)</div></div>')


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

                # A thumbnail of the panel, inline.
                self.assertRegex(body, r'<img [^>]*src="data:image/png;base64,[A-Za-z0-9+/=]{100,}"')

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
