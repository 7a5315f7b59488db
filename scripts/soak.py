#!/usr/bin/env python3
"""A long reading session at a pace no reader keeps up.

Runs the real folian with the stand-in engine, framebuffer/EPDC, event nodes
and platform tools, and turns pages for as long as asked: taps, swipes and
page keys through the control pipe, taps on the touch node, presses of the
page buttons, with sleep and wake from the power tool, SIGUSR1 repaints and
clipboard round trips along the way.  At the end it reports the memory and
open descriptors after a warm-up and at the end, the frames refreshed, and
what the stand-in engine's trace says about the contract: messages left
without a response, second responses, and violations.  Exits 1 when memory
or descriptors grew after the warm-up beyond a small constant, when any
message was answered other than once, or when the trace holds a violation.

    scripts/soak.py [--build build/debug] [--turns 20000] [--pace-ms 20]

CI runs a short session (--turns 300).
"""

import argparse
import json
import os
import shutil
import signal
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build", "debug"),
                   help="build directory with folian and the stand-ins")
    p.add_argument("--turns", type=int, default=2000, help="page turns to make")
    p.add_argument("--pace-ms", type=float, default=20.0, help="pause between two turns")
    p.add_argument("--clipboard", type=int, default=200, help="clipboard round trips")
    p.add_argument("--warm-up", type=int, default=2000,
                   help="turns before memory is first read (at most a third of the turns)")
    p.add_argument("--growth-kb", type=int, default=256,
                   help="largest growth of anonymous resident memory after the warm-up")
    return p.parse_args()


ARGS = parse_args()
os.environ.setdefault("FOLIAN_BUILD_DIR", os.path.abspath(ARGS.build))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e_lib"))
from folian_e2e import Bundle, Folian, events, parse_trace  # noqa: E402
from evdev_nodes import EV_KEY, MT_SCREEN, PAGE_KEYS, Nodes, record, touch_records  # noqa: E402

W, H = 1236, 1648
PAGES = 8


def app_script(round_trips):
    lines = []
    for i in range(round_trips):
        text = json.dumps({"method": "Clipboard.setData", "args": {"text": "段落 %d ✓" % i}})
        lines.append("message flutter/platform " + text)
        lines.append('message flutter/platform {"method":"Clipboard.getData","args":"text/plain"}')
    for i in range(PAGES):
        lines += ["page", "fill gray 255", "rect %d%% 10%% 30%% 30%% gray %d" % (5 + 8 * i, 40 * (i % 5))]
    lines.append("pages")
    return "\n".join(lines) + "\n"


def footprint(pid):
    """Resident and anonymous resident memory in kB, and open descriptors."""
    kb = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "RssAnon"):
                kb[key] = int(value.split()[0])
    return kb.get("VmRSS", 0), kb.get("RssAnon", 0), len(os.listdir("/proc/%d/fd" % pid))


