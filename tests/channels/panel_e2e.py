"""The e-ink and platform channels: the e-ink ones drive the stand-in EPDC; a page
key through the control FIFO moves the application to its next step."""

import collections
import json
import os
import re
import shutil
import signal
import tempfile
import unittest

from folian_e2e import E2ETestCase, assert_no_violation, events, first, ok_reply, payload, say

EPD = "app.folian.eink_epd"
EPDC = "app.folian.ireader_epdc"
GC16, REAGL, DU, AUTO = 2, 4, 1, 257
UPDATE = re.compile(r"^update kind=\w+ marker=\d+ region=(\d+),(\d+) (\d+)x(\d+) "
                    r"waveform=(\d+) mode=(\d+) temp=\S+ flags=0x([0-9a-f]+) dir=(\d+) steps=(\d+)")
NEXT = "wait_key down\n"
Update = collections.namedtuple("Update", "x y w h waveform full flags dir steps")
TEXTS = ["plain", "", 'quote " backslash \\ slash /', "line\nbreak\ttab\rcr\bbs\fff\x01\x1f\x7fdel",
         "caf\u00e9 \u20ac \u4e2d\u6587", "emoji \U0001F600 clef \U0001D11E max \U0010FFFF",
         "around the surrogates \ud7ff\ue000\uffff"]


