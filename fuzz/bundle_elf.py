#!/usr/bin/env python3
"""Feeds scripts/folian-bundle random, damaged and cut-short ELF files for a
bounded time, as the engine and the application of a check.  Every input
must end in the tool's findings, each problem one line; any exception is a
fault: the input is kept and the run fails.

    fuzz/bundle_elf.py [--seconds 30] [--artifacts DIR] [SEED ...]

Seeds default to the ARM runtime libraries in build/sysroot-bullseye-armhf
and whatever folian builds are under build/.
"""

import argparse
import contextlib
import glob
import importlib.machinery
import importlib.util
import io
import os
import random
import struct
import sys
import tempfile
import time
import traceback

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
TOOL = os.path.join(ROOT, "scripts", "folian-bundle")
INTERESTING = [0, 1, 0x7F, 0x80, 0xFF, 0xFFFF, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF]


def load_tool():
    loader = importlib.machinery.SourceFileLoader("folian_bundle", TOOL)
    tool = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(tool)
    return tool


def default_seeds():
    runtime = os.path.join(ROOT, "build", "sysroot-bullseye-armhf", "usr", "arm-linux-gnueabihf",
                           "lib")
    names = ["ld-linux-armhf.so.3", "libc.so.6", "libgcc_s.so.1", "libstdc++.so.6", "libdl.so.2"]
    seeds = [os.path.join(runtime, n) for n in names]
    seeds += glob.glob(os.path.join(ROOT, "build", "*", "folian"))
    seeds += glob.glob(os.path.join(ROOT, "build", "*", "lib", "libflutter_engine.so"))
    return [s for s in seeds if os.path.isfile(s)]


def structure(tool, data):
    """Offsets worth damaging: the headers, and each table the reader follows."""
    spots = [(0, min(len(data), 64))]
    try:
        path = write_temp(data)
        try:
            elf = tool.Elf(path)
        finally:
            os.unlink(path)
    except tool.ElfError:
        return spots
    kinds = {tool.SHT_DYNAMIC, tool.SHT_DYNSYM, tool.SHT_GNU_VERNEED, tool.SHT_GNU_VERDEF}
    spots += [(s[2], min(s[3], 4096)) for s in elf.sections if s[1] in kinds and s[3]]
    return spots


def write_temp(data):
    fd, path = tempfile.mkstemp(prefix="bundle-elf-fuzz-")
    with os.fdopen(fd, "wb") as f:
        f.write(data)
    return path


def mutate(rng, seed, spots):
    data = bytearray(seed)
    kind = rng.randrange(5)
    if kind == 0:  # cut short
        return bytes(data[:rng.randrange(len(data) + 1)])
    if kind == 1:  # noise behind a valid identification
        return bytes(data[:16]) + rng.randbytes(rng.randrange(4096))
    for _ in range(rng.randrange(1, 9)):
        start, length = rng.choice(spots)
        at = start + rng.randrange(max(length, 1))
        if at + 4 > len(data):
            continue
        if kind == 2:
            data[at] ^= 1 << rng.randrange(8)
        else:  # a field set to a value that breaks bounds
            value = rng.choice(INTERESTING + [len(data), rng.randrange(1 << 32)])
            data[at:at + 4] = struct.pack("<I", value)
    if kind == 4 and rng.random() < 0.5:
        del data[rng.randrange(len(data) + 1):]
    return bytes(data)


def check(tool, path):
    """Checks the file as folian, engine and application; each problem must be one line."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = tool.main(["--check", "--folian", path, "--engine", path, "--app", path])
    lines = err.getvalue().splitlines()
    problems = int(lines[-1].split()[0]) if status else 0
    if len(lines) != (problems + 1 if status else 0):
        raise AssertionError("a problem told on more than one line:\n" + err.getvalue())


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=30)
    ap.add_argument("--artifacts", default=os.path.join(ROOT, "build", "fuzz", "bundle_elf"))
    ap.add_argument("seeds", nargs="*")
    args = ap.parse_args()
    tool = load_tool()
    seeds = []
    for path in args.seeds or default_seeds():
        with open(path, "rb") as f:
            data = f.read()
        seeds.append((data, structure(tool, data)))
    if not seeds:
        sys.exit("no seed ELF files (run scripts/sysroot.sh, or name some)")
    rng = random.Random(int(time.time()))
    runs, end = 0, time.monotonic() + args.seconds
    while time.monotonic() < end:
        data = mutate(rng, *rng.choice(seeds))
        path = write_temp(data)
        try:
            check(tool, path)
        except Exception:
            os.makedirs(args.artifacts, exist_ok=True)
            kept = os.path.join(args.artifacts, "crash-%d" % runs)
            os.replace(path, kept)
            traceback.print_exc()
            print("fault after %d runs; input kept in %s" % (runs, kept), file=sys.stderr)
            return 1
        os.unlink(path)
        runs += 1
    print("bundle ELF reader: %d inputs in %.0f s, no fault" % (runs, args.seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
