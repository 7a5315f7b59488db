#!/usr/bin/env python3
"""Converts 8-bit PGM (P5) frames to PNG files beside them, or into a given
directory, with nothing but the standard library.

    scripts/pgm_to_png.py demo-out/frames/*.pgm [--out demo-out/png]
"""

import os
import re
import struct
import sys
import zlib


def read_pgm(path):
    with open(path, "rb") as f:
        data = f.read()
    m = re.match(rb"P5\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
    if not m or m.group(3) != b"255":
        raise ValueError("%s: not an 8-bit P5 file" % path)
    w, h = int(m.group(1)), int(m.group(2))
    pixels = data[m.end():m.end() + w * h]
    if len(pixels) != w * h:
        raise ValueError("%s: %d bytes of pixels, expected %d" % (path, len(pixels), w * h))
    return w, h, pixels


def chunk(kind, body):
    return (struct.pack(">I", len(body)) + kind + body +
            struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))


def write_png(path, w, h, pixels):
    rows = b"".join(b"\x00" + pixels[y * w:(y + 1) * w] for y in range(h))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 0, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(rows, 6)))
        f.write(chunk(b"IEND", b""))


def main(argv):
    out = None
    if "--out" in argv:
        i = argv.index("--out")
        out = argv[i + 1]
        argv = argv[:i] + argv[i + 2:]
        os.makedirs(out, exist_ok=True)
    if not argv:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    for src in argv:
        w, h, pixels = read_pgm(src)
        name = os.path.splitext(os.path.basename(src))[0] + ".png"
        dst = os.path.join(out or os.path.dirname(src), name)
        write_png(dst, w, h, pixels)
        print(dst)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
