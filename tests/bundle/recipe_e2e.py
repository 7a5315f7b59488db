"""scripts/folian-build on the stand-in Flutter SDK and gen_snapshot of
sim/flutter, which refuse any command line but their release's: a project
becomes a bundle that passes the bundle tool's checks, and a fault stops the
build at its step with one line."""

import json
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

from bundle_tool_test import ARM_CC, HASH, ROOT, declared_engine_functions

RECIPE = os.path.join(ROOT, "scripts", "folian-build")
STANDIN = os.path.join(ROOT, "sim", "flutter", "standin.py")


class Recipe(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="folian-recipe-")
        # An engine holding the application's snapshot hash, and a folian
        # carrying a version, for the device and for this computer.
        engine = "".join("int %s(void) { return %d; }\n" % (n, i)
                         for i, n in enumerate(declared_engine_functions()))
        engine += 'const char snapshot_hash[] = "\\0" "%s";\n' % HASH
        folian = '__attribute__((used, section(".folian_version"))) const char v[] = "1.2";\n' \
                 "int main(void) { return 0; }\n"
        cls.pieces = {}
        for arch, cc in (("arm", ARM_CC), ("host", "cc")):
            cls.pieces[arch] = [
                cls.compile(cc, "engine-" + arch, engine, "-shared", "-fPIC"),
                cls.compile(cc, "folian-" + arch, folian)]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    @classmethod
    def compile(cls, cc, name, source, *flags):
        path = os.path.join(cls.root, name)
        with open(path + ".c", "w") as f:
            f.write(source)
        subprocess.run([cc, "-o", path, path + ".c"] + list(flags), check=True)
        return path

    def setUp(self):
        self.work = tempfile.mkdtemp(dir=self.root)
        self.project = os.path.join(self.work, "app")
        for name, text in (("pubspec.yaml", "name: reader\nflutter:\n  assets:\n"
                                            "    - assets/page.txt\n"),
                           ("lib/main.dart", "void main() {}\n"), ("assets/page.txt", "page\n")):
            os.makedirs(os.path.dirname(os.path.join(self.project, name)), exist_ok=True)
            with open(os.path.join(self.project, name), "w") as f:
                f.write(text)
        self.tmp, self.out = os.path.join(self.work, "tmp"), os.path.join(self.work, "out")
        os.mkdir(self.tmp)
        os.mkdir(self.out)

    def build(self, release, arch="arm", engine_release=None, snapshot_hash=HASH, extra=()):
        """The recipe on a stand-in SDK of release and engine artefacts of
        engine_release, its temporary files under self.tmp."""
        sdk, artefacts = os.path.join(self.work, "sdk"), os.path.join(self.work, "engine")
        subprocess.run([sys.executable, STANDIN, "sdk", sdk, "--release", release], check=True)
        subprocess.run([sys.executable, STANDIN, "engine-artifacts", artefacts, "--release",
                        engine_release or release, "--snapshot-hash", snapshot_hash, "--arch",
                        arch], check=True)
        engine, folian = self.pieces[arch]
        shutil.copy(engine, os.path.join(artefacts, "libflutter_engine.so"))
        self.artefacts = artefacts
        return lambda: subprocess.run(
            [sys.executable, RECIPE, "--project", self.project, "--flutter", sdk,
             "--engine-artifacts", artefacts, "--out", self.out, "--folian", folian,
             "--arch", arch, "--glibc", "2.36"] + list(extra),
            capture_output=True, text=True, env=dict(os.environ, TMPDIR=self.tmp))

    def test_each_release_makes_a_bundle_that_passes_the_checks(self):
        for release, arch in (("3.24.5", "arm"), ("3.44.0", "arm"), ("3.44.0", "host")):
            with self.subTest(release=release, arch=arch):
                self.setUp()
                # A work folder given is used and kept; the one made is removed.
                kept = os.path.join(self.work, "kept") if release == "3.24.5" else None
                run = self.build(release, arch, extra=["--work", kept] if kept else [])()
                self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
                self.assertEqual(os.listdir(self.tmp), [])
                if kept:
                    self.assertTrue(os.path.isfile(os.path.join(kept, "libapp.so")))
                archive, = os.listdir(self.out)
                with tarfile.open(os.path.join(self.out, archive)) as tar:
                    names = {n.split("/", 1)[1] for n in tar.getnames() if "/" in n}
                    manifest = json.load(tar.extractfile(archive[:-7] + "/bundle.json"))
                self.assertLessEqual({"lib/libapp.so", "data/flutter_assets/AssetManifest.bin",
                                      "data/flutter_assets/assets/page.txt"}, names)
                # A release build: the JIT engine's kernel stays out.
                self.assertNotIn("data/flutter_assets/kernel_blob.bin", names)
                self.assertEqual((manifest["app_hash"], manifest["mode"]), (HASH, "product"))
                self.assertIn("hardfp" if arch == "arm" else "x64-sysv", manifest["app_features"])

    def test_a_fault_stops_the_build_at_its_step_with_one_line(self):
        def missing_asset():
            with open(os.path.join(self.project, "pubspec.yaml"), "a") as f:
                f.write("    - assets/lost.png\n")

        cases = [
            # (fault, build arguments, change, the last line, the failing tool's own
            # words; None: found before the first step, none of which runs)
            ("the engine library of another release", dict(snapshot_hash="0" * 32), None,
             "folian-bundle failed", "is not the engine's"),
            ("gen_snapshot of another release than the SDK", dict(engine_release="3.41.9"),
             None, "gen_snapshot failed", "Invalid SDK hash"),
            ("no gen_snapshot", {}, lambda: os.unlink(os.path.join(self.artefacts,
                                                                   "gen_snapshot")),
             "gen_snapshot .*/gen_snapshot: no such file", None),
            ("the flutter step fails", {}, missing_asset, "flutter build bundle failed",
             "No file or variants found for asset: assets/lost.png"),
            ("an SDK older than the recipe knows", dict(release="3.22.3"), None,
             "Flutter SDK .*: release 3.22.3 is older than 3.24", "+ "),
            ("no folian executable", dict(extra=["--folian", "/nowhere/folian"]), None,
             "folian /nowhere/folian: no such file", None),
            ("an output directory that is not there", dict(extra=["--out", "/nowhere"]), None,
             "output /nowhere: no such directory", None),
        ]
        for fault, arguments, change, line, words in cases:
            with self.subTest(fault=fault):
                self.setUp()
                run = self.build(**dict(dict(release="3.44.0"), **arguments))
                if change:
                    change()
                run = run()
                self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
                self.assertRegex(run.stderr.splitlines()[-1], "^folian-build: " + line)
                if words:
                    self.assertIn(words, run.stdout + run.stderr)
                else:
                    self.assertNotIn("+ ", run.stdout)
                self.assertEqual((os.listdir(self.out), os.listdir(self.tmp)), ([], []))


if __name__ == "__main__":
    unittest.main()
