"""The reader's services on app.folian.device and app.folian.device/battery,
from each source: the daemon through the LIPC library, the daemon through its
property tools, sysfs, and nothing; the stand-ins of sim/lipc and sim/paths."""

import os
import shutil
import signal
import tempfile
import time
import unittest

from folian_e2e import BUILD_DIR, SLOW, E2ETestCase, assert_no_violation, encode, events, ok_reply, payload, say

SIM = os.path.join(BUILD_DIR, "sim")
LIPC_BIN = os.path.join(SIM, "lipc", "bin")
LIPC_LIB = os.path.join(SIM, "lipc")
DEVICE = "app.folian.device"
BATTERY = "app.folian.device/battery"
NEXT = "wait_key down\n"

CALLS = "".join("call %s %s\n" % (DEVICE, c) for c in (
    "capabilities", "battery", "frontlight",
    "setFrontlight brightness=i:51 warmth=i:30", "frontlight",
    "setFrontlight brightness=s:x", "setFrontlight brightness=i:101 warmth=i:3",
    "keepAwake enabled=b:true", "keepAwake", "nosuch"))


def error_reply(message):
    return b"\x01" + encode("bad_argument") + encode(message) + b"\x00"


def battery(level, charging, state):
    return {"level": level, "charging": charging, "state": state}


def caps(battery_, frontlight, warmth, awake):
    return {"battery": battery_, "frontlight": frontlight, "warmth": warmth, "keepAwake": awake}


BAD = [error_reply("brightness: an integer 0..100")] * 2


