"""Idle cost with every source of main-thread work open: a touch screen and
page buttons, the control FIFO, after a touch and a control tap have been
handled.  Nothing may leave a deadline or a readable descriptor behind: the
main thread must sleep in poll.  Prints the count; fails only above a
generous bound."""

import os
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "input"))
sys.path.insert(0, os.path.join(HERE, "..", "device"))

from folian_e2e import E2ETestCase  # noqa: E402
from evdev_nodes import MT_SCREEN, PAGE_KEYS, EV_KEY, Nodes, record, touch_records  # noqa: E402
from idle_e2e import BOUND, WINDOW_S, voluntary_switches  # noqa: E402


class IdleDevicesE2E(E2ETestCase):
    def test_main_thread_sleeps_after_input_and_control(self):
        nodes = Nodes()
        self.addCleanup(nodes.cleanup)
        nodes.add("event0", MT_SCREEN)
        nodes.add("event1", PAGE_KEYS)
        ctl = os.path.join(nodes.root, "ctl")
        env = dict({"FOLIAN_FB_FILE": "", "FOLIAN_CONTROL": ctl}, **nodes.env())
        app = self.start(self.bundle(), env=env, preload=["sim_evdev"])
        app.wait_line(r"\] 触摸屏 /dev/input/event0")
        app.wait_line(r"\] 翻页键 /dev/input/event1")
        app.wait_line(r"\] 控制管道 .*/ctl$")
        app.wait_event("present")

        nodes.send("event0", touch_records(0, 1, 2048, 2048))
        nodes.send("event0", touch_records(0, -1))
        nodes.send("event1", record(EV_KEY, 109, 1) + record(EV_KEY, 109, 0))
        fd = os.open(ctl, os.O_WRONLY | os.O_NONBLOCK)
        try:
            os.write(fd, b"tap 100 100\n")
        finally:
            os.close(fd)
        app.wait_event("pointer", match=lambda e: e["phase"] == "up", count=2)
        time.sleep(1.0)

        pid = app.proc.pid
        before = voluntary_switches(pid)
        time.sleep(WINDOW_S)
        wakeups = voluntary_switches(pid) - before
        sys.stderr.write("idle main thread after input and control: %d wake-ups in %.0f s\n"
                         % (wakeups, WINDOW_S))
        self.assertLess(wakeups, BOUND)
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait(), 0)
