"""End-to-end harness: the real folian executable against the stand-in engine
and devices.  Environment (set by CMake): FOLIAN_BUILD_DIR, FOLIAN_RUNNER
(qemu-arm), FOLIAN_SANITIZE; FOLIAN_E2E_KEEP=1 keeps the temporary directories."""

import os
import re
import shlex
import shutil
import signal
import struct
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.parse

BUILD_DIR = os.environ.get("FOLIAN_BUILD_DIR", "")
RUNNER = shlex.split(os.environ.get("FOLIAN_RUNNER", ""))
SANITIZE = os.environ.get("FOLIAN_SANITIZE", "")
SLOW = 4 if RUNNER else (3 if SANITIZE else 1)
KEEP = os.environ.get("FOLIAN_E2E_KEEP") == "1"

# The program under test is 32-bit ARM when it runs through qemu.
ARM = bool(RUNNER)

# The Flutter release the stand-in engine plays in this run: ctest runs the
# roads once per older release (FOLIAN_E2E_RELEASE), each engine ahead of
# time with its own release's app; the default one is the engine in lib/
# beside the executable.
DEFAULT_RELEASE = "3.44"
RELEASE = os.environ.get("FOLIAN_E2E_RELEASE") or DEFAULT_RELEASE


def has(since):
    """Whether the release under test has what came with release `since`."""
    return [int(n) for n in RELEASE.split(".")] >= [int(n) for n in since.split(".")]


# FOLIAN_PIXELS for every program of the run (ctest runs the roads once more
# with "bgra"); whether the engine draws 8-bit panels' frames in gray.
PIXELS = os.environ.get("FOLIAN_E2E_PIXELS", "")
GRAY_FRAMES = has("3.7") and PIXELS != "bgra"


def luma(r, g, b):
    """The gray a colour becomes on an 8-bit panel: the engine's BT.709 in
    gray frames, the program's 77/150/29 of 256 in BGRA ones."""
    if GRAY_FRAMES:
        return int(0.2126 * r + 0.7152 * g + 0.0722 * b + 0.5)
    return (29 * b + 150 * g + 77 * r) >> 8


def stand_in_engine(release=RELEASE):
    if release == DEFAULT_RELEASE:
        return os.path.join(BUILD_DIR, "lib", "libflutter_engine.so")
    return os.path.join(BUILD_DIR, "sim", "engines", release, "libflutter_engine.so")


def stand_in_app(release=RELEASE):
    """The stand-in app (libapp.so) made for that release's engine."""
    if release == DEFAULT_RELEASE:
        return os.path.join(BUILD_DIR, "sim", "app", "libapp.so")
    return os.path.join(BUILD_DIR, "sim", "engines", release, "libapp.so")


def snapshot_header(libapp):
    """The snapshot hash and features in a stand-in app's header."""
    with open(libapp, "rb") as f:
        m = re.search(rb"\xf5\xf5\xdc\xdc.{16}([0-9a-f]{32})([^\0]*)\0", f.read(), re.S)
    return m.group(1).decode(), m.group(2).decode()


class Bundle:
    """app: text of the stand-in's script (None: one white page); assets, icu,
    kernel, libapp False leave that part out; libapp names the release whose stand-in
    app it is (default: the one under test) or gives the file's bytes;
    with_executable puts the executable and the engine library in the bundle,
    as on the device."""

    def __init__(self, app=None, assets=True, icu=True, kernel=True, libapp=RELEASE,
                 with_executable=False):
        self.path = tempfile.mkdtemp(prefix="folian-bundle-")
        self.assets = os.path.join(self.path, "data", "flutter_assets")
        self.icu = os.path.join(self.path, "data", "icudtl.dat")
        self.libapp = os.path.join(self.path, "lib", "libapp.so")
        os.makedirs(os.path.join(self.path, "lib"))
        os.makedirs(self.assets if assets else os.path.dirname(self.icu))
        files = {os.path.join(self.assets, "kernel_blob.bin"): b"kernel stand-in\n" if assets and kernel else None,
                 os.path.join(self.assets, "folian_app.txt"): app.encode() if assets and app else None,
                 self.icu: b"icu data stand-in\n" if icu else None,
                 self.libapp: libapp if isinstance(libapp, bytes) else None}
        for path, data in files.items():
            if data is not None:
                with open(path, "wb") as f:
                    f.write(data)
        if isinstance(libapp, str):
            shutil.copyfile(stand_in_app(libapp), self.libapp)
        self.executable = None
        if with_executable:
            self.executable = os.path.join(self.path, "folian")
            shutil.copy2(executable(), self.executable)
            os.symlink(os.path.join(BUILD_DIR, "lib", "libflutter_engine.so"),
                       os.path.join(self.path, "lib", "libflutter_engine.so"))

    def cleanup(self):
        if not KEEP:
            shutil.rmtree(self.path, ignore_errors=True)


