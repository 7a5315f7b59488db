"""Stand-in evdev nodes (FIFOs under the directory libsim_evdev.so shows as
/dev/input) and struct input_event records packed for the program's target."""

import os
import struct
import tempfile
import time

from folian_e2e import ARM, KEEP

# struct input_event: struct timeval (two longs), u16 type, u16 code, s32 value.
EVENT = struct.Struct("<llHHi" if ARM else "<qqHHi")

EV_SYN, EV_KEY, EV_ABS = 0, 1, 3
SYN_REPORT = 0
ABS_MT_SLOT, ABS_MT_POSITION_X, ABS_MT_POSITION_Y, ABS_MT_TRACKING_ID = 47, 53, 54, 57


def record(type_, code, value):
    return EVENT.pack(0, 0, type_, code, value)


def key_records(*codes_values):  # one report each
    return b"".join(record(EV_KEY, code, value) + record(EV_SYN, SYN_REPORT, 0)
                    for code, value in codes_values)


def touch_records(slot, tracking_id, x=None, y=None):
    out = record(EV_ABS, ABS_MT_SLOT, slot) + record(EV_ABS, ABS_MT_TRACKING_ID, tracking_id)
    if x is not None:
        out += record(EV_ABS, ABS_MT_POSITION_X, x) + record(EV_ABS, ABS_MT_POSITION_Y, y)
    return out + record(EV_SYN, SYN_REPORT, 0)


MT_SCREEN = ("name e2e touch\ntypes 0,1,3\nabs 47,53,54,57\nkeys 330\n"
             "absinfo 53 0 0 4095\nabsinfo 54 0 0 4095\nabsinfo 47 0 0 9\n")
PAGE_KEYS = "name e2e keys\ntypes 0,1\nkeys 104,109\n"


class Nodes:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="folian-evdev-")
        os.makedirs(os.path.join(self.root, "dev"))
        os.makedirs(os.path.join(self.root, "conf"))
        self.writers = {}

    def env(self):
        return {"FOLIAN_SIM_EVDEV_DIR": self.root}

    def add(self, entry, conf):
        os.mkfifo(os.path.join(self.root, "dev", entry), 0o600)
        with open(os.path.join(self.root, "conf", entry), "w") as f:
            f.write(conf)

    def send(self, entry, data):
        """Writes to a node the program holds open; returns the monotonic time before."""
        fd = self.writers.get(entry)
        if fd is None:
            fd = os.open(os.path.join(self.root, "dev", entry), os.O_WRONLY | os.O_NONBLOCK)
            self.writers[entry] = fd
        t = time.monotonic_ns()
        os.write(fd, data)
        return t

    def log(self):
        try:
            with open(os.path.join(self.root, "evdev.log")) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def cleanup(self):
        for fd in self.writers.values():
            os.close(fd)
        self.writers = {}
        if not KEEP:
            import shutil
            shutil.rmtree(self.root, ignore_errors=True)
