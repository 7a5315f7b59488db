"""Touch nodes, page buttons and the control FIFO seen from outside: the real
executable with the stand-in engine and the preloaded stand-in event nodes.
Contacts cancelled by the screensaver are part of the road tests."""

import os
import signal
import time
import unittest

from folian_e2e import E2ETestCase, assert_no_violation, events
from evdev_nodes import EV_ABS, EV_SYN, MT_SCREEN, PAGE_KEYS, SYN_REPORT, Nodes, key_records, record, \
    touch_records


def phase(name):
    return lambda e: e["phase"] == name


class InputE2E(E2ETestCase):
    def start_with_nodes(self, screen=MT_SCREEN):
        self.nodes = Nodes()
        self.addCleanup(self.nodes.cleanup)
        self.nodes.add("event0", screen)
        self.nodes.add("event1", PAGE_KEYS)
        self.ctl = os.path.join(self.nodes.root, "ctl")
        app = self.start(self.bundle(), env=dict(self.nodes.env(), FOLIAN_FB_FILE="", FOLIAN_CONTROL=self.ctl),
                         preload=["sim_evdev"])
        app.wait_line(r"\] 触摸屏 /dev/input/event0（e2e touch）：多点，x 量程 0\.\.4095，y 量程 0\.\.4095$")
        app.wait_line(r"\] 翻页键 /dev/input/event1（e2e keys）$")
        app.wait_line(r"\] 控制管道 .*/ctl$")
        app.wait_event("present")
        return app

    def stop(self, app):
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait(), 0)
        trace = app.trace()
        assert_no_violation(trace)
        return trace

    def say(self, text):
        """Writes to the control FIFO; returns CLOCK_MONOTONIC ns before the write."""
        fd = os.open(self.ctl, os.O_WRONLY | os.O_NONBLOCK)
        try:
            t = time.monotonic_ns()
            os.write(fd, text.encode())
            return t
        finally:
            os.close(fd)

    def test_touch_keys_and_a_node_that_goes_away(self):
        app = self.start_with_nodes()
        nodes = self.nodes
        self.assertEqual(nodes.log(), "grab event0 1\n")
        nodes.send("event0", touch_records(0, 1, 2048, 2048))
        app.wait_event("pointer", match=phase("down"))
        nodes.send("event0", touch_records(0, -1))
        nodes.send("event1", key_records((104, 1), (104, 0)))
        app.wait_event("key", match=lambda e: e["type"] == "up")
        # A contact held when its node goes away is cancelled, and the
        # hung-up node is not polled again.
        nodes.send("event0", touch_records(1, 2, 0, 0))
        app.wait_event("pointer", match=phase("down"), count=2)
        os.close(nodes.writers.pop("event0"))
        app.wait_line(r"\]\[错误\] 输入设备 /dev/input/event0（e2e touch）不再可用，已停止读取$")
        app.wait_event("pointer", match=phase("cancel"))

        def cpu_seconds():
            with open("/proc/%d/stat" % app.proc.pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        before = cpu_seconds()
        time.sleep(1.0)
        self.assertLess(cpu_seconds() - before, 0.5)
        nodes.send("event1", key_records((109, 1)))
        app.wait_event("key", count=3)
        trace = self.stop(app)

        ptr = [(e["phase"], e["device"], e["x"], e["y"]) for e in events(trace, "pointer")]
        middle = ("617.651", "823.701")
        self.assertEqual(ptr, [("add", "0") + middle, ("down", "0") + middle, ("up", "0") + middle,
                               ("add", "1", "0.000", "0.000"), ("down", "1", "0.000", "0.000"),
                               ("cancel", "1", "0.000", "0.000")])
        self.assertTrue(all(e["device_kind"] == "2" for e in events(trace, "pointer")))
        self.assertEqual([(k["type"], k["physical"], k["logical"]) for k in events(trace, "key")],
                         [("down", "0x7004e", "0x100000307"), ("up", "0x7004e", "0x100000307"),
                          ("down", "0x7004b", "0x100000308")])
        sent = [bytes.fromhex(m["hex"]) for m in events(trace, "message_from_embedder")
                if m["channel"] == "flutter/keyevent"]
        self.assertEqual(sent[0], b'{"keymap":"linux","toolkit":"gtk","type":"keydown",'
                                  b'"keyCode":65366,"scanCode":117,"modifiers":0,'
                                  b'"unicodeScalarValues":0}')
        self.assertIn(b'"type":"keyup","keyCode":65366', sent[1])

    def test_control_pipe_taps_swipes_and_keys(self):
        app = self.start_with_nodes()
        written = self.say("tap 100 200\nswipe 10 10 110 10 100\nkey next\n")
        app.wait_event("key", match=lambda e: e["type"] == "up")
        trace = self.stop(app)
        ptr = events(trace, "pointer")
        self.assertEqual([(e["phase"], e["x"]) for e in ptr[:3]],
                         [("add", "100.000"), ("down", "100.000"), ("up", "100.000")])
        self.assertEqual([e["phase"] for e in ptr[3:]], ["down"] + ["move"] * 6 + ["up"])
        self.assertEqual(ptr[-1]["x"], "110.000")
        self.assertTrue(all(e["device"] == "9" for e in ptr))
        # Each step leaves no earlier than it is due, counted from the moment
        # the commands were written: the tap lasts 60 ms, 50 ms pass before
        # the swipe of 100 ms and again before the key, held 80 ms.
        keys = events(trace, "key")
        self.assertEqual([k["type"] for k in keys], ["down", "up"])
        for e, due_ms in [(ptr[2], 60), (ptr[3], 110), (ptr[4], 126), (ptr[-1], 210), (keys[0], 260),
                          (keys[1], 340)]:
            self.assertGreaterEqual(e["t"] - written, due_ms * 1000000, e)

    def test_pinch_after_open_and_lost_events_beside_a_scripted_tap(self):
        # A two-slot screen whose kernel state is not the empty one: slot 1
        # is current and last held x 2048.
        app = self.start_with_nodes(MT_SCREEN.replace("abs 47,53,54,57", "abs 47,53,54,57,58")
                                    + "absinfo 47 1 0 1\nmtslots 53 0 2048\n")
        nodes = self.nodes
        nodes.send("event0", touch_records(1, 5, 2048, 2048) + touch_records(0, 6, 4095, 4095))
        app.wait_event("pointer", match=phase("down"), count=2)
        # The kernel's buffer overflows; behind the gap slot 0 lifts and a
        # new finger lands there.
        filler = b"".join(record(EV_ABS, 58, 1 + i % 2) + record(EV_SYN, SYN_REPORT, 0) for i in range(40))
        nodes.send("event0", filler + touch_records(0, -1) + touch_records(0, 7, 0, 0))
        app.wait_event("pointer", match=phase("move"))
        self.say("tap 100 200\n")
        app.wait_event("pointer", match=phase("up"))
        nodes.send("event0", touch_records(0, -1) + touch_records(1, -1))
        app.wait_event("pointer", match=phase("up"), count=3)
        trace = self.stop(app)
        ptr = [(e["phase"], e["device"], e["x"], e["y"]) for e in events(trace, "pointer")]
        self.assertEqual(ptr, [("add", "1", "617.651", "823.701"), ("down", "1", "617.651", "823.701"),
                               ("add", "0", "1235.000", "1647.000"), ("down", "0", "1235.000", "1647.000"),
                               ("move", "0", "0.000", "0.000"),
                               ("add", "9", "100.000", "200.000"), ("down", "9", "100.000", "200.000"),
                               ("up", "9", "100.000", "200.000"),
                               ("up", "0", "0.000", "0.000"), ("up", "1", "617.651", "823.701")])


if __name__ == "__main__":
    unittest.main()