class Session:
    def __init__(self):
        self.tmp = tempfile.mkdtemp(prefix="folian-soak-")
        self.nodes = Nodes()
        self.nodes.add("event0", MT_SCREEN)
        self.nodes.add("event1", PAGE_KEYS)
        self.lipc = os.path.join(self.tmp, "lipc")
        os.makedirs(self.lipc)
        os.mkfifo(os.path.join(self.lipc, "events"))
        self.control = os.path.join(self.tmp, "control")
        self.epdc_log = os.path.join(self.tmp, "epdc.log")
        sim = os.path.join(os.environ["FOLIAN_BUILD_DIR"], "sim")
        env = dict(self.nodes.env(),
                   FOLIAN_CONTROL=self.control,
                   FOLIAN_SIM_FB_PATH="/dev/fb0", FOLIAN_SIM_EPDC="mtk",
                   FOLIAN_SIM_EPDC_LOG=self.epdc_log,
                   FOLIAN_SIM_LIPC_BIN=os.path.join(sim, "lipc", "bin"),
                   FOLIAN_SIM_LIPC_DIR=self.lipc,
                   FOLIAN_TOUCH_NO_GRAB="1")
        self.bundle = Bundle(app=app_script(ARGS.clipboard))
        self.app = Folian(self.bundle, env=env, preload=["sim_fb", "sim_evdev", "sim_paths"],
                          ld_library_path=[os.path.join(sim, "lipc")])
        # The tool's FIFO: opened for writing once the tool reads it.
        self.power = None
        self.ctl = None

    def start(self):
        for line in (r"\] 触摸屏 /dev/input/event0", r"\] 翻页键 /dev/input/event1",
                     r"\] 控制管道 ", r"\] 监听电源事件"):
            self.app.wait_line(line, timeout=20)
        self.power = os.open(os.path.join(self.lipc, "events"), os.O_WRONLY)
        self.ctl = os.open(self.control, os.O_WRONLY)
        self.app.wait_event("page", timeout=120)

    def command(self, text):
        os.write(self.ctl, (text + "\n").encode())

    def power_event(self, name):
        os.write(self.power, (name + "\n").encode())

    def turn(self, i):
        # Back and forth over the pages, so that nearly every turn shows a
        # new one.  The control pipe spaces its commands by at least 110 ms,
        # so only every tenth turn goes through it; the rest are touches and
        # button presses, which arrive at once.
        forward = (i // (PAGES - 1)) % 2 == 0
        x = W - 100 if forward else 100
        if i % 10 == 0:
            kind = (i // 10) % 3
            if kind == 0:
                self.command("tap %d 800" % x)
            elif kind == 1:
                self.command("key %s" % ("next" if forward else "prev"))
            else:
                self.command("swipe %d 800 %d 800 48" % (W - x, x))
        elif i % 2:
            raw = 4000 if forward else 100
            self.nodes.send("event0", touch_records(0, i, raw, 2000) + touch_records(0, -1))
        else:
            code = 104 if forward else 109
            self.nodes.send("event1", record(EV_KEY, code, 1) + record(0, 0, 0) +
                            record(EV_KEY, code, 0) + record(0, 0, 0))

    def cleanup(self):
        for fd in (self.power, self.ctl):
            if fd is not None:
                os.close(fd)
        self.app.cleanup()
        self.nodes.cleanup()
        self.bundle.cleanup()
        shutil.rmtree(self.tmp, ignore_errors=True)


def settle(s):
    """Waits until the queued control steps have run: nothing new reaches the
    engine for half a second."""
    size = -1
    while True:
        time.sleep(0.5)
        now = os.path.getsize(s.app.trace_path)
        if now == size:
            return
        size = now


def main():
    s = Session()
    try:
        s.start()
        pid = s.app.proc.pid
        # Memory is read after a warm-up: the first turns fill the caches and
        # the allocator's thread arenas that any run has, and take every road
        # the session takes at least once.  Anonymous memory (heaps, arenas,
        # stacks) is what a leak grows; the resident total also counts code
        # pages first run late, and is shown only.
        warm_up = min(ARGS.warm_up, ARGS.turns // 3)
        t0 = time.monotonic()
        for i in range(ARGS.turns):
            if i == warm_up:
                settle(s)
                rss0, anon0, fds0 = footprint(pid)
            s.turn(i)
            if i % 400 == 40:
                s.power_event("goingToScreenSaver")
                time.sleep(0.05)
                s.power_event("outOfScreenSaver")
            if i % 300 == 20:
                s.app.signal(signal.SIGUSR1)
            time.sleep(ARGS.pace_ms / 1000.0)
        settle(s)
        seconds = time.monotonic() - t0
        rss1, anon1, fds1 = footprint(pid)
        s.app.signal(signal.SIGTERM)
        status = s.app.wait(30)
        trace = parse_trace(s.app.trace_path)
        with open(s.epdc_log) as f:
            updates = sum(1 for line in f if line.startswith("update "))
    finally:
        s.cleanup()

    sent = [e["handle"] for e in events(trace, "message_to_app")]
    answers = {}
    for e in events(trace, "response"):
        answers[e["handle"]] = answers.get(e["handle"], 0) + 1
    missing = [h for h in sent if answers.get(h, 0) == 0]
    double = [h for h, n in answers.items() if n > 1]
    violations = [e.get("text", "") for e in events(trace, "violation")]
    pages = len(events(trace, "page"))

    print("turns %d in %.1f s (%.0f per second), exit status %d" % (
        ARGS.turns, seconds, ARGS.turns / seconds, status))
    print("after %d warm-up turns, over the next %d: anonymous memory %d kB -> %d kB (%+d kB, "
          "at most %+d), resident %d kB -> %d kB (%+d kB)" % (
              warm_up, ARGS.turns - warm_up, anon0, anon1, anon1 - anon0, ARGS.growth_kb,
              rss0, rss1, rss1 - rss0))
    print("open descriptors %d -> %d" % (fds0, fds1))
    print("pages shown %d, panel updates %d, presents %d" % (
        pages, updates, len(events(trace, "present"))))
    print("messages %d, missing responses %d, double responses %d, violations %d" % (
        len(sent), len(missing), len(double), len(violations)))
    for v in violations[:10]:
        print("  violation: " + v)
    ok = (status == 0 and not missing and not double and not violations and fds1 <= fds0 + 2
          and anon1 - anon0 <= ARGS.growth_kb)
    print("soak: " + ("passed" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
