"""End-to-end harness: run the real folian executable against the stand-in engine.

Typical use in a test file registered with folian_e2e_test(name file.py):

    import unittest
    from folian_e2e import Bundle, Folian, E2ETestCase

    class StartUp(E2ETestCase):
        def test_engine_starts(self):
            bundle = self.bundle(app="fill gray 0\\npresent\\n")
            app = self.start(bundle, env={"FOLIAN_FB_FILE": ""})
            app.wait_line(r"引擎已启动")
            app.signal(signal.SIGTERM)
            self.assertEqual(app.wait(), 0)
            trace = app.trace()
            assert_no_violation(trace)
            self.assertEqual(events(trace, "present")[0]["rows"], "1648")

Pieces:
- Bundle: a temporary bundle directory (data/flutter_assets with the kernel
  kernel_blob.bin that a JIT engine wants and an optional folian_app.txt
  script, data/icudtl.dat, lib/libapp.so starting with the ELF magic), each
  part optional; `with_executable=True` also copies the
  executable into it, with lib/libflutter_engine.so linked, as on the device.
- Folian: one running process.  Started with a clean environment (PATH and
  the given variables only; FOLIAN_SIM_TRACE points at a fresh file), optional
  LD_PRELOAD stand-ins by name (FOLIAN_BUILD_DIR/sim/lib<name>.so), extra
  LD_LIBRARY_PATH directories, and through FOLIAN_RUNNER (qemu-arm) when set,
  in which case LD_PRELOAD and LD_LIBRARY_PATH reach the guest through "-E".
  Standard error is read live: wait_line(), lines(), stderr_bytes().
  signal(), wait() (kills and fails on timeout; also fails on sanitizer
  reports), trace(), wait_event() (polls the trace).
- Trace: parse_trace() gives one dict per line, with "t" (ns), "thread",
  "event" and the line's key=value fields (values decoded, as strings);
  events(), first(), payload(), assert_no_violation().
- Standard message codec replies: decode_envelope().
- ARM, SIZES: whether the program is the 32-bit ARM build, and the sizeof
  of each engine record there (for struct_size fields in the trace).
- SLOW: the factor by which timeouts grow under qemu and the sanitizers.

Environment (set by CMake): FOLIAN_BUILD_DIR, FOLIAN_RUNNER, FOLIAN_SANITIZE.
FOLIAN_E2E_KEEP=1 keeps the temporary directories for a look afterwards.
"""

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

ELF_MAGIC = b"\x7fELF"

# The program under test is 32-bit ARM when it runs through qemu.
ARM = bool(RUNNER)
# sizeof of the engine records on the target, as the trace reports them.
SIZES = {
    "FlutterSoftwareRendererConfig": 8 if ARM else 16,
    "FlutterCustomTaskRunners": 20 if ARM else 40,
    "FlutterTaskRunnerDescription": 24 if ARM else 48,
    "FlutterProjectArgs": 176 if ARM else 320,
    "FlutterEngineDisplay": 48 if ARM else 56,
    "FlutterWindowMetricsEvent": 104 if ARM else 136,
    "FlutterLocale": 20 if ARM else 40,
    "FlutterPlatformMessage": 20 if ARM else 40,
    "FlutterPointerEvent": 136 if ARM else 144,
    "FlutterKeyEvent": 56,
}


def _tempdir(prefix):
    return tempfile.mkdtemp(prefix=prefix)


