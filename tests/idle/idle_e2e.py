"""Idle cost: with every source of main-thread work open (touch screen, page
buttons, control FIFO, power events, the framework impersonated) and after a
touch, a page key and a control tap have been handled, the main thread must
sleep in poll.  Counts its wake-ups (voluntary context switches) and the CPU
time it used over a few seconds and prints both; fails only above generous
bounds.  The CPU time is what catches a loop that never sleeps: spinning at
full speed makes no voluntary switch at all."""

import os
import shutil
import signal
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "input"))
from folian_e2e import BUILD_DIR, SLOW, E2ETestCase  # noqa: E402
from evdev_nodes import MT_SCREEN, PAGE_KEYS, Nodes, key_records, touch_records  # noqa: E402

SIM = os.path.join(BUILD_DIR, "sim")
WINDOW_S = 4.0
BOUND = 5
# Seconds of CPU the main thread may use over the window: a spin uses all of it.
CPU_BOUND_S = 0.1 * WINDOW_S


def voluntary_switches(pid):
    with open("/proc/%d/task/%d/status" % (pid, pid)) as f:
        for line in f:
            if line.startswith("voluntary_ctxt_switches:"):
                return int(line.split()[1])
    raise AssertionError("no voluntary_ctxt_switches for %d" % pid)


def cpu_seconds(pid):
    """User plus system time of the main thread, from its stat line."""
    with open("/proc/%d/task/%d/stat" % (pid, pid)) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Idle(E2ETestCase):
    def test_main_thread_sleeps_with_every_source_open(self):
        nodes = Nodes()
        self.addCleanup(nodes.cleanup)
        nodes.add("event0", MT_SCREEN)
        nodes.add("event1", PAGE_KEYS)
        lipc_dir = tempfile.mkdtemp(prefix="folian-lipc-")
        self.addCleanup(shutil.rmtree, lipc_dir, True)
        self.addCleanup(self.kill_tool, lipc_dir)
        ctl = os.path.join(lipc_dir, "ctl")
        env = dict(nodes.env(), FOLIAN_FB_FILE="", FOLIAN_CONTROL=ctl, FOLIAN_FAKE_FRAMEWORK="1",
                   FOLIAN_SIM_LIPC_BIN=os.path.join(SIM, "lipc", "bin"), FOLIAN_SIM_LIPC_DIR=lipc_dir)
        app = self.start(self.bundle(), env=env, preload=["sim_evdev", "sim_paths"],
                         ld_library_path=[os.path.join(SIM, "lipc")])
        for line in (r"\] 触摸屏 /dev/input/event0", r"\] 翻页键 /dev/input/event1",
                     r"\] 控制管道 .*/ctl$", r"\] 监听电源事件", r"frameworkStarted=1"):
            app.wait_line(line, timeout=10)
        app.wait_event("present", timeout=10)

        nodes.send("event0", touch_records(0, 1, 2048, 2048) + touch_records(0, -1))
        nodes.send("event1", key_records((109, 1), (109, 0)))
        fd = os.open(ctl, os.O_WRONLY | os.O_NONBLOCK)
        try:
            os.write(fd, b"tap 100 100\n")
        finally:
            os.close(fd)
        app.wait_event("pointer", match=lambda e: e["phase"] == "up", count=2, timeout=10)
        app.wait_event("key", match=lambda e: e["type"] == "up", timeout=10)

        # Start-up and input work is over once the count stands still for a
        # moment; the measurement follows.
        pid = app.proc.pid
        deadline = time.monotonic() + 10 * SLOW
        count = voluntary_switches(pid)
        while time.monotonic() < deadline:
            time.sleep(0.5)
            count, before = voluntary_switches(pid), count
            if count == before:
                break
        cpu = cpu_seconds(pid)
        time.sleep(WINDOW_S)
        wakeups = voluntary_switches(pid) - count
        cpu = cpu_seconds(pid) - cpu
        sys.stderr.write("idle main thread: %d wake-ups, %.2f s of CPU in %.0f s\n"
                         % (wakeups, cpu, WINDOW_S))
        self.assertLess(wakeups, BOUND)
        self.assertLess(cpu, CPU_BOUND_S)
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait(10), 0)

    @staticmethod
    def kill_tool(lipc_dir):
        try:
            with open(os.path.join(lipc_dir, "wait-event.pid")) as f:
                os.kill(int(f.read()), signal.SIGKILL)
        except (OSError, ValueError):
            pass


if __name__ == "__main__":
    unittest.main()
