"""The e-ink method channels driving the panel: the stand-in engine's
application calls the channels, and the stand-in framebuffer/EPDC records
every update the program sends to the driver.  The application goes on from
one step to the next only when the test presses a page key through the control
FIFO, after the previous step's refresh has shown up in the log."""

import collections
import os
import re
import shutil
import struct
import tempfile
import unittest

from folian_e2e import E2ETestCase, assert_no_violation, decode_envelope, events, payload

EPD = "app.folian.eink_epd"
EPDC = "app.folian.ireader_epdc"
GC16, REAGL, DU, AUTO = 2, 4, 1, 257
UPDATE = re.compile(r"^update kind=\w+ marker=\d+ region=(\d+),(\d+) (\d+)x(\d+) "
                    r"waveform=(\d+) mode=(\d+) temp=\S+ flags=0x([0-9a-f]+) dir=(\d+) steps=(\d+)")
NEXT = "wait_key down\n"
Update = collections.namedtuple("Update", "x y w h waveform full flags dir steps")


class Typed:
    """A typed list: its type code, struct format and values."""

    def __init__(self, code, fmt, values):
        self.code, self.fmt, self.values = code, fmt, values


def encode(value, out):
    """The framework's standard message codec: sizes in 1, 3 or 5 bytes,
    doubles and typed list elements aligned to their size from the start of
    the message; integers beyond 64 bits as hexadecimal text (code 5)."""
    def size(n):
        out.extend(bytes([n]) if n < 254 else b"\xfe" + struct.pack("<H", n) if n < 65536
                   else b"\xff" + struct.pack("<I", n))

    def align(k):
        out.extend(bytes(-len(out) % k))

    if value is None or value is True or value is False:
        out.append({None: 0, True: 1, False: 2}[value])
    elif isinstance(value, int) and -2**31 <= value < 2**31:
        out.append(3)
        out.extend(struct.pack("<i", value))
    elif isinstance(value, int) and -2**63 <= value < 2**63:
        out.append(4)
        out.extend(struct.pack("<q", value))
    elif isinstance(value, int):
        digits = ("-%x" % -value if value < 0 else "%x" % value).encode()
        out.append(5)
        size(len(digits))
        out.extend(digits)
    elif isinstance(value, float):
        out.append(6)
        align(8)
        out.extend(struct.pack("<d", value))
    elif isinstance(value, str):
        out.append(7)
        size(len(value.encode()))
        out.extend(value.encode())
    elif isinstance(value, bytes):
        out.append(8)
        size(len(value))
        out.extend(value)
    elif isinstance(value, Typed):
        out.append(value.code)
        size(len(value.values))
        align(struct.calcsize(value.fmt))
        out.extend(struct.pack("<%d%s" % (len(value.values), value.fmt), *value.values))
    elif isinstance(value, list):
        out.append(12)
        size(len(value))
        for v in value:
            encode(v, out)
    else:
        out.append(13)
        size(len(value))
        for k, v in value.items():
            encode(k, out)
            encode(v, out)
    return out


def method_call(name, args):
    return encode(args, encode(name, bytearray())).hex()


INF, MAX, TINY = float("inf"), 1.7976931348623157e308, 5e-324
# The framework's own composite codec test message, with a large integer as
# other platforms write it.
COMPOSITE = [
    None, True, False, -707, -7000000007, -7000000000000000007, -3.14, "", "hello",
    b"\xba\x5e\xba\x11", Typed(9, "i", [-2**31, 0, 2**31 - 1]), None,
    Typed(10, "q", [-2**63, 0, 2**63 - 1]), None,
    Typed(11, "d", [-INF, -MAX, -TINY, -0.0, 0.0, TINY, MAX, INF, float("nan")]),
    Typed(14, "f", [-INF, -3.4028234e38, -1e-45, -0.0, 0.0, 1e-45, 3.4028234e38, INF]),
    ["nested", []], {"a": "nested", None: {}}, "world", 2**70, -2**70,
]


class Panel(E2ETestCase):
    def start_app(self, script, env=None):
        """Starts the application, which shows a white page and waits for a
        key before the script; returns once the driver kind is known."""
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
        """Waits for stderr lines matching the patterns one after the other
        (each the first match after the previous one), then presses a key so
        that the application goes on; returns the matches."""
        at, found = 0, []
        for p in patterns:
            found.append(app.wait_line(p, timeout=10, start=at))
            at = next(i for i, l in enumerate(app.lines()) if i >= at and re.search(p, l)) + 1
        if press:
            fd = os.open(self.control, os.O_WRONLY | os.O_NONBLOCK)
            os.write(fd, b"key next\n")
            os.close(fd)
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
            if e["channel"] != "flutter/platform":  # the answer to the closing quit
                replies.setdefault(e["channel"], []).append(decode_envelope(payload(e)))
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
        self.assertEqual(replies[EPD], [("ok", True)] * 7 +
                         [("ok", {"platform": "kindle", "driver": "mtk"})])
        self.step(app, *(r"刷新模式 → %d$" % n for n in (4, 1, 2, 3, 0, 5, 0)), press=False)

    def test_refresh_mode_after_values_only_the_framework_writes(self):
        calls = [({"floats": Typed(11, "d", [0.5, 1.5]), "mode": "fast"}, 4),
                 ({"m": COMPOSITE, "mode": "hd"}, 1),
                 ({"i": Typed(9, "i", [7]), "f": Typed(14, "f", [1.0]), "l": Typed(10, "q", []),
                   "big": 2**64, "mode": "regal"}, 2)]
        script = "".join("message_hex %s %s\n" % (EPD, method_call("setRefreshMode", args))
                         for args, _ in calls)
        app = self.start_app(script)
        self.step(app, r"\] 帧 0：")
        self.step(app, *(r"刷新模式 → %d$" % mode for _, mode in calls), press=False)
        _, replies = self.finish(app)
        self.assertEqual(replies[EPD], [("ok", True)] * len(calls))

    def test_immediate_and_deferred_full_refresh(self):
        app = self.start_app("call %s fullRefresh\nlog immediate-answered\n"
                             "call %s fullRefresh delayMs=i:800\nlog deferred-answered\n"
                             % (EPD, EPD) + NEXT)
        self.step(app, r"\] 帧 0：")
        # The immediate one is done before its reply, the deferred one waits.
        full = r"^\[ *(\d+\.\d+)\] 整屏全刷$"
        now, _, _, later = self.step(app, full, r"immediate-answered", r"deferred-answered", full)
        self.assertGreaterEqual(float(later.group(1)) - float(now.group(1)), 0.799)
        updates, replies = self.finish(app)
        self.assertEqual(replies[EPD], [("ok", True), ("ok", True)])
        self.assertEqual([(u.waveform, u[:4]) for u in updates if u.full],
                         [(GC16, (0, 0, 1236, 1648))] * 3, updates)

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
        self.assertEqual(replies[EPDC], [("ok", True), ("ok", True)])
        animated = [i for i, u in enumerate(updates) if u.flags == 0x10000]
        self.assertEqual(len(animated), 1, updates)
        u = updates[animated[0]]
        self.assertEqual((u.dir, u.steps, u.waveform, u[:4]), (0, 20, REAGL, (0, 0, 1236, 1648)))
        self.assertEqual([v.waveform for v in updates[animated[0] + 1:] if v.full], [GC16], updates)


if __name__ == "__main__":
    unittest.main()
