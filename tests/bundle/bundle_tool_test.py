"""scripts/folian-bundle on small ELF files: what it packs, and each fault refused with one line."""

import csv
import hashlib
import importlib.machinery
import importlib.util
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
TOOL = os.path.join(ROOT, "scripts", "folian-bundle")
SNAPSHOTS = ["_kDartVmSnapshotData", "_kDartVmSnapshotInstructions",
             "_kDartIsolateSnapshotData", "_kDartIsolateSnapshotInstructions"]
ARM_CC = "arm-linux-gnueabihf-gcc"
# The snapshot hash the test engines hold (tests/bundle/engine_newer_libc.c).
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "engine_newer_libc.c")) as f:
    HASH = re.search(r'"([0-9a-f]{32})"', f.read()).group(1)
ARM_FEATURES = "product no-code_comments arm-eabi hardfp"


def unpack_runtime():
    """The bullseye armhf runtime the tool carries by default, unpacked by
    scripts/sysroot.sh when a fresh checkout has none yet.  None when it is
    there, else why it is not."""
    tool = load_tool()
    if all(os.path.isfile(os.path.join(tool.DEFAULT_RUNTIME, n)) for n in tool.RUNTIME_ALWAYS):
        return None
    run = subprocess.run([os.path.join(ROOT, "scripts", "sysroot.sh")], capture_output=True,
                         text=True)
    if run.returncode == 0:
        return None
    return "scripts/sysroot.sh could not unpack the armhf runtime: %s" % (
        (run.stderr.strip().splitlines() or ["status %d" % run.returncode])[-1])


def load_tool():
    loader = importlib.machinery.SourceFileLoader("folian_bundle", TOOL)
    tool = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(tool)
    return tool


def libapp_source(snapshot_hash=HASH, features=ARM_FEATURES):
    """C source of an application whose snapshots start with a Dart snapshot header."""
    header = b"\xf5\xf5\xdc\xdc" + struct.pack("<QQ", 4096, 2) + snapshot_hash.encode() + \
        features.encode() + b"\0"
    data = ", ".join(str(b) for b in header)
    return "".join("const unsigned char %s[] = {%s};\n" % (s, data) for s in SNAPSHOTS)


def declared_engine_functions(since=None):
    """The engine functions folian calls (src/engine_functions.tsv); with
    since, only those a release of that number (2.0, 3.0, ...) has."""
    with open(os.path.join(ROOT, "src", "engine_functions.tsv"), encoding="utf-8") as f:
        rows = [l.split("\t") for l in f if l.startswith("FlutterEngine")]
    number = lambda text: tuple(int(n) for n in text.split("."))
    return [r[0] for r in rows if since is None or number(r[2]) <= number(since)]


def engine_source(names, *strings):
    """An engine exporting names, each its own body as in a real engine,
    holding each of strings as a string of its own."""
    return "".join("int %s(void) { return %d; }\n" % (n, i) for i, n in enumerate(names)) + \
        "".join('const char held_%d[] = "\\0" "%s";\n' % (i, t) for i, t in enumerate(strings))


