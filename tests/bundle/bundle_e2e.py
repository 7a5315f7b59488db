"""A bundle packed by scripts/folian-bundle from this build's executable, a
stand-in engine and the demo application starts through its folian-run from
where it is unpacked, as on the device.  The ARM build's engine needs a newer
C library than the reader's, so the bundle carries one, and it runs under
qemu-arm with a root that holds no C library at all."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest

from folian_e2e import ARM, BUILD_DIR, RUNNER, SLOW, E2ETestCase, assert_no_violation, events, \
    executable, first, say

from bundle_tool_test import HASH, ROOT, libapp_source

ENGINE = os.environ.get("FOLIAN_BUNDLE_ENGINE", "")


class PackedBundle(E2ETestCase):
    def pack(self, root):
        """Packs the demo into the archive, unpacks it into root; the bundle's path."""
        work = tempfile.mkdtemp(prefix="folian-bundle-e2e-")
        self.addCleanup(shutil.rmtree, work, True)
        demo = os.path.join(work, "demo")
        subprocess.run([os.path.join(ROOT, "scripts", "demo_bundle.sh"), demo, BUILD_DIR], check=True)
        source = os.path.join(work, "app.c")
        with open(source, "w") as f:
            f.write(libapp_source(features="product no-code_comments " +
                                  ("arm-eabi hardfp" if ARM else "x64-sysv")))
        libapp = os.path.join(work, "libapp.so")
        subprocess.run([os.environ.get("FOLIAN_CC", "cc"), "-shared", "-fPIC", "-o", libapp,
                        source], check=True)
        # The ARM build is checked as for the device; the host build as the
        # desktop it runs on.
        run = subprocess.run(
            [sys.executable, os.path.join(ROOT, "scripts", "folian-bundle"), "--out", work,
             "--folian", executable(), "--engine", ENGINE, "--app", libapp,
             "--assets", os.path.join(demo, "data", "flutter_assets"),
             "--icu", os.path.join(demo, "data", "icudtl.dat")] + ([] if ARM else ["--arch", "host"]),
            capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        archive, = [n for n in os.listdir(work) if n.endswith(".tar.gz")]
        with tarfile.open(os.path.join(work, archive)) as tar:
            tar.extractall(root, filter="data")
        bundle = os.path.join(root, archive[:-len(".tar.gz")])
        with open(os.path.join(bundle, "bundle.json")) as f:
            manifest = json.load(f)
        self.assertEqual((manifest["runtime"], manifest["engine_hash"]),
                         ("carried" if ARM else "device", HASH))
        return bundle

    @unittest.skipIf(ARM, "the start script runs the ARM build through the carried loader")
    def test_packed_bundle_starts_from_its_own_directory(self):
        root = tempfile.mkdtemp(prefix="folian-bundle-root-")
        self.addCleanup(shutil.rmtree, root, True)
        bundle = self.pack(root)
        # On the stand-in reader, as the README's walk runs it: a healthy run
        # logs no error, and taps on its touch screen, each a writer that
        # comes and goes, reach the app.
        state = os.path.join(root, "reader")
        app = self.start(tool=[os.path.join(ROOT, "scripts", "standin-reader.sh"), state,
                               os.path.join(bundle, "folian-run")],
                         env={"FOLIAN_SIM_AOT": "1", "FOLIAN_BUILD_DIR": BUILD_DIR})
        app.wait_event("present")
        for count, x in enumerate(("3500", "500"), 1):
            subprocess.run([sys.executable, os.path.join(ROOT, "sim", "evdev", "touch.py"),
                            os.path.join(state, "input", "dev", "event0"), "tap", x, "2000"],
                           check=True)
            app.wait_event("pointer", match=lambda e: e["phase"] == "up", count=count)
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait(), 0)
        self.assertEqual([l for l in app.lines() if "[错误]" in l], [])
        trace = app.trace()
        assert_no_violation(trace)
        self.assertEqual(first(trace, "run")["aot_data"], "set")
        aot = events(trace, "aot")
        self.assertEqual([(e["op"], e["result"]) for e in aot], [("create", "0"), ("collect", "0")])
        self.assertEqual(aot[0]["path"], os.path.join(bundle, "lib", "libapp.so"))
        # The AOT data is freed only after the engine has stopped.
        end = [i for i, e in enumerate(trace) if e["event"] == "shutdown" and e["phase"] == "end"]
        self.assertLess(end[0], trace.index(aot[1]))
        self.assertEqual(first(trace, "run")["assets"],
                         os.path.join(bundle, "data", "flutter_assets"))

    @unittest.skipUnless(ARM, "the carried C runtime is the ARM one")
    def test_carried_runtime_runs_the_demo_with_no_c_library_under_it(self):
        # The emulator's root is the reader's file system: the bundle, and the
        # device's LIPC library in /usr/lib, but no C library anywhere.
        root = tempfile.mkdtemp(prefix="folian-bundle-root-")
        self.addCleanup(shutil.rmtree, root, True)
        bundle = self.pack(root)
        os.makedirs(os.path.join(root, "usr", "lib"))
        shutil.copy(os.path.join(BUILD_DIR, "sim", "lipc", "liblipc.so.1"),
                    os.path.join(root, "usr", "lib"))
        # The stand-ins come from outside the root, through a path without
        # blanks: the loader splits LD_PRELOAD at them.
        stand_ins = tempfile.mkdtemp(prefix="folian-stand-ins-")
        self.addCleanup(shutil.rmtree, stand_ins, True)
        preload = []
        for name in ("sim_fb", "sim_evdev", "sim_paths"):
            preload.append(os.path.join(stand_ins, "lib%s.so" % name))
            os.symlink(os.path.join(BUILD_DIR, "sim", "lib%s.so" % name), preload[-1])

        # Exactly the command line folian-run runs, its exec turned into a print.
        with open(os.path.join(bundle, "folian-run")) as f:
            script = re.sub(r'(?m)^(\s*)exec "', "\\1printf '%s\\\\0' \"", f.read())
        argv = subprocess.run(["sh", "-c", script, os.path.join(bundle, "folian-run")],
                              capture_output=True, check=True).stdout.decode().split("\0")[:-1]
        self.assertEqual(argv[:3], [os.path.join(bundle, "lib", "runtime", "ld-linux-armhf.so.3"),
                                    "--library-path", os.path.join(bundle, "lib", "runtime")])
        control = os.path.join(stand_ins, "control")
        env = {"FOLIAN_SIM_FB_XRES": "600", "FOLIAN_SIM_FB_YRES": "800", "FOLIAN_SIM_EPDC": "mtk",
               "FOLIAN_SIM_EPDC_LOG": os.path.join(stand_ins, "epdc.log"),
               "FOLIAN_SIM_EVDEV_DIR": os.path.join(stand_ins, "input"), "FOLIAN_SIM_AOT": "1",
               "FOLIAN_CONTROL": control, "FOLIAN_FAKE_FRAMEWORK": "1",
               "FOLIAN_SIM_LIPC_BIN": os.path.join(BUILD_DIR, "sim", "lipc", "bin"),
               "FOLIAN_SIM_LIPC_DIR": stand_ins}
        os.makedirs(os.path.join(stand_ins, "input", "dev"))
        app = self.start(env=env, tool=[RUNNER[0], "-L", root, "-E", "LD_PRELOAD=" + ":".join(preload),
                                        "-E", "LD_DEBUG=libs"] + argv)
        app.wait_line(r"\] 控制管道 ")
        app.wait_line(r"\] 冒充框架：com\.lab126\.kaf frameworkStarted=1")
        say(control, "key next\n")
        self.wait_for_updates(os.path.join(stand_ins, "epdc.log"), 2)
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait(), 0, "\n".join(app.lines()))
        assert_no_violation(app.trace())
        # Every object the loader started came from the bundle, the root's
        # /usr/lib (the LIPC library) or the stand-ins; the lines of other
        # processes (the stand-in LIPC tools are host scripts) left aside.
        inits = [m.groups() for m in map(re.compile(r"^\s*(\d+):\s+calling init: (\S+)").match,
                                         app.lines()) if m]
        loaded = [path for pid, path in inits if pid == inits[0][0]]
        self.assertIn(os.path.join(bundle, "lib", "runtime", "libc.so.6"), loaded)
        self.assertIn("/usr/lib/liblipc.so.1", loaded)
        self.assertEqual([p for p in loaded if not p.startswith((bundle + "/", stand_ins + "/",
                                                                  "/usr/lib/liblipc"))], [])

    def wait_for_updates(self, log, count):
        deadline = time.monotonic() + 10 * SLOW
        while time.monotonic() < deadline:
            try:
                with open(log) as f:
                    if sum(line.startswith("update ") for line in f) >= count:
                        return
            except FileNotFoundError:
                pass
            time.sleep(0.05)
        self.fail("fewer than %d panel updates in %s" % (count, log))


if __name__ == "__main__":
    unittest.main()
