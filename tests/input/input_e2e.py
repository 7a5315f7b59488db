"""Touch nodes and page buttons through the stand-in event nodes."""

import os
import signal
import time
import unittest

from folian_e2e import E2ETestCase, assert_no_violation, cpu_seconds, events, say
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
        before = cpu_seconds(app.proc.pid)
        time.sleep(1.0)
        self.assertLess(cpu_seconds(app.proc.pid) - before, 0.5)
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

    def test_pinch_after_open_and_lost_events_beside_a_scripted_tap(self):
        # A two-slot screen whose kernel state is not the empty one: slot 1
        # is current and last held x 2048.
        app = self.start_with_nodes(MT_SCREEN.replace("abs 47,53,54,57", "abs 47,53,54,57,58")
                                    + "absinfo 47 1 0 1\nmtslots 53 0 2048\n")
        nodes = self.nodes
        nodes.send("event0", touch_records(1, 5, 2048, 2048) + touch_records(0, 6, 4095, 4095))
        app.wait_event("pointer", match=phase("down"), count=2)
        # Slot 0 lifts and a new finger lands there, and the kernel's buffer
        # overflows before any of it is read: two contacts, not one drag.
        filler = b"".join(record(EV_ABS, 58, 1 + i % 2) + record(EV_SYN, SYN_REPORT, 0) for i in range(140))
        nodes.send("event0", touch_records(0, -1) + touch_records(0, 7, 0, 0) + filler)
        app.wait_event("pointer", match=phase("down"), count=3)
        say(self.ctl, "tap 100 200\n")
        app.wait_event("pointer", match=phase("up"), count=2)
        nodes.send("event0", touch_records(0, -1) + touch_records(1, -1))
        app.wait_event("pointer", match=phase("up"), count=4)
        trace = self.stop(app)
        ptr = [(e["phase"], e["device"], e["x"], e["y"]) for e in events(trace, "pointer")]
        self.assertEqual(ptr, [("add", "1", "617.651", "823.701"), ("down", "1", "617.651", "823.701"),
                               ("add", "0", "1235.000", "1647.000"), ("down", "0", "1235.000", "1647.000"),
                               ("up", "0", "1235.000", "1647.000"), ("down", "0", "0.000", "0.000"),
                               ("add", "9", "100.000", "200.000"), ("down", "9", "100.000", "200.000"),
                               ("up", "9", "100.000", "200.000"),
                               ("up", "0", "0.000", "0.000"), ("up", "1", "617.651", "823.701")])


if __name__ == "__main__":
    unittest.main()
