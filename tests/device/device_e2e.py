"""The platform's tools and LIPC library (stand-ins) around the program."""

import os
import shutil
import signal
import sys
import tempfile
import time
import unittest

from evdev_nodes import MT_SCREEN, PAGE_KEYS, Nodes, key_records, touch_records
from folian_e2e import BUILD_DIR, SLOW, E2ETestCase, assert_no_violation, cpu_seconds, events, say

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


def kill(pid):
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


class DeviceE2E(E2ETestCase):
    def path(self, name):
        return os.path.join(self.dir, name)

    def read(self, name):
        try:
            with open(self.path(name)) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def lipc_calls(self):
        """The framework's calls; the device services' (services_e2e) left out."""
        calls = [l.split(" ", 1)[1] for l in self.read("lipc.log").splitlines()]
        return [c for c in calls if not c.startswith(("open (no name)", "get ", "setint "))]

    def launch(self, env=None, framework=False, preload=()):
        """The simulated screen, unless sim_fb is preloaded."""
        self.dir = tempfile.mkdtemp(prefix="folian-lipc-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        full = {"FOLIAN_SIM_LIPC_BIN": LIPC_BIN, "FOLIAN_SIM_LIPC_DIR": self.dir,
                "FOLIAN_SIM_PATHS_LOG": self.path("exec.log")}
        if "sim_fb" not in preload:
            full["FOLIAN_FB_FILE"] = ""
        if framework:
            full["FOLIAN_FAKE_FRAMEWORK"] = "1"
        full.update(env or {})
        os.mkfifo(self.path("events"))
        # Read-write: opening never blocks, and the tool sees end of file
        # only when the test closes it.
        self.feed = os.open(self.path("events"), os.O_RDWR)
        self.addCleanup(os.close, self.feed)
        app = self.start(self.bundle(), env=full, preload=["sim_paths"] + list(preload),
                         ld_library_path=[LIPC_LIB])
        app.wait_line(r"\] 监听电源事件（lipc-wait-event pid \d+）$")
        app.wait_event("present")
        deadline = time.monotonic() + 5 * SLOW
        while not self.read("wait-event.pid") and time.monotonic() < deadline:
            time.sleep(0.02)
        self.tool_pid = int(self.read("wait-event.pid"))
        self.addCleanup(kill, self.tool_pid)
        return app

    def test_tool_killed_from_outside_is_started_again(self):
        app = self.launch()
        self.assertEqual(self.read("exec.log"),
                         "exec /usr/bin/lipc-wait-event lipc-wait-event -m com.lab126.powerd "
                         "goingToScreenSaver,outOfScreenSaver,battLevelChanged,charging,notCharging\n")
        os.kill(self.tool_pid, signal.SIGKILL)
        app.wait_line(r"\]\[错误\] lipc-wait-event 退出了，重新启动$")
        app.wait_line(r"\] 监听电源事件（lipc-wait-event pid (?!%d）)\d+）$" % self.tool_pid)
        self.assertTrue(process_gone(self.tool_pid))
        # The new tool brings the screensaver's events as the old one did,
        # a sleep and its wake in one write among them: both are applied.
        os.write(self.feed, b"goingToScreenSaver\n")
        app.wait_event("lifecycle", match=lambda e: e["state"] == "paused")
        os.write(self.feed, b"outOfScreenSaver\ngoingToScreenSaver\noutOfScreenSaver\n")
        app.wait_event("lifecycle", match=lambda e: e["state"] == "resumed", count=3)
        self.assertEqual([e["state"] for e in events(app.trace(), "lifecycle")],
                         ["resumed", "paused", "resumed", "paused", "resumed"])
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait(), 0)
        assert_no_violation(app.trace())

    def test_impersonation_is_registered_and_undone_first(self):
        for hang in (False, True):
            with self.subTest(hang=hang):
                self.impersonation(hang)

    def impersonation(self, hang):
        # Without the hang: a device screen, and the hang-up of the shell
        # that started the program, which quits it as SIGTERM does.
        env = {"FOLIAN_TEST_EXIT_HANG": "1", "FOLIAN_EXIT_TIMEOUT": "1"} if hang else {}
        app = self.launch(framework=True, env=env, preload=() if hang else ("sim_fb",))
        app.wait_line(r"\] 冒充框架：com\.lab126\.kaf frameworkStarted=1，已卸掉系统开机画面和屏保$")
        self.assertEqual(self.lipc_calls(), [
            "load liblipc.so.1",
            "open com.lab126.kaf",
            "register frameworkStarted get=0 value=1 setter=null data=null",
            "set com.lab126.blanket unload splash",
            "set com.lab126.blanket unload screensaver"])
        app.signal(signal.SIGTERM if hang else signal.SIGHUP)
        self.assertEqual(app.wait(timeout=5), 124 if hang else 0)
        self.assertEqual(self.lipc_calls()[5:], ["set com.lab126.blanket load screensaver",
                                                 "close com.lab126.kaf"])
        lines = app.lines()
        undone = next(i for i, l in enumerate(lines) if l.endswith("] 冒充框架：已注销，系统屏保装回"))
        if hang:
            self.assertLess(undone, next(i for i, l in enumerate(lines) if "模拟退出卡住" in l))
            return
        self.assertTrue(lines[undone - 1].endswith("] 退出"), lines)
        self.assertTrue(lines[-1].endswith("] 已还原启动前的屏幕内容"), lines)
        self.assertFalse(any(EXIT_LINE in l for l in lines))
        trace = app.trace()
        assert_no_violation(trace)
        # The library's clock and the engine's are both CLOCK_MONOTONIC.
        closed_ns = int(float(self.read("lipc.log").splitlines()[-1].split(" ")[0]) * 1e9)
        shutdown = next(e for e in events(trace, "shutdown") if e["phase"] == "begin")
        self.assertLess(closed_ns, shutdown["t"])
        # The event-wait tool is stopped and reaped at shutdown.
        self.assertTrue(process_gone(self.tool_pid))


    def test_main_thread_sleeps_with_every_source_open(self):
        # After a touch, a page key and a control tap have been handled, the
        # main thread sleeps in poll: few wake-ups, and little CPU (a spin
        # makes no voluntary switch at all).
        nodes = Nodes()
        self.addCleanup(nodes.cleanup)
        nodes.add("event0", MT_SCREEN)
        nodes.add("event1", PAGE_KEYS)
        ctl = os.path.join(nodes.root, "ctl")
        app = self.launch(dict(nodes.env(), FOLIAN_CONTROL=ctl), framework=True, preload=["sim_evdev"])
        for line in (r"frameworkStarted=1", r"\] 触摸屏 /dev/input/event0", r"\] 翻页键 /dev/input/event1",
                     r"\] 控制管道 "):
            app.wait_line(line)
        nodes.send("event0", touch_records(0, 1, 2048, 2048) + touch_records(0, -1))
        nodes.send("event1", key_records((109, 1), (109, 0)))
        say(ctl, "tap 100 100\n")
        app.wait_event("pointer", match=lambda e: e["phase"] == "up", count=2, timeout=10)
        app.wait_event("key", match=lambda e: e["type"] == "up", timeout=10)
        # The measurement starts once the count has stood still for a moment.
        pid, window = app.proc.pid, 4.0
        deadline = time.monotonic() + 10 * SLOW
        count = voluntary_switches(pid)
        while time.monotonic() < deadline:
            time.sleep(0.5)
            count, before = voluntary_switches(pid), count
            if count == before:
                break
        cpu = cpu_seconds(pid)
        time.sleep(window)
        wakeups, cpu = voluntary_switches(pid) - count, cpu_seconds(pid) - cpu
        sys.stderr.write("idle main thread: %d wake-ups, %.2f s of CPU in %.0f s\n" % (wakeups, cpu, window))
        self.assertLess(wakeups, 5)
        self.assertLess(cpu, 0.1 * window)
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait(10), 0)


def voluntary_switches(pid):
    with open("/proc/%d/task/%d/status" % (pid, pid)) as f:
        return int(next(l for l in f if l.startswith("voluntary_ctxt_switches:")).split()[1])


if __name__ == "__main__":
    unittest.main()
