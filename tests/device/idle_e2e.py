"""Idle cost: with nothing happening, the main thread of the running program
sleeps in poll.  Counts its wake-ups (voluntary context switches) over ten
seconds, with power events followed and the framework impersonated, and
prints the number; fails only above a generous bound."""

import os
import signal
import sys
import tempfile
import shutil
import time

from folian_e2e import BUILD_DIR, E2ETestCase

SIM = os.path.join(BUILD_DIR, "sim")
WINDOW_S = 10.0
BOUND = 5


def voluntary_switches(pid):
    with open("/proc/%d/task/%d/status" % (pid, pid)) as f:
        for line in f:
            if line.startswith("voluntary_ctxt_switches:"):
                return int(line.split()[1])
    raise AssertionError("no voluntary_ctxt_switches for %d" % pid)


class IdleE2E(E2ETestCase):
    def test_main_thread_sleeps_when_nothing_happens(self):
        lipc_dir = tempfile.mkdtemp(prefix="folian-lipc-")
        self.addCleanup(shutil.rmtree, lipc_dir, True)
        env = {"FOLIAN_FB_FILE": "",
               "FOLIAN_FAKE_FRAMEWORK": "1",
               "FOLIAN_SIM_LIPC_BIN": os.path.join(SIM, "lipc", "bin"),
               "FOLIAN_SIM_LIPC_DIR": lipc_dir}
        app = self.start(self.bundle(), env=env, preload=["sim_paths"],
                         ld_library_path=[os.path.join(SIM, "lipc")])
        app.wait_line(r"\] 监听电源事件")
        app.wait_line(r"frameworkStarted=1")
        app.wait_event("present")
        time.sleep(1.0)  # the stand-in engine's start-up tasks are done by now
        pid = app.proc.pid
        before = voluntary_switches(pid)
        time.sleep(WINDOW_S)
        wakeups = voluntary_switches(pid) - before
        sys.stderr.write("idle main thread: %d wake-ups in %.0f s\n" % (wakeups, WINDOW_S))
        self.assertLess(wakeups, BOUND)
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait(), 0)
        try:
            os.kill(int(open(os.path.join(lipc_dir, "wait-event.pid")).read()), signal.SIGKILL)
        except (OSError, ValueError):
            pass
