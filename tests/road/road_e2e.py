"""Whole roads: touch node and control FIFO in, engine and device panel out."""

import fcntl
import os
import re
import shutil
import signal
import struct
import tempfile
import termios
import time
import unittest

from folian_e2e import DEFAULT_RELEASE, GRAY_FRAMES, RELEASE, SLOW, E2ETestCase, assert_no_violation, events, has, \
    luma, ok_reply, payload, read_pgm, say

from evdev_nodes import MT_SCREEN, Nodes, touch_records

W, H = 600, 800
WHITE, BLACK = 255, 0
GC16, AUTO = 2, 257
COVER_CHANNEL = "app.folian.eink_sleep_cover"
UPDATE = re.compile(r"^update kind=\w+ marker=\d+ region=(\d+),(\d+) (\d+)x(\d+) "
                    r"waveform=(\d+) mode=(\d+) temp=\S+ flags=0x([0-9a-f]+) .* t=(\d+\.\d+)$")
UPTIME = re.compile(r"^\[\s*(\d+\.\d+)\]")


def picture(*rects):
    """An 8-bit W x H white image with (x, y, w, h, gray) rectangles; a colour
    (r, g, b) for gray is its luma on the path under test."""
    img = bytearray([WHITE]) * (W * H)
    for x, y, w, h, g in rects:
        g = luma(*g) if isinstance(g, tuple) else g
        for row in range(y, y + h):
            img[row * W + x:row * W + x + w] = bytes([g]) * w
    return bytes(img)


def drawing(*rects):
    """Script lines that draw picture(*rects) on a cleared page."""
    return "clear\nfill gray 255\n" + "".join(
        "rect %d %d %d %d rgb %d %d %d\n" % (r[:4] + r[4]) if isinstance(r[4], tuple) else
        "rect %d %d %d %d gray %d\n" % r for r in rects)


def wait_for(what, check, timeout=5.0):
    deadline = time.monotonic() + timeout * SLOW
    while True:
        got = check()
        if got:
            return got
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