class Panel(E2ETestCase):
    def start_app(self, script, env=None):
        d = tempfile.mkdtemp(prefix="folian-epdc-")
        self.addCleanup(shutil.rmtree, d, True)
        self.log, self.control = os.path.join(d, "epdc.log"), os.path.join(d, "ctl")
        # FOLIAN_KEEP_SCREEN: no restoring refresh at exit among the updates.
        full_env = dict({"FOLIAN_SIM_EPDC": "mtk", "FOLIAN_SIM_EPDC_LOG": self.log,
                         "FOLIAN_LOG_FRAMES": "1", "FOLIAN_KEEP_SCREEN": "1",
                         "FOLIAN_CONTROL": self.control}, **(env or {}))
        app = self.start(self.bundle(app="fill gray 255\npresent\n" + NEXT + script + "quit\n"),
                         env=full_env, preload=("sim_fb",))
        app.wait_line(r"\] 控制管道 ")
        app.wait_line(r"\] 墨水屏驱动: mtk$")
        return app

    def step(self, app, *patterns, press=True):
        """Waits for the lines in this order, then presses a key."""
        at, found = 0, []
        for p in patterns:
            found.append(app.wait_line(p, timeout=10, start=at))
            at = next(i for i, l in enumerate(app.lines()) if i >= at and re.search(p, l)) + 1
        if press:
            say(self.control, "key next\n")
        return found

    def finish(self, app):
        self.assertEqual(app.wait(10), 0, "\n".join(app.lines()))
        trace = app.trace()
        assert_no_violation(trace)
        with open(self.log) as f:
            updates = [Update(*(int(x, 16 if i == 6 else 10) for i, x in enumerate(m.groups())))
                       for m in map(UPDATE.match, f) if m]
        replies = {}
        for e in events(trace, "response"):
            replies.setdefault(e["channel"], []).append(payload(e))
        self.trace = trace
        return updates, replies

    def test_refresh_mode_sets_the_next_partial_waveform(self):
        modes = ["fast", "hd", "regal", "balanced", "HD", "ultrafast", "nope"]
        script = "".join("call %s setRefreshMode mode=s:%s\nrect %d 100 40 40 gray 0\npresent\n"
                         % (EPD, mode, 100 + 60 * i) + NEXT for i, mode in enumerate(modes))
        app = self.start_app(script + "call %s diagnostics\n" % EPD)
        for frame in range(len(modes) + 1):
            self.step(app, r"\] 帧 %d：" % frame)
        updates, replies = self.finish(app)
        partial = [u for u in updates if not u.full]
        self.assertEqual([u.waveform for u in partial], [DU, GC16, REAGL, 7, AUTO, DU, AUTO], updates)
        for i, u in enumerate(partial):
            self.assertTrue(u.x <= 100 + 60 * i < u.x + u.w and u.flags == 0, updates)
        self.assertEqual(replies[EPD], [ok_reply(True)] * 7 +
                         [ok_reply({"platform": "kindle", "driver": "mtk", "pixels": "Gray8", "night": False,
                                    "motion": "off",
                                    "dithering": False, "flashEvery": 0, "flashEveryNight": 0,
                                    "sinceFlash": 7, "orientation": 0})])
        self.step(app, *(r"刷新模式 → %d$" % n for n in (4, 1, 2, 3, 0, 5, 0)), press=False)

    def test_immediate_and_deferred_full_refresh_clipboard_and_quit(self):
        # Clipboard texts written by a real JSON encoder come back unchanged.
        clipboard, expected = "", []
        for ensure_ascii in (True, False):
            for text in TEXTS:
                for call in ({"method": "Clipboard.setData", "args": {"text": text}},
                             {"method": "Clipboard.getData", "args": "text/plain"},
                             {"method": "Clipboard.hasStrings", "args": "text/plain"}):
                    data = json.dumps(call, ensure_ascii=ensure_ascii).encode("utf-8")
                    clipboard += "message_hex flutter/platform %s\n" % data.hex()
                expected += [[None], [{"text": text}], [{"value": text != ""}]]
        app = self.start_app(clipboard + "call %s fullRefresh\nlog immediate-answered\n"
                             "call %s fullRefresh delayMs=i:2000\ntask 50\nlog deferred-answered\n"
                             % (EPD, EPD) + NEXT)
        self.step(app, r"\] 帧 0：")
        # The immediate one is done before its reply, the deferred one waits.
        full = r"^\[ *(\d+\.\d+)\] 整屏全刷$"
        now, _, _, later = self.step(app, full, r"immediate-answered", r"deferred-answered", full)
        self.assertGreaterEqual(float(later.group(1)) - float(now.group(1)), 1.999)
        updates, replies = self.finish(app)
        # The engine's own timer, due long before the refresh, ran on time.
        late = max(int(e["late"]) for e in events(self.trace, "run_task"))
        self.assertLess(late, 1e9, "a task waited for the deferred refresh")
        self.assertEqual(replies[EPD], [ok_reply(True)] * 2)
        self.assertEqual([(u.waveform, u[:4]) for u in updates if u.full],
                         [(GC16, (0, 0, 1236, 1648))] * 3, updates)
        # The quit at the end is answered, then the process stops in order.
        self.assertEqual([json.loads(p) for p in replies["flutter/platform"]], expected + [[None]])
        quit_reply = events(self.trace, "response")[-1]
        self.assertLess(self.trace.index(quit_reply), self.trace.index(first(self.trace, "shutdown")))
        lines = app.lines()
        asked = [i for i, l in enumerate(lines) if l.endswith("] 应用请求退出")]
        self.assertEqual(len(asked), 1, "\n".join(lines))
        self.assertTrue(any(l.endswith("] 退出") for l in lines[asked[0]:]), "\n".join(lines))

    def test_page_turn_is_animated_and_holds_back_a_full_refresh(self):
        script = ("call %s isSupported\n"
                  "call %s armPageTurn forward=b:false vertical=b:true speedBits=i:128\n"
                  "fill gray 0\npresent\n" % (EPDC, EPDC) + NEXT +
                  "call %s fullRefresh\nlog full-refresh-asked\n" % EPD + NEXT)
        # The animated update takes long enough for the full refresh to be
        # asked for while it runs, and less than the 3 s after which the
        # program stops waiting for it.
        app = self.start_app(script, env={"FOLIAN_SIM_EPDC_WAIT_MS": "2000"})
        self.step(app, r"\] 帧 0：")
        self.step(app, r"翻页动画：方向 0，20 步，成功")
        self.step(app, r"翻页动画：方向 0，20 步，成功", r"full-refresh-asked", r"翻页动画刷完",
                  r"\] 整屏全刷$")
        updates, replies = self.finish(app)
        self.assertEqual(replies[EPDC], [ok_reply(True)] * 2)
        animated = [i for i, u in enumerate(updates) if u.flags == 0x10000]
        self.assertEqual(len(animated), 1, updates)
        u = updates[animated[0]]
        self.assertEqual((u.dir, u.steps, u.waveform, u[:4]), (0, 20, REAGL, (0, 0, 1236, 1648)))
        self.assertEqual([v.waveform for v in updates[animated[0] + 1:] if v.full], [GC16], updates)

    def test_page_turn_support_asked_before_the_first_frame(self):
        # The application asks before it draws anything.  Named by FOLIAN_EINK,
        # the kind is known at once; probed, the answer waits for the first
        # refresh (here one asked for on the control pipe), or for the
        # shutdown, which answers from what is known.
        d = tempfile.mkdtemp(prefix="folian-epdc-")
        self.addCleanup(shutil.rmtree, d, True)
        cases = {"named": ({"FOLIAN_EINK": "mtk"}, None, True), "probed": ({}, "refresh\n", True),
                 "shutdown": ({}, None, False)}
        apps = {}
        for name, (env, _, _) in cases.items():
            env = dict(env, FOLIAN_SIM_EPDC="mtk", FOLIAN_CONTROL=os.path.join(d, name))
            apps[name] = self.start(self.bundle(app="call %s isSupported\n" % EPDC), env=env,
                                    preload=("sim_fb",))
        for name, (_, command, supported) in cases.items():
            with self.subTest(name):
                app = apps[name]
                app.wait_line(r"\] 控制管道 ")
                app.wait_event("message_delivered", match=lambda e: e["channel"] == EPDC)
                if command:
                    say(os.path.join(d, name), command)
                elif name == "shutdown":
                    app.signal(signal.SIGTERM)
                    self.assertEqual(app.wait(), 0)
                reply = app.wait_event("response", match=lambda e: e["channel"] == EPDC)
                self.assertEqual(payload(reply), ok_reply(supported))
                trace = app.trace()
                assert_no_violation(trace)
                self.assertEqual(events(trace, "present"), [])


if __name__ == "__main__":
    unittest.main()
