"""Faults of the world outside that the program must live through without
losing anything: writers of the control FIFO that come and go, a panel driver
that refuses now and then, a touch node that vanishes in the middle of a
gesture.  The event-wait tool dying is in the device tests."""

import os
import signal
import time
import unittest

from folian_e2e import SLOW, E2ETestCase, assert_no_violation, events


def cpu_ticks(pid):
    with open("/proc/%d/task/%d/stat" % (pid, pid)) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


class Survival(E2ETestCase):
    def test_control_writers_come_and_go_hundreds_of_times(self):
        ctl = os.path.join(self.bundle().path, "ctl")
        app = self.start(self.bundle(), env={"FOLIAN_FB_FILE": "", "FOLIAN_CONTROL": ctl})
        app.wait_line(r"\] 控制管道 ")
        writers = 300
        for i in range(writers):
            fd = os.open(ctl, os.O_WRONLY | os.O_NONBLOCK)
            os.write(fd, b"bogus %d\n" % i)
            os.close(fd)
        fd = os.open(ctl, os.O_WRONLY | os.O_NONBLOCK)
        os.write(fd, b"tap 10 20\n")
        os.close(fd)
        app.wait_event("pointer", match=lambda e: e["phase"] == "up", timeout=10)
        # Every line of every writer was read, in order, and the last writer
        # going away left no hung-up descriptor for the loop to spin on.
        seen = [l.split("看不懂: ", 1)[1] for l in app.lines() if "控制命令看不懂: " in l]
        self.assertEqual(seen, ["bogus %d" % i for i in range(writers)])
        before = cpu_ticks(app.proc.pid)
        time.sleep(1.0)
        self.assertLess(cpu_ticks(app.proc.pid) - before, 20 * SLOW)
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait(), 0)
        assert_no_violation(app.trace())


if __name__ == "__main__":
    unittest.main()
