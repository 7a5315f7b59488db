"""The refresh report: of the demo run, one entry per EPDC update, self-contained,
with the four panel features the demo shows; of a known log, its counts."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from folian_e2e import BUILD_DIR, RUNNER, SANITIZE, SLOW, read_pgm, sanitizer_env

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
UPDATE = re.compile(r"^update kind=\w+ marker=\d+ region=(\d+),(\d+) (\d+)x(\d+) waveform=(\d+) "
                    r"mode=(\d+) .* flags=0x([0-9a-f]+) .* t=(\d+\.\d+)$")
ENTRY = re.compile(r'<div class="entry[^"]*" data-index="(\d+)" data-kind="(\w+)" '
                   r'data-rect="(\d+),(\d+),(\d+),(\d+)" data-waveform="(\w+)" data-refresh="([\w-]+)"(?: data-turn="(\d+)")?>'
                   r'(.*?)</div></div>')
ROW = re.compile(r"<tr><td>(.*?)</td><td>(.*?)</td></tr>")
# The demo: the start-up and seven page turns; night mode on, a page, off;
# the gradient undithered (12) and dithered (14); flashes every second page
# turn; the page turned to landscape, a page back, upright again; three quick
# page turns, two of them fast, and the clean-up.
DEMO_KINDS = (["flash"] + ["partial"] * 7 + ["flash", "partial", "flash"] + ["partial"] * 4
              + ["flash", "partial", "flash"] + ["flash", "partial", "flash"]
              + ["partial", "fast", "fast", "clean-up"])


DEMO = os.path.join(ROOT, "scripts", "demo.sh")
REPORT = os.path.join(ROOT, "tools", "report", "refresh_report.py")
PREVIEW = os.path.join(BUILD_DIR, "tools", "folian_preview")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def tree(top):
    """Every entry under top with its bytes, and every folder's change time."""
    found = {}
    for d, _, files in os.walk(top):
        found[d] = os.stat(d).st_mtime_ns
        for name in files:
            with open(os.path.join(d, name), "rb") as f:
                found[os.path.join(d, name)] = f.read()
    return found