class Services(E2ETestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="folian-services-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def write(self, path, text):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)

    def read(self, *names):
        try:
            with open(self.path(*names)) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def daemon(self, **props):
        for name, value in props.items():
            self.write(self.path("lipc", "powerd", name), "%d\n" % value)

    def sysfs(self, node, **files):
        for name, value in files.items():
            self.write(self.path("sys", "class", node, name), value)

    def launch(self, script, source, env=None):
        """source: library, tools, sysfs or none."""
        os.makedirs(self.path("lipc"), exist_ok=True)
        self.control = self.path("ctl")
        full = {"FOLIAN_SIM_LIPC_DIR": self.path("lipc"), "FOLIAN_SIM_SYSFS": self.path("sys"),
                "FOLIAN_FB_FILE": "", "FOLIAN_CONTROL": self.control,
                "FOLIAN_SIM_LIPC_BIN": LIPC_BIN if source in ("library", "tools") else self.dir}
        full.update(env or {})
        app = self.start(self.bundle(app="fill gray 255\npresent\n" + script + "quit\n"), env=full,
                         preload=["sim_paths"], ld_library_path=[LIPC_LIB] if source == "library" else [])
        app.wait_line(r"\] 设备服务：(没有保持唤醒|保持唤醒 ← )")
        app.wait_line(r"\] 控制管道 ")
        return app

    def replies(self, app, channel=DEVICE):
        self.assertEqual(app.wait(10), 0, "\n".join(app.lines()))
        trace = app.trace()
        assert_no_violation(trace)
        return [payload(e) for e in events(trace, "response") if e["channel"] == channel]

    def test_each_method_on_each_source(self):
        daemon_light = {"brightness": 50, "warmth": 25}
        roads = {
            # The daemon's 0..24 steps: 12 is 50, 6 is 25; 51 and 30 become 12 and 7.
            "library": ([caps(True, True, True, True), battery(80, False, "discharging"), daemon_light,
                         True, {"brightness": 51, "warmth": 30}], True, (12, 7)),
            # No warm light: a call that asks for warmth changes nothing.
            "tools": ([caps(True, True, False, True), battery(80, False, "discharging"),
                       {"brightness": 50, "warmth": None}, False, {"brightness": 50, "warmth": None}],
                      True, (12, None)),
            # 128 of 255 is 50, 5 of 10 is 50; 51 and 30 become 130 and 3.
            "sysfs": ([caps(True, True, True, False), battery(64, True, "charging"),
                       {"brightness": 50, "warmth": 50}, True, {"brightness": 51, "warmth": 30}],
                      False, (130, 3)),
            "none": ([caps(False, False, False, False), battery(None, False, "unknown"),
                      {"brightness": None, "warmth": None}, False, {"brightness": None, "warmth": None}],
                     False, None),
        }
        for source, (want, awake, light) in roads.items():
            with self.subTest(source=source):
                self.setUp()
                if source in ("library", "tools"):
                    self.daemon(battLevel=80, isCharging=0, flIntensity=12, preventScreenSaver=0)
                    if source == "library":
                        self.daemon(currentAmberLevel=6)
                if source == "sysfs":
                    self.sysfs("power_supply/bat", type="Battery\n", capacity="64\n", status="Charging\n")
                    self.sysfs("power_supply/usb", type="USB\n", capacity="0\n", status="Full\n")
                    self.sysfs("backlight/fl", brightness="128\n", max_brightness="255\n")
                    self.sysfs("backlight/fl_warm", brightness="5\n", max_brightness="10\n")
                app = self.launch(CALLS, source)
                got = self.replies(app)
                self.assertEqual(got, [ok_reply(v) for v in want] + BAD +
                                 [ok_reply(awake), error_reply("enabled: true or false"), b""])
                if source in ("library", "tools"):
                    self.assertEqual(self.read("lipc", "powerd", "flIntensity"), "%d\n" % light[0])
                    self.assertEqual(self.read("lipc", "powerd", "currentAmberLevel"),
                                     "" if light[1] is None else "%d\n" % light[1])
                    # Kept awake, then given back at exit.
                    log = self.read("lipc", "lipc.log" if source == "library" else "set-prop.log")
                    held, released = "preventScreenSaver 1", "preventScreenSaver 0"
                    self.assertLess(log.index(held), log.index(released), log)
                    self.assertEqual(self.read("lipc", "powerd", "preventScreenSaver"), "0\n")
                if source == "sysfs":
                    self.assertEqual(self.read("sys", "class", "backlight", "fl", "brightness"), "130")
                    self.assertEqual(self.read("sys", "class", "backlight", "fl_warm", "brightness"), "3")

    def test_battery_events_follow_the_daemon_and_stop_at_cancel(self):
        self.daemon(battLevel=80, isCharging=0)
        os.mkfifo(self.path("lipc", "events"))
        feed = os.open(self.path("lipc", "events"), os.O_RDWR)
        self.addCleanup(os.close, feed)
        app = self.launch("call %s listen\n%scall %s cancel\n%s" % (BATTERY, NEXT, BATTERY, NEXT), "library")

        def told(count):
            app.wait_event("message_from_embedder", match=lambda e: e["channel"] == BATTERY, count=count)
            return [payload(e) for e in events(app.trace(), "message_from_embedder")
                    if e["channel"] == BATTERY]

        self.assertEqual(told(1), [ok_reply(battery(80, False, "discharging"))])
        # The daemon's event after its properties moved; a control-pipe battery.
        self.daemon(isCharging=1)
        os.write(feed, b"charging\n")
        told(2)
        say(self.control, "battery 50\n")
        told(3)
        # An event that changes nothing is not told again.
        os.write(feed, b"battLevelChanged 50\n")
        app.wait_line(r"\] 电源事件: battLevelChanged 50$")
        say(self.control, "key next\n")
        app.wait_event("response", match=lambda e: e["channel"] == BATTERY, count=2)
        reads = self.read("lipc", "lipc.log").count("get com.lab126.powerd battLevel")
        # After the cancel: neither reads nor events.
        self.daemon(battLevel=40)
        os.write(feed, b"battLevelChanged 40\n")
        app.wait_line(r"\] 电源事件: battLevelChanged 40$")
        time.sleep(0.3 * SLOW)
        self.assertEqual(self.read("lipc", "lipc.log").count("get com.lab126.powerd battLevel"), reads)
        say(self.control, "key next\n")
        self.assertEqual(self.replies(app, BATTERY), [ok_reply(None)] * 2)
        self.assertEqual([payload(e) for e in events(app.trace(), "message_from_embedder")
                          if e["channel"] == BATTERY],
                         [ok_reply(battery(80, False, "discharging")), ok_reply(battery(80, True, "charging")),
                          ok_reply(battery(50, False, "discharging"))])

    def test_a_slow_daemon_or_a_hung_node_is_answered_unknown_in_time(self):
        for source in ("library", "sysfs"):
            with self.subTest(source=source):
                self.setUp()
                self.daemon(battLevel=80, isCharging=0)
                self.sysfs("power_supply/bat", type="Battery\n", capacity="64\n", status="Full\n")
                app = self.launch(NEXT + "call %s battery\ncall %s keepAwake enabled=b:false\n"
                                  % (DEVICE, DEVICE), source)
                if source == "library":
                    self.write(self.path("lipc", "powerd.delay_ms"), "3000\n")
                else:
                    # Opening a FIFO without a writer hangs, as a stuck driver's node does.
                    os.unlink(self.path("sys", "class", "power_supply", "bat", "capacity"))
                    os.mkfifo(self.path("sys", "class", "power_supply", "bat", "capacity"))
                say(self.control, "key next\n")
                app.wait_event("response", match=lambda e: e["channel"] == DEVICE, count=2, timeout=10)
                asked = [e for e in events(app.trace(), "message_to_app") if e["channel"] == DEVICE]
                got = self.replies(app)
                self.assertEqual(got, [ok_reply(battery(None, False, "unknown")), ok_reply(False)])
                took = [e["t"] for e in events(app.trace(), "response") if e["channel"] == DEVICE]
                self.assertGreater((took[0] - asked[0]["t"]) / 1e9, 1.0)
                self.assertLess((took[0] - asked[0]["t"]) / 1e9, 2.5 * SLOW)

    def test_check_lists_the_services_found(self):
        self.daemon(battLevel=80, flIntensity=3)
        self.sysfs("backlight/amber", brightness="1\n", max_brightness="4\n")
        b = self.bundle()
        app = self.start(args=["--check", "--bundle", b.path], preload=["sim_paths"],
                         env={"FOLIAN_SIM_LIPC_DIR": self.path("lipc"), "FOLIAN_SIM_LIPC_BIN": LIPC_BIN,
                              "FOLIAN_SIM_SYSFS": self.path("sys"), "FOLIAN_FB_FILE": ""})
        self.assertEqual(app.wait(10), 0, "\n".join(app.lines()))
        found = [l.split("设备服务：", 1)[1] for l in app.lines() if "设备服务：" in l]
        self.assertEqual(found, ["电池 ← 电源守护进程（lipc-get-prop） battLevel",
                                 "前光 ← 电源守护进程（lipc-get-prop） flIntensity",
                                 "色温 ← /sys/class/backlight/amber（0..4）", "没有保持唤醒"])


if __name__ == "__main__":
    unittest.main()
