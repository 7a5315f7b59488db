#!/usr/bin/env python3
"""Makes the pictures of README.md and docs/preview.md: the preview window
after a page turn with the overlay on (docs/preview.png) and in night mode
(docs/preview-night.png), both under a private Xvfb; the demo's refresh report as a browser shows it
(docs/report.png, headless Chromium); and the demo's gradient page as the
panel shows it undithered and dithered, side by side (docs/dither.png).

    tools/preview/docs_screenshots.py [build-dir]     (default build/debug)

Needs the build's folian_preview, Xvfb, xdotool, xwd and chromium."""

import glob
import os
import re
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "preview"))
sys.path.insert(0, os.path.join(ROOT, "tools", "report"))
from refresh_report import png, read_pgm  # noqa: E402
from xdisplay import Xvfb  # noqa: E402

# The panel's 16 levels, as the preview shows them: each gray the nearest.
LEVEL = bytes((v + 8) // 17 * 17 for v in range(256))


def wait_for(proc, pattern, timeout=20):
    deadline = time.monotonic() + timeout
    rx = re.compile(pattern)
    while time.monotonic() < deadline:
        line = proc.stdout.readline().decode()
        if rx.search(line):
            return line
    raise SystemExit("the preview never printed %r" % pattern)


def preview_pictures(build, work, targets):
    """`targets`: the page turn's picture, then night mode's."""
    bundle = os.path.join(work, "bundle")
    subprocess.run([os.path.join(ROOT, "scripts", "demo_bundle.sh"), bundle, build], check=True)
    x = Xvfb()
    try:
        proc = subprocess.Popen([os.path.join(build, "tools", "folian_preview"), "--bundle", bundle,
                                 "--out", os.path.join(work, "run"), "--build", build, "--overlay"],
                                stdout=subprocess.PIPE, env=dict(x.env(), SDL_RENDER_DRIVER="software"))
        wait_for(proc, r"^shown update 0 ")
        wid, (wx, wy, ww, wh) = x.window("folian preview")

        def shoot(target):
            sw, _, rgb = x.screenshot()
            crop = b"".join(rgb[((wy + y) * sw + wx) * 3:((wy + y) * sw + wx + ww) * 3] for y in range(wh))
            with open(target, "wb") as f:
                f.write(png(ww, wh, crop))

        time.sleep(2.5)  # the start-up refresh's outline fades
        x.xdotool("mousemove", "--window", wid, str(ww * 3 // 4), str(wh // 2), "click", "1")
        wait_for(proc, r"^shown update 1 ")
        time.sleep(0.4)
        shoot(targets[0])
        # Night mode turns the whole panel over; a page turned in it.
        x.xdotool("key", "n")
        wait_for(proc, r"^shown update 2 full ")
        time.sleep(2.5)
        x.xdotool("key", "Next")
        wait_for(proc, r"^shown update 3 ")
        time.sleep(0.4)
        shoot(targets[1])
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
    return os.path.join(out, "frames")


def dither_picture(frames, target, width=300, height=560, gap=12):
    """The demo's gradient page undithered (the first picture with more grays
    than the panel has levels) and dithered (the next whose first column
    holds the 16 levels), a piece of each at full size, in the panel's
    levels."""
    undithered = dithered = None
    for path in sorted(glob.glob(os.path.join(frames, "update_*.pgm"))):
        w, h, gray = read_pgm(path)
        column = set(gray[0::w])
        if undithered is None and len(column) > 16:
            undithered = (w, h, gray)
        elif undithered is not None and len(column) == 16:
            dithered = (w, h, gray)
            break
    if dithered is None:
        raise SystemExit("the demo showed no gradient undithered and then dithered")
    w, h, _ = dithered
    top = (h - height) // 2
    white = b"\xff" * gap
    rows = []
    for y in range(top, top + height):
        row = undithered[2][y * w:y * w + width].translate(LEVEL) + white + dithered[2][y * w:y * w + width]
        rows.append(bytes(v for v in row for _ in range(3)))
    with open(target, "wb") as f:
        f.write(png(2 * width + gap, height, b"".join(rows)))


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "debug"))
    docs = os.path.join(ROOT, "docs")
    os.makedirs(docs, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="folian-docs-") as work:
        preview_pictures(build, work, [os.path.join(docs, "preview.png"), os.path.join(docs, "preview-night.png")])
        frames = report_picture(build, work, os.path.join(docs, "report.png"))
        dither_picture(frames, os.path.join(docs, "dither.png"))
    print("wrote docs/preview.png, docs/preview-night.png, docs/report.png and docs/dither.png")


if __name__ == "__main__":
    main()
