"""scripts/folian-bundle on small ELF files: what it packs, and each fault refused with one line."""

import importlib.machinery
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
TOOL = os.path.join(ROOT, "scripts", "folian-bundle")
SNAPSHOTS = ["_kDartVmSnapshotData", "_kDartVmSnapshotInstructions",
             "_kDartIsolateSnapshotData", "_kDartIsolateSnapshotInstructions"]


def declared_engine_functions():
    with open(os.path.join(ROOT, "src", "flutter_embedder.h")) as f:
        return re.findall(r"^\S.*?\b(FlutterEngine\w+)\(", f.read(), re.M)


class BundleTool(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="folian-bundle-tool-")
        engine = declared_engine_functions()
        functions = lambda names: "".join("void %s(void) {}\n" % n for n in names)
        snapshots = "".join('const char %s[] = "x";\n' % s for s in SNAPSHOTS)
        arm = "arm-linux-gnueabihf-gcc"
        cls.lib = {
            "folian": cls.build(arm, "folian", '__attribute__((used, section(".folian_version")))'
                                ' const char version[] = "1.2-test";\nint main(void) { return 0; }'),
            "engine": cls.build(arm, "engine", functions(engine)),
            "engine_partial": cls.build(arm, "engine_partial", functions(
                [n for n in engine if n not in ("FlutterEngineShutdown", "FlutterEngineRunTask")])),
            # arc4random arrived in GLIBC_2.36.
            "engine_new": cls.build(arm, "engine_new", functions(engine) +
                                    "#include <stdlib.h>\nunsigned pick(void) { return arc4random(); }"),
            "app": cls.build(arm, "app", snapshots),
            "app_bare": cls.build(arm, "app_bare", "int nothing;\n"),
            "app_x86_64": cls.build("cc", "app_x86_64", snapshots),
            "app_softfp": cls.build(arm, "app_softfp", snapshots, "-mfloat-abi=softfp", "-nostdlib"),
        }
        cls.assets = os.path.join(cls.work, "flutter_assets")
        os.makedirs(os.path.join(cls.assets, "fonts"))
        for name in ("AssetManifest.bin", "fonts/a.otf"):
            with open(os.path.join(cls.assets, name), "w") as f:
                f.write("x")
        cls.bare_assets = os.path.join(cls.work, "no_manifest")
        os.makedirs(cls.bare_assets)
        cls.icu = os.path.join(cls.work, "icudtl.dat")
        with open(cls.icu, "w") as f:
            f.write("icu")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def build(cls, cc, name, source, *flags):
        c = os.path.join(cls.work, name + ".c")
        with open(c, "w") as f:
            f.write(source)
        out = os.path.join(cls.work, name + ".so")
        subprocess.run([cc, "-shared", "-fPIC", "-o", out, c] + list(flags), check=True)
        return out

    def run_tool(self, extra=(), **pieces):
        given = dict(folian=self.lib["folian"], engine=self.lib["engine"], app=self.lib["app"],
                     assets=self.assets, icu=self.icu)
        given.update(pieces)
        out = tempfile.mkdtemp(dir=self.work)
        args = [sys.executable, TOOL, "--out", out] + list(extra)
        for option, path in given.items():
            args += ["--" + option, path]
        run = subprocess.run(args, capture_output=True, text=True)
        return run, out

    def test_packs_the_bundle_layout(self):
        # --glibc raises the floor for a newer device.
        run, out = self.run_tool(["--glibc", "2.36"], engine=self.lib["engine_new"])
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(os.listdir(out), ["folian-1.2-test.tar.gz"])
        with tarfile.open(os.path.join(out, "folian-1.2-test.tar.gz")) as tar:
            members = {m.name[len("folian-1.2-test/"):]: m for m in tar.getmembers()}
        self.assertEqual(sorted(n for n, m in members.items() if m.isfile()), [
            "data/flutter_assets/AssetManifest.bin", "data/flutter_assets/fonts/a.otf",
            "data/icudtl.dat", "folian", "lib/libapp.so", "lib/libflutter_engine.so"])
        self.assertEqual(members["folian"].mode, 0o755)
        self.assertTrue(all(m.uid == 0 and m.gid == 0 for m in members.values()))
        # Each ELF file's C library needs are told, also when they pass.
        self.assertRegex(run.stdout, r"(?m)^engine library .*: 32-bit ARM hard-float, needs GLIBC_2\.36$")

    def test_each_fault_is_one_line_and_nothing_is_written(self):
        missing = os.path.join(self.work, "absent", "icudtl.dat")
        faults = {  # name: pieces given, the problem line expected
            "missing file": ({"icu": missing}, r"^ICU data %s: no such file$" % re.escape(missing)),
            "x86-64 application": ({"app": self.lib["app_x86_64"]},
                                   r"^application library .*: is 64-bit x86-64, not 32-bit ARM hard-float$"),
            "soft-float application": ({"app": self.lib["app_softfp"]},
                                       r"^application library .*: is 32-bit ARM soft-float, not"),
            "engine without two functions": ({"engine": self.lib["engine_partial"]}, r"^engine library .*: "
                                             r"does not export FlutterEngineShutdown, FlutterEngineRunTask$"),
            "application without snapshots": ({"app": self.lib["app_bare"]},
                                              r"^application library .*: does not export " + ", ".join(SNAPSHOTS) + "$"),
            "assets without a manifest": ({"assets": self.bare_assets},
                                          r"^assets .*: no AssetManifest\.bin or AssetManifest\.json"),
            "C library too new": ({"engine": self.lib["engine_new"]},
                                  r"^engine library .*: needs GLIBC_2\.36, newer than the device's 2\.18"),
            "executable without a version": ({"folian": self.lib["app"]}, r"^folian .*: carries no version"),
        }
        together = ("missing file", "x86-64 application", "engine without two functions",
                    "assets without a manifest")
        faults["all at once"] = ({k: v for n in together for k, v in faults[n][0].items()},
                                 [faults[n][1] for n in together])
        for name, (pieces, expected) in faults.items():
            with self.subTest(name):
                run, out = self.run_tool(**pieces)
                self.assertEqual(run.returncode, 1)
                lines = run.stderr.splitlines()
                expected = expected if isinstance(expected, list) else [expected]
                self.assertEqual(lines[-1], "%d problem(s), nothing written" % len(expected))
                self.assertEqual(len(lines) - 1, len(expected), run.stderr)
                for rx in expected:
                    self.assertTrue(any(re.search(rx, l) for l in lines), (rx, run.stderr))
                self.assertEqual(os.listdir(out), [])

    def test_engine_functions_are_the_declared_ones(self):
        loader = importlib.machinery.SourceFileLoader("folian_bundle", TOOL)
        tool = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
        loader.exec_module(tool)
        self.assertEqual(sorted(tool.ENGINE_FUNCTIONS), sorted(declared_engine_functions()))


if __name__ == "__main__":
    unittest.main()
