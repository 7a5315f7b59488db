#!/usr/bin/env python3
"""Refresh report: one self-contained HTML page from a run's EPDC log and
panel snapshots (the stand-in EPDC's FOLIAN_SIM_EPDC_LOG and
FOLIAN_SIM_EPDC_SNAP_DIR).

    refresh_report.py --log RUN/epdc.log --snaps RUN/snaps -o report.html
        [--program-log RUN/folian.log]

Each accepted update becomes one entry of the timeline: the panel after it
as a small picture with the refreshed rectangle drawn on it, the kind of
refresh, the waveform, the rectangle and its share of the panel, and the
time since the previous update.  Full refreshes (the panel flashes) and
partial ones that cover half the panel or more are marked, since those are
the refreshes a reader notices.  Updates less than BURST_GAP seconds apart
count as one burst; the first burst is the start-up.

The kinds, from the log alone: a fast refresh is a partial one with the DU
waveform; a clean-up the full refresh of the union of the fast ones since
the last full refresh, or of part of the panel; a flash any other full
refresh of the whole panel; any other partial refresh is a page.  Page turns are the pages and the flashes but
the first (most flashes take the place of a page); the ghosting budget is
the area of the partial refreshes since the whole panel was last refreshed
in full, in panels, which the report plots over time.

Orientation changes come from the program's own log, whose clock is not the
EPDC log's.  Within the program's log a change is followed by the frame
refreshed in full that it owes (with FOLIAN_LOG_FRAMES, each refreshed
frame is logged with its time); the two clocks are tied by the first
refreshed frame, which is the first update, and the change is shown on the
whole-panel full update nearest its frame's time.

The page needs no network: styles are inline and pictures are PNG data:
URIs written here with zlib (no imaging library).

The output file is replaced only when it is missing or an earlier report
(it names this tool in its head); any other file is refused untouched."""

import argparse
import base64
import html
import os
import re
import struct
import sys
import zlib

BURST_GAP = 0.25
THUMB_WIDTH = 200
LARGE_SHARE = 0.5

GENERATOR = '<meta name="generator" content="folian refresh report">'

UPDATE = re.compile(r"^update kind=(\w+) marker=(\d+) region=(\d+),(\d+) (\d+)x(\d+) "
                    r"waveform=(\d+) mode=(\d+)(?: .*?flags=0x([0-9a-f]+))?(?:.* t=(\d+\.\d+))?")
# The update's inversion flag: the panel shows the inverse (night mode).
FLAG_INVERT = 0x1
# The outline and badge colour of each kind of refresh, as in the preview.
KIND_COLOUR = {"flash": (220, 40, 40), "clean-up": (150, 60, 200), "fast": (235, 140, 0),
               "partial": (30, 110, 230)}


def waveform_name(kind, number):
    """The EPDC's waveform numbers; the classic layout numbers GL16 and REAGL
    differently from the others."""
    common = {1: "DU", 2: "GC16", 257: "AUTO"}
    if number in common:
        return common[number]
    other = {5: "GL16", 8: "REAGL"} if kind == "classic" else {4: "REAGL", 7: "DU4"}
    return other.get(number, str(number))


def parse_log(path):
    """One dict per accepted update, in order; `index` names its snapshot."""
    updates = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            if not line.startswith("update "):
                continue
            m = UPDATE.match(line)
            index = len(updates)
            if not m:
                updates.append({"index": index, "bad": line.strip()})
                continue
            kind, marker, x, y, w, h, wf, mode, flags, t = m.groups()
            updates.append({"index": index, "kind": kind, "marker": int(marker), "x": int(x),
                            "y": int(y), "w": int(w), "h": int(h), "waveform": int(wf),
                            "mode": int(mode), "flags": int(flags or "0", 16),
                            "t": float(t) if t else None})
    return updates


TURN = re.compile(r"屏幕方向 → (\d+)°（(.*?)），应用窗口 (\d+)x(\d+)")
STAMP = re.compile(r"^\[\s*(\d+\.\d+)\] ")
FRAME = re.compile(r"帧 \d+：(\S+) ")


