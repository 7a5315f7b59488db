"""The engine the program loads and the app it judges against it: the file
checked is the file loaded, and a release engine and a profile app (or the
reverse) never meet."""

import os
import re
import shutil
import tempfile
import unittest

from folian_e2e import E2ETestCase, assert_no_violation, events, snapshot_header, stand_in_app, \
    stand_in_engine

SIM = {"FOLIAN_FB_FILE": "", "FOLIAN_SIM_AOT": "1"}


class EngineAndApp(E2ETestCase):
    def test_what_is_judged_is_what_runs(self):
        # A name without a slash is found along the loader's path, not in
        # the working directory, whatever lies there.
        here, empty = tempfile.mkdtemp(prefix="folian-cwd-"), tempfile.mkdtemp(prefix="folian-cwd-")
        for d in (here, empty):
            self.addCleanup(shutil.rmtree, d, True)
        shutil.copy(stand_in_engine("3.24"), os.path.join(here, "libflutter_engine.so"))
        old, profile = stand_in_engine("2.0"), stand_in_engine("3.44-profile")
        hash_324, hash_20 = snapshot_header(stand_in_app("3.24"))[0], snapshot_header(stand_in_app("2.0"))[0]
        bare = {"FOLIAN_ENGINE": "libflutter_engine.so"}
        roads = [  # name, bundle's app, environment, working directory, loader path, status, line
            ("bare name, another engine in the working directory", "3.24", bare, here,
             [os.path.dirname(old)], 1,
             r"\]\[错误\] 应用 .* 的快照是 %s（Flutter 3\.24\.0–3\.24\.5），不是这个引擎的：引擎的快照是 "
             r"%s（Flutter 2\.0\.0–2\.0\.6）；" % (hash_324, hash_20)),
            ("bare name, none in the working directory", "3.24", bare, empty,
             [os.path.dirname(stand_in_engine("3.24"))], 0, r"\] 检查完毕：全部通过$"),
            ("profile app, release engine", "3.44-profile", {}, None, [], 1,
             r"\]\[错误\] 应用 .* 是 Flutter profile 构建（release）（特性：release .*），引擎却是 "
             r"Flutter release 构建（product）：应用和引擎要出自同一种构建$"),
            ("release app, profile engine", "3.44", {"FOLIAN_ENGINE": profile}, None, [], 1,
             r"\]\[错误\] 应用 .* 是 Flutter release 构建（product）（特性：product .*），引擎却是 "
             r"Flutter profile 构建（release）"),
            ("profile app, profile engine", "3.44-profile", {"FOLIAN_ENGINE": profile}, None, [], 0,
             r"\] 检查完毕：全部通过$"),
        ]
        for name, libapp, env, cwd, path, status, last in roads:
            with self.subTest(name):
                bundle = self.bundle(libapp=libapp, kernel=False)
                # What passes is then started: it must run, not abort.
                for args in (["--check"], []) if status == 0 else ([],):
                    app = self.start(bundle, args=args + ["--bundle", bundle.path],
                                     env=dict(SIM, **env), ld_library_path=path,
                                     cwd=cwd)
                    if args:
                        self.assertEqual(app.wait(), status, "\n".join(app.lines()))
                        self.assertRegex(app.lines()[-1], last)
                    elif status:
                        self.assertEqual(app.wait(), status, "\n".join(app.lines()))
                        self.assertTrue(any(re.search(last, l) for l in app.lines()), app.lines())
                        self.assertEqual(events(app.trace(), "run"), [])  # never launched
                    else:
                        app.wait_line(r"\] 引擎已启动$")
                        app.signal(15)
                        self.assertEqual(app.wait(), 0, "\n".join(app.lines()))
                        assert_no_violation(app.trace())


if __name__ == "__main__":
    unittest.main()