def sanitizer_env():
    env = {}
    if "address" in SANITIZE:
        # Stand-ins in LD_PRELOAD come before the sanitizer runtime; the
        # program keeps process-long memory on purpose.
        env["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0:abort_on_error=0"
    if "undefined" in SANITIZE:
        env["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1"
    if "thread" in SANITIZE:
        env["TSAN_OPTIONS"] = "halt_on_error=0:second_deadlock_stack=1"
    return env


SANITIZER_REPORT = re.compile(r"(Address|Thread|UndefinedBehavior|Leak)Sanitizer|runtime error:")


def executable():
    return os.path.join(BUILD_DIR, "folian")


class Folian:
    """One running folian process: clean environment plus env, a fresh trace,
    LD_PRELOAD stand-ins by name; standard error read live.  With tool: that
    host command instead, one that runs folian itself, its whole output read."""

    def __init__(self, bundle=None, args=None, env=None, preload=(), ld_library_path=(),
                 trace=True, exe=None, tool=None, cwd=None):
        self.workdir = tempfile.mkdtemp(prefix="folian-run-")
        self.trace_path = os.path.join(self.workdir, "trace.txt") if trace else None
        exe = exe or (bundle.executable if bundle and bundle.executable else executable())
        if args is None:
            args = ["--bundle", bundle.path] if bundle else []
        full_env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin")}
        if RELEASE != DEFAULT_RELEASE:
            full_env.update(FOLIAN_ENGINE=stand_in_engine(), FOLIAN_SIM_AOT="1")
        if PIXELS:
            full_env["FOLIAN_PIXELS"] = PIXELS
        if self.trace_path:
            full_env["FOLIAN_SIM_TRACE"] = self.trace_path
        full_env.update(sanitizer_env())
        full_env.update(env or {})
        guest = {}
        if preload:
            # By name, found through the library path: the loader splits
            # LD_PRELOAD at blanks, and the checkout's path may hold some.
            guest["LD_PRELOAD"] = ":".join("lib%s.so" % n for n in preload)
            ld_library_path = list(ld_library_path) + [os.path.join(BUILD_DIR, "sim")]
        if ld_library_path:
            guest["LD_LIBRARY_PATH"] = ":".join(ld_library_path)
        cmd = list(RUNNER)
        if RUNNER:
            # The host's loader must not see the guest's preloads.
            for k, v in guest.items():
                cmd += ["-E", "%s=%s" % (k, v)]
        else:
            full_env.update(guest)
        cmd = tool or cmd + [exe] + list(args)
        self._out = subprocess.PIPE if tool else open(os.path.join(self.workdir, "stdout.txt"), "wb")
        self._lines = []
        self._cond = threading.Condition()
        self._eof = False
        self.returncode = None
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=self._out,
                                     stderr=subprocess.STDOUT if tool else subprocess.PIPE,
                                     env=full_env, start_new_session=True, cwd=cwd)
        self._pipe = self.proc.stdout if tool else self.proc.stderr
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in iter(self._pipe.readline, b""):
            with self._cond:
                self._lines.append(raw)
                self._cond.notify_all()
        with self._cond:
            self._eof = True
            self._cond.notify_all()

    def stderr_bytes(self):
        with self._cond:
            return b"".join(self._lines)

    def lines(self):
        with self._cond:
            return [l.decode("utf-8", "replace").rstrip("\n") for l in self._lines]

    def wait_line(self, pattern, timeout=5.0, start=0):
        rx = re.compile(pattern)
        deadline = time.monotonic() + timeout * SLOW
        with self._cond:
            while True:
                for raw in self._lines[start:]:
                    m = rx.search(raw.decode("utf-8", "replace"))
                    if m:
                        return m
                start = max(start, len(self._lines))
                left = deadline - time.monotonic()
                if self._eof or left <= 0:
                    raise AssertionError("no stderr line matching %r (%s); stderr:\n%s" % (
                        pattern, "process ended" if self._eof else "timeout",
                        b"".join(self._lines).decode("utf-8", "replace")))
                self._cond.wait(left)

    def signal(self, sig):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)

    def alive(self):
        return self.proc.poll() is None

    def wait(self, timeout=5.0):
        try:
            self.returncode = self.proc.wait(timeout * SLOW)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("folian did not exit within %.1f s; stderr:\n%s" % (
                timeout * SLOW, self.stderr_bytes().decode("utf-8", "replace")))
        self._reader.join(5)
        if any(SANITIZER_REPORT.search(l) for l in self.lines()):
            raise AssertionError("sanitizer report:\n" + "\n".join(self.lines()))
        return self.returncode

    def kill(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait()

    def trace(self):
        return parse_trace(self.trace_path) if self.trace_path else []

    def wait_event(self, name, timeout=5.0, match=None, count=1):
        deadline = time.monotonic() + timeout * SLOW
        while True:
            found = [e for e in events(self.trace(), name) if match is None or match(e)]
            if len(found) >= count:
                return found[count - 1]
            if time.monotonic() > deadline or not self.alive():
                raise AssertionError("no %r event in the trace (%s); stderr:\n%s" % (
                    name, "process ended" if not self.alive() else "timeout",
                    self.stderr_bytes().decode("utf-8", "replace")))
            time.sleep(0.02)

    def cleanup(self):
        self.kill()
        self._reader.join(5)
        self._pipe.close()
        if self._out != subprocess.PIPE:
            self._out.close()
        if not KEEP:
            shutil.rmtree(self.workdir, ignore_errors=True)


class E2ETestCase(unittest.TestCase):
    def bundle(self, *args, **kwargs):
        b = Bundle(*args, **kwargs)
        self.addCleanup(b.cleanup)
        return b

    def start(self, bundle=None, **kwargs):
        f = Folian(bundle, **kwargs)
        self.addCleanup(f.cleanup)
        return f

    def run_to_end(self, bundle=None, timeout=5.0, **kwargs):
        f = self.start(bundle, **kwargs)
        f.wait(timeout)
        return f


def parse_trace(path):
    """One dict per line: t (ns), thread, event, then the line's fields."""
    out = []
    try:
        with open(path, "rb") as f:
            data = f.read().decode("utf-8", "replace")
    except FileNotFoundError:
        return out
    for line in data.splitlines():
        parts = line.split(" ")
        if len(parts) < 3:
            continue
        ev = {"t": int(parts[0]), "thread": parts[1], "event": parts[2]}
        for p in parts[3:]:
            k, _, v = p.partition("=")
            ev[k] = urllib.parse.unquote(v, errors="surrogateescape")
        out.append(ev)
    return out


def events(trace, name):
    return [e for e in trace if e["event"] == name]


def first(trace, name):
    found = events(trace, name)
    if not found:
        raise AssertionError("no %r event in the trace (%d events)" % (name, len(trace)))
    return found[0]


def payload(ev):
    return bytes.fromhex(ev.get("hex", ""))


def assert_no_violation(trace):
    bad = [e for e in trace if e["event"] == "violation"]
    if bad:
        raise AssertionError("contract violations:\n" + "\n".join(e.get("text", "") for e in bad))


def encode(value):
    """The standard message codec for the values the tests send and expect:
    null, booleans, 32-bit integers, strings, lists and maps."""
    if value is None or isinstance(value, bool):
        return bytes([{None: 0, True: 1, False: 2}[value]])
    if isinstance(value, int):
        return b"\x03" + struct.pack("<i", value)
    if isinstance(value, str):
        value = value.encode()
        return b"\x07" + bytes([len(value)]) + value
    items = list(value.items()) if isinstance(value, dict) else [(v,) for v in value]
    return bytes([13 if isinstance(value, dict) else 12, len(items)]) + b"".join(
        encode(v) for item in items for v in item)


def ok_reply(value):
    return b"\x00" + encode(value)


def say(fifo, text):
    """Writes to the control FIFO as one writer that comes and goes."""
    fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
    os.write(fd, text.encode())
    os.close(fd)


def cpu_seconds(pid):
    """User plus system time of the main thread so far."""
    with open("/proc/%d/task/%d/stat" % (pid, pid)) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def read_pgm(path):
    """(width, height, pixels) of an 8-bit PGM picture."""
    with open(path, "rb") as f:
        m = re.match(rb"P5\s+(\d+)\s+(\d+)\s+255\s", f.read())
        w, h = int(m.group(1)), int(m.group(2))
        return w, h, m.string[m.end():m.end() + w * h]
