"""Start-up, engine launch, initial engine state, signals and the exit watchdog."""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from folian_e2e import (BUILD_DIR, RUNNER, SLOW, E2ETestCase, assert_no_violation, events, executable,
                        first, payload, say, snapshot_header, stand_in_app)

SIM = {"FOLIAN_FB_FILE": ""}  # simulated 1236x1648 screen, DPI 300
SETTINGS = b'{"textScaleFactor":1.0,"alwaysUse24HourFormat":true,"platformBrightness":"light"}'
EXIT_MESSAGE = "[嵌入器] 退出超时，强制结束\n".encode("utf-8")
ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def in_order(lines, *patterns):
    """Each pattern's first matching line comes after the previous one's."""
    at = -1
    for rx in patterns:
        found = [i for i, l in enumerate(lines) if i > at and re.search(rx, l)]
        if not found:
            raise AssertionError("%r missing after line %d in\n%s" % (rx, at, "\n".join(lines)))
        at = found[0]


class StartUp(E2ETestCase):
    def stop(self, app, sig=signal.SIGTERM):
        """Stops with the signal: status 0, the engine shut down, "退出" logged."""
        app.wait_event("present")
        app.signal(sig)
        self.assertEqual(app.wait(), 0)
        in_order(app.lines(), r"\] 引擎已启动$", r"^\[ *\d+\.\d{3}\] 退出$")
        trace = app.trace()
        assert_no_violation(trace)
        self.assertEqual([e["phase"] for e in events(trace, "shutdown")], ["begin", "end"])
        self.assertEqual(trace[-1]["event"], "shutdown")
        return trace

    def fields(self, event, expect):
        self.assertEqual({k: event.get(k) for k in expect}, expect)

    def test_log_lines_engine_configuration_and_initial_state(self):
        bundle = self.bundle(app="message some/unknown hello\ncall other.unknown doIt a=i:1\n"
                                 "log from the app\nfill gray 255\npresent\n")
        app = self.start(bundle, env=dict(SIM, FOLIAN_SIM_LOG="1"))
        app.wait_event("run_task", match=lambda e: e["kind"] == "noop", count=3)
        trace = self.stop(app)
        lines = app.lines()
        self.assertRegex(lines[0], r"^\[    0\.000\] LC_CTYPE=C\.UTF-8$")
        # Engine lines carry the tag and no clock, whichever thread logs.
        for text in ("stand-in engine ui thread up", "stand-in engine raster thread up",
                     "from the app"):
            self.assertIn("[flutter] " + text, lines)
        in_order(lines[1:], r"^\[ *\d+\.\d{3}\] 包目录 %s$" % re.escape(bundle.path),
                 r"^\[ *\d+\.\d{3}\] 屏幕 1236x1648，DPI 300，像素比 1\.875$",
                 r"^\[ *\d+\.\d{3}\] 引擎已启动$")
        self.fields(first(trace, "run"), {
            "thread": "platform", "result": "0", "version": "1", "renderer": "1", "argc": "1",
            "argv0": "folian-kindle", "log_tag": "flutter", "log_cb": "1", "message_cb": "1",
            "shutdown_vm": "1", "aot_data": "null", "snapshots": "0", "vsync": "0",
            "compositor": "1", "create_cb": "1", "collect_cb": "1", "layers_cb": "1", "view_cb": "0",
            "entrypoint": "null", "render_runner": "null", "ui_runner": "null",
            "identifier": "1", "assets": bundle.assets, "icu": bundle.icu})
        # The five initial calls, in order.
        initial = [e for e in trace if e["event"] in
                   ("display_update", "window_metrics", "locales", "message_from_embedder")]
        self.assertEqual([e["event"] for e in initial], ["display_update", "window_metrics",
                         "locales", "message_from_embedder", "message_from_embedder"])
        display, metrics, locales, settings, lifecycle = initial
        self.fields(display, {"type": "0", "count": "1", "id": "0", "single": "1", "refresh": "60.000",
                              "width": "1236", "height": "1648", "dpr": "1.875"})
        self.fields(metrics, {"width": "1236", "height": "1648", "pixel_ratio": "1.875", "left": "0",
                              "top": "0", "insets": "0,0,0,0", "display_id": "0", "view_id": "0",
                              "constraints": "0"})
        self.assertEqual(locales["list"], "zh_CN,en_US")
        self.assertEqual((settings["channel"], payload(settings), settings["size"]),
                         ("flutter/settings", SETTINGS, "81"))
        self.assertEqual((lifecycle["channel"], payload(lifecycle)),
                         ("flutter/lifecycle", b"AppLifecycleState.resumed"))
        self.assertEqual([m["response_handle"] for m in (settings, lifecycle)], ["null"] * 2)
        # Unknown channels get the empty response.
        responses = {e["channel"]: e for e in events(trace, "response")}
        for channel in ("some/unknown", "other.unknown"):
            self.fields(responses[channel], {"size": "0", "thread": "platform"})
        # The white frame comes from the raster thread at the window size, in
        # a gray store of the program's.
        self.fields(first(trace, "present"), {"thread": "raster", "width": "1236", "rows": "1648",
                                              "row_bytes": "1236", "result": "1", "pixels": "gray8"})
        self.assertIn("画面格式：Gray8，引擎（Flutter 3.44.1–3.44.9）直接画屏幕的格式", " ".join(lines))

    def test_bundle_directory(self):
        good = self.bundle(with_executable=True)
        other = self.bundle()
        cases = {  # name: executable, arguments, bundle expected; SIGINT stops the first
            "option": (None, ["--bundle", other.path], other.path),
            "first of two wins": (None, ["--bundle", other.path, "--bundle", good.path], other.path),
            "no option": (good.executable, [], good.path),
        }
        apps = {name: self.start(exe=exe, args=args, env=SIM) for name, (exe, args, _) in cases.items()}
        for name, (_, _, expected) in cases.items():
            with self.subTest(name):
                trace = self.stop(apps[name], signal.SIGINT if name == "option" else signal.SIGTERM)
                self.assertIn("包目录 %s" % expected, "\n".join(apps[name].lines()))
                self.assertEqual(first(trace, "run")["assets"], expected + "/data/flutter_assets")

    def test_command_line(self):
        bad = {("-x",): "unknown option '-x'", ("--bundle",): "--bundle needs a directory",
               ("--bundle", ""): "--bundle needs a directory",
               ("--bundle", "/b", "extra"): "unexpected argument 'extra'",
               ("--bundle=/b",): "unknown option '--bundle=/b'"}
        apps = {a: self.start(args=list(a), env=SIM) for a in [("--version",), ("--help",)] + list(bad)}
        out = {}
        for args, app in apps.items():
            with self.subTest(args):
                self.assertEqual(app.wait(), 2 if args in bad else 0)
                self.assertEqual(app.trace(), [])  # the engine was never called
                with open(os.path.join(app.workdir, "stdout.txt")) as f:
                    out[args] = f.read()
                if args in bad:  # the mistake named, then the usage
                    self.assertEqual((out[args], app.lines()[:2]),
                                     ("", ["folian: " + bad[args], "usage: folian [--bundle DIR]"]))
                    self.assertFalse(any("LC_CTYPE" in l for l in app.lines()))
                else:
                    self.assertEqual(app.lines(), [])
        version = out[("--version",)].splitlines()
        self.assertRegex(version[0], r"^folian \S+$")
        if os.path.exists(os.path.join(ROOT, ".git")):
            self.assertNotEqual(version[0], "folian unknown")
        self.assertIn("Embedder API version 1", version[1])
        self.assertIn("904dab858c4", version[2])
        # Every variable the program reads is in the help, a device setting
        # on a line of its own, one for tests and the desktop in the sentence
        # that names them; and in the tables of the configuration's page and
        # the launcher's.
        source = "".join(open(os.path.join(ROOT, "src", n)).read()
                         for n in os.listdir(os.path.join(ROOT, "src")) if n.endswith(".cpp"))
        read = set(re.findall(r'"(FOLIAN_[A-Z0-9_]+)"', source))
        helped = re.findall(r"(?m)^  (FOLIAN_[A-Z0-9_]+) ", out[("--help",)])
        desktop = re.findall(r"FOLIAN_\w+", out[("--help",)].split("For tests and the desktop:")[1])
        # The settings' pages, and a feature's own page that holds its table.
        docs = ""
        for page in ("configuration.md", "launcher.md", "orientation.md"):
            with open(os.path.join(ROOT, "docs", page)) as f:
                docs += f.read()
        with open(os.path.join(ROOT, "scripts", "folian-run")) as f:
            launcher = set(re.findall(r"\$\{(FOLIAN_[A-Z0-9_]+)", f.read())) - read
        documented = re.findall(r"(?m)^\| `(FOLIAN_[A-Z0-9_]+)` \|", docs)
        self.assertEqual(sorted(helped + desktop), sorted(read))
        self.assertTrue(all(n.startswith(("FOLIAN_TEST_", "FOLIAN_FB_")) for n in desktop), desktop)
        self.assertEqual(sorted(documented), sorted(read | launcher))
        # A switch read by its presence is on even as "0": both texts say so.
        for name in re.findall(r'setting_present\("(FOLIAN_\w+)"\)', source):
            if name in helped:
                self.assertRegex(out[("--help",)], r"(?m)^  %s +set, even empty or 0: " % name)
            self.assertRegex(docs, r"(?m)^\| `%s` \| .*\(even empty or `0`\)" % name)

    def test_check_and_version_tell_what_would_run(self):
        good, bad = self.bundle(), self.bundle(icu=False, libapp=b"not an elf")
        h = snapshot_header(stand_in_app())[0]
        with open(os.path.join(good.path, "bundle.json"), "w") as f:
            json.dump({"folian": "1.0", "engine_release": "3.44", "engine_hash": h, "app_hash": h,
                       "app_release": None, "mode": "product", "runtime": "device"}, f)
        with open(os.path.join(bad.path, "bundle.json"), "w") as f:
            f.write("{not json")
        env = dict(SIM, FOLIAN_SIM_AOT="1")
        # Settings a start would refuse, each a problem of its own, and a plain
        # file where the control FIFO goes (an echo while folian was not
        # running leaves one).
        taken = os.path.join(bad.path, "ctl")
        with open(taken, "w") as f:
            f.write("next\n")
        bad_env = dict(env, FOLIAN_EINK="foo", FOLIAN_NIGHT="yes", FOLIAN_FULL_EVERY="abc",
                       FOLIAN_PIXEL_RATIO="-1", FOLIAN_CONTROL=taken, FOLIAN_FB_SIZE="40y30",
                       FOLIAN_ROTATE="45", FOLIAN_PIXELS="grey")
        runs = [self.start(args=["--check", "--bundle", good.path], env=env),
                self.start(args=["--check", "--bundle", bad.path], env=bad_env),
                self.start(args=["--bundle", good.path, "--version"], env=env)]
        self.assertEqual([r.wait() for r in runs], [0, 1, 0])
        for r in runs:
            self.assertEqual(events(r.trace(), "run"), [])  # the engine was never launched
        release = "（Flutter 3.44.1–3.44.9）"
        in_order(runs[0].lines(), r"\] 包清单：folian 1\.0，引擎 Flutter 3\.44（快照 %s），应用 Flutter \?"
                 r"（快照 %s，product），C 库 device$" % (h, h),
                 r"\] 引擎 .*/libflutter_engine\.so$", r"\] ICU 数据 .* 可读$",
                 r"\] 应用 %s：快照 %s%s，product " % (re.escape(good.libapp), h, release),
                 r"\] 屏幕是模拟的", r"\] 检查完毕：全部通过$")
        in_order(runs[1].lines(), r"\] 包清单 .* 读不懂，略过$",
                 r"\]\[错误\] 读不了 ICU 数据 ", r"\]\[错误\] 应用 .* 不是 ELF 文件$",
                 r"\]\[错误\] FOLIAN_FB_SIZE=40y30 无效",
                 r"\]\[错误\] FOLIAN_PIXEL_RATIO=-1 无效", r"\]\[错误\] FOLIAN_NIGHT=yes 无效",
                 r"\]\[错误\] FOLIAN_FULL_EVERY=abc 无效", r"\]\[错误\] FOLIAN_EINK=foo 无效",
                 r"\]\[错误\] FOLIAN_ROTATE=45 无效", r"\]\[错误\] FOLIAN_PIXELS=grey 无效",
                 r"\]\[错误\] 建控制管道 .*/ctl 失败: 路径上已有别的文件",
                 r"\]\[错误\] 检查完毕：10 项有问题$")
        self.assertTrue(os.path.isfile(taken))
        with open(os.path.join(runs[2].workdir, "stdout.txt")) as f:
            version = f.read().splitlines()
        self.assertRegex(version[3], r"^engine: .*/libflutter_engine\.so: Flutter 3\.44\.1–3\.44\.9 "
                         r"\(snapshot %s\)$" % h)
        self.assertRegex(version[4], r"^app: %s: Flutter 3\.44\.1–3\.44\.9 \(snapshot %s, product "
                         % (re.escape(good.libapp), h))

    def test_pixel_ratio_and_accessibility_features(self):
        cases = [  # environment, DPI logged, ratio, accessibility features told
            ({"FOLIAN_DPI": "0", "FOLIAN_REDUCE_MOTION": "1"}, "DPI 0", "2.000", ["0x4"]),
            ({"FOLIAN_DPI": "320", "FOLIAN_HIGH_CONTRAST": "true"}, "DPI 320", "2.000", ["0x20"]),
            ({"FOLIAN_PIXEL_RATIO": "", "FOLIAN_REDUCE_MOTION": "0"}, "DPI 300", "1.875", []),
            ({"FOLIAN_PIXEL_RATIO": "1.5", "FOLIAN_DPI": "320", "FOLIAN_REDUCE_MOTION": "true",
              "FOLIAN_HIGH_CONTRAST": "1"}, "DPI 320", "1.500", ["0x24"]),
        ]
        bundle = self.bundle()
        apps = [self.start(bundle, env=dict(SIM, **env)) for env, _, _, _ in cases]
        for app, (env, dpi, ratio, features) in zip(apps, cases):
            with self.subTest(env):
                trace = self.stop(app)
                self.assertIn("屏幕 1236x1648，%s，像素比 %s" % (dpi, ratio), "\n".join(app.lines()))
                self.assertEqual(first(trace, "display_update")["dpr"], ratio)
                self.assertEqual(first(trace, "window_metrics")["pixel_ratio"], ratio)
                told = events(trace, "accessibility_features")
                self.assertEqual([e["bits"] for e in told], features)
                # Told before the application's first frame.
                if told:
                    self.assertLess(trace.index(told[0]), trace.index(first(trace, "present")))

    def test_numbers_do_not_follow_a_decimal_comma_locale(self):
        locales = tempfile.mkdtemp(prefix="folian-locale-")
        self.addCleanup(shutil.rmtree, locales, True)
        subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", os.path.join(locales, "de_DE.UTF-8")],
                       capture_output=True)
        self.assertTrue(os.path.exists(os.path.join(locales, "de_DE.UTF-8", "LC_NUMERIC")),
                        "localedef could not build de_DE.UTF-8 (Debian package locales)")
        ctl = os.path.join(locales, "ctl")
        app = self.start(self.bundle(), env=dict(
            SIM, LOCPATH=locales, LANG="de_DE.UTF-8", FOLIAN_PIXEL_RATIO="1.5",
            FOLIAN_TEST_TAPS="100,200@50", FOLIAN_CONTROL=ctl))
        app.wait_line(r"\] 控制管道 ")
        say(ctl, "tap 100.5 200\n")
        app.wait_event("pointer", match=lambda e: e["phase"] == "up", count=2)
        trace = self.stop(app)
        lines = app.lines()
        self.assertEqual(lines[0], "[    0.000] LC_CTYPE=de_DE.UTF-8")
        self.assertEqual([l for l in lines if l.startswith("[") and not l.startswith("[flutter]")
                          and not re.match(r"^\[ *\d+\.\d{3}\]", l)], [])
        self.assertIn("] 控制命令: tap 100.5 200", "\n".join(lines))
        self.assertEqual(first(trace, "window_metrics")["pixel_ratio"], "1.500")
        downs = [(float(e["x"]), float(e["y"])) for e in events(trace, "pointer") if e["phase"] == "down"]
        self.assertEqual(downs, [(100, 200), (100.5, 200)])

    def test_a_writer_flooding_the_control_pipe_starves_nothing(self):
        d = tempfile.mkdtemp(prefix="folian-flood-")
        self.addCleanup(shutil.rmtree, d, True)
        ctl = os.path.join(d, "ctl")
        # The application answers the first tap with a task and a frame.
        app = self.start(self.bundle(app="present\nwait_pointer down\ntask 0\nfill gray 0\n"
                                         "present\n"), env=dict(SIM, FOLIAN_CONTROL=ctl))
        app.wait_line(r"\] 控制管道 ")
        app.wait_event("present")
        writer = subprocess.Popen(["sh", "-c", 'exec yes "tap 1 1" > "$0"', ctl])
        self.addCleanup(writer.wait, 5)
        self.addCleanup(writer.kill)
        app.wait_event("present", count=2)
        app.wait_event("run_task", match=lambda e: e["kind"] == "noop", count=4)
        app.signal(signal.SIGUSR1)
        app.wait_line(r"\] 收到 SIGUSR1，整屏写回$")
        self.assertIsNone(writer.poll())
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait(3), 0)
        assert_no_violation(app.trace())
        # The writer ends with the pipe; a full queue is told once.
        writer.wait(5 * SLOW)
        self.assertLessEqual(sum("控制命令队列已满" in l for l in app.lines()), 1)

    def test_started_under_nohup_a_hang_up_is_ignored(self):
        bundle = self.bundle()
        app = self.start(tool=["nohup"] + RUNNER + [executable(), "--bundle", bundle.path], env=SIM)
        app.wait_event("present")
        app.signal(signal.SIGHUP)
        time.sleep(0.3 * SLOW)
        self.assertTrue(app.alive())
        self.stop(app)

    def test_signal_during_engine_launch_skips_the_loop(self):
        app = self.start(self.bundle(app="message some/unknown hi\n"),
                         env=dict(SIM, FOLIAN_SIM_RUN_DELAY_MS=str(500 * SLOW)))
        app.wait_line(r"屏幕 ")
        app.signal(signal.SIGTERM)
        self.assertEqual(app.wait(), 0)
        in_order(app.lines(), r"\] 引擎已启动$", r"\] 退出$")
        trace = app.trace()
        assert_no_violation(trace)
        # Start-up still told the engine everything, but no task ever ran.
        self.assertEqual(len(events(trace, "message_from_embedder")), 2)
        self.assertEqual(events(trace, "run_task"), [])
        self.assertEqual(trace[-1]["event"], "shutdown")

    def test_watchdog_ends_a_hanging_exit(self):
        timeout = 2 * SLOW
        env = dict(SIM, FOLIAN_EXIT_TIMEOUT=str(timeout))
        apps = {  # where the exit hangs: the program, the shutdown phases the engine saw
            "program": (self.start(self.bundle(), env=dict(env, FOLIAN_TEST_EXIT_HANG="")), []),
            "engine": (self.start(self.bundle(), env=dict(env, FOLIAN_SIM_SHUTDOWN_HANG_MS="60000")),
                       ["begin"])}
        # 2**32 + 1 seconds must not wrap into a one-second watchdog.
        huge = self.start(self.bundle(), env=dict(SIM, FOLIAN_TEST_EXIT_HANG="",
                                                  FOLIAN_EXIT_TIMEOUT=str(2**32 + 1)))
        huge.wait_line(r"引擎已启动")
        huge.signal(signal.SIGTERM)
        for app, _ in apps.values():
            app.wait_event("present")
        start = time.monotonic()
        for app, _ in apps.values():
            app.signal(signal.SIGTERM)
        apps["program"][0].wait_line(r"测试：模拟退出卡住（FOLIAN_TEST_EXIT_HANG）")
        apps["program"][0].signal(signal.SIGTERM)  # must not cut the hang short
        time.sleep(0.3)
        self.assertTrue(all(app.alive() for app, _ in apps.values()))
        for name, (app, phases) in apps.items():
            with self.subTest(name):
                self.assertEqual(app.wait(timeout), 124)
                self.assertGreaterEqual(time.monotonic() - start, timeout - 0.1)
                err = app.stderr_bytes()
                self.assertTrue(err.endswith(b"\n" + EXIT_MESSAGE), err[-120:])
                trace = app.trace()
                assert_no_violation(trace)
                self.assertEqual([e["phase"] for e in events(trace, "shutdown")], phases)
        self.assertTrue(huge.alive())


