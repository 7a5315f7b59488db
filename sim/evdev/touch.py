#!/usr/bin/env python3
"""Touches a stand-in touch screen: writes what the hardware would report
into the node's FIFO, for the program that holds it open.

    sim/evdev/touch.py NODE tap X Y [--arm]

NODE is the FIFO (for scripts/standin-reader.sh: STATE/input/dev/event0);
X and Y are in the screen's axis units (0 to 4095 across the panel for the
stand-in reader's screen).  A tap is one finger down at X,Y in slot 0 and
lifted again.  The records are laid out as this machine's kernel lays out
struct input_event; --arm lays them out as 32-bit ARM's (16 bytes), for a
program run under qemu-arm.
"""
import argparse
import errno
import os
import struct
import sys

EV_SYN, EV_ABS = 0, 3
SYN_REPORT = 0
ABS_MT_SLOT, ABS_MT_POSITION_X, ABS_MT_POSITION_Y, ABS_MT_TRACKING_ID = 47, 53, 54, 57


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("node")
    ap.add_argument("gesture", choices=["tap"])
    ap.add_argument("x", type=int)
    ap.add_argument("y", type=int)
    ap.add_argument("--arm", action="store_true")
    args = ap.parse_args()
    # struct input_event: a struct timeval (two longs), u16 type, u16 code, s32 value.
    event = struct.Struct("<llHHi" if args.arm else "@llHHi")

    def record(type_, code, value):
        return event.pack(0, 0, type_, code, value)

    data = (record(EV_ABS, ABS_MT_SLOT, 0) + record(EV_ABS, ABS_MT_TRACKING_ID, 1) +
            record(EV_ABS, ABS_MT_POSITION_X, args.x) + record(EV_ABS, ABS_MT_POSITION_Y, args.y) +
            record(EV_SYN, SYN_REPORT, 0) +
            record(EV_ABS, ABS_MT_TRACKING_ID, -1) + record(EV_SYN, SYN_REPORT, 0))
    try:
        fd = os.open(args.node, os.O_WRONLY | os.O_NONBLOCK)
    except OSError as e:
        why = "nothing holds the node open: is the program running?" if e.errno == errno.ENXIO \
            else e.strerror
        sys.exit("touch.py: %s: %s" % (args.node, why))
    try:
        os.write(fd, data)
    finally:
        os.close(fd)


if __name__ == "__main__":
    main()