class Bundle:
    """A bundle directory in a temporary place.

    app: text of data/flutter_assets/folian_app.txt (None: no script, the
    stand-in then shows one white page and idles).  The stand-in draws on a
    transparent background: a script wanting white starts with "fill gray 255".
    assets/icu/libapp False leave out data/flutter_assets, data/icudtl.dat,
    lib/libapp.so.
    with_executable: copy the executable into the bundle and link the engine
    into its lib/, so that the program finds both through its own location.
    """

    def __init__(self, app=None, assets=True, icu=True, libapp=True, with_executable=False):
        self.path = _tempdir("folian-bundle-")
        self.assets = os.path.join(self.path, "data", "flutter_assets")
        self.icu = os.path.join(self.path, "data", "icudtl.dat")
        self.libapp = os.path.join(self.path, "lib", "libapp.so")
        os.makedirs(os.path.join(self.path, "data"))
        os.makedirs(os.path.join(self.path, "lib"))
        if assets:
            os.makedirs(self.assets)
            with open(os.path.join(self.assets, "kernel_blob.bin"), "wb") as f:
                f.write(b"kernel stand-in\n")
            if app is not None:
                self.write_app(app)
        if icu:
            with open(self.icu, "wb") as f:
                f.write(b"icu data stand-in\n")
        if libapp:
            with open(self.libapp, "wb") as f:
                f.write(ELF_MAGIC + b"\x01\x01\x01" + bytes(57))
        self.executable = None
        if with_executable:
            self.executable = os.path.join(self.path, "folian")
            shutil.copy2(executable(), self.executable)
            os.symlink(os.path.join(BUILD_DIR, "lib", "libflutter_engine.so"),
                       os.path.join(self.path, "lib", "libflutter_engine.so"))

    def write_app(self, text):
        with open(os.path.join(self.assets, "folian_app.txt"), "w") as f:
            f.write(text)

    def cleanup(self):
        if not KEEP:
            shutil.rmtree(self.path, ignore_errors=True)


def sanitizer_env():
    """The sanitizer runtime's options for the instrumented program."""
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


def sim_library(name):
    """Path of the LD_PRELOAD stand-in lib<name>.so in the build's sim/ directory."""
    return os.path.join(BUILD_DIR, "sim", "lib%s.so" % name)


class Folian:
    """One running folian process.

    bundle: a Bundle (its path goes after --bundle unless args is given).
    args: the argument list after the program name (replaces --bundle PATH).
    env: extra environment variables (FOLIAN_* and anything else).
    preload: names of stand-ins to LD_PRELOAD; ld_library_path: extra dirs.
    trace: False to run without FOLIAN_SIM_TRACE.
    exe: the executable to run (default: the build's, or the bundle's copy).
    """

    def __init__(self, bundle=None, args=None, env=None, preload=(), ld_library_path=(),
                 trace=True, exe=None, cwd=None):
        self.workdir = _tempdir("folian-run-")
        self.trace_path = os.path.join(self.workdir, "trace.txt") if trace else None
        exe = exe or (bundle.executable if bundle and bundle.executable else executable())
        if args is None:
            args = ["--bundle", bundle.path] if bundle else []
        full_env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin")}
        if self.trace_path:
            full_env["FOLIAN_SIM_TRACE"] = self.trace_path
        full_env.update(sanitizer_env())
        full_env.update(env or {})
        guest = {}
        if preload:
            guest["LD_PRELOAD"] = ":".join(sim_library(n) for n in preload)
        if ld_library_path:
            guest["LD_LIBRARY_PATH"] = ":".join(ld_library_path)
        cmd = list(RUNNER)
        if RUNNER:
            # The host's loader must not see the guest's preloads.
            for k, v in guest.items():
                cmd += ["-E", "%s=%s" % (k, v)]
        else:
            full_env.update(guest)
        cmd += [exe] + list(args)
        self.cmd = cmd
        self._out = open(os.path.join(self.workdir, "stdout.txt"), "wb")
        self._lines = []
        self._cond = threading.Condition()
        self._eof = False
        self.returncode = None
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=self._out,
                                     stderr=subprocess.PIPE, env=full_env, cwd=cwd,
                                     start_new_session=True)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in iter(self.proc.stderr.readline, b""):
            with self._cond:
                self._lines.append(raw)
                self._cond.notify_all()
        with self._cond:
            self._eof = True
            self._cond.notify_all()

    # ---- standard error

    def stderr_bytes(self):
        with self._cond:
            return b"".join(self._lines)

    def lines(self):
        """Standard error so far, decoded, without line ends."""
        with self._cond:
            return [l.decode("utf-8", "replace").rstrip("\n") for l in self._lines]

    def wait_line(self, pattern, timeout=5.0, start=0):
        """Wait for a stderr line (from index `start` on) matching the regex;
        returns the match.  Fails the test on timeout or end of output."""
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

    # ---- process

    def signal(self, sig):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)

    def alive(self):
        return self.proc.poll() is None

    def wait(self, timeout=5.0, check_sanitizers=True):
        """Wait for the exit and return the status (negative: killed by that
        signal).  On timeout the process is killed and the test fails."""
        try:
            self.returncode = self.proc.wait(timeout * SLOW)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("folian did not exit within %.1f s; stderr:\n%s" % (
                timeout * SLOW, self.stderr_bytes().decode("utf-8", "replace")))
        self._reader.join(5)
        if check_sanitizers:
            report = [l for l in self.lines() if SANITIZER_REPORT.search(l)]
            if report:
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
        """Wait until the trace has `count` events `name` (for which match(ev)
        is true, when given) and return the last of them; fails on timeout or
        exit."""
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
        self.proc.stderr.close()
        self._out.close()
        if not KEEP:
            shutil.rmtree(self.workdir, ignore_errors=True)