def parse_turns(path):
    """(degrees, who, window, the program's time of the frame it brought) of
    each orientation change the program logged, in order; the time of the
    first refreshed frame."""
    turns, first, waiting = [], None, []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            stamp = STAMP.match(line)
            if not stamp:
                continue
            m = TURN.search(line)
            if m:
                waiting.append((int(m.group(1)), m.group(2), "%sx%s" % m.group(3, 4)))
                continue
            m = FRAME.search(line)
            if not m:
                continue
            if first is None:
                first = float(stamp.group(1))
            if m.group(1) == "全刷":
                turns += [w + (float(stamp.group(1)),) for w in waiting]
                waiting = []
    return turns, first


def mark_turns(updates, turns, first, panel):
    """Each change on the whole-panel full update nearest its frame."""
    wholes = [u for u in updates if "bad" not in u and u["mode"] == 1 and (u["x"], u["y"]) == (0, 0)
              and (u["w"], u["h"]) == panel and u["t"] is not None]
    if not updates or "bad" in updates[0] or updates[0]["t"] is None or first is None or not wholes:
        return
    offset = updates[0]["t"] - first
    for degrees, who, window, at in turns:
        nearest = min(wholes, key=lambda u: abs(u["t"] - (at + offset)))
        nearest["turn"] = (degrees, who, window)