class LaunchFailures(E2ETestCase):
    def test_failed_launch_ends_with_status_1_and_the_startup_screen_back(self):
        # The engine aborts on ICU data it cannot read and, ahead of time,
        # starts without its assets: both must be caught before the launch.
        no_icu, no_assets, no_libapp = self.bundle(icu=False), self.bundle(assets=False), \
            self.bundle(libapp=False, kernel=False)
        debug_build = self.bundle(libapp=False)  # a kernel and no ahead-of-time code
        icu_dir = self.bundle(icu=False)
        os.makedirs(icu_dir.icu)
        aot = {"FOLIAN_SIM_AOT": "1"}
        not_engine = os.path.join(BUILD_DIR, "sim", "libsim_fb.so")
        not_elf, foreign = self.bundle(libapp=b"#!/bin/sh\n"), self.bundle(libapp="2.0")
        no_kernel = self.bundle(kernel=False)
        cases = [
            (self.bundle(), {"FOLIAN_SIM_FAIL_RUN": "3"}, "引擎启动失败（3）"),
            (no_icu, {}, "读不了 ICU 数据 %s: No such file or directory" % no_icu.icu),
            (no_icu, aot, "读不了 ICU 数据 %s: No such file or directory" % no_icu.icu),
            (icu_dir, {}, "读不了 ICU 数据 %s: Is a directory" % icu_dir.icu),
            (no_assets, aot, "资源目录 %s 不可用: No such file or directory" % no_assets.assets),
            (no_assets, {}, "资源目录 %s 不可用: No such file or directory" % no_assets.assets),
            (no_libapp, aot, "读不了应用 %s: No such file or directory" % no_libapp.libapp),
            (debug_build, aot, "应用是调试构建（只有 %s/kernel_blob.bin，没有 %s），这个引擎只跑预编译代码："
             "要调试引擎" % (debug_build.assets, debug_build.libapp)),
            (not_elf, aot, "应用 %s 不是 ELF 文件" % not_elf.libapp),
            # An app of another release: the engine would abort the process.
            (foreign, aot, "应用 %s 的快照是 %s（Flutter 2.0.0–2.0.6），不是这个引擎的：引擎的快照是 %s"
             "（Flutter 3.44.1–3.44.9）；应用和引擎要出自同一个 Flutter 版本"
             % (foreign.libapp, snapshot_header(stand_in_app("2.0"))[0], snapshot_header(stand_in_app())[0])),
            # A release app for a debug engine that has no kernel to run.
            (no_kernel, {}, "应用 %s 是预编译代码（特性：%s），这个引擎却只跑调试代码"
             % (no_kernel.libapp, snapshot_header(stand_in_app())[1])),
            # An engine the loader refuses, and a library that is no engine.
            (self.bundle(), {"FOLIAN_ENGINE": "/nonexistent/libflutter_engine.so"},
             "加载引擎失败：/nonexistent/libflutter_engine.so: cannot open shared object file: "
             "No such file or directory"),
            (self.bundle(), {"FOLIAN_ENGINE": not_engine},
             "%s 不是 Flutter 的 Embedder API 引擎库：没有 FlutterEngineGetProcAddresses" % not_engine),
        ]
        screen = {"FOLIAN_SIM_FB_XRES": "64", "FOLIAN_SIM_FB_YRES": "48"}
        apps = [self.start(b, env=dict(screen, **env), preload=("sim_fb",)) for b, env, _ in cases]
        for app, (b, env, message) in zip(apps, cases):
            with self.subTest(message, env=env):
                self.assertEqual(app.wait(), 1)
                lines = app.lines()
                in_order(lines, r"^\[ *\d+\.\d{3}\]\[错误\] %s$" % re.escape(message),
                         r"\] 已还原启动前的屏幕内容$")
                self.assertRegex(lines[-1], r"\] 已还原启动前的屏幕内容$")
                trace = app.trace()
                assert_no_violation(trace)
                runs = events(trace, "run")
                self.assertEqual([e["result"] for e in runs], ["3"] if "FAIL_RUN" in str(env) else [])

    def test_a_bundle_path_too_long_is_refused_not_cut(self):
        app = self.start(args=["--bundle", "/tmp/" + "d" * 4100], env=SIM)
        self.assertEqual(app.wait(), 1)
        self.assertRegex(app.lines()[-1], r"\]\[错误\] 包目录路径太长")
        self.assertEqual(app.trace(), [])


if __name__ == "__main__":
    unittest.main()