class E2ETestCase(unittest.TestCase):
    """TestCase with bundle() and start() that clean up after the test."""

    def bundle(self, *args, **kwargs):
        b = Bundle(*args, **kwargs)
        self.addCleanup(b.cleanup)
        return b

    def start(self, bundle=None, **kwargs):
        f = Folian(bundle, **kwargs)
        self.addCleanup(f.cleanup)
        return f

    def run_to_end(self, bundle=None, timeout=5.0, **kwargs):
        """Start, wait for the exit; returns the Folian (returncode set)."""
        f = self.start(bundle, **kwargs)
        f.wait(timeout)
        return f


# ---- trace

def parse_trace(path):
    """The trace as a list of dicts: t (int ns), thread, event, then fields."""
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
    """The bytes of an event's hex field."""
    return bytes.fromhex(ev.get("hex", ""))


def assert_no_violation(trace):
    bad = [e for e in trace if e["event"] == "violation"]
    if bad:
        raise AssertionError("contract violations:\n" + "\n".join(e.get("text", "") for e in bad))


# ---- standard message codec (replies only)

class _Reader:
    def __init__(self, data):
        self.d, self.i = bytes(data), 0

    def take(self, n):
        if self.i + n > len(self.d):
            raise ValueError("truncated at %d" % self.i)
        b = self.d[self.i:self.i + n]
        self.i += n
        return b

    def size(self):
        n = self.take(1)[0]
        if n == 254:
            return struct.unpack("<H", self.take(2))[0]
        if n == 255:
            return struct.unpack("<I", self.take(4))[0]
        return n

    def value(self):
        t = self.take(1)[0]
        if t == 0:
            return None
        if t in (1, 2):
            return t == 1
        if t == 3:
            return struct.unpack("<i", self.take(4))[0]
        if t == 4:
            return struct.unpack("<q", self.take(8))[0]
        if t == 6:
            self.take((8 - self.i % 8) % 8)
            return struct.unpack("<d", self.take(8))[0]
        if t == 7:
            return self.take(self.size()).decode("utf-8")
        if t == 8:
            return self.take(self.size())
        if t == 12:
            return [self.value() for _ in range(self.size())]
        if t == 13:
            n = self.size()
            return {self.value(): self.value() for _ in range(n)}
        raise ValueError("unsupported type %d at %d" % (t, self.i - 1))


def decode_envelope(data):
    """A method reply: ("ok", value), ("error", code, message, details) or
    ("not_implemented",) for the empty reply."""
    if not data:
        return ("not_implemented",)
    r = _Reader(data)
    kind = r.take(1)[0]
    if kind == 0:
        return ("ok", r.value())
    if kind == 1:
        return ("error", r.value(), r.value(), r.value())
    raise ValueError("not a reply envelope: %s" % bytes(data).hex())
