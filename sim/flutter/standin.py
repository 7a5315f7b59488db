#!/usr/bin/env python3
"""Stand-ins for the Flutter SDK's tools, as scripts/folian-build runs them:
`flutter build bundle`, the frontend server under dartaotruntime, and
gen_snapshot.  Each is this file under the tool's name (a symbolic link),
checks every argument against the command lines of the release it stands for
and fails loudly on anything else, and writes outputs shaped like the real
ones.  Run under its own name it lays out a stand-in SDK or engine artefacts:

    standin.py sdk DIR --release 3.44.0
    standin.py engine-artifacts DIR --release 3.44.0 --snapshot-hash HEX32 [--arch arm|host]
"""

import argparse
import hashlib
import json
import os
import re
import struct
import sys
import urllib.parse
import urllib.request
import zlib

KERNEL_MAGIC = 0x90ABCDEF
KERNEL_FORMAT = 121  # any number: the stand-ins agree on it
SNAPSHOT_MAGIC = b"\xf5\xf5\xdc\xdc"
SNAPSHOT_KIND_FULL_AOT = 3
SNAPSHOT_SYMBOLS = [("_kDartVmSnapshotInstructions", 2), ("_kDartIsolateSnapshotInstructions", 2),
                    ("_kDartVmSnapshotData", 1), ("_kDartIsolateSnapshotData", 1)]
FEATURES = {"arm": "product no-code_comments no-dwarf_stack_traces_mode dedup_instructions "
                   "no-tsan arm-eabi linux hardfp null-safety",
            "host": "product no-code_comments no-dwarf_stack_traces_mode dedup_instructions "
                    "no-tsan x64-sysv linux compressed-pointers null-safety"}
TARGET_PLATFORMS = {"android-arm", "android-arm64", "android-x64", "ios", "darwin", "linux-x64",
                    "linux-arm64", "windows-x64", "windows-arm64"}


def fail(tool, text, status=2):
    print("%s: %s" % (tool, text), file=sys.stderr)
    sys.exit(status)


def version_tuple(release):
    return tuple(int(n) for n in re.match(r"(\d+)\.(\d+)", release).groups())


def dart_hash(release):
    """The short Dart SDK hash (10 characters) a release's kernels carry and its
    tools insist on; made up from the release, so that the tools of one agree."""
    return hashlib.sha1(release.encode()).hexdigest()[:10]


def kernel(sdk_hash, payload):
    return struct.pack(">II", KERNEL_MAGIC, KERNEL_FORMAT) + sdk_hash.encode() + payload


def kernel_hash(path):
    with open(path, "rb") as f:
        head = f.read(18)
    if len(head) < 18 or struct.unpack(">I", head[:4])[0] != KERNEL_MAGIC:
        return None
    return head[8:18].decode("latin-1")


def sdk_root(levels):
    """The SDK this tool belongs to, from where it was started (not where the link leads)."""
    path = os.path.abspath(sys.argv[0])
    for _ in range(levels):
        path = os.path.dirname(path)
    with open(os.path.join(path, "bin", "cache", "flutter.version.json")) as f:
        return path, json.load(f)["frameworkVersion"]


def write(path, data):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)


def pubspec(path):
    """The package name and the assets a pubspec.yaml lists (the two-level layout only)."""
    name, assets, section = None, [], None
    with open(path) as f:
        for line in f:
            if re.match(r"name:\s*(\S+)", line):
                name = line.split(":", 1)[1].strip()
            elif re.match(r"\S", line):
                section = line.strip()
            elif section == "flutter:" and re.match(r"\s+-\s", line):
                assets.append(line.strip()[1:].strip())
    return name, assets