class DemoReport(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="folian-demo-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.env = dict(os.environ, FOLIAN_BUILD_DIR=BUILD_DIR, **sanitizer_env())

    def test_one_entry_per_refresh_and_the_panel_features_shown(self):
        # An earlier run's output: its stale pictures go, what a reader put
        # beside them stays.
        out = os.path.join(self.dir, "out")
        write(os.path.join(out, ".folian-output"), b"")
        write(os.path.join(out, "frames", "update_0042.pgm"), b"P5 1 1 255\n\0")
        write(os.path.join(out, "notes.txt"), b"mine")
        run = subprocess.run([DEMO, out], env=self.env, capture_output=True, text=True,
                             timeout=60 * SLOW)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertNotIn("update_0042.pgm", os.listdir(os.path.join(out, "frames")))
        self.assertTrue(os.path.exists(os.path.join(out, "notes.txt")))

        with open(os.path.join(out, "epdc.log")) as f:
            updates = [tuple(m.groups()) for m in map(UPDATE.match, f) if m]
        with open(os.path.join(out, "report.html"), encoding="utf-8") as f:
            page = f.read()
        entries = ENTRY.findall(page)
        kinds = [e[7] for e in entries]
        # The orientation changes, from the program's log, on the full
        # refreshes they brought: landscape, then upright again.
        self.assertEqual([(int(e[0]), e[8]) for e in entries if e[8]], [(18, "90"), (20, "0")])
        self.assertIn("2; 90° (控制命令), window 1648x1236; 0° (控制命令), window 1236x1648", page)
        if SANITIZE and kinds != DEMO_KINDS:
            # An instrumented build can take longer than the 250 ms that makes
            # a page turn fast: then a quick page is a plain one, two quick
            # pages may come in one frame, and only a run with a fast page
            # owes its clean-up, after it.
            head, tail = kinds[:len(DEMO_KINDS) - 3], kinds[len(DEMO_KINDS) - 3:]
            self.assertEqual(head, DEMO_KINDS[:-3])
            pages = [k for k in tail if k != "clean-up"]
            self.assertIn(len(pages), (1, 2, 3), tail)
            self.assertLessEqual(set(pages), {"partial", "fast"}, tail)
            self.assertEqual(tail.count("clean-up"), 1 if "fast" in pages else 0, tail)
            if "fast" in pages:
                self.assertGreater(tail.index("clean-up"), tail.index("fast"), tail)
        else:
            self.assertEqual(kinds, DEMO_KINDS)
        self.assertEqual([int(e[0]) for e in entries], list(range(len(updates))))
        self.assertEqual([n for n, u in enumerate(updates) if u[6] != "0"], [8, 9])
        gradient = read_pgm(os.path.join(out, "frames", "update_0012.pgm"))[2]
        dithered = read_pgm(os.path.join(out, "frames", "update_0014.pgm"))[2]
        self.assertGreater(len(set(gradient)), 200)
        self.assertEqual(len(set(dithered)), 16)

        previous_t = None
        for (x, y, w, h, _, mode, _, t), (index, kind, ex, ey, ew, eh, wf, refresh, _, body) in zip(updates, entries):
            with self.subTest(entry=index):
                self.assertEqual((ex, ey, ew, eh), (x, y, w, h))
                self.assertEqual(kind, "full" if mode == "1" else "partial")
                self.assertEqual(wf, "GC16" if mode == "1" else "DU" if refresh == "fast" else "AUTO")
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
        # The report tool replaces its own report.
        again = subprocess.run([sys.executable, REPORT, "--log", os.path.join(out, "epdc.log"),
                                "--snaps", os.path.join(out, "frames"), "-o", os.path.join(out, "report.html")],
                               capture_output=True, text=True)
        self.assertEqual(again.returncode, 0, again.stderr)

    def test_the_counts_of_a_known_log(self):
        # A 100x100 panel without pictures: (x, y, w, h, waveform, mode) at
        # one update a second.
        updates = [(0, 0, 100, 100, 2, 1), (0, 0, 50, 20, 257, 0), (0, 0, 100, 50, 257, 0), (0, 0, 100, 100, 2, 1),
                   (0, 0, 10, 10, 257, 0), (0, 0, 20, 20, 1, 0), (30, 30, 20, 20, 1, 0), (0, 0, 50, 50, 2, 1),
                   (0, 0, 100, 100, 1, 0), (0, 0, 100, 100, 2, 1), (0, 0, 100, 100, 257, 0)]
        log = os.path.join(self.dir, "epdc.log")
        write(log, "".join("update kind=mtk marker=%d region=%d,%d %dx%d waveform=%d mode=%d temp=0x1000 flags=0x0 "
                           "dir=0 steps=0 hist=1/2 stray=0 t=%d.000000\n" % ((n,) + u + (n,))
                           for n, u in enumerate(updates)).encode())
        out = os.path.join(self.dir, "report.html")
        run = subprocess.run([sys.executable, REPORT, "--log", log, "--snaps", self.dir, "-o", out],
                             capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        with open(out, encoding="utf-8") as f:
            page = f.read()
        self.assertEqual([e[7] for e in ENTRY.findall(page)],
                         ["flash", "partial", "partial", "flash", "partial", "fast", "fast", "clean-up", "fast",
                          "clean-up", "partial"])
        rows = dict(ROW.findall(page))
        # One flash after the start-up's in four pages and itself; 10800 of
        # 59400 pixels fast; the budget highest after the whole panel went
        # fast, before its clean-up: 0.09 panels since the flash, and one.
        self.assertRegex(rows["flashes per 100 page turns"], r"^20\.0 \(.*: 1; .*: 5\)$")
        self.assertRegex(rows["fast waveform"], r"^18\.2% ")
        self.assertRegex(rows["clean-ups"], r"^2 ")
        self.assertRegex(rows["ghosting budget"], r"at most 1\.09 panels")
        plot = re.search(r"<svg .*?</svg>", page).group(0)
        self.assertEqual(len(re.findall(r'stroke="rgb\(220, 40, 40\)"', plot)), 2)
        self.assertEqual(len(re.findall(r'stroke="rgb\(150, 60, 200\)"', plot)), 2)

    def test_a_folder_not_of_a_run_is_refused_untouched(self):
        mine = os.path.join(self.dir, "Desktop")
        for name in ("notes.txt", "report.html", os.path.join("frames", "update_0000.pgm")):
            write(os.path.join(mine, name), b"a reader's own " + name.encode())
        before = tree(self.dir)
        tools = {"demo": [DEMO, mine],
                 "report": [sys.executable, REPORT, "--log", os.devnull, "--snaps", mine,
                            "-o", os.path.join(mine, "report.html")]}
        if os.path.exists(PREVIEW):
            # No window is needed to be refused; one that opened would wait to be closed.
            tools["preview"] = [PREVIEW, "--bundle", mine, "--out", mine, "--build", BUILD_DIR]
        env = dict(self.env, SDL_VIDEODRIVER="dummy")
        for name, cmd in tools.items():
            with self.subTest(tool=name):
                run = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=30 * SLOW)
                self.assertNotEqual(run.returncode, 0, run.stdout)
                self.assertTrue(run.stderr.strip())
                self.assertEqual(tree(self.dir), before)


if __name__ == "__main__":
    if RUNNER:
        print("skipped: the demo runs the host's program, this build runs under " + RUNNER[0])
        sys.exit(77)
    unittest.main()
