"""The device around the app, seen from outside: the real executable with the
stand-in engine, the platform's tools replaced through the preloaded
sim_paths library, and the LIPC library stand-in on the loader's path."""

import os
import signal
import time

from folian_e2e import BUILD_DIR, SLOW, E2ETestCase, assert_no_violation, events

SIM = os.path.join(BUILD_DIR, "sim")
LIPC_BIN = os.path.join(SIM, "lipc", "bin")
LIPC_LIB = os.path.join(SIM, "lipc")

EXIT_LINE = "[错误] lipc-wait-event 退出了，不再监听电源事件"


def process_gone(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(") ")[1].startswith("Z")
    except FileNotFoundError:
        return True


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(") ", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


class DeviceE2E(E2ETestCase):
    def setUp(self):
        import tempfile, shutil
        self.dir = tempfile.mkdtemp(prefix="folian-lipc-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.feed = None

    def path(self, name):
        return os.path.join(self.dir, name)

    def read(self, name):
        try:
            with open(self.path(name)) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def lipc_calls(self):
        return [l.split(" ", 1)[1] for l in self.read("lipc.log").splitlines()]

    def launch(self, env=None, events_fifo=True, framework=False):
        full = {"FOLIAN_FB_FILE": "",
                "FOLIAN_SIM_LIPC_BIN": LIPC_BIN,
                "FOLIAN_SIM_LIPC_DIR": self.dir,
                "FOLIAN_SIM_PATHS_LOG": self.path("exec.log")}
        if framework:
            full["FOLIAN_FAKE_FRAMEWORK"] = "1"
        full.update(env or {})
        if events_fifo:
            os.mkfifo(self.path("events"))
            # Read-write: opening never blocks, and the tool sees end of file
            # only when the test closes it.
            self.feed = os.open(self.path("events"), os.O_RDWR)
            self.addCleanup(self.close_feed)
        app = self.start(self.bundle(), env=full, preload=["sim_paths"],
                         ld_library_path=[LIPC_LIB])
        app.wait_line(r"\] 监听电源事件（lipc-wait-event pid \d+）$")
        app.wait_event("present")
        deadline = time.monotonic() + 5 * SLOW
        while not self.read("wait-event.pid") and time.monotonic() < deadline:
            time.sleep(0.02)
        self.tool_pid = int(self.read("wait-event.pid"))
        self.addCleanup(self.kill_tool)
        return app

    def close_feed(self):
        if self.feed is not None:
            os.close(self.feed)
            self.feed = None

    def kill_tool(self):
        try:
            os.kill(self.tool_pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def say(self, text):
        os.write(self.feed, text.encode())

    def stop(self, app, status=0):
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait(), status)
        trace = app.trace()
        assert_no_violation(trace)
        return trace

    def test_screensaver_pauses_and_resumes_the_app(self):
        app = self.launch()
        self.assertEqual(self.read("exec.log"),
                         "exec /usr/bin/lipc-wait-event lipc-wait-event -m com.lab126.powerd "
                         "goingToScreenSaver,outOfScreenSaver\n")
        self.say("goingToScreenSaver\n")
        app.wait_event("lifecycle", match=lambda e: e["state"] == "paused")
        app.wait_line(r"\] 电源事件: goingToScreenSaver$")
        self.say("outOfScreenSaver\n")
        app.wait_event("lifecycle", match=lambda e: e["state"] == "resumed", count=2)
        app.wait_event("schedule_frame")
        trace = self.stop(app)

        states = [e["state"] for e in events(trace, "lifecycle")]
        self.assertEqual(states, ["resumed", "paused", "resumed"])
        resumed = events(trace, "lifecycle")[2]
        self.assertTrue(any(e["t"] >= resumed["t"] for e in events(trace, "schedule_frame")))
        self.assertNotIn(EXIT_LINE, "\n".join(app.lines()))
        # Stopped and reaped at shutdown.
        self.assertTrue(process_gone(self.tool_pid))

    def test_tool_killed_from_outside_is_told_once_and_left_alone(self):
        app = self.launch()
        os.kill(self.tool_pid, signal.SIGKILL)
        app.wait_line(r"\] lipc-wait-event 退出了，不再监听电源事件$")
        # A hung-up pipe left in the poll set would keep the loop busy.
        before = cpu_ticks(app.proc.pid)
        time.sleep(1.0)
        self.assertLess(cpu_ticks(app.proc.pid) - before, 20)
        self.assertTrue(process_gone(self.tool_pid))
        self.stop(app)
        self.assertEqual(sum(EXIT_LINE in l for l in app.lines()), 1)

    def test_impersonation_is_registered_and_undone_first(self):
        app = self.launch(framework=True)
        app.wait_line(r"\] 冒充框架：com\.lab126\.kaf frameworkStarted=1，已卸掉系统开机画面和屏保$")
        self.assertEqual(self.lipc_calls(), [
            "load liblipc.so.1",
            "open com.lab126.kaf",
            "register frameworkStarted get=0 value=1 setter=null data=null",
            "set com.lab126.blanket unload splash",
            "set com.lab126.blanket unload screensaver"])
        trace = self.stop(app)

        calls = self.lipc_calls()
        self.assertEqual(calls[5:], ["set com.lab126.blanket load screensaver",
                                     "close com.lab126.kaf"])
        lines = app.lines()
        quit_at = next(i for i, l in enumerate(lines) if l.endswith("] 退出"))
        self.assertTrue(lines[quit_at + 1].endswith("] 冒充框架：已注销，系统屏保装回"), lines)
        # The library's clock and the engine's are both CLOCK_MONOTONIC.
        closed_ns = int(float(self.read("lipc.log").splitlines()[-1].split(" ")[0]) * 1e9)
        shutdown = next(e for e in events(trace, "shutdown") if e["phase"] == "begin")
        self.assertLess(closed_ns, shutdown["t"])

    def test_impersonation_is_undone_before_a_hung_shutdown(self):
        app = self.launch(framework=True, env={"FOLIAN_TEST_EXIT_HANG": "1",
                                               "FOLIAN_EXIT_TIMEOUT": "1"})
        app.wait_line(r"frameworkStarted=1")
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait(timeout=5), 124)
        self.assertEqual(self.lipc_calls()[-2:], ["set com.lab126.blanket load screensaver",
                                                  "close com.lab126.kaf"])
        lines = app.lines()
        undone = next(i for i, l in enumerate(lines) if l.endswith("] 冒充框架：已注销，系统屏保装回"))
        hang = next(i for i, l in enumerate(lines) if "模拟退出卡住" in l)
        self.assertLess(undone, hang)


if __name__ == "__main__":
    import unittest
    unittest.main()