def flutter(argv):
    """flutter build bundle: options as the command declares them (commands/build_bundle.dart)."""
    tool = "flutter"
    sdk, release = sdk_root(2)
    if argv[:2] != ["build", "bundle"]:
        fail(tool, "the stand-in runs only `flutter build bundle`", 64)
    opts = {"mode": "debug", "target": "lib/main.dart", "asset-dir": "build/flutter_assets",
            "depfile": "build/snapshot_blob.bin.d", "target-platform": "android-arm", "pub": True}
    rest = argv[2:]
    while rest:
        arg = rest.pop(0)
        name, _, value = arg.partition("=")
        if arg in ("--debug", "--profile", "--release"):
            opts["mode"] = arg[2:]
        elif arg in ("--pub", "--no-pub"):
            opts["pub"] = arg == "--pub"
        elif name in ("--target", "-t", "--asset-dir", "--depfile", "--target-platform"):
            if not value:
                value = rest.pop(0) if rest else fail(tool, 'Missing argument for "%s".' % name, 64)
            opts["target" if name == "-t" else name[2:]] = value
        else:
            fail(tool, 'Could not find an option named "%s".' % name, 64)
    if opts["target-platform"] not in TARGET_PLATFORMS:
        fail(tool, '"%s" is not an allowed value for option "target-platform".'
             % opts["target-platform"], 64)
    if not os.path.isfile("pubspec.yaml"):
        fail(tool, "Error: No pubspec.yaml file found.", 1)
    if not os.path.isfile(opts["target"]):
        fail(tool, 'Target file "%s" not found.' % opts["target"], 1)
    name, assets = pubspec("pubspec.yaml")
    for asset in assets:
        if not os.path.exists(asset):
            fail(tool, "Error detected in pubspec.yaml: No file or variants found for asset: %s."
                 % asset, 1)
    if opts["pub"]:
        write(os.path.join(".dart_tool", "package_config.json"), json.dumps({
            "configVersion": 2, "packages": [
                {"name": name, "rootUri": "../", "packageUri": "lib/"},
                {"name": "flutter", "rootUri": urllib.parse.urljoin(
                    "file:", urllib.request.pathname2url(os.path.join(sdk, "packages", "flutter"))),
                 "packageUri": "lib/"}]}))
    out = opts["asset-dir"]
    write(os.path.join(out, "AssetManifest.bin"), b"\x0c" + bytes(len(assets)))
    if version_tuple(release) < (3, 38):  # the JSON manifest was dropped in 3.38
        write(os.path.join(out, "AssetManifest.json"), json.dumps({a: [a] for a in assets}))
    write(os.path.join(out, "FontManifest.json"), "[]")
    write(os.path.join(out, "NOTICES.Z"), zlib.compress(b"stand-in notices\n"))
    for asset in assets:
        with open(asset, "rb") as f:
            write(os.path.join(out, asset), f.read())
    if opts["mode"] == "debug":  # what a debug engine runs instead of libapp.so
        write(os.path.join(out, "kernel_blob.bin"), kernel(dart_hash(release), b"jit"))
        write(os.path.join(out, "vm_snapshot_data"), SNAPSHOT_MAGIC)
        write(os.path.join(out, "isolate_snapshot_data"), SNAPSHOT_MAGIC)
    write(opts["depfile"], "%s: pubspec.yaml\n" % out)
    return 0


# The frontend server's options (package:frontend_server's argument parser):
# those taking the next argument, and flags of their own.
SERVER_VALUES = {"--sdk-root", "--target-os", "--packages", "--output-dill", "--depfile",
                 "--filesystem-root", "--filesystem-scheme", "--initialize-from-dill",
                 "--platform", "--source", "--native-assets"}
SERVER_FLAGS = {"--no-print-incremental-dependencies", "--aot", "--tfa",
                "--track-widget-creation", "--no-link-platform", "--incremental",
                "--native-assets-only"}
SERVER_EQUALS = {"--target", "--verbosity", "--delete-tostring-package-uri"}
# An ahead-of-time product kernel needs these; flutter_tools passes them for
# release builds (compile.dart: buildModeOptions, KernelCompiler.compile).
SERVER_REQUIRED = ["--target=flutter", "--no-print-incremental-dependencies",
                   "-Ddart.vm.profile=false", "-Ddart.vm.product=true",
                   "--delete-tostring-package-uri=dart:ui",
                   "--delete-tostring-package-uri=package:flutter", "--aot", "--tfa",
                   "--target-os=linux", "--verbosity=error"]
SERVER_FORBIDDEN = ["--track-widget-creation", "--no-link-platform", "--incremental",
                    "--initialize-from-dill"]


