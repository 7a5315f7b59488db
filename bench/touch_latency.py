"""Time from a touch record written to a stand-in node to the pointer event
reaching the stand-in engine (engine clock of the trace against the
CLOCK_MONOTONIC time of the write).  Not a test: prints figures.

    FOLIAN_BUILD_DIR=build/debug python3 bench/touch_latency.py [taps]
"""

import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e_lib"))

from folian_e2e import Bundle, Folian, events  # noqa: E402
from evdev_nodes import MT_SCREEN, Nodes, touch_records  # noqa: E402


def main():
    taps = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    nodes = Nodes()
    nodes.add("event0", MT_SCREEN)
    bundle = Bundle()
    app = Folian(bundle, env=dict({"FOLIAN_FB_FILE": ""}, **nodes.env()), preload=["sim_evdev"])
    try:
        app.wait_line(r"\] 触摸屏 /dev/input/event0")
        app.wait_event("present")
        written = []
        for i in range(taps):
            written.append(nodes.send("event0", touch_records(0, i, 100 + i, 100)))
            app.wait_event("pointer", match=lambda e: e["phase"] == "down", count=i + 1)
            nodes.send("event0", touch_records(0, -1))
            app.wait_event("pointer", match=lambda e: e["phase"] == "up", count=i + 1)
            time.sleep(0.005)
        downs = [e for e in events(app.trace(), "pointer") if e["phase"] == "down"]
        ms = sorted((d["t"] - w) / 1e6 for d, w in zip(downs, written))
        print("touch node -> engine pointer event, %d taps: min %.3f ms, median %.3f ms, "
              "p95 %.3f ms, max %.3f ms" % (len(ms), ms[0], statistics.median(ms),
                                            ms[int(len(ms) * 0.95) - 1], ms[-1]))
    finally:
        app.cleanup()
        bundle.cleanup()
        nodes.cleanup()


if __name__ == "__main__":
    main()
