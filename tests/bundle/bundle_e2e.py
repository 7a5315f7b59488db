"""A bundle packed by scripts/folian-bundle from this build's executable and
stand-in engine starts from where it is unpacked, as it does on the device."""

import os
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile

from folian_e2e import ARM, BUILD_DIR, E2ETestCase, assert_no_violation, events, executable, first

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SNAPSHOTS = ["_kDartVmSnapshotData", "_kDartVmSnapshotInstructions",
             "_kDartIsolateSnapshotData", "_kDartIsolateSnapshotInstructions"]


class PackedBundle(E2ETestCase):
    def test_packed_bundle_starts_from_its_own_directory(self):
        work = tempfile.mkdtemp(prefix="folian-bundle-e2e-")
        self.addCleanup(shutil.rmtree, work, True)
        source = os.path.join(work, "app.c")
        with open(source, "w") as f:
            f.write("".join('const char %s[] = "x";\n' % s for s in SNAPSHOTS))
        libapp = os.path.join(work, "libapp.so")
        subprocess.run([os.environ.get("FOLIAN_CC", "cc"), "-shared", "-fPIC", "-o", libapp,
                        source], check=True)
        assets = os.path.join(work, "flutter_assets")
        os.makedirs(assets)
        for name, text in (("AssetManifest.json", "{}"), ("folian_app.txt", "present\n")):
            with open(os.path.join(assets, name), "w") as f:
                f.write(text)
        icu = os.path.join(work, "icudtl.dat")
        with open(icu, "w") as f:
            f.write("icu")

        version = self.run_to_end(args=["--version"], trace=False)
        with open(os.path.join(version.workdir, "stdout.txt")) as f:
            name = f.readline().split()[1]
        # The ARM build is checked as for the device, but against this
        # machine's C library; the host build as the desktop it runs on.
        target = (["--glibc", os.confstr("CS_GNU_LIBC_VERSION").split()[1]] if ARM
                  else ["--arch", "host"])
        run = subprocess.run(
            [sys.executable, os.path.join(ROOT, "scripts", "folian-bundle"), "--out", work,
             "--folian", executable(), "--engine",
             os.path.join(BUILD_DIR, "lib", "libflutter_engine.so"), "--app", libapp,
             "--assets", assets, "--icu", icu] + target, capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        with tarfile.open(os.path.join(work, "folian-%s.tar.gz" % name)) as tar:
            tar.extractall(work, filter="data")
        bundle = os.path.join(work, "folian-" + name)

        # No --bundle: the bundle is the executable's directory, the engine
        # comes from its lib/ through the run path.
        app = self.start(exe=os.path.join(bundle, "folian"), args=[],
                         env={"FOLIAN_FB_FILE": "", "FOLIAN_SIM_AOT": "1"})
        app.wait_event("present")
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait(), 0)
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