def frontend_server(argv):
    """dartaotruntime [--disable-dart-dev] frontend_server_aot.dart.snapshot OPTIONS ENTRY"""
    tool = "frontend_server"
    sdk, release = sdk_root(5)
    # The flutter tool passed --disable-dart-dev to this runtime until 3.26.
    passes = version_tuple(release) < (3, 26)
    if (argv[:1] == ["--disable-dart-dev"]) != passes:
        fail(tool, "the flutter tool of %s %s --disable-dart-dev first" % (
            release, "passes" if passes else "does not pass"))
    argv = argv[1:] if passes else argv
    snapshot = os.path.join(sdk, "bin", "cache", "dart-sdk", "bin", "snapshots",
                            "frontend_server_aot.dart.snapshot")
    if argv[:1] != [snapshot]:
        fail(tool, "the first argument must be %s, not %s" % (snapshot, (argv or ["nothing"])[0]))
    given, values, entries = [], {}, []
    rest = argv[1:]
    while rest:
        arg = rest.pop(0)
        name = arg.partition("=")[0]
        if arg in SERVER_FLAGS or arg.startswith("-D") or name in SERVER_EQUALS and "=" in arg:
            given.append(arg)
        elif arg in SERVER_VALUES:
            if not rest:
                fail(tool, 'Missing argument for "%s".' % arg, 64)
            values[arg] = rest.pop(0)
            given.append(arg + "=" + values[arg])
        elif arg.startswith("-"):
            fail(tool, 'Could not find an option named "%s".' % name, 64)
        else:
            entries.append(arg)
    problems = [a for a in SERVER_REQUIRED if a not in given]
    problems += [a for a in given if a.partition("=")[0] in SERVER_FORBIDDEN]
    platform = os.path.join(sdk, "bin", "cache", "artifacts", "engine", "common",
                            "flutter_patched_sdk_product") + "/"
    if values.get("--sdk-root") != platform:
        problems.append("--sdk-root %s (the product platform is %s)"
                        % (values.get("--sdk-root"), platform))
    for option in ("--packages", "--output-dill", "--depfile"):
        if option not in values:
            problems.append(option)
    if len(entries) != 1 or argv[-1:] != entries:
        problems.append("one entry point, last (given: %s)" % (entries or "none"))
    if problems:
        fail(tool, "not the command line of an ahead-of-time release kernel: " +
             "; ".join(problems))
    with open(values["--packages"]) as f:
        config = {p["name"]: p for p in json.load(f)["packages"]}
    uri = urllib.parse.urlparse(entries[0])
    if uri.scheme == "package":
        name, _, rest = uri.path.partition("/")
        base = urllib.parse.urljoin("file:", urllib.request.pathname2url(values["--packages"]))
        root = urllib.parse.urljoin(base, config[name]["rootUri"]) if name in config else ""
        path = os.path.join(urllib.request.url2pathname(urllib.parse.urlparse(root).path),
                            config.get(name, {}).get("packageUri", ""), rest)
    else:
        path = urllib.request.url2pathname(uri.path)
        lib = os.path.join(os.path.dirname(os.path.dirname(values["--packages"])), "lib", "")
        if path.startswith(lib):  # the tool names a package's own file by its package URI
            fail(tool, "entry point %s lies in the package's lib, and is named by file" % uri)
    if not os.path.isfile(path):
        fail(tool, "Error: Error when reading '%s': No such file or directory" % entries[0], 254)
    sdk_hash = kernel_hash(os.path.join(platform, "platform_strong.dill"))
    write(values["--output-dill"], kernel(sdk_hash, b"aot product linux " + entries[0].encode()))
    write(values["--depfile"], "%s: %s\n" % (values["--output-dill"], path))
    return 0


