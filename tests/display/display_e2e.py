"""Frames from the stand-in engine reaching the panel through the real
program: the stand-in EPDC logs every update and writes what the panel shows
after it as a PGM picture."""

import os
import re
import shutil
import signal
import tempfile
import unittest

from folian_e2e import E2ETestCase, assert_no_violation

UPDATE = re.compile(r"^update kind=mtk marker=\d+ region=(\d+),(\d+) (\d+)x(\d+) waveform=(\d+) mode=(\d+) ")
W, H = 200, 150


def read_pgm(path):
    with open(path, "rb") as f:
        data = f.read()
    header = b"P5\n%d %d\n255\n" % (W, H)
    assert data.startswith(header) and len(data) == len(header) + W * H, data[:20]
    return data[len(header):]


class Frames(E2ETestCase):
    def test_full_partial_sigusr1_repaint_and_startup_screen_back_at_exit(self):
        d = tempfile.mkdtemp(prefix="folian-display-")
        self.addCleanup(shutil.rmtree, d, True)
        log = os.path.join(d, "epdc.log")
        env = {"FOLIAN_SIM_FB_XRES": str(W), "FOLIAN_SIM_FB_YRES": str(H),
               "FOLIAN_SIM_FB_FILL": "0x80", "FOLIAN_SIM_EPDC": "mtk",
               "FOLIAN_SIM_EPDC_LOG": log, "FOLIAN_SIM_EPDC_SNAP_DIR": d,
               "FOLIAN_LOG_FRAMES": "1"}
        app = self.start(self.bundle(app="fill gray 255\npresent\nwait 300\n"
                                         "rect 10 20 30 40 gray 0\npresent\nwait 60000\n"),
                         env=env, preload=("sim_fb",))
        # The first refresh is the probing one, which names no waveform.
        app.wait_line(r"\] 帧 0：全刷 \(0,0\) 200x150 \?，转换 \d+\.\dms，刷新调用 \d+\.\dms$",
                      timeout=10)
        app.wait_line(r"\] 帧 1：局刷 \(10,20\) 30x40 AUTO，", timeout=10)
        app.signal(signal.SIGUSR1)
        app.wait_line(r"收到 SIGUSR1，整屏写回")
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait(10), 0)
        assert_no_violation(app.trace())
        lines = "\n".join(app.lines())
        self.assertIn("] 墨水屏驱动: mtk", lines)
        self.assertIn("] 已还原启动前的屏幕内容", lines)

        with open(log) as f:
            updates = [tuple(int(v) for v in m.groups()) for m in map(UPDATE.match, f) if m]
        whole = (0, 0, W, H, 2, 1)
        self.assertEqual(updates, [whole, (10, 20, 30, 40, 257, 0), whole, whole])
        pictures = [read_pgm(os.path.join(d, "update_%04d.pgm" % i)) for i in range(4)]
        self.assertEqual(set(pictures[0]), {255})
        second = pictures[1]
        self.assertEqual(second.count(0), 30 * 40)
        self.assertEqual([second[20 * W + 10], second[59 * W + 39], second[60 * W + 39], second[59 * W + 40]],
                         [0, 0, 255, 255])
        self.assertEqual(pictures[2], second)
        self.assertEqual(set(pictures[3]), {0x80})


if __name__ == "__main__":
    unittest.main()