def read_pgm(path):
    """(width, height, gray bytes) of a binary 8-bit PGM, or None."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    m = re.match(rb"P5\s+(\d+)\s+(\d+)\s+255\s", data)
    if not m:
        return None
    w, h = int(m.group(1)), int(m.group(2))
    pixels = data[m.end():m.end() + w * h]
    return (w, h, pixels) if len(pixels) == w * h else None


def png(width, height, rgb):
    """An 8-bit RGB PNG of the given pixels."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(
            ">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
    line = width * 3
    raw = b"".join(b"\0" + rgb[y * line:(y + 1) * line] for y in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def thumbnail(picture, rect, colour):
    """(width, height, rgb) of the picture scaled down by whole steps, with
    rect (x, y, w, h in panel pixels) outlined."""
    w, h, gray = picture
    step = max(1, -(-w // THUMB_WIDTH))
    tw, th = len(range(0, w, step)), len(range(0, h, step))
    rgb = bytearray(tw * th * 3)
    for ty, y in enumerate(range(0, h, step)):
        row = gray[y * w:(y + 1) * w:step]
        for c in range(3):
            rgb[ty * tw * 3 + c:(ty + 1) * tw * 3:3] = row
    x0, y0 = rect[0] // step, rect[1] // step
    x1 = min(tw - 1, max(x0, (rect[0] + rect[2] - 1) // step))
    y1 = min(th - 1, max(y0, (rect[1] + rect[3] - 1) // step))

    def dot(x, y):
        if 0 <= x < tw and 0 <= y < th:
            rgb[(y * tw + x) * 3:(y * tw + x) * 3 + 3] = colour

    for k in range(2):  # two pixels wide, drawn inwards
        for x in range(x0, x1 + 1):
            dot(x, y0 + k)
            dot(x, y1 - k)
        for y in range(y0, y1 + 1):
            dot(x0 + k, y)
            dot(x1 - k, y)
    return tw, th, bytes(rgb)


def panel_size(updates, snap_dir):
    """(width, height) of the panel: its first readable picture's, else the
    extent of the rectangles refreshed."""
    for u in updates:
        pic = read_pgm(os.path.join(snap_dir, "update_%04d.pgm" % u["index"]))
        if pic:
            return pic[0], pic[1]
    return (max((u["x"] + u["w"] for u in updates), default=0),
            max((u["y"] + u["h"] for u in updates), default=0))


def refresh_kinds(updates, panel):
    """The kind of each update, in order.  A clean-up is the full refresh of
    the union of the fast ones since the last full refresh, whatever its
    size: fast refreshes over the whole panel are cleaned up in full."""
    kinds, run = [], None
    for u in updates:
        rect = (u["x"], u["y"], u["x"] + u["w"], u["y"] + u["h"])
        if u["mode"] == 1:
            whole = rect == (0, 0) + panel
            kinds.append("flash" if whole and rect != run else "clean-up")
            run = None
        elif waveform_name(u["kind"], u["waveform"]) == "DU":
            kinds.append("fast")
            run = rect if run is None else (min(run[0], rect[0]), min(run[1], rect[1]),
                                            max(run[2], rect[2]), max(run[3], rect[3]))
        else:
            kinds.append("partial")
    return kinds


def ghosting_budget(updates, kinds, panel):
    """(time or index, panels of partial refreshes since the last full
    refresh of the whole panel, kind) after each update."""
    area = float(panel[0] * panel[1]) or 1.0
    timed = all(u["t"] is not None for u in updates)
    t0 = updates[0]["t"] if timed and updates else 0
    points, budget = [], 0.0
    for n, (u, kind) in enumerate(zip(updates, kinds)):
        if u["mode"] == 1 and (u["x"], u["y"], u["w"], u["h"]) == (0, 0) + panel:
            budget = 0.0
        elif u["mode"] == 0:
            budget += u["w"] * u["h"] / area
        points.append((u["t"] - t0 if timed else n, budget, kind))
    return points, timed


def budget_plot(points, timed):
    """An inline SVG step plot of the ghosting budget, flashes marked red on
    the axis and clean-ups purple."""
    width, height, left, bottom = 640, 150, 52, 24
    span = max((p[0] for p in points), default=0) or 1
    top = max(max((p[1] for p in points), default=0), 1.0)

    def xy(x, y):
        return (left + (width - left - 10) * x / span, height - bottom - (height - bottom - 10) * y / top)

    path, previous = [], 0.0
    for x, y, _ in points:
        path += [xy(x, previous), xy(x, y)]
        previous = y
    marks = "".join('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="rgb%s" stroke-width="2"/>'
                    % (xy(x, 0)[0], height - bottom, xy(x, 0)[0], height - bottom + 6, KIND_COLOUR[k])
                    for x, _, k in points if k in ("flash", "clean-up"))
    unit = "s" if timed else "update"
    axes = ('<line x1="%d" y1="10" x2="%d" y2="%d" stroke="#888"/>'
            '<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="#888"/>'
            % (left, left, height - bottom, left, height - bottom, width - 10, height - bottom))
    labels = ('<text x="%d" y="16" text-anchor="end">%.1f</text><text x="%d" y="%d" text-anchor="end">0</text>'
              '<text x="%d" y="%d" text-anchor="end">%s %s</text>'
              % (left - 4, top, left - 4, height - bottom, width - 10, height - 4,
                 ("%.1f" % span) if timed else span, unit))
    return ('<svg class="budget" xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
            'font-size="11" fill="#555">%s%s<polyline fill="none" stroke="#27c" stroke-width="1.5" points="%s"/>%s'
            '</svg>' % (width, height, axes, labels, " ".join("%.1f,%.1f" % p for p in path), marks))


def group_turns(updates):
    """Lists of updates, split where the time between two exceeds BURST_GAP."""
    groups = []
    previous = None
    for u in updates:
        if not groups or u["t"] is None or previous is None or u["t"] - previous > BURST_GAP:
            groups.append([])
        groups[-1].append(u)
        previous = u["t"]
    return groups


STYLE = """
body { font: 14px/1.4 sans-serif; margin: 24px; color: #222; background: #fafafa; }
h1 { font-size: 20px; margin: 0 0 4px; }
.sub { color: #666; margin-bottom: 16px; }
table.totals { border-collapse: collapse; margin-bottom: 20px; }
table.totals td { padding: 2px 14px 2px 0; }
table.totals td:first-child { color: #555; }
.timeline { display: flex; flex-wrap: wrap; gap: 14px; }
.entry { background: #fff; border: 1px solid #ddd; border-radius: 6px; padding: 8px; width: 214px; }
.entry.full { border-color: #d33; }
.entry.large { border-color: #e90; }
.entry img { display: block; border: 1px solid #ccc; image-rendering: pixelated; }
.entry .head { display: flex; justify-content: space-between; margin-bottom: 4px; }
.badge { display: inline-block; border-radius: 3px; padding: 0 5px; font-size: 12px; color: #fff; }
.badge.full { background: #d33; }
.badge.partial { background: #27c; }
.badge.large { background: #e90; }
.badge.clean-up { background: #96c; }
.badge.fast { background: #e80; }
.badge.turned { background: #2a8; }
.budget { display: block; background: #fff; border: 1px solid #ddd; margin-bottom: 20px; }
.entry .facts { font-size: 12px; color: #444; margin-top: 4px; }
.turn { font-size: 12px; color: #888; }
"""


def entry_html(u, kind, previous_t, snap_dir, first_of_turn, turn_no):
    index = u["index"]
    if "bad" in u:
        return ('<div class="entry" data-index="%d"><div class="head"><b>#%d</b></div>'
                '<div class="facts">unreadable log line: %s</div></div>'
                % (index, index, html.escape(u["bad"])))
    full = u["mode"] == 1
    rect = (u["x"], u["y"], u["w"], u["h"])
    wf = waveform_name(u["kind"], u["waveform"])
    picture = read_pgm(os.path.join(snap_dir, "update_%04d.pgm" % index))
    classes = ["entry", "full" if full else "partial"]
    badges = ['<span class="badge %s">%s</span>' % (("full", "full") if full else ("partial", "partial"))]
    if kind in ("clean-up", "fast"):
        badges.append('<span class="badge %s">%s</span>' % (kind, kind))
    share = None
    if picture:
        share = (u["w"] * u["h"]) / float(picture[0] * picture[1])
        if not full and share >= LARGE_SHARE:
            classes.append("large")
            badges.append('<span class="badge large">large</span>')
        tw, th, rgb = thumbnail(picture, rect, KIND_COLOUR[kind])
        img = '<img width="%d" height="%d" alt="panel after update %d" src="data:image/png;base64,%s">' % (
            tw, th, index, base64.b64encode(png(tw, th, rgb)).decode("ascii"))
    else:
        img = '<div class="facts">(no snapshot)</div>'
    if u["t"] is not None and previous_t is not None:
        gap = "+%.0f ms" % ((u["t"] - previous_t) * 1000)
    else:
        gap = "start" if index == 0 else "—"
    turned = ""
    if "turn" in u:
        degrees, who, window = u["turn"]
        turned = ' data-turn="%d"' % degrees
        badges.append('<span class="badge turned">turned %d°</span>' % degrees)
    turn = ""
    if first_of_turn:
        turn = '<span class="turn">%s</span>' % ("start-up" if turn_no == 0 else "burst %d" % turn_no)
    facts = "%s · (%d,%d) %d×%d" % (wf, u["x"], u["y"], u["w"], u["h"])
    if u["flags"] & FLAG_INVERT:
        facts += " · inverted"
    if share is not None:
        facts += " · %.1f%% of the panel" % (share * 100)
    return ('<div class="%s" data-index="%d" data-kind="%s" data-rect="%d,%d,%d,%d" data-waveform="%s" '
            'data-refresh="%s"%s><div class="head"><b>#%d</b> %s <span>%s</span></div>%s'
            '<div class="facts">%s<br>%s · marker %d</div></div>'
            % (" ".join(classes), index, "full" if full else "partial", u["x"], u["y"], u["w"], u["h"],
               wf, kind, turned, index, turn, gap, img, " ".join(badges), facts, u["marker"]))


def report(updates, snap_dir, title, program_log=None):
    good = [u for u in updates if "bad" not in u]
    fulls = [u for u in good if u["mode"] == 1]
    partials = [u for u in good if u["mode"] != 1]
    per_waveform = {}
    for u in good:
        name = waveform_name(u["kind"], u["waveform"])
        per_waveform[name] = per_waveform.get(name, 0) + 1
    size = panel_size(good, snap_dir)
    panel = size[0] * size[1]
    kinds = refresh_kinds(good, size)
    changes, first = parse_turns(program_log) if program_log else ([], None)
    mark_turns(updates, changes, first, size)
    flashes = sum(1 for n, k in enumerate(kinds) if k == "flash" and n > 0)
    page_turns = kinds.count("partial") + flashes
    fast_pixels = sum(u["w"] * u["h"] for u, k in zip(good, kinds) if k == "fast")
    points, timed = ghosting_budget(good, kinds, size)
    turns = group_turns(good)
    turn_pixels = [sum(u["w"] * u["h"] for u in t) for t in turns[1:]]
    total_pixels = sum(u["w"] * u["h"] for u in good)

    def share(n):
        return " (%.1f%% of the panel)" % (100.0 * n / panel) if panel else ""

    rows = [
        ("refreshes", "%d: %d full, %d partial" % (len(good), len(fulls), len(partials))),
        ("by kind", "flashes %d, clean-ups %d, fast %d, pages %d" % tuple(
            kinds.count(k) for k in ("flash", "clean-up", "fast", "partial"))),
        ("flashes per 100 page turns", ("%.1f" % (100.0 * flashes / page_turns) if page_turns else "—")
         + " (flashes of the whole panel after the start-up's: %d; page turns, the pages and those flashes: %d)"
         % (flashes, page_turns)),
        ("fast waveform", "%.1f%% of the pixels refreshed" % (100.0 * fast_pixels / total_pixels if total_pixels else 0)),
        ("clean-ups", "%d (full refreshes of what the fast ones refreshed, after them)" % kinds.count("clean-up")),
        ("ghosting budget", "at most %.2f panels of partial refreshes since the last full refresh of the whole panel"
         % max((p[1] for p in points), default=0)),
        ("waveforms", ", ".join("%s %d" % kv for kv in sorted(per_waveform.items())) or "—"),
        ("pixels refreshed", "%d%s" % (total_pixels, share(total_pixels))),
        ("bursts", "%d (updates less than %.0f ms apart count as one; the first is the start-up)"
         % (len(turn_pixels), BURST_GAP * 1000)),
    ]
    if turn_pixels:
        mean = sum(turn_pixels) / len(turn_pixels)
        rows.append(("pixels per burst", "mean %.0f%s, largest %d%s" % (
            mean, share(mean), max(turn_pixels), share(max(turn_pixels)))))
        rows.append(("refreshes per burst", "mean %.2f, most %d" % (
            sum(len(t) for t in turns[1:]) / len(turn_pixels), max(len(t) for t in turns[1:]))))
    if program_log:
        rows.append(("orientation changes", "%d%s" % (len(changes), "".join(
            "; %d° (%s), window %s" % c[:3] for c in changes))))
    flagged = len(fulls) + sum(1 for u in partials if panel and u["w"] * u["h"] >= LARGE_SHARE * panel)
    rows.append(("marked", "%d (full refreshes flash; partial ones over %.0f%% of the panel are large)"
                 % (flagged, LARGE_SHARE * 100)))

    first_ids = {id(t[0]): n for n, t in enumerate(turns)}
    kind_of = {id(u): k for u, k in zip(good, kinds)}
    entries = []
    previous_t = None
    for u in updates:
        entries.append(entry_html(u, kind_of.get(id(u)), previous_t, snap_dir, id(u) in first_ids,
                                  first_ids.get(id(u), 0)))
        if "bad" not in u:
            previous_t = u["t"]
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "%s<title>%s</title><style>%s</style></head><body>\n<h1>%s</h1>"
            "<div class=\"sub\">One entry per accepted EPDC update, in order; the rectangle is what was refreshed.</div>\n"
            "<table class=\"totals\">%s</table>\n<div class=\"sub\">Ghosting budget: panels of partial refreshes "
            "since the last full refresh of the whole panel, after each update; flashes marked red, clean-ups purple."
            "</div>\n%s\n"
            "<div class=\"timeline\">\n%s\n</div>\n</body></html>\n"
            % (GENERATOR, html.escape(title), STYLE, html.escape(title),
               "".join("<tr><td>%s</td><td>%s</td></tr>" % (k, html.escape(v)) for k, v in rows),
               budget_plot(points, timed), "\n".join(entries)))


def replaceable(path):
    if not os.path.lexists(path):
        return True
    try:
        with open(path, "rb") as f:
            return GENERATOR.encode() in f.read(512)
    except OSError:
        return False


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--log", required=True, help="the EPDC log (FOLIAN_SIM_EPDC_LOG)")
    ap.add_argument("--snaps", required=True, help="the snapshot directory (FOLIAN_SIM_EPDC_SNAP_DIR)")
    ap.add_argument("--program-log", help="the program's log, for its orientation changes")
    ap.add_argument("-o", "--output", default="report.html")
    ap.add_argument("--title", default="Refresh report")
    args = ap.parse_args(argv)
    if not replaceable(args.output):
        print("refresh_report.py: %s exists and is not an earlier refresh report; it is left as it is"
              % args.output, file=sys.stderr)
        return 2
    updates = parse_log(args.log)
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(report(updates, args.snaps, args.title, args.program_log))
    print("%s: %d refreshes" % (args.output, len(updates)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