def elf(arch, data):
    """A shared object for the target holding the four snapshot symbols, each
    data symbol starting with the snapshot header given."""
    wide = arch == "host"
    word, align = ("Q", 8) if wide else ("I", 4)
    ehsize, phsize, shsize, symsize = (64, 56, 64, 24) if wide else (52, 32, 40, 16)
    body = bytearray(ehsize + 3 * phsize)

    def place(blob, boundary=1):
        body.extend(bytes(-len(body) % boundary))
        start = len(body)
        body.extend(blob)
        return start, len(blob)

    count = len(SNAPSHOT_SYMBOLS) + 1
    # One hash bucket, every symbol on its chain.
    hashes = place(struct.pack("<%dI" % (count + 3), 1, count, 1, 0, *range(2, count), 0), 4)
    text = place(bytes(64), 16)
    rodata = place(data.ljust(256, b"\0") * 2, 32)
    names, symbols = b"\0", bytes(symsize)
    for i, (name, kind) in enumerate(SNAPSHOT_SYMBOLS):
        shndx, size = (4, 32) if kind == 2 else (5, 256)
        value = (text if kind == 2 else rodata)[0] + i % 2 * size
        fields = (len(names), 0x10 | kind, 0, shndx, value, size) if wide else \
            (len(names), value, size, 0x10 | kind, 0, shndx)
        symbols += struct.pack("<IBBHQQ" if wide else "<IIIBBH", *fields)
        names += name.encode() + b"\0"
    dynsym = place(symbols, align)
    dynstr = place(names)
    end_ro = len(body)
    # The loader writes into the dynamic section: a writable page of its own.
    dyn_file = len(body) + (-len(body) % align)
    dyn_addr = dyn_file + 0x10000
    dynamic = place(b"".join(struct.pack("<" + word * 2, tag, value) for tag, value in (
        (4, hashes[0]), (5, dynstr[0]), (6, dynsym[0]), (10, len(names)), (11, symsize),
        (0, 0))), align)
    shstr = b"\0.hash\0.dynsym\0.dynstr\0.text\0.rodata\0.dynamic\0.shstrtab\0"
    shstrtab = place(shstr)

    def section(name, kind, flags, where, addr=None, link=0, info=0, boundary=1, entsize=0):
        fields = (shstr.index(b"." + name.encode() + b"\0"), kind, flags,
                  where[0] if addr is None else addr, where[0], where[1], link, info, boundary,
                  entsize)
        return struct.pack("<IIQQQQIIQQ" if wide else "<IIIIIIIIII", *fields)

    sections = place(b"".join([
        bytes(shsize), section("hash", 5, 2, hashes, link=2, boundary=4, entsize=4),
        section("dynsym", 11, 2, dynsym, link=3, info=1, boundary=align, entsize=symsize),
        section("dynstr", 3, 2, dynstr), section("text", 1, 6, text, boundary=16),
        section("rodata", 1, 2, rodata, boundary=32),
        section("dynamic", 6, 3, dynamic, dyn_addr, 3, 0, align, 2 * struct.calcsize(word)),
        section("shstrtab", 3, 0, shstrtab, 0)]), align)

    def segment(kind, offset, addr, size, flags, boundary):
        if wide:
            return struct.pack("<IIQQQQQQ", kind, flags, offset, addr, addr, size, size, boundary)
        return struct.pack("<IIIIIIII", kind, offset, addr, addr, size, size, flags, boundary)

    ident = b"\x7fELF" + bytes([2 if wide else 1, 1, 1]) + bytes(9)
    body[:ehsize + 3 * phsize] = ident + struct.pack(
        "<HHI" + word * 3 + "IHHHHHH", 3, 62 if wide else 40, 1, 0, ehsize, sections[0],
        0 if wide else 0x05000400, ehsize, phsize, 3, shsize, 8, 7) + \
        segment(1, 0, 0, end_ro, 5, 0x1000) + \
        segment(1, dyn_file, dyn_addr, dynamic[1], 6, 0x1000) + \
        segment(2, dyn_file, dyn_addr, dynamic[1], 6, align)
    return bytes(body)