class BundleTool(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="folian-bundle-tool-")
        cls.no_runtime = unpack_runtime()
        names = declared_engine_functions()
        # Each function its own body, as in a real engine; the link stub's are all one.
        engine = engine_source(names, HASH)
        stub = "".join("void %s(void) {}\n" % n for n in names)
        with open(os.path.join(ROOT, "tests", "bundle", "engine_newer_libc.c")) as f:
            newer_libc = f.read()
        version = '__attribute__((used, section(".folian_version"))) const char v[] = "1.2-test";\n'
        app = libapp_source()
        cls.lib = {
            "folian": cls.build(ARM_CC, "folian", version + "int main(void) { return 0; }"),
            "folian_cxx": cls.build("arm-linux-gnueabihf-g++", "folian_cxx", version +
                                    "#include <string>\nint main(int c, char** v) "
                                    "{ return std::string(v[0]).size() + c; }", "-x", "c++"),
            "engine": cls.build(ARM_CC, "engine", engine),
            # As the releases before 2.2 and 3.0 export them, with the mode
            # word of a release engine's Dart VM.
            "engine_20": cls.build(ARM_CC, "engine_20", engine_source(
                declared_engine_functions("2.0"), HASH, "product")),
            "engine_210": cls.build(ARM_CC, "engine_210", engine_source(
                declared_engine_functions("2.10"), HASH, "product")),
            "engine_profile": cls.build(ARM_CC, "engine_profile", engine_source(
                names, HASH, "release")),
            "engine_partial": cls.build(ARM_CC, "engine_partial", engine_source(
                [n for n in names if n not in ("FlutterEngineShutdown", "FlutterEngineRunTask")])),
            "engine_partial_20": cls.build(ARM_CC, "engine_partial_20", engine_source(
                [n for n in declared_engine_functions("2.0") if n != "FlutterEngineRunTask"])),
            "engine_newer_libc": cls.build(ARM_CC, "engine_newer_libc", engine + newer_libc),
            # arc4random arrived in GLIBC_2.36.
            "engine_new": cls.build(ARM_CC, "engine_new", engine +
                                    "#include <stdlib.h>\nunsigned pick(void) { return arc4random(); }"),
            "engine_stub": cls.build(ARM_CC, "engine_stub", stub),
            "engine_jit": cls.build(ARM_CC, "engine_jit", engine + "const char kDartVmSnapshotData[] = {1};"),
            "engine_desktop": cls.build(ARM_CC, "engine_desktop", engine, "-Wl,--no-as-needed",
                                        cls.stand_in("libGL.so.1"),
                                        cls.stand_in("libX11.so.6")),
            "app": cls.build(ARM_CC, "app", app),
            "app_other": cls.build(ARM_CC, "app_other", libapp_source("0" * 32)),
            "app_profile": cls.build(ARM_CC, "app_profile", libapp_source(
                features=ARM_FEATURES.replace("product", "release"))),
            "app_hash_not_hex": cls.build(ARM_CC, "app_hash_not_hex", libapp_source("z" * 32)),
            "app_zeroed": cls.build(ARM_CC, "app_zeroed", "".join(
                "const unsigned char %s[64] = {0};\n" % s for s in SNAPSHOTS)),
            "app_bare": cls.build(ARM_CC, "app_bare", "int nothing;\n"),
            "app_x86_64": cls.build("cc", "app_x86_64", app),
            "app_softfp": cls.build(ARM_CC, "app_softfp", app, "-mfloat-abi=softfp", "-nostdlib"),
            "app_pie": cls.build(ARM_CC, "app_pie", app + "int main(void) { return 0; }",
                                 "-fPIE", "-pie", "-rdynamic", shared=False),
            # gcc 11's C++ runtime, one past the carried one's GLIBCXX_3.4.28.
            "app_cxx": cls.build(ARM_CC, "app_cxx", app + "void fresh(void);\n"
                                 "void use(void) { fresh(); }\n",
                                 cls.stand_in("libstdc++.so.6", "GLIBCXX_3.4.29")),
            "app_cxx_old": cls.build(ARM_CC, "app_cxx_old", app + "void fresh(void);\n"
                                     "void use(void) { fresh(); }\n",
                                     cls.stand_in("libstdc++.so.6", "GLIBCXX_3.4.11")),
        }
        cls.lib["app_far_segment"] = cls.far_segment("app_x86_64")
        # Debug information, which the loader does not map, names C++ members
        # "release" in a release engine too.
        cls.lib["engine_20_debug"] = os.path.join(cls.work, "engine_20_debug.so")
        shutil.copy(cls.lib["engine_20"], cls.lib["engine_20_debug"])
        with open(cls.lib["engine_20_debug"], "ab") as f:
            f.write(b"\0release\0")
        cls.lib["engine_bad_verneed"] = cls.corrupt_version_needs("engine_newer_libc", 8)
        cls.lib["engine_bad_vn_next"] = cls.corrupt_version_needs("engine_newer_libc", 12)
        cls.huge = os.path.join(cls.work, "huge.so")
        with open(cls.huge, "wb") as f:  # sparse: takes no room
            f.truncate(3 << 30)
        cls.assets = os.path.join(cls.work, "flutter_assets")
        os.makedirs(os.path.join(cls.assets, "fonts"))
        for name in ("AssetManifest.bin", "fonts/a.otf"):
            with open(os.path.join(cls.assets, name), "w") as f:
                f.write("x")
        cls.bad_assets = {}
        for name, links in (("no_manifest", []), ("dangling", [("gone", "lost.png")]),
                            ("loop", [("b.png", "a.png"), ("a.png", "b.png")]),
                            ("cycle", [("..", "fonts/up")])):
            path = cls.bad_assets[name] = os.path.join(cls.work, name)
            shutil.copytree(cls.assets, path) if name != "no_manifest" else os.makedirs(path)
            for target, link in links:
                os.symlink(target, os.path.join(path, link))
        cls.icu = cls.write("icudtl.dat", "icu")
        cls.empty_icu = cls.write("empty.dat", "")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def write(cls, name, text):
        path = os.path.join(cls.work, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    @classmethod
    def build(cls, cc, name, source, *flags, shared=True):
        c = cls.write(name + ".c", source)
        out = os.path.join(cls.work, name + ".so")
        subprocess.run([cc] + (["-shared", "-fPIC"] if shared else []) + ["-o", out, c] +
                       list(flags), check=True)
        return out

    @classmethod
    def stand_in(cls, soname, version=None):
        """A library of that name to link against, defining fresh() in version."""
        script = cls.write(soname + ".map", "%s { global: fresh; local: *; };\n" % version)
        return cls.build(ARM_CC, soname + (version or ""), "void fresh(void) {}\n", "-Wl,-soname," + soname,
                         *(["-Wl,--version-script=" + script] if version else []))

    @classmethod
    def corrupt_version_needs(cls, name, field):
        """A copy of a library whose first version need points (vn_aux at 8,
        vn_next at 12) far past its section."""
        tool = load_tool()
        elf = tool.Elf(cls.lib[name])
        offset = [s[2] for s in elf.sections if s[1] == tool.SHT_GNU_VERNEED][0]
        path = os.path.join(cls.work, "%s_%d.so" % (name, field))
        shutil.copy(cls.lib[name], path)
        with open(path, "r+b") as f:
            f.seek(offset + field)
            f.write(struct.pack("<I", 0x7FFFFFF0))
        return path

    @classmethod
    def far_segment(cls, name):
        """A copy of a 64-bit library whose segment holding the snapshot data
        says it starts 2^63 bytes into the file."""
        tool = load_tool()
        elf = tool.Elf(cls.lib[name])
        address = elf.symbols["_kDartVmSnapshotData"][0]
        path = os.path.join(cls.work, name + "_far.so")
        shutil.copy(cls.lib[name], path)
        with open(path, "r+b") as f:
            phoff, = struct.unpack_from("<Q", f.read(64), 32)
            for i, (kind, _, start, length) in enumerate(elf.segments):
                if kind == tool.PT_LOAD and start <= address < start + length:
                    f.seek(phoff + i * 56 + 8)
                    f.write(struct.pack("<Q", 1 << 63))
        return path

    def run_tool(self, extra=(), **pieces):
        given = dict(folian=self.lib["folian"], engine=self.lib["engine"], app=self.lib["app"],
                     assets=self.assets, icu=self.icu)
        given.update(pieces)
        out = tempfile.mkdtemp(dir=self.work)
        args = [sys.executable, TOOL, "--out", out] + list(extra)
        for option, path in given.items():
            if path is not None:
                args += ["--" + option, path]
        run = subprocess.run(args, capture_output=True, text=True)
        return run, out

    def unpack(self, out):
        tar = tarfile.open(os.path.join(out, "folian-1.2-test.tar.gz"))
        self.addCleanup(tar.close)
        members = {m.name[len("folian-1.2-test/"):]: m for m in tar.getmembers()}
        self.assertTrue(all(m.uid == 0 and m.gid == 0 for m in members.values()))
        files = sorted(n for n, m in members.items() if m.isfile())
        modes = {n: members[n].mode for n in files}
        return files, modes, json.load(tar.extractfile(members["bundle.json"]))

    def test_packs_the_bundle_layout(self):
        # --glibc raises the floor for a newer device: nothing is carried.
        run, out = self.run_tool(["--glibc", "2.36"], engine=self.lib["engine_new"])
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(os.listdir(out), ["folian-1.2-test.tar.gz"])
        files, modes, manifest = self.unpack(out)
        self.assertEqual(files, [
            "bundle.json", "data/flutter_assets/AssetManifest.bin",
            "data/flutter_assets/fonts/a.otf", "data/icudtl.dat", "folian", "folian-run",
            "lib/libapp.so", "lib/libflutter_engine.so"])
        self.assertEqual((modes["folian"], modes["folian-run"]), (0o755, 0o755))
        self.assertEqual(manifest["runtime"], "device")
        # Each ELF file's C library needs are told, also when they pass.
        self.assertRegex(run.stdout, r"(?m)^engine library .*: 32-bit ARM hard-float, needs GLIBC_2\.36$")

    def test_carries_a_runtime_for_a_newer_c_library(self):
        if self.no_runtime:
            self.skipTest(self.no_runtime)
        # The application's C++ runtime is carried too, with what it needs in turn.
        run, out = self.run_tool(engine=self.lib["engine_newer_libc"], app=self.lib["app_cxx_old"])
        self.assertEqual(run.returncode, 0, run.stderr)
        files, modes, manifest = self.unpack(out)
        runtime = ["ld-linux-armhf.so.3", "libc.so.6", "libdl.so.2", "libgcc_s.so.1", "libm.so.6",
                   "libpthread.so.0", "librt.so.1", "libstdc++.so.6"]
        self.assertEqual([n for n in files if n.startswith("lib/runtime/")],
                         ["lib/runtime/" + n for n in runtime])
        self.assertEqual(modes["lib/runtime/ld-linux-armhf.so.3"], 0o755)

        def sha(path):
            with open(path, "rb") as f:
                return hashlib.sha256(f.read()).hexdigest()

        assets = hashlib.sha256()
        for name in ("AssetManifest.bin", "fonts/a.otf"):
            assets.update(name.encode() + b"\0" + bytes.fromhex(sha(os.path.join(self.assets, name))))
        self.assertEqual(manifest, {
            "folian": "1.2-test", "engine_release": None, "engine_hash": HASH, "app_hash": HASH,
            "app_release": None, "app_features": ARM_FEATURES, "mode": "product",
            "runtime": "carried", "sha256": {
                "folian": sha(self.lib["folian"]),
                "lib/libflutter_engine.so": sha(self.lib["engine_newer_libc"]),
                "lib/libapp.so": sha(self.lib["app_cxx_old"]), "data/icudtl.dat": sha(self.icu),
                "data/flutter_assets": assets.hexdigest()}})

    def test_each_fault_is_one_line_and_nothing_is_written(self):
        missing = os.path.join(self.work, "absent", "icudtl.dat")
        lib, assets = self.lib, self.bad_assets
        carry = "newer than the device's 2.18 and than the GLIBC_2.31 of the C runtime"
        faults = {  # name: pieces given, the problem line expected
            "missing file": ({"icu": missing}, r"^ICU data %s: no such file$" % re.escape(missing)),
            "empty ICU data": ({"icu": self.empty_icu}, r"^ICU data .*: is empty$"),
            "x86-64 application": ({"app": lib["app_x86_64"]},
                                   r"^application library .*: is 64-bit x86-64, not 32-bit ARM hard-float$"),
            "soft-float application": ({"app": lib["app_softfp"]},
                                       r"^application library .*: is 32-bit ARM soft-float, not"),
            "executable as application": ({"app": lib["app_pie"]}, r"^application library .*: "
                                          r"is an executable \(it names a program interpreter\)"),
            "engine without two functions": ({"engine": lib["engine_partial"]}, r"^engine library .*: "
                                             r"does not export FlutterEngineShutdown, FlutterEngineRunTask$"),
            "link stub as engine": ({"engine": lib["engine_stub"]},
                                    r"^engine library .*: has no engine code: its 16 Embedder API "
                                    r"functions share one empty body"),
            "engine of 2.0 without one of its functions": (
                {"engine": lib["engine_partial_20"]},
                r"^engine library .*: does not export FlutterEngineRunTask$"),
            "desktop engine": ({"engine": lib["engine_desktop"]},
                               r"^engine library .*: needs libGL\.so\.1, libX11\.so\.6, which the device"),
            "application without snapshots": ({"app": lib["app_bare"]},
                                              r"^application library .*: does not export " + ", ".join(SNAPSHOTS) + "$"),
            "application on a debug engine": ({"engine": lib["engine_jit"]}, r"^application library "
                                              r".*: is ahead-of-time code \(product .*\), and the engine is a debug"),
            "profile application, release engine": (
                {"app": lib["app_profile"], "engine": lib["engine_20_debug"]}, r"^application library .*: "
                r"is a Flutter profile build \(release\), and the engine is a Flutter release build "
                r"\(product\): build both in one mode$"),
            "release application, profile engine": (
                {"engine": lib["engine_profile"]}, r"^application library .*: is a Flutter release "
                r"build \(product\), and the engine is a Flutter profile build \(release\)"),
            "snapshot hash not hex": ({"app": lib["app_hash_not_hex"]},
                                      r"^application library .*: its snapshot header holds no snapshot hash$"),
            "zeroed snapshot header": ({"app": lib["app_zeroed"]}, r"^application library .*: "
                                       r"its snapshot data holds no Dart snapshot \(wrong magic\)$"),
            "segment 2^63 bytes into the file": ({"app": lib["app_far_segment"]},
                                                 r"^application library .*: is 64-bit x86-64, not"),
            "application of another release": ({"app": lib["app_other"]}, r"^application library "
                                               r".*: its snapshot hash 0{32} is not the engine's \(%s\)" % HASH),
            "assets without a manifest": ({"assets": assets["no_manifest"]},
                                          r"^assets .*: no AssetManifest\.bin or AssetManifest\.json"),
            "dangling link in assets": ({"assets": assets["dangling"]},
                                        r"^assets .*: lost\.png is a dangling symbolic link$"),
            "link loop in assets": ({"assets": assets["loop"]}, [r"^assets .*: a\.png is a symbolic link loop$",
                                                                 r"^assets .*: b\.png is a symbolic link loop$"]),
            "directory cycle in assets": ({"assets": assets["cycle"]},
                                          r"^assets .*: fonts/up leads back into a directory that holds it$"),
            "C library past the runtime": ({"engine": lib["engine_new"]},
                                           r"^engine library .*: needs GLIBC_2\.36, " + carry),
            "C++ library past the runtime": ({"app": lib["app_cxx"]}, r"^application library .*: "
                                             r"needs GLIBCXX_3\.4\.29, newer than the GLIBCXX_3\.4\.28 of"),
            "no runtime to carry": ({"engine": lib["engine_newer_libc"], "runtime": self.work},
                                    r"^runtime .*: cannot be carried \(no ld-linux-armhf\.so\.3, libc\.so\.6\), "
                                    r"and engine library needs GLIBC_2\.30"),
            "test build of folian": ({"folian": lib["folian_cxx"]}, r"^folian .*: needs the C\+\+ "
                                     r"runtime \(libstdc\+\+\.so\.6.*\), which the device does not have"),
            "corrupt version need": ({"engine": lib["engine_bad_verneed"]},
                                     r"^engine library .*: not a readable ELF file \(a version need runs past"),
            "corrupt next version need": ({"engine": lib["engine_bad_vn_next"]},
                                          r"^engine library .*: not a readable ELF file \(a version need runs past"),
            "3 GB of nothing": ({"engine": self.huge}, r"^engine library .*: not a readable ELF file "
                                r"\(not an ELF file\)$"),
            "executable without a version": ({"folian": lib["app"]}, r"^folian .*: carries no version"),
        }
        together = ("missing file", "x86-64 application", "engine without two functions",
                    "assets without a manifest")
        faults["all at once"] = ({k: v for n in together for k, v in faults[n][0].items()},
                                 [faults[n][1] for n in together])
        carried = ("C library past the runtime", "C++ library past the runtime")
        for name, (pieces, expected) in faults.items():
            with self.subTest(name):
                if name in carried and self.no_runtime:
                    self.skipTest(self.no_runtime)
                run, out = self.run_tool(**pieces)
                self.assertEqual(run.returncode, 1, run.stderr)
                self.assertNotIn("Traceback", run.stderr)
                lines = run.stderr.splitlines()
                expected = expected if isinstance(expected, list) else [expected]
                self.assertEqual(lines[-1], "%d problem(s), nothing written" % len(expected), run.stderr)
                self.assertEqual(len(lines) - 1, len(expected), run.stderr)
                for rx in expected:
                    self.assertTrue(any(re.search(rx, l) for l in lines), (rx, run.stderr))
                self.assertEqual(os.listdir(out), [])
        nothing = dict.fromkeys(("folian", "engine", "app", "assets", "icu"))
        usage = {"empty --glibc": (["--glibc", ""], {}, "--glibc wants a version"),
                 "--check without pieces": (["--check"], nothing, "--check needs a piece")}
        for name, (args, pieces, expected) in usage.items():
            with self.subTest(name):
                run, out = self.run_tool(args, **pieces)
                self.assertEqual(run.returncode, 2)
                self.assertRegex(run.stderr, r"\nfolian-bundle: error: %s[^\n]*\n$" % expected)
                self.assertEqual(os.listdir(out), [])

    def test_app_against_engine_vectors(self):
        # The rules shared with the program, every row of the one table, through
        # the tool's own entry point: an app whose snapshot data is the row's
        # bytes, an engine holding the row's hashes and mode word.  An empty
        # symbol is read as far as the longest header goes: judge() alone.
        tool = load_tool()
        with open(os.path.join(ROOT, "tests", "vectors", "app_engine.tsv")) as f:
            rows = list(csv.DictReader((l for l in f if not l.startswith("#")), delimiter="\t"))
        self.assertGreater(len(rows), 20)
        texts = {"bad_magic": "holds no Dart snapshot", "truncated": "is cut short",
                 "bad_hash": "holds no snapshot hash", "bad_mode": "snapshot's mode is",
                 "wrong_arch": "another architecture or system", "wrong_float": "not for hard-float",
                 "needs_aot_engine": r"the engine is a debug \(JIT\) engine",
                 "hash_mismatch": "is not the engine's", "mode_mismatch": "build both in one mode"}
        engines = {}
        for row in rows:
            with self.subTest(row["name"]):
                hashes = [] if row["engine_hashes"] == "-" else row["engine_hashes"].split(",")
                mode = None if row["engine_mode"] == "-" else row["engine_mode"]
                aot, snapshot = row["engine_aot"] == "1", bytes.fromhex(row["snapshot_hex"])
                self.assertEqual(tool.judge(row["target"], snapshot, hashes, aot, mode), row["verdict"])
                if not snapshot:
                    continue
                arm = row["target"] == "armhf"
                cc, name = (ARM_CC, "arm") if arm else ("cc", "host")
                key = (name, row["engine_hashes"], aot, row["engine_mode"])
                if key not in engines:
                    engines[key] = self.build(cc, "vector_engine_%d" % len(engines), engine_source(
                        declared_engine_functions(), *(hashes + ([mode] if mode else []))) +
                        ("" if aot else "const char kDartVmSnapshotData[] = {1};\n"))
                app = self.build(cc, "vector_app", "".join(
                    "const unsigned char %s[] = {%s};\n" % (s, ", ".join(map(str, snapshot)))
                    for s in SNAPSHOTS))
                run, _ = self.run_tool(["--check"] + ([] if arm else ["--arch", "host"]),
                                       folian=None, assets=None, icu=None, app=app,
                                       engine=engines[key])
                self.assertNotIn("Traceback", run.stderr)
                if row["verdict"] == "ok":
                    self.assertEqual(run.returncode, 0, run.stderr)
                else:
                    self.assertEqual(run.returncode, 1, run.stderr)
                    problems = run.stderr.splitlines()[:-1]
                    self.assertEqual(len(problems), 1, run.stderr)
                    self.assertRegex(problems[0], r"^application library .*: .*" + texts[row["verdict"]])

    def test_engine_strings_are_found_across_chunk_edges(self):
        tool = load_tool()
        tool.CHUNK = 64
        path = os.path.join(self.work, "hashes.bin")
        for at in range(80):
            for word, mode in ((b"release", "release"), (b"releases", None)):
                with open(path, "wb") as f:  # with runs of 33 and 31 that are no hash
                    f.write(b"x" * at + b"\0" + HASH.encode() + b"\0" + b"a" * 33 + b"\0" + b"b" * 31 +
                            b"\0" + word + b"\0")
                self.assertEqual(tool.engine_strings(path), ([HASH], mode), at)

    def test_engines_from_2_0_on_are_taken_without_what_they_lack(self):
        for engine, lacking in (("engine_20", ["SendKeyEvent (Flutter 2.2 on)", "ScheduleFrame (Flutter 3.0 on)"]),
                                ("engine_210", ["ScheduleFrame (Flutter 3.0 on)"])):
            with self.subTest(engine):
                run, _ = self.run_tool(["--check"], engine=self.lib[engine])
                self.assertEqual(run.returncode, 0, run.stderr)
                told = re.findall(r"(?m)^engine library .*: no FlutterEngine(.*), folian does without$",
                                  run.stdout)
                self.assertEqual(told, lacking)


if __name__ == "__main__":
    unittest.main()
