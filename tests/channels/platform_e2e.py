"""The system platform channel seen from the application: clipboard texts
written by a real JSON encoder come back unchanged, and the quit request ends
the process in order."""

import json
import unittest

from folian_e2e import E2ETestCase, assert_no_violation, events, first, payload

SIM = {"FOLIAN_FB_FILE": ""}

TEXTS = [
    "plain",
    "",
    'quote " backslash \\ slash /',
    "line\nbreak\ttab\rcr\bbs\fff\x01\x1f\x7fdel",
    "caf\u00e9 \u20ac \u4e2d\u6587",
    "emoji \U0001F600 clef \U0001D11E max \U0010FFFF",
    "around the surrogates \ud7ff\ue000\uffff",
]


def platform_line(obj, ensure_ascii):
    data = json.dumps(obj, ensure_ascii=ensure_ascii).encode("utf-8")
    return "message_hex flutter/platform %s\n" % data.hex()


class Clipboard(E2ETestCase):
    def run_script(self, lines):
        app = self.run_to_end(self.bundle(app="".join(lines)), env=SIM, timeout=20)
        trace = app.trace()
        assert_no_violation(trace)
        return app, trace

    def test_round_trip_of_encoded_texts(self):
        lines = []
        expected = []
        for ensure_ascii in (True, False):
            for text in TEXTS:
                lines.append(platform_line({"method": "Clipboard.setData",
                                            "args": {"text": text}}, ensure_ascii))
                lines.append(platform_line({"method": "Clipboard.getData",
                                            "args": "text/plain"}, ensure_ascii))
                lines.append(platform_line({"method": "Clipboard.hasStrings",
                                            "args": "text/plain"}, ensure_ascii))
                expected += [[None], [{"text": text}], [{"value": text != ""}]]
        lines.append("quit\n")
        app, trace = self.run_script(lines)
        self.assertEqual(app.returncode, 0)

        replies = [json.loads(payload(e).decode("utf-8"))
                   for e in events(trace, "response") if e["channel"] == "flutter/platform"]
        self.assertEqual(replies[:-1], expected)
        sizes = [int(e.get("size", "0")) for e in events(trace, "response")]
        self.assertNotIn(0, sizes, "no empty replies on the platform channel")

    def test_null_text_and_unknown_methods(self):
        lines = [platform_line({"method": "Clipboard.setData", "args": {"text": "x"}}, True),
                 platform_line({"method": "Clipboard.setData", "args": {"text": None}}, True),
                 platform_line({"method": "Clipboard.getData", "args": "text/plain"}, True),
                 platform_line({"method": "Clipboard.hasStrings", "args": "text/plain"}, True),
                 platform_line({"method": "SystemChrome.setEnabledSystemUIMode", "args": 1}, True),
                 platform_line({"method": "systemnavigator.pop", "args": None}, True),
                 "quit\n"]
        app, trace = self.run_script(lines)
        self.assertEqual(app.returncode, 0)
        replies = [payload(e) for e in events(trace, "response")
                   if e["channel"] == "flutter/platform"]
        self.assertEqual(replies, [b"[null]", b"[null]", b"[null]", b'[{"value":false}]',
                                   b"[null]", b"[null]", b"[null]"])


class Quit(E2ETestCase):
    def test_pop_is_answered_then_the_process_exits_cleanly(self):
        app = self.run_to_end(self.bundle(app="quit\nwait 10000\n"), env=SIM, timeout=10)
        self.assertEqual(app.returncode, 0)
        trace = app.trace()
        assert_no_violation(trace)
        reply = first(trace, "response")
        self.assertEqual(reply["channel"], "flutter/platform")
        self.assertEqual(payload(reply), b"[null]")
        shutdown = first(trace, "shutdown")
        self.assertLess(trace.index(reply), trace.index(shutdown))
        lines = app.lines()
        asked = [i for i, l in enumerate(lines) if l.endswith("] 应用请求退出")]
        self.assertEqual(len(asked), 1, "\n".join(lines))
        self.assertTrue(any(l.endswith("] 退出") for l in lines[asked[0]:]), "\n".join(lines))


if __name__ == "__main__":
    unittest.main()