def gen_snapshot(argv):
    """gen_snapshot: Dart VM flags, then the kernel."""
    tool = "gen_snapshot"
    with open(os.path.abspath(sys.argv[0]) + ".json") as f:
        me = json.load(f)
    arm = me["arch"] == "arm"
    # The flags base/build.dart passes (AOTSnapshotter.build); the two CPU
    # flags exist only in a gen_snapshot that makes ARM code.
    known = {"deterministic", "snapshot_kind", "elf", "strip", "obfuscate", "dwarf_stack_traces",
             "resolve_dwarf_paths", "save_debugging_info"}
    if arm:
        known |= {"sim_use_hardfp", "use_integer_division"}
    flags, inputs = {}, []
    for arg in argv:
        if not arg.startswith("--"):
            inputs.append(arg)
            continue
        name, eq, value = arg[2:].partition("=")
        name = name.replace("-", "_")  # the VM takes either
        if name.startswith("no_") and not eq:
            name, value = name[3:], False
        elif not eq:
            value = True
        if name not in known:
            fail(tool, "Setting VM flags failed: Unrecognized flags: %s" % name, 255)
        flags[name] = value
    wanted = {"deterministic": True, "snapshot_kind": "app-aot-elf", "strip": True}
    if arm:
        wanted.update(sim_use_hardfp=True, use_integer_division=False)
    problems = ["--%s %s (given: %s)" % (k.replace("_", "-"), v, flags.get(k, "nothing"))
                for k, v in wanted.items() if flags.get(k) != v]
    if not isinstance(flags.get("elf"), str) or not flags["elf"]:
        problems.append("--elf=FILE")
    if len(inputs) != 1 or argv[-1:] != inputs:
        problems.append("one kernel, last (given: %s)" % (inputs or "none"))
    if problems:
        fail(tool, "not the command line of an ahead-of-time ELF library: " + "; ".join(problems))
    found = kernel_hash(inputs[0]) if os.path.isfile(inputs[0]) else None
    if found is None:
        fail(tool, "Can't load Kernel binary: Invalid kernel binary format version.", 254)
    if found != me["dart_hash"]:
        fail(tool, "Can't load Kernel binary: Invalid SDK hash.", 254)
    header = SNAPSHOT_MAGIC + struct.pack("<qq", 0x4000, SNAPSHOT_KIND_FULL_AOT) + \
        me["snapshot_hash"].encode() + FEATURES[me["arch"]].encode() + b"\0"
    write(flags["elf"], elf(me["arch"], header))
    print("Warning: Generating ELF library without DWARF debugging information.")
    return 0


def link(path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if os.path.lexists(path):
        os.unlink(path)
    os.symlink(os.path.abspath(__file__), path)


def make(argv):
    parser = argparse.ArgumentParser(prog="standin.py")
    parser.add_argument("what", choices=("sdk", "engine-artifacts"))
    parser.add_argument("dir")
    parser.add_argument("--release", required=True)
    parser.add_argument("--snapshot-hash", default="0" * 32)
    parser.add_argument("--arch", choices=("arm", "host"), default="arm")
    args = parser.parse_args(argv)
    d = args.dir
    if args.what == "sdk":
        link(os.path.join(d, "bin", "flutter"))
        link(os.path.join(d, "bin", "cache", "dart-sdk", "bin", "dartaotruntime"))
        write(os.path.join(d, "bin", "cache", "dart-sdk", "bin", "snapshots",
                           "frontend_server_aot.dart.snapshot"), "stand-in\n")
        write(os.path.join(d, "bin", "cache", "artifacts", "engine", "common",
                           "flutter_patched_sdk_product", "platform_strong.dill"),
              kernel(dart_hash(args.release), b"platform"))
        write(os.path.join(d, "bin", "cache", "flutter.version.json"), json.dumps({
            "frameworkVersion": args.release, "channel": "stable",
            "flutterVersion": args.release}))
        write(os.path.join(d, "version"), args.release)
    else:
        link(os.path.join(d, "gen_snapshot"))
        write(os.path.join(d, "gen_snapshot.json"), json.dumps({
            "arch": args.arch, "dart_hash": dart_hash(args.release),
            "snapshot_hash": args.snapshot_hash}))
        write(os.path.join(d, "icudtl.dat"), b"stand-in icu data\n")
    return 0


if __name__ == "__main__":
    role = os.path.basename(sys.argv[0])
    sys.exit({"flutter": flutter, "dartaotruntime": frontend_server,
              "gen_snapshot": gen_snapshot}.get(role, make)(sys.argv[1:]))
