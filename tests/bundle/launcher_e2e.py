"""folian-run, the bundle's start script, run by busybox's shell with
busybox's applets alone on the path (and flock, which Debian's busybox lacks):
folian detached, its log capped, and the device given back at every end.
The reader's interface is stopped and started by commands that record
themselves; the system's splash and screensaver are unloaded through the
stand-in LIPC library and loaded through the stand-in property tool, which
the shell reaches at its device path through the sim_paths preload.  The
busybox shell starts the script through a relative link to it, as a user's
~/bin would."""

import fcntl
import itertools
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from folian_e2e import ARM, BUILD_DIR, SANITIZE, SLOW, E2ETestCase, sanitizer_env, say

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SIM = os.path.join(BUILD_DIR, "sim")
BUSYBOX, FLOCK = shutil.which("busybox"), shutil.which("flock")

BEFORE = {"interface": "running", "splash": "loaded", "screensaver": "loaded"}
RUNNING = {"interface": "stopped", "splash": "unloaded", "screensaver": "unloaded"}
NEXT = {"stopped": "running", "unloaded": "loaded"}
IMPERSONATING = "] 冒充框架：com.lab126.kaf frameworkStarted=1"

UI = "echo %s >> {rec}/interface"

# How a run ends: the app's last command, settings, what ends it, the end line.
ENDS = [
    ("status 0", None, {}, "stop", "folian 结束：状态 0（正常退出）"),
    ("status 1", None, {"FOLIAN_ENGINE": "/nowhere/libflutter_engine.so"}, None,
     "folian 结束：状态 1（启动失败）"),
    # The interface slow to come back: the stop waits past the watchdog's time
    # and kills nothing, folian's pid being no longer folian's.
    ("status 124", None, {"FOLIAN_TEST_EXIT_HANG": "", "FOLIAN_EXIT_TIMEOUT": "1",
                          "FOLIAN_UI_START": "sleep 7; " + UI % "start"}, "stop",
     "folian 结束：状态 124（关停超时，被看门狗结束）"),
    ("SIGSEGV", "crash segv", {}, "key", "folian 被信号 SIGSEGV 结束"),
    ("SIGABRT", "crash abort", {}, "key", "folian 被信号 SIGABRT 结束"),
    ("SIGKILL", None, {}, "kill", "folian 被信号 SIGKILL 结束"),
    # A stop while the start is still under way, on a reader slow to start
    # the supervisor: folian ends in order, or never starts.
    ("stop while starting", None, {}, "early", None),
    # folian runs on without its supervisor until a stop gives the device back.
    ("supervisor killed", None, {}, "supervisor", "启动器意外结束，由 folian-run stop 交还设备"),
]


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def left_behind(pgid):
    """The live processes of a process group (a zombie waits for init)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        fields = read("/proc/%s/stat" % pid).rsplit(")", 1)[-1].split()
        if len(fields) > 2 and int(fields[2]) == pgid and fields[0] != "Z":
            found.append(int(pid))
    return found


def locked(path):
    """Whether someone holds the flock lock on path."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except FileNotFoundError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        return False
    except BlockingIOError:
        return True
    finally:
        os.close(fd)


