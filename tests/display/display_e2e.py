"""Frames from the stand-in engine reaching the panel: the stand-in EPDC logs
every update and writes what the panel shows after it; the simulated screen
dumps each refresh as a PGM file."""

import os
import re
import shutil
import signal
import tempfile
import unittest

from folian_e2e import SLOW, E2ETestCase, assert_no_violation

UPDATE = re.compile(r"^update kind=(\w+) marker=(\d+) region=(\d+),(\d+) (\d+)x(\d+) "
                    r"waveform=(\d+) mode=(\d+) ")

TWO_FRAMES = """fill gray 255
present
wait 300
rect 10 20 30 40 gray 0
present
wait 300
"""


def read_pgm(path):
    with open(path, "rb") as f:
        data = f.read()
    m = re.match(rb"P5\n(\d+) (\d+)\n255\n", data)
    assert m, "not a P5 file: %r" % data[:20]
    w, h = int(m.group(1)), int(m.group(2))
    pixels = data[m.end():]
    assert len(pixels) == w * h, (len(pixels), w, h)
    return w, h, pixels


class Frames(E2ETestCase):
    def scratch(self):
        d = tempfile.mkdtemp(prefix="folian-display-")
        self.addCleanup(shutil.rmtree, d, True)
        return d

    def updates(self, log):
        out = []
        with open(log) as f:
            for line in f:
                m = UPDATE.match(line)
                if m:
                    g = m.groups()
                    out.append({"region": tuple(int(x) for x in g[2:6]), "waveform": int(g[6]),
                                "full": g[7] == "1"})
        return out

    def test_full_then_partial_then_startup_screen_back(self):
        d = self.scratch()
        log = os.path.join(d, "epdc.log")
        env = {"FOLIAN_SIM_FB_XRES": "200", "FOLIAN_SIM_FB_YRES": "150",
               "FOLIAN_SIM_FB_FILL": "0x80", "FOLIAN_SIM_EPDC": "mtk",
               "FOLIAN_SIM_EPDC_LOG": log, "FOLIAN_SIM_EPDC_SNAP_DIR": d,
               "FOLIAN_LOG_FRAMES": "1"}
        app = self.run_to_end(self.bundle(app=TWO_FRAMES + "quit\n"), env=env,
                              preload=("sim_fb",), timeout=20)
        lines = "\n".join(app.lines())
        self.assertEqual(app.returncode, 0, lines)
        assert_no_violation(app.trace())
        self.assertEqual(self.updates(log), [
            {"region": (0, 0, 200, 150), "waveform": 2, "full": True},
            {"region": (10, 20, 30, 40), "waveform": 257, "full": False},
            {"region": (0, 0, 200, 150), "waveform": 2, "full": True},
        ])
        self.assertIn("] 墨水屏驱动: mtk", lines)
        # The first refresh is the probing one, which names no waveform.
        self.assertRegex(lines, r"\] 帧 0：全刷 \(0,0\) 200x150 \?，转换 \d+\.\dms，刷新调用 \d+\.\dms")
        self.assertRegex(lines, r"\] 帧 1：局刷 \(10,20\) 30x40 AUTO，")
        self.assertIn("] 已还原启动前的屏幕内容", lines)

        _, _, first = read_pgm(os.path.join(d, "update_0000.pgm"))
        self.assertEqual(set(first), {255})
        w, _, second = read_pgm(os.path.join(d, "update_0001.pgm"))
        self.assertEqual(second[20 * w + 10], 0)
        self.assertEqual(second[59 * w + 39], 0)
        self.assertEqual(second[60 * w + 39], 255)
        self.assertEqual(second[59 * w + 40], 255)
        _, _, restored = read_pgm(os.path.join(d, "update_0002.pgm"))
        self.assertEqual(set(restored), {0x80})

    def test_simulated_screen_dumps_numbered_frames(self):
        d = self.scratch()
        env = {"FOLIAN_FB_FILE": "", "FOLIAN_FB_SIZE": "120x90", "FOLIAN_FB_DUMP_DIR": d}
        app = self.run_to_end(self.bundle(app=TWO_FRAMES + "quit\n"), env=env, timeout=20)
        lines = "\n".join(app.lines())
        self.assertEqual(app.returncode, 0, lines)
        self.assertIn("] 假屏模式 120x90，帧导出到 %s" % d, lines)
        self.assertIn("] 第 0 帧：整屏 刷新 (0,0) 120x90", lines)
        self.assertIn("] 第 1 帧：局部 刷新 (10,20) 30x40", lines)
        self.assertEqual(sorted(os.listdir(d)), ["frame_0000.pgm", "frame_0001.pgm"])
        w, h, first = read_pgm(os.path.join(d, "frame_0000.pgm"))
        self.assertEqual((w, h), (120, 90))
        self.assertEqual(set(first), {255})
        _, _, second = read_pgm(os.path.join(d, "frame_0001.pgm"))
        self.assertEqual(second[20 * w + 10], 0)
        self.assertEqual(second.count(0), 30 * 40)

    def test_sigusr1_writes_the_whole_screen_back(self):
        d = self.scratch()
        log = os.path.join(d, "epdc.log")
        env = {"FOLIAN_SIM_FB_XRES": "64", "FOLIAN_SIM_FB_YRES": "48",
               "FOLIAN_SIM_EPDC": "rex", "FOLIAN_SIM_EPDC_LOG": log, "FOLIAN_KEEP_SCREEN": "1",
               "FOLIAN_LOG_FRAMES": "1"}
        app = self.start(self.bundle(app="fill gray 0\npresent\nwait 20000\n"), env=env,
                         preload=("sim_fb",))
        app.wait_line(r"帧 0：全刷", timeout=10 * SLOW)
        app.signal(signal.SIGUSR1)
        app.wait_line(r"收到 SIGUSR1，整屏写回", timeout=5 * SLOW)
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait(10 * SLOW), 0)
        self.assertEqual(self.updates(log), [
            {"region": (0, 0, 64, 48), "waveform": 2, "full": True},
            {"region": (0, 0, 64, 48), "waveform": 2, "full": True},
        ])


if __name__ == "__main__":
    unittest.main()
