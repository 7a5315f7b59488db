#!/usr/bin/env python3
"""Makes the README's two pictures: the preview window after a page turn
with the overlay on (docs/preview.png, under a private Xvfb) and the demo's
refresh report as a browser shows it (docs/report.png, headless Chromium).

    tools/preview/docs_screenshots.py [build-dir]     (default build/debug)

Needs the build's folian_preview, Xvfb, xdotool, xwd and chromium."""

import os
import re
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "preview"))
sys.path.insert(0, os.path.join(ROOT, "tools", "report"))
from refresh_report import png  # noqa: E402
from xdisplay import Xvfb  # noqa: E402


def wait_for(proc, pattern, timeout=20):
    deadline = time.monotonic() + timeout
    rx = re.compile(pattern)
    while time.monotonic() < deadline:
        line = proc.stdout.readline().decode()
        if rx.search(line):
            return line
    raise SystemExit("the preview never printed %r" % pattern)


def preview_picture(build, work, target):
    bundle = os.path.join(work, "bundle")
    subprocess.run([os.path.join(ROOT, "scripts", "demo_bundle.sh"), bundle, build], check=True)
    x = Xvfb()
    try:
        proc = subprocess.Popen([os.path.join(build, "tools", "folian_preview"), "--bundle", bundle,
                                 "--out", os.path.join(work, "run"), "--build", build, "--overlay"],
                                stdout=subprocess.PIPE, env=dict(x.env(), SDL_RENDER_DRIVER="software"))
        wait_for(proc, r"^shown update 0 ")
        wid, (wx, wy, ww, wh) = x.window("folian preview")
        time.sleep(2.5)  # the start-up refresh's outline fades
        x.xdotool("mousemove", "--window", wid, str(ww * 3 // 4), str(wh // 2), "click", "1")
        wait_for(proc, r"^shown update 1 ")
        time.sleep(0.4)
        sw, _, rgb = x.screenshot()
        crop = b"".join(rgb[((wy + y) * sw + wx) * 3:((wy + y) * sw + wx + ww) * 3] for y in range(wh))
        with open(target, "wb") as f:
            f.write(png(ww, wh, crop))
        proc.terminate()  # SDL turns SIGTERM into the same quit event as closing the window
        proc.wait(30)
    finally:
        x.stop()


def report_picture(build, work, target):
    out = os.path.join(work, "demo")
    subprocess.run([os.path.join(ROOT, "scripts", "demo.sh"), out], check=True,
                   env=dict(os.environ, FOLIAN_BUILD_DIR=build), stdout=subprocess.DEVNULL)
    subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                    "--window-size=1280,1020", "--screenshot=" + target,
                    "file://" + os.path.join(out, "report.html")], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "debug"))
    docs = os.path.join(ROOT, "docs")
    os.makedirs(docs, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="folian-docs-") as work:
        preview_picture(build, work, os.path.join(docs, "preview.png"))
        report_picture(build, work, os.path.join(docs, "report.png"))
    print("wrote docs/preview.png and docs/report.png")


if __name__ == "__main__":
    main()
