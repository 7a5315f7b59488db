"""Faults of the world outside that the program lives through without losing anything."""

import os
import signal
import tempfile
import time
import unittest

from folian_e2e import SLOW, E2ETestCase, assert_no_violation, cpu_seconds, read_pgm, say

W, H = 300, 400


class Survival(E2ETestCase):
    def test_control_writers_come_and_go_hundreds_of_times(self):
        ctl = os.path.join(self.bundle().path, "ctl")
        app = self.start(self.bundle(), env={"FOLIAN_FB_FILE": "", "FOLIAN_CONTROL": ctl})
        app.wait_line(r"\] 控制管道 ")
        writers = 300
        for i in range(writers):
            say(ctl, "bogus %d\n" % i)
        say(ctl, "tap 10 20\n")
        app.wait_event("pointer", match=lambda e: e["phase"] == "up", timeout=10)
        # Every line of every writer was read, in order, and the last writer
        # going away left no hung-up descriptor for the loop to spin on.
        seen = [l.split("看不懂: ", 1)[1] for l in app.lines() if "控制命令看不懂: " in l]
        self.assertEqual(seen, ["bogus %d" % i for i in range(writers)])
        before = cpu_seconds(app.proc.pid)
        time.sleep(1.0)
        self.assertLess(cpu_seconds(app.proc.pid) - before, 0.2 * SLOW)
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait(), 0)
        assert_no_violation(app.trace())

    def test_panel_refusing_now_and_then_leaves_no_stale_pixel(self):
        # Each page shows one black box somewhere else, so a page turn's
        # rectangle covers the old box and the new one.  The driver turns
        # down every third update; the rectangle it refused must be taken in
        # by a later refresh, or the panel keeps showing a box long gone.
        pages = 8
        app_text = "".join("page\nfill gray 255\nrect %d %d 40 30 gray 0\n" % (20 + 25 * i, 20 + 40 * i)
                           for i in range(pages)) + "pages\n"
        run = tempfile.mkdtemp(prefix="folian-survival-")
        snaps = os.path.join(run, "snaps")
        os.makedirs(snaps)
        log = os.path.join(run, "epdc.log")
        ctl = os.path.join(run, "ctl")
        env = {"FOLIAN_SIM_FB_XRES": str(W), "FOLIAN_SIM_FB_YRES": str(H), "FOLIAN_SIM_EPDC": "zelda",
               "FOLIAN_EINK": "zelda", "FOLIAN_SIM_EPDC_FAIL_EVERY": "3", "FOLIAN_SIM_EPDC_LOG": log,
               "FOLIAN_SIM_EPDC_SNAP_DIR": snaps, "FOLIAN_CONTROL": ctl, "FOLIAN_KEEP_SCREEN": "1"}
        app = self.start(self.bundle(app=app_text), env=env, preload=["sim_fb"])
        app.wait_line(r"\] 控制管道 ")
        app.wait_event("page")
        for turn in range(1, pages):
            say(ctl, "key next\n")
            shown = app.wait_event("page", match=lambda e, turn=turn: e["index"] == str(turn), timeout=10)
            app.wait_event("present", match=lambda e, t=shown["t"]: e["t"] > t, timeout=10)
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait(), 0)

        with open(log) as f:
            lines = [l for l in f.read().splitlines() if l.startswith(("update ", "refused "))]
        self.assertEqual(len(lines), pages, lines)
        self.assertGreaterEqual(sum(l.startswith("refused ") for l in lines), 2, lines)
        # The stand-in panel shows each accepted update's rectangle only: each
        # page that reached it must show whole, with nothing of the pages
        # before, refused or not.
        accepted = 0
        for i, line in enumerate(lines):
            if not line.startswith("update "):
                continue
            page = bytearray([255]) * (W * H)
            for row in range(20 + 40 * i, 20 + 40 * i + 30):
                page[row * W + 20 + 25 * i:row * W + 20 + 25 * i + 40] = bytes(40)
            shown = read_pgm(os.path.join(snaps, "update_%04d.pgm" % accepted))[2]
            self.assertEqual(shown, bytes(page), "page %d" % i)
            accepted += 1

if __name__ == "__main__":
    unittest.main()
