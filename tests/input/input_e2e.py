"""Touch nodes, page buttons and the control FIFO seen from outside: the real
executable with the stand-in engine and the preloaded stand-in event nodes."""

import os
import signal
import sys
import time
import unittest

from folian_e2e import SLOW, E2ETestCase, assert_no_violation, events
from evdev_nodes import EV_KEY, MT_SCREEN, PAGE_KEYS, Nodes, record, touch_records

SIM = {"FOLIAN_FB_FILE": ""}  # simulated 1236x1648 screen


def pointers(trace):
    return [(e["phase"], e["device"]) for e in events(trace, "pointer")]


class InputE2E(E2ETestCase):
    def start_with_nodes(self, env=None, control=False):
        nodes = Nodes()
        self.addCleanup(nodes.cleanup)
        nodes.add("event0", MT_SCREEN)
        nodes.add("event1", PAGE_KEYS)
        full = dict(SIM, **nodes.env())
        if control:
            full["FOLIAN_CONTROL"] = os.path.join(nodes.root, "ctl")
        full.update(env or {})
        app = self.start(self.bundle(), env=full, preload=["sim_evdev"])
        app.wait_line(r"\] 触摸屏 /dev/input/event0（e2e touch）：多点，x 量程 0\.\.4095，y 量程 0\.\.4095$")
        app.wait_line(r"\] 翻页键 /dev/input/event1（e2e keys）$")
        if control:
            app.wait_line(r"\] 控制管道 .*/ctl$")
        app.wait_event("present")
        return nodes, app

    def stop(self, app):
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait(), 0)
        trace = app.trace()
        assert_no_violation(trace)
        return trace

    def say(self, nodes, text):
        fd = os.open(os.path.join(nodes.root, "ctl"), os.O_WRONLY | os.O_NONBLOCK)
        try:
            os.write(fd, text.encode())
        finally:
            os.close(fd)

    def test_touch_and_page_keys_reach_the_engine(self):
        nodes, app = self.start_with_nodes()
        self.assertEqual(nodes.log(), "grab event0 1\n")
        written = nodes.send("event0", touch_records(0, 1, 2048, 2048))
        down = app.wait_event("pointer", match=lambda e: e["phase"] == "down")
        nodes.send("event0", touch_records(0, -1))
        app.wait_event("pointer", match=lambda e: e["phase"] == "up")
        nodes.send("event1", record(EV_KEY, 104, 1) + record(EV_KEY, 104, 0))
        app.wait_event("key", match=lambda e: e["type"] == "up")
        trace = self.stop(app)
        sys.stderr.write("touch node to engine: %.3f ms\n" % ((down["t"] - written) / 1e6))

        self.assertEqual(pointers(trace), [("add", "0"), ("down", "0"), ("up", "0")])
        for e in events(trace, "pointer"):
            self.assertEqual((e["x"], e["y"]), ("617.651", "823.701"))
            self.assertEqual(e["device_kind"], "2")
        keys = events(trace, "key")
        self.assertEqual([(k["type"], k["physical"], k["logical"]) for k in keys],
                         [("down", "0x7004e", "0x100000307"), ("up", "0x7004e", "0x100000307")])
        sent = [bytes.fromhex(m["hex"]) for m in events(trace, "message_from_embedder")
                if m["channel"] == "flutter/keyevent"]
        self.assertEqual(sent[0], b'{"keymap":"linux","toolkit":"gtk","type":"keydown",'
                                  b'"keyCode":65366,"scanCode":117,"modifiers":0,'
                                  b'"unicodeScalarValues":0}')
        self.assertIn(b'"type":"keyup"', sent[1])
        self.assertEqual(nodes.log(), "grab event0 1\ngrab event0 0\n")

    def test_control_pipe_taps_swipes_and_keys(self):
        nodes, app = self.start_with_nodes(control=True)
        self.say(nodes, "tap 100 200\nswipe 10 10 110 10 100\nkey next\n")
        app.wait_event("key", match=lambda e: e["type"] == "up")
        app.wait_line(r"\] 控制命令: key next$")
        trace = self.stop(app)
        got = [(e["phase"], e["x"]) for e in events(trace, "pointer")]
        self.assertEqual(got[:3], [("add", "100.000"), ("down", "100.000"), ("up", "100.000")])
        self.assertEqual([p for p, _ in got[3:]], ["down"] + ["move"] * 6 + ["up"])
        self.assertEqual(got[-1], ("up", "110.000"))
        self.assertTrue(all(e["device"] == "9" for e in events(trace, "pointer")))
        ptr = events(trace, "pointer")
        # The swipe starts 50 ms after the tap's kUp and lasts 100 ms; the key
        # is held 80 ms.  The trace has the times the events were sent, so an
        # event that left late shortens the gap to the next one a little.
        late = 5 * SLOW * 1000000
        self.assertGreaterEqual(int(ptr[3]["t"]) - int(ptr[2]["t"]), 50 * 1000000 - late)
        self.assertGreaterEqual(int(ptr[-1]["t"]) - int(ptr[3]["t"]), 100 * 1000000 - late)
        keys = events(trace, "key")
        self.assertEqual([k["type"] for k in keys], ["down", "up"])
        self.assertGreaterEqual(int(keys[1]["t"]) - int(keys[0]["t"]), 80 * 1000000 - late)

    def test_sleep_cancels_held_contact_and_wake_resumes(self):
        nodes, app = self.start_with_nodes(control=True)
        nodes.send("event0", touch_records(3, 7, 0, 0))
        app.wait_event("pointer", match=lambda e: e["phase"] == "down")
        self.say(nodes, "sleep\n")
        app.wait_event("lifecycle", match=lambda e: e["state"] == "paused")
        # Touches while asleep go nowhere.
        nodes.send("event0", touch_records(3, 7, 100, 100))
        self.say(nodes, "wake\n")
        # The first "resumed" is the one sent at start-up.
        app.wait_event("lifecycle", match=lambda e: e["state"] == "resumed", count=2)
        nodes.send("event0", touch_records(3, 7, 4095, 4095))
        app.wait_event("pointer", match=lambda e: e["phase"] == "down", count=2)
        trace = self.stop(app)
        self.assertEqual(pointers(trace), [("add", "3"), ("down", "3"), ("cancel", "3"),
                                           ("down", "3")])
        t = {e["event"] + e.get("state", e.get("phase", "")): int(e["t"]) for e in trace
             if e["event"] in ("lifecycle", "pointer")}
        self.assertLess(t["pointercancel"], t["lifecyclepaused"])

    def test_unplugged_node_is_dropped_without_spinning(self):
        nodes, app = self.start_with_nodes()
        nodes.send("event0", touch_records(0, 1, 10, 10))
        app.wait_event("pointer", match=lambda e: e["phase"] == "down")
        os.close(nodes.writers.pop("event0"))
        app.wait_line(r"\]\[错误\] 输入设备 /dev/input/event0（e2e touch）不再可用，已停止读取$")
        app.wait_event("pointer", match=lambda e: e["phase"] == "cancel")

        def cpu_seconds():
            with open("/proc/%d/stat" % app.proc.pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        before = cpu_seconds()
        time.sleep(1.0)
        self.assertLess(cpu_seconds() - before, 0.5)
        nodes.send("event1", record(EV_KEY, 109, 1))
        app.wait_event("key")
        self.stop(app)


if __name__ == "__main__":
    unittest.main()