@unittest.skipIf(ARM, "the start script runs the executable itself, and the ARM one needs qemu-arm")
@unittest.skipUnless(BUSYBOX and FLOCK, "needs busybox and flock (scripts/deps.sh)")
class Launcher(E2ETestCase):
    maxDiff = None
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="folian-launcher-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.bin, self.rec = os.path.join(self.work, "bin"), os.path.join(self.work, "rec")
        os.makedirs(self.bin)
        os.makedirs(self.rec)
        applets = subprocess.run([BUSYBOX, "--list"], capture_output=True, text=True).stdout
        for name in applets.split() + ["flock"]:
            os.symlink(FLOCK if name == "flock" else BUSYBOX, os.path.join(self.bin, name))
        self.b = self.bundle(with_executable=True)
        # A second bundle, and a link to the first's script.
        self.other, links = os.path.join(self.work, "other"), os.path.join(self.work, "links")
        for d in (self.other, links):
            os.makedirs(d)
        for bundle in (self.b.path, self.other):
            shutil.copy(os.path.join(ROOT, "scripts", "folian-run"), bundle)
        os.symlink(self.b.executable, os.path.join(self.other, "folian"))
        os.symlink(os.path.relpath(os.path.join(self.b.path, "folian-run"), links),
                   os.path.join(links, "folian-run"))
        self.scripts = {"busybox": os.path.join(links, "folian-run"),
                        "system": os.path.join(self.b.path, "folian-run")}
        self.log = os.path.join(self.b.path, "folian.log")
        self.control = os.path.join(self.work, "control")
        self.lock = os.path.join(self.work, "folian-run.lock")
        # A setsid that takes its time, as on a slow reader.
        self.slow = os.path.join(self.work, "slow")
        os.makedirs(self.slow)
        with open(os.path.join(self.slow, "setsid"), "w") as f:
            f.write("#!%s sh\nsleep 1\nexec %s setsid \"$@\"\n" % (BUSYBOX, BUSYBOX))
        os.chmod(os.path.join(self.slow, "setsid"), 0o755)
        # Each shell runs with its own tools: busybox's, or the system's.  A
        # sanitizer's runtime, which the preloaded stand-in brings, is more
        # than some of the system's tools survive (mkfifo and mv crash under
        # the thread sanitizer's); busybox's one binary takes it.
        self.shells, self.shell = {"busybox": self.bin, "system": "/usr/bin:/bin"}, "busybox"
        if SANITIZE:
            del self.shells["system"]
        self.env = dict(sanitizer_env(), LD_PRELOAD="libsim_paths.so",
                        LD_LIBRARY_PATH=SIM + ":" + os.path.join(SIM, "lipc"),
                        FOLIAN_SIM_LIPC_BIN=os.path.join(SIM, "lipc", "bin"),
                        FOLIAN_SIM_LIPC_DIR=self.rec, FOLIAN_FB_FILE="",
                        FOLIAN_CONTROL=self.control, FOLIAN_RUN_DIR=self.work,
                        FOLIAN_UI_STOP=UI.format(rec=self.rec) % "stop",
                        FOLIAN_UI_START=UI.format(rec=self.rec) % "start")
        # The crashes must reach the shell as signals, not as a sanitizer's report.
        for k in ("ASAN_OPTIONS", "TSAN_OPTIONS"):
            self.env[k] = self.env.get(k, "") + ":handle_segv=0:handle_abort=0"

    def run_launcher(self, command, env=None, script=None, wait=True):
        path = (env or {}).get("PATH", self.shells[self.shell])
        p = subprocess.Popen([shutil.which("sh", path=path), script or self.scripts[self.shell],
                              command], env=dict(self.env, **dict(env or {}, PATH=path)),
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if not wait:
            return p
        try:
            out = p.communicate(timeout=60 * SLOW)[0]
        finally:
            p.kill()
        return p.returncode, out

    def run_state(self):
        return dict(l.split("=", 1) for l in read(os.path.join(self.work, "folian-run.state"))
                    .splitlines())

    def device(self):
        """The interface and the blanket modules as the records leave them; a
        step that changes nothing (a second load) spoils the state."""
        state = dict(BEFORE)
        steps = [("interface", w) for w in read(os.path.join(self.rec, "interface")).split()]
        steps += re.findall(r"com\.lab126\.blanket (load|unload) (\w+)$",
                            read(os.path.join(self.rec, "lipc.log")) +
                            read(os.path.join(self.rec, "set-prop.log")), re.M)
        for a, b in steps:
            thing, step = (a, b) if a == "interface" else (b, a)
            after = {"stop": "stopped", "start": "running"}.get(step, step + "ed")
            state[thing] = after if NEXT.get(after) == state[thing] or NEXT.get(state[thing]) == after \
                else "%s twice" % after
        return state

    def wait_until(self, what, check, timeout=10):
        deadline = time.monotonic() + timeout * SLOW
        while not check():
            if time.monotonic() > deadline:
                self.fail("%s: timed out; log:\n%s" % (what, read(self.log)))
            time.sleep(0.05)

    def test_every_end_gives_the_device_back(self):
        for self.shell, (name, crash, env, end, line) in itertools.product(self.shells, ENDS):
            with self.subTest(self.shell + " sh: " + name):
                shutil.rmtree(self.rec, True)
                os.makedirs(os.path.join(self.rec, "powerd"))
                # As an app's keepAwake leaves the daemon, were it to die.
                with open(os.path.join(self.rec, "powerd", "preventScreenSaver"), "w") as f:
                    f.write("1\n")
                env = {k: v.format(rec=self.rec) for k, v in env.items()}
                with open(os.path.join(self.b.assets, "folian_app.txt"), "w") as f:
                    f.write("fill gray 255\npresent\nwait_key down\n%s\n" % (crash or ""))
                previous = read(self.log)
                if end == "early":
                    slow = self.slow + ":" + self.shells[self.shell]
                    start = self.run_launcher("start", {"PATH": slow}, wait=False)
                    self.wait_until("the lock", lambda: locked(self.lock))
                    code, out = self.run_launcher("stop")
                    self.assertEqual(code, 0, out)
                    self.assertNotIn("SIGKILL", out)
                    start.communicate(timeout=60 * SLOW)
                    sup = int(self.run_state()["sup"])
                else:
                    code, out = self.run_launcher("start", env)
                    if previous:  # the run before's log, kept
                        self.assertEqual(read(self.log + ".1"), previous)
                if end is None:
                    self.assertEqual(code, 1, out)
                    self.assertIn("引擎", out)  # the error line that says why
                elif end != "early":
                    self.assertEqual(code, 0, out)
                    self.wait_until("impersonation", lambda: IMPERSONATING in read(self.log))
                    self.assertEqual(self.device(), RUNNING)
                    pid, sup = int(self.run_state()["pid"]), int(self.run_state()["sup"])
                    self.assertNotEqual(os.getsid(pid), os.getsid(0))  # outlives our session
                if end == "stop" and not env:
                    self.assertEqual(self.run_launcher("status"), (0, "folian-run: folian 在运行"
                                     "（pid %d），日志 %s\n" % (pid, self.log)))
                    # One folian on the reader, whichever bundle starts it.
                    code, out = self.run_launcher("start", script=os.path.join(self.other,
                                                                               "folian-run"))
                    self.assertEqual(code, 1)
                    self.assertIn("已有 folian 在运行（pid %d）" % pid, out)
                    # The interface repaints the screen when it comes back.
                    self.assertIn("\0FOLIAN_FRAMEWORK_STOPPED=1\0", read("/proc/%d/environ" % pid))
                if end == "supervisor":
                    os.kill(sup, signal.SIGKILL)
                    self.wait_until("its end", lambda: self.run_launcher("status")[0] != 0)
                    dead = "folian-run: 启动器意外结束，设备没有交还（folian pid %d 还在运行）：" \
                           "folian-run stop 交还设备，日志 %s\n" % (pid, self.log)
                    self.assertEqual(self.run_launcher("status"), (1, dead))
                    self.assertEqual(self.run_launcher("start"), (1, dead))
                if end in ("stop", "supervisor"):  # it returns once the device is back
                    code, out = self.run_launcher("stop")
                    self.assertEqual(code, 0, out)
                    self.assertNotIn("SIGKILL", out)
                    self.assertEqual(self.run_launcher("status")[0], 3)
                elif end != "early":
                    if end == "key":
                        say(self.control, "key next\n")
                    elif end == "kill":
                        os.kill(pid, signal.SIGKILL)
                    self.wait_until("the end", lambda: self.run_launcher("status")[0] == 3)
                self.assertEqual(self.device(), BEFORE)
                # Given back unless folian ended in order (or never started):
                # a stop that comes before folian has its handlers ends it by
                # the signal, which the launcher cannot tell from a crash.
                log = read(self.log)
                ends = re.findall(r"(?m)^\[启动器\] [-\d]+ [:\d]+ ((?:folian|启动器).*)$", log)
                in_order = name == "status 0" or (end == "early" and
                                                  not any("被信号" in e for e in ends[-1:]))
                self.assertEqual(read(os.path.join(self.rec, "powerd", "preventScreenSaver")),
                                 "1\n" if in_order else "0\n", log)
                if line:
                    self.assertEqual(ends[-1:], [line], log)
                if end is not None:  # nothing of the run is left behind
                    self.wait_until("leftovers", lambda: not left_behind(sup))
        code, out = self.run_launcher("status")
        self.assertEqual((code, out), (3, "folian-run: folian 没有在运行（上次：%s），日志 %s\n"
                                       % (ENDS[-1][-1], self.log)))

    def test_log_is_capped_with_one_previous_kept(self):
        log = os.path.join(self.work, "elsewhere.log")
        with open(os.path.join(self.b.assets, "folian_app.txt"), "w") as f:
            f.writelines("log line %03d %s\n" % (i, "." * 50) for i in range(150))
            f.write("quit\n")
        code, out = self.run_launcher("start", {"FOLIAN_LOG_FILE": log, "FOLIAN_LOG_LIMIT": "2"})
        self.assertEqual(code, 0, out + read(log))
        self.wait_until("the end", lambda: self.run_launcher("status")[0] == 3)
        kept, last = read(log + ".1"), read(log)
        self.assertLessEqual(max(len(kept.encode()), len(last.encode())), 2048)
        numbers = [int(n) for n in re.findall(r"(?m)^\[flutter\] line (\d+) ", kept + last)]
        self.assertEqual(numbers, list(range(numbers[0], 150)))  # none lost at a turn
        self.assertIn("folian 结束：状态 0", last)
        self.assertFalse(os.path.exists(self.log))


if __name__ == "__main__":
    unittest.main()