class Road(E2ETestCase):
    """One program with a touch screen, the control FIFO and a device panel."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="folian-road-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def launch(self, app, keep_screen=True, **more_env):
        self.snaps = os.path.join(self.dir, "snaps")
        os.mkdir(self.snaps)
        self.nodes = Nodes()
        self.addCleanup(self.nodes.cleanup)
        self.nodes.add("event0", MT_SCREEN)
        self.control = os.path.join(self.dir, "ctl")
        env = dict(self.nodes.env(), FOLIAN_SIM_FB_XRES=str(W), FOLIAN_SIM_FB_YRES=str(H),
                   FOLIAN_SIM_EPDC="mtk", FOLIAN_SIM_EPDC_LOG=os.path.join(self.dir, "epdc.log"),
                   FOLIAN_SIM_EPDC_SNAP_DIR=self.snaps, FOLIAN_CONTROL=self.control)
        env.update(more_env)
        if keep_screen:
            env["FOLIAN_KEEP_SCREEN"] = "1"
        self.app = self.start(self.bundle(app=app), env=env, preload=["sim_fb", "sim_evdev"])
        self.app.wait_line(r"\] 触摸屏 /dev/input/event0（e2e touch）")
        self.app.wait_line(r"\] 控制管道 ")
        return self.app

    def stop(self):
        self.app.signal(signal.SIGTERM)
        self.assertEqual(self.app.wait(), 0)
        trace = self.app.trace()
        assert_no_violation(trace)
        return trace

    def touch(self, *reports):
        """Writes the reports and waits until the program has read them."""
        self.nodes.send("event0", b"".join(reports))
        fd = self.nodes.writers["event0"]
        wait_for("the program to read the touch node",
                 lambda: struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"))[0] == 0)

    def updates(self):
        try:
            with open(os.path.join(self.dir, "epdc.log")) as f:
                found = [UPDATE.match(line) for line in f]
        except FileNotFoundError:
            return []
        return [{"region": tuple(int(v) for v in m.groups()[:4]), "waveform": int(m.group(5)),
                 "full": m.group(6) == "1", "flags": int(m.group(7), 16), "t": float(m.group(8))}
                for m in found if m]

    def wait_updates(self, count):
        return wait_for("%d panel updates" % count, lambda: len(self.updates()) >= count and self.updates())

    def snapshot(self, index):
        """The panel's picture after that update (written after its log line)."""
        path = os.path.join(self.snaps, "update_%04d.pgm" % index)
        size = len(b"P5\n%d %d\n255\n" % (W, H)) + W * H
        wait_for("the picture of update %d" % index, lambda: os.path.exists(path) and os.path.getsize(path) >= size)
        self.assertEqual(read_pgm(path)[:2], (W, H))
        return read_pgm(path)[2]

    def assertPicture(self, got, want, what):
        if got != want:
            i = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
            self.fail("%s: first difference at x=%d y=%d (sizes %d, %d)" % (what, i % W, i // W, len(got), len(want)))

    def uptime_of(self, pattern):
        for line in self.app.lines():
            if re.search(pattern, line):
                return float(UPTIME.match(line).group(1))
        self.fail("no line matching %r" % pattern)


# How the program asks the engine for a frame after a wake: engines before
# 3.0 have no ScheduleFrame and draw one when the window metrics come again.
FRAME_REQUEST = "schedule_frame" if has("3.0") else "window_metrics"


# The frame before sleep, and the two the application presents once the
# screensaver has begun (the cancel of the held contact reaches it before the
# pause does, so its presents still go out).  The sleep cover comes 1.2 s
# after the sleep, centred; the wake shows the last frame.
FRAME_A = ((50, 50, 100, 100, BLACK),)
FRAME_B = ((0, 0, W, H, BLACK),)
FRAME_C = ((200, 300, 100, 100, BLACK), (400, 600, 60, 40, 128))
COVER_W, COVER_H = 201, 99
COVER = bytes((x * 7 + y * 3) % 256 for y in range(COVER_H) for x in range(COVER_W))
SLEEP_APP = (drawing(*FRAME_A) + "present\n"
             "call %s setImage path=s:%%s width=i:%d height=i:%d\n" % (COVER_CHANNEL, COVER_W, COVER_H) +
             "wait_pointer down\nwait_pointer cancel\n" +
             drawing(*FRAME_B) + "present\n" + drawing(*FRAME_C) + "present\n")


def cover_picture():
    img = bytearray(picture())
    x0, y0 = (W - COVER_W) // 2, (H - COVER_H) // 2
    for j in range(COVER_H):
        img[(y0 + j) * W + x0:(y0 + j) * W + x0 + COVER_W] = COVER[j * COVER_W:(j + 1) * COVER_W]
    return bytes(img)


class SleepAndWake(Road):
    def test_control_pipe_sleep_and_wake(self):
        cover = os.path.join(self.dir, "cover.raw")
        with open(cover, "wb") as f:
            f.write(COVER)
        app = self.launch(SLEEP_APP % cover)
        reply = app.wait_event("response", match=lambda e: e["channel"] == COVER_CHANNEL)
        self.assertEqual(payload(reply), ok_reply(True))
        self.assertEqual(len(self.wait_updates(1)), 1)
        self.assertPicture(self.snapshot(0), picture(*FRAME_A), "first frame")

        # A finger held down when the screensaver comes.
        self.touch(touch_records(0, 5, 2048, 2048))
        app.wait_event("pointer", match=lambda e: e["phase"] == "down")
        say(self.control, "sleep\n")
        app.wait_event("lifecycle", match=lambda e: e["state"] == "paused")
        app.wait_event("present", count=3)
        app.wait_line(r"\] 画锁屏图 201x99$")
        drawn = self.wait_updates(2)
        self.assertEqual(len(drawn), 2, "the application's frames reached the panel while asleep")
        self.assertEqual((drawn[1]["region"], drawn[1]["full"]), ((0, 0, W, H), True))
        self.assertPicture(self.snapshot(1), cover_picture(), "sleep cover")
        delay = self.uptime_of(r"\] 画锁屏图 ") - self.uptime_of(r"\] 控制命令: sleep$")
        self.assertGreaterEqual(delay, 1.199)
        self.assertLess(delay, 1.2 + SLOW)

        # Lifted, touched again and lifted while asleep: nothing goes anywhere.
        self.touch(touch_records(0, -1), touch_records(0, 6, 100, 100), touch_records(0, -1))
        say(self.control, "wake\n")
        app.wait_event("lifecycle", match=lambda e: e["state"] == "resumed", count=2)
        app.wait_event(FRAME_REQUEST, count=1 if has("3.0") else 2)
        woke = self.wait_updates(3)
        self.assertEqual((woke[2]["region"], woke[2]["full"]), ((0, 0, W, H), True))
        self.assertPicture(self.snapshot(2), picture(*FRAME_C), "panel after wake")

        # The frame the wake asked for changes nothing more: the panel already
        # shows it.
        app.wait_event("present", count=4)
        self.assertEqual(len(self.updates()), 3, self.updates())

        # Touches work again.
        self.touch(touch_records(0, 7, 3000, 3000), touch_records(0, -1))
        app.wait_event("pointer", match=lambda e: e["phase"] == "up")
        trace = self.stop()

        self.assertEqual([(e["phase"], e["device"]) for e in events(trace, "pointer")],
                         [("add", "0"), ("down", "0"), ("cancel", "0"), ("down", "0"), ("up", "0")])
        self.assertEqual([e["state"] for e in events(trace, "lifecycle")], ["resumed", "paused", "resumed"])
        at = {}
        for e in trace:
            at.setdefault(e["event"] + ":" + e.get("phase", e.get("state", "")), []).append(e["t"])
        self.assertLess(at["pointer:cancel"][0], at["lifecycle:paused"][0])
        resumed = at["lifecycle:resumed"][1]
        self.assertGreater(at["pointer:down"][1], resumed)
        self.assertTrue(any(t > resumed for t in at[FRAME_REQUEST + ":"]))


# Three pages that differ in known rectangles only, each with a red mark
# whose gray is the path's own: 74 from the engine's gray, 88 converted from
# BGRA.
RED = (200, 40, 40)
PAGE_RECTS = [((60, 80, 120, 40, BLACK), (500, 700, 40, 40, RED)),
              ((360, 400, 120, 40, BLACK), (500, 700, 40, 40, RED)),
              ((360, 400, 120, 40, BLACK), (100, 600, 50, 50, BLACK), (500, 700, 40, 40, RED))]
PAGES_APP = "".join("page\n" + drawing(*rects).replace("clear\n", "")
                    for rects in PAGE_RECTS) + "pages\n"


class PageTurns(Road):
    def test_page_turns_repaint_and_the_screen_found_at_start_given_back(self):
        app = self.launch(PAGES_APP, keep_screen=False, FOLIAN_SIM_FB_FILL="0x80", FOLIAN_LOG_FRAMES="1")
        # The first refresh is the probing one, which names no waveform.
        app.wait_line(r"\] 帧 0：全刷 \(0,0\) 600x800 \?，转换 \d+\.\dms，刷新调用 \d+\.\dms$")
        shown = self.wait_updates(1)[0]
        self.assertEqual((shown["region"], shown["full"], shown["waveform"]), ((0, 0, W, H), True, GC16))
        self.assertPicture(self.snapshot(0), picture(*PAGE_RECTS[0]), "page 0")
        self.assertEqual(self.snapshot(0)[700 * W + 500], 74 if GRAY_FRAMES else 88)
        app.wait_line(r"\] 画面格式：%s" % ("Gray8，" if GRAY_FRAMES else "BGRA，"))

        # A tap on the right half of the touch screen.
        self.touch(touch_records(0, 1, 3500, 2000), touch_records(0, -1))
        app.wait_event("page", match=lambda e: e["index"] == "1")
        turned = self.wait_updates(2)[1]
        # Both rectangles changed: the refresh covers their union.
        self.assertEqual((turned["full"], turned["flags"], turned["waveform"], turned["region"]),
                         (False, 0, AUTO, (60, 80, 420, 360)))
        app.wait_line(r"\] 帧 1：局刷 \(60,80\) 420x360 AUTO，")
        self.assertPicture(self.snapshot(1), picture(*PAGE_RECTS[1]), "page 1")

        say(self.control, "key next\n")
        app.wait_event("page", match=lambda e: e["index"] == "2")
        turned = self.wait_updates(3)[2]
        self.assertEqual((turned["full"], turned["flags"], turned["region"]),
                         (False, 0, (100, 600, 50, 50)))
        self.assertPicture(self.snapshot(2), picture(*PAGE_RECTS[2]), "page 2")
        # The release goes to every engine as the framework's key message,
        # after the key event where the engine takes those.
        app.wait_event("message_from_embedder",
                       match=lambda e: e["channel"] == "flutter/keyevent" and b'"keyup"' in payload(e))

        # SIGUSR1 writes the whole page back; the exit gives back the screen
        # found at start.
        app.signal(signal.SIGUSR1)
        self.assertEqual(self.wait_updates(4)[3]["region"], (0, 0, W, H))
        self.assertPicture(self.snapshot(3), picture(*PAGE_RECTS[2]), "repaint")
        trace = self.stop()
        self.assertEqual([e["index"] for e in events(trace, "page")], ["0", "1", "2"])
        self.assertEqual([(u["region"], u["full"]) for u in self.updates()[3:]], [((0, 0, W, H), True)] * 2)
        self.assertPicture(self.snapshot(4), bytes([0x80]) * (W * H), "screen given back")


    def test_page_turns_on_a_16_bit_panel(self):
        """Frames the engine draws in RGB565 where it can: the same damage."""
        app = self.launch(PAGES_APP, FOLIAN_SIM_FB_BPP="16")
        app.wait_line(r"\] 画面格式：%s" % ("RGB565，" if GRAY_FRAMES else "BGRA，"))
        self.wait_updates(1)
        self.touch(touch_records(0, 1, 3500, 2000), touch_records(0, -1))
        app.wait_event("page", match=lambda e: e["index"] == "1")
        self.wait_updates(2)
        trace = self.stop()
        self.assertEqual([(u["region"], u["full"]) for u in self.updates()],
                         [((0, 0, W, H), True), ((60, 80, 420, 360), False)])
        self.assertEqual({e["pixels"] for e in events(trace, "present")},
                         {"rgb565" if GRAY_FRAMES else "bgra"})


EPD, EPDC = "app.folian.eink_epd", "app.folian.ireader_epdc"
REAGL = 4
NIGHT_APP = ("clear\nfill gray 255\nrect 0 0 300 800 gray 128\nrect 400 100 100 100 gray 0\npresent\n"
             "call %s setImage path=s:%%s width=i:%d height=i:%d\nwait_key down\n" % (COVER_CHANNEL, COVER_W, COVER_H) +
             "call %s setNightMode enabled=b:false\nwait_key down\n" % EPD +
             "call %s setDithering enabled=b:false\nrect 0 0 300 800 gray 130\npresent\nwait_key down\n" % EPD +
             "call %s setNightMode enabled=b:true\nwait_key down\n" % EPD +
             "call %s armPageTurn\nrect 300 0 300 800 gray 0\npresent\nwait_key down\n" % EPDC)


def inverse(img):
    return bytes(255 - v for v in img)


class NightAndDithering(Road):
    def dithered(self, img, levels):
        """The left half, dithered from gray 128: two levels, 128 on average."""
        half = [img[y * W + x] for y in range(H) for x in range(300)]
        self.assertEqual(sorted(set(half)), levels)
        self.assertAlmostEqual(sum(half) / len(half), 128, delta=0.25)

    def test_every_layout_inverts_the_application_only_and_dithers_its_grays(self):
        base = self.dir
        cover = os.path.join(base, "cover.raw")
        with open(cover, "wb") as f:
            f.write(COVER)
        for kind in ("mtk", "zelda", "rex", "classic"):
            with self.subTest(kind=kind):
                self.dir = tempfile.mkdtemp(dir=base)
                self.road(kind, cover)

    def road(self, kind, cover):
        app = self.launch(NIGHT_APP % cover, keep_screen=False, FOLIAN_SIM_EPDC=kind, FOLIAN_NIGHT="1",
                          FOLIAN_DITHER="true", FOLIAN_SIM_FB_FILL="0x80")
        # From the start: dithered, then inverted by the driver.
        shown = self.snapshot(0)
        self.assertEqual((shown[50 * W + 350], shown[150 * W + 450]), (0, 255))
        self.dithered(inverse(shown), [119, 136])
        # Night mode off: the whole screen at once, the picture as drawn.
        say(self.control, "key next\n")
        self.wait_updates(2)
        self.assertPicture(self.snapshot(1), inverse(shown), "night mode off")
        # Dithering off from the next frame, whose grays go through whole.
        say(self.control, "key next\n")
        self.wait_updates(3)
        drawn = picture((0, 0, 300, H, 130), (400, 100, 100, 100, BLACK))
        self.assertPicture(self.snapshot(2), drawn, "undithered")
        say(self.control, "key next\n")
        self.wait_updates(4)
        self.assertPicture(self.snapshot(3), inverse(drawn), "night mode on")
        # A page turn, animated where the driver animates one.
        say(self.control, "key next\n")
        self.wait_updates(5)
        turned = inverse(picture((0, 0, 300, H, 130), (300, 0, 300, H, BLACK)))
        self.assertPicture(self.snapshot(4), turned, "page turned")
        # The cover as the application gave it; the application's picture
        # inverted again at the wake and at a repaint.
        say(self.control, "sleep\n")
        self.wait_updates(6)
        self.assertPicture(self.snapshot(5), cover_picture(), "sleep cover")
        say(self.control, "wake\n")
        self.wait_updates(7)
        self.assertPicture(self.snapshot(6), turned, "after wake")
        self.app.signal(signal.SIGUSR1)
        self.wait_updates(8)
        self.assertPicture(self.snapshot(7), turned, "repaint")
        self.stop()
        self.assertPicture(self.snapshot(8), bytes([0x80]) * (W * H), "screen given back")

        whole = (0, 0, W, H)
        turn = (whole, REAGL, False, 0x10001) if kind == "mtk" else ((300, 0, 300, H), AUTO, False, 0x1)
        self.assertEqual([(u["region"], u["waveform"], u["full"], u["flags"]) for u in self.updates()],
                         [(whole, GC16, True, 0x1), (whole, GC16, True, 0), ((0, 0, 300, H), AUTO, False, 0),
                          (whole, GC16, True, 0x1), turn, (whole, GC16, True, 0), (whole, GC16, True, 0x1),
                          (whole, GC16, True, 0x1), (whole, GC16, True, 0)])


# Each step starts a beat after the last refresh, so that its first frame is
# never taken for motion.  Frames 30 ms apart are.
STEP = "wait_key down\nwait 300\n"
QUICK = "wait 30\n"
POLICY_APP = "".join([
    "fill gray 255\npresent\n", STEP,
    # A run: the first frame is a page, the two behind it go out fast.
    "rect 10 10 50 50 gray 0\npresent\n", QUICK, "rect 100 100 50 50 gray 0\npresent\n", QUICK,
    "rect 200 300 50 50 gray 0\npresent\n", STEP,
    # Pages: the fast ones counted for nothing, so the third page-like flashes.
    "rect 10 500 20 20 gray 0\npresent\nwait 400\nrect 40 500 20 20 gray 0\npresent\n", STEP,
    # Night mode: a flash of its own, then every second page.
    "call %s setNightMode enabled=b:true\n" % EPD,
    "rect 10 600 20 20 gray 0\npresent\nwait 400\nrect 40 600 20 20 gray 0\npresent\n", STEP,
    # No more flashes; a run whose clean-up comes after the application chose
    # regal, whose waveform it then takes, as the next frame does.
    "call %s setFlashPolicy every=i:0 nightEvery=i:0\n" % EPD,
    "rect 300 10 20 20 gray 0\npresent\n", QUICK, "rect 300 50 20 20 gray 0\npresent\nwait 150\n",
    "call %s setRefreshMode mode=s:regal\n" % EPD, "rect 300 90 20 20 gray 0\npresent\n", STEP,
    # Motion off: quick frames take the mode's waveform.
    "call %s setMotionMode mode=s:off\ncall %s setRefreshMode mode=s:auto\n" % (EPD, EPD),
    "rect 400 10 20 20 gray 0\npresent\n", QUICK, "rect 400 50 20 20 gray 0\npresent\n", STEP,
    # On again, with a page turn armed: where the driver animates it, the
    # animation is not made fast.
    "call %s setMotionMode mode=s:auto\ncall %s armPageTurn\n" % (EPD, EPDC),
    "rect 500 10 20 20 gray 0\npresent\n", QUICK, "rect 0 0 300 800 gray 128\npresent\n", STEP,
    "call %s diagnostics\n" % EPD])
DU = 1


@unittest.skipIf(RELEASE != DEFAULT_RELEASE, "which refreshes flash or go out fast is the panel's, whatever the engine")
class FlashesAndMotion(Road):
    def test_every_layout_flashes_by_count_and_cleans_up_after_motion(self):
        base = self.dir
        for kind in ("mtk", "zelda", "rex", "classic"):
            with self.subTest(kind=kind):
                self.dir = tempfile.mkdtemp(dir=base)
                self.road(kind)

    def road(self, kind):
        reagl = 8 if kind == "classic" else REAGL
        whole = (0, 0, W, H)
        turn = [(whole, REAGL, False, 0x10001)] if kind == "mtk" else \
            [((0, 0, 300, H), DU, False, 1), ((0, 0, 300, H), GC16, True, 1)]
        steps = [[((10, 10, 50, 50), AUTO, False, 0), ((100, 100, 50, 50), DU, False, 0),
                  ((200, 300, 50, 50), DU, False, 0), ((100, 100, 150, 250), GC16, True, 0)],
                 [((10, 500, 20, 20), AUTO, False, 0), (whole, GC16, True, 0)],
                 [(whole, GC16, True, 1), ((10, 600, 20, 20), AUTO, False, 1), (whole, GC16, True, 1)],
                 [((300, 10, 20, 20), AUTO, False, 1), ((300, 50, 20, 20), DU, False, 1),
                  ((300, 90, 20, 20), reagl, False, 1), ((300, 50, 20, 20), reagl, True, 1)],
                 [((400, 10, 20, 20), AUTO, False, 1), ((400, 50, 20, 20), AUTO, False, 1)],
                 [((500, 10, 20, 20), AUTO, False, 1)] + turn]
        self.launch(POLICY_APP, FOLIAN_SIM_EPDC=kind, FOLIAN_FULL_EVERY="3", FOLIAN_FULL_EVERY_NIGHT="2",
                    FOLIAN_MOTION="auto")
        want = [(whole, GC16, True, 0)]
        for step in steps:
            self.wait_updates(len(want))
            say(self.control, "key next\n")
            want += step
        # Nothing more comes: a clean-up would follow within 300 ms.  Six
        # page-like refreshes since the last flash: the page turn is one, where
        # the driver animates it, and no fast one is.
        self.wait_updates(len(want))
        time.sleep(0.5 * SLOW)
        say(self.control, "key next\n")
        reply = self.app.wait_event("response", match=lambda e: e["channel"] == EPD, count=7)
        self.assertEqual(payload(reply), ok_reply({
            "platform": "kindle", "driver": kind, "pixels": "Gray8" if GRAY_FRAMES else "BGRA",
            "night": True, "motion": "auto", "dithering": False,
            "flashEvery": 0, "flashEveryNight": 0, "sinceFlash": 6 if kind == "mtk" else 5,
            "orientation": 0}))
        self.stop()
        got = self.updates()
        self.assertEqual([(u["region"], u["waveform"], u["full"], u["flags"]) for u in got], want)
        # Each clean-up comes 300 ms after the last fast refresh.
        for i, u in enumerate(got):
            if u["full"] and u["region"] != whole:
                self.assertGreaterEqual(u["t"] - max(v["t"] for v in got[:i] if v["waveform"] == DU), 0.29)


# Two pages in the application's own frame: the second adds a rectangle.
TURN_RECTS = [((10, 20, 30, 40, BLACK),), ((10, 20, 30, 40, BLACK), (300, 100, 50, 60, BLACK))]
TURN_PAGES = "".join("page\n" + drawing(*rects).replace("clear\n", "") for rects in TURN_RECTS) + "pages\n"
PREFER = 'message flutter/platform {"method":"SystemChrome.setPreferredOrientations","args":["%s"]}\n'


def turned(degrees, x, y, w, h):
    """The panel rectangle of an application rectangle, the picture turned clockwise."""
    return {0: (x, y, w, h), 90: (W - y - h, x, h, w), 180: (W - x - w, H - y - h, w, h),
            270: (y, H - x - w, h, w)}[degrees]


class Orientations(Road):
    """The application's picture turned: by its request, by the control FIFO,
    at start, and back upright, one record layout each."""

    def test_each_orientation_turns_the_picture_and_the_touches(self):
        base = self.dir
        roads = [("mtk", 90, {}, PREFER % "DeviceOrientation.landscapeLeft"),
                 ("zelda", 180, {}, "rotate 180"),
                 ("rex", 270, {"FOLIAN_ROTATE": "270"}, ""),
                 ("classic", 0, {"FOLIAN_ROTATE": "90"}, PREFER % "DeviceOrientation.portraitUp")]
        for kind, degrees, env, ask in roads:
            with self.subTest(kind=kind, degrees=degrees):
                self.dir = tempfile.mkdtemp(dir=base)
                self.road(kind, degrees, env, ask)

    def road(self, kind, degrees, env, ask):
        app_w, app_h = (H, W) if degrees % 180 else (W, H)
        by_app = ask.startswith("message")
        app = self.launch((ask if by_app else "") + TURN_PAGES, FOLIAN_SIM_EPDC=kind, **env)
        if ask and not by_app:
            self.wait_updates(1)
            say(self.control, ask + "\n")
        app.wait_line(r"\] 屏幕方向 .*应用窗口 %dx%d$" % (app_w, app_h))
        # The page, turned, reaches the panel; the first frame of the turned
        # size was refreshed in full.
        page0 = picture(*[turned(degrees, *r[:4]) + r[4:] for r in TURN_RECTS[0]])
        wait_for("page 0 turned", lambda: self.snapshot(len(self.wait_updates(1)) - 1) == page0)
        since = 1 if ask and not by_app else 0
        self.assertIn(((0, 0, W, H), True), [(u["region"], u["full"]) for u in self.updates()[since:]])
        # A finger on the right half of the application's frame, wherever
        # that lies on the panel.
        count = len(self.updates())
        px, py = turned(degrees, app_w * 3 // 4, app_h // 2, 1, 1)[:2]
        raw = lambda v, n: round(v * 4095 / (n - 1))
        self.touch(touch_records(0, 1, raw(px, W), raw(py, H)), touch_records(0, -1))
        app.wait_event("page", match=lambda e: e["index"] == "1")
        page1 = [turned(degrees, *r[:4]) + r[4:] for r in TURN_RECTS[1]]
        self.assertEqual(self.wait_updates(count + 1)[count]["region"], page1[1][:4],
                         "the panel rectangle of the change")
        self.assertPicture(self.snapshot(count), picture(*page1), "page 1")
        trace = self.stop()
        metrics = events(trace, "window_metrics")[-1]
        self.assertEqual((int(metrics["width"]), int(metrics["height"])), (app_w, app_h))
        up = [e for e in events(trace, "pointer") if e["phase"] == "up"][0]
        self.assertAlmostEqual(float(up["x"]), app_w * 3 // 4, delta=1)
        self.assertAlmostEqual(float(up["y"]), app_h // 2, delta=1)
        if by_app:
            answer = [e for e in events(trace, "response") if e["channel"] == "flutter/platform"]
            self.assertEqual([payload(e) for e in answer], [b"[null]"])

if __name__ == "__main__":
    unittest.main()
