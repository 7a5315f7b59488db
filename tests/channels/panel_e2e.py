"""The e-ink method channels driving the panel: the stand-in engine's
application calls the channels, and the stand-in framebuffer/EPDC records
every update the program sends to the driver."""

import os
import re
import shutil
import tempfile
import unittest

from folian_e2e import (E2ETestCase, assert_no_violation, decode_envelope, events, payload)

EPD = "app.folian.eink_epd"
EPDC = "app.folian.ireader_epdc"
GC16, REAGL, DU, AUTO = 2, 4, 1, 257
UPDATE = re.compile(r"^update kind=(\w+) marker=(\d+) region=(\d+),(\d+) (\d+)x(\d+) "
                    r"waveform=(\d+) mode=(\d+) temp=\S+ flags=0x([0-9a-f]+) dir=(\d+) steps=(\d+)")

# A white page first, so that the driver kind is known before any call.
START = "fill gray 255\npresent\nwait 300\n"


class Panel(E2ETestCase):
    def run_app(self, script, env=None):
        log = os.path.join(self.scratch_dir(), "epdc.log")
        # FOLIAN_KEEP_SCREEN: no restoring refresh at exit among the updates.
        full_env = {"FOLIAN_SIM_EPDC": "mtk", "FOLIAN_SIM_EPDC_LOG": log, "FOLIAN_LOG_FRAMES": "1",
                    "FOLIAN_KEEP_SCREEN": "1"}
        full_env.update(env or {})
        app = self.run_to_end(self.bundle(app=START + script + "quit\n"), env=full_env,
                              preload=("sim_fb",), timeout=20)
        self.assertEqual(app.returncode, 0, "\n".join(app.lines()))
        trace = app.trace()
        assert_no_violation(trace)
        updates = []
        with open(log) as f:
            for line in f:
                m = UPDATE.match(line)
                if m:
                    g = m.groups()
                    updates.append({"kind": g[0], "region": tuple(int(x) for x in g[2:6]),
                                    "waveform": int(g[6]), "full": g[7] == "1",
                                    "flags": int(g[8], 16), "dir": int(g[9]), "steps": int(g[10])})
        replies = {}
        for e in events(trace, "response"):
            if e["channel"] == "flutter/platform":
                continue  # the JSON answer to the closing quit request
            replies.setdefault(e["channel"], []).append(decode_envelope(payload(e)))
        return app, updates, replies

    def scratch_dir(self):
        d = tempfile.mkdtemp(prefix="folian-epdc-")
        self.addCleanup(shutil.rmtree, d, True)
        return d

    def order(self, app, *patterns):
        """Indexes of the first stderr line matching each pattern, which must rise."""
        lines = app.lines()
        at = -1
        for p in patterns:
            found = [i for i, l in enumerate(lines) if i > at and re.search(p, l)]
            self.assertTrue(found, "%r missing after line %d in\n%s" % (p, at, "\n".join(lines)))
            at = found[0]

    def test_refresh_mode_sets_the_next_partial_waveform(self):
        script = ""
        for i, mode in enumerate(["fast", "hd", "regal", "balanced", "HD", "ultrafast", "nope"]):
            script += "call %s setRefreshMode mode=s:%s\n" % (EPD, mode)
            script += "rect %d 100 40 40 gray 0\npresent\nwait 150\n" % (100 + 60 * i)
        script += "call %s diagnostics\n" % EPD
        app, updates, replies = self.run_app(script)
        partial = [u for u in updates if not u["full"] and u["flags"] == 0]
        self.assertEqual([u["waveform"] for u in partial[-7:]],
                         [DU, GC16, REAGL, 7, AUTO, DU, AUTO], updates)
        self.assertEqual([u["region"][0] <= 100 + 60 * i < u["region"][0] + u["region"][2]
                          for i, u in enumerate(partial[-7:])], [True] * 7)
        self.assertEqual(replies[EPD][:7], [("ok", True)] * 7)
        self.assertEqual(replies[EPD][7], ("ok", {"platform": "kindle", "driver": "mtk"}))
        for n in (4, 1, 2, 3, 0, 5, 0):
            self.assertTrue(any(l.endswith("刷新模式 → %d" % n) for l in app.lines()))

    def test_immediate_and_deferred_full_refresh(self):
        script = ("call %s fullRefresh\n" % EPD +
                  "log immediate-answered\n"
                  "call %s fullRefresh delayMs=i:800\n" % EPD +
                  "log deferred-answered\n"
                  "wait 2000\n"
                  "log waited\n")
        app, updates, replies = self.run_app(script)
        self.assertEqual(replies[EPD], [("ok", True), ("ok", True)])
        full = [u for u in updates if u["full"]]
        self.assertEqual(len(full), 3, updates)  # the first frame, then ours
        for u in full[1:]:
            self.assertEqual((u["waveform"], u["region"]), (GC16, (0, 0, 1236, 1648)))
        # The immediate one is done before the reply; the deferred one comes
        # after its reply and well before the end of the wait.
        self.order(app, r"\] 整屏全刷$", r"immediate-answered", r"deferred-answered",
                   r"\] 整屏全刷$", r"waited")

    def test_page_turn_is_animated_and_holds_back_a_full_refresh(self):
        script = ("call %s isSupported\n" % EPDC +
                  "call %s armPageTurn forward=b:false vertical=b:true speedBits=i:128\n" % EPDC +
                  "fill gray 0\npresent\nwait 100\n"
                  "call %s fullRefresh\n" % EPD +
                  "wait 1500\n")
        app, updates, replies = self.run_app(script, env={"FOLIAN_SIM_EPDC_WAIT_MS": "500"})
        self.assertEqual(replies[EPDC], [("ok", True), ("ok", True)])
        animated = [i for i, u in enumerate(updates) if u["flags"] == 0x10000]
        self.assertEqual(len(animated), 1, updates)
        u = updates[animated[0]]
        self.assertEqual((u["dir"], u["steps"], u["waveform"], u["region"]),
                         (0, 20, REAGL, (0, 0, 1236, 1648)))
        after = [v for v in updates[animated[0] + 1:] if v["full"]]
        self.assertEqual(len(after), 1, updates)
        self.assertEqual(after[0]["waveform"], GC16)
        self.order(app, r"翻页动画：方向 0，20 步，成功", r"翻页动画刷完", r"\] 整屏全刷$")

    def test_page_turn_on_a_panel_without_animation(self):
        script = ("call %s armPageTurn\n" % EPDC +
                  "fill gray 0\npresent\nwait 200\n")
        app, updates, replies = self.run_app(script, env={"FOLIAN_SIM_EPDC": "zelda"})
        self.assertEqual(replies[EPDC], [("ok", False)])
        self.assertTrue(updates)
        self.assertEqual([u for u in updates if u["flags"]], [])


if __name__ == "__main__":
    unittest.main()
