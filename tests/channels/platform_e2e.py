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


class Platform(E2ETestCase):
    def test_clipboard_round_trip_of_encoded_texts_then_quit(self):
        lines, expected = [], []
        for ensure_ascii in (True, False):
            for text in TEXTS:
                for call in ({"method": "Clipboard.setData", "args": {"text": text}},
                             {"method": "Clipboard.getData", "args": "text/plain"},
                             {"method": "Clipboard.hasStrings", "args": "text/plain"}):
                    data = json.dumps(call, ensure_ascii=ensure_ascii).encode("utf-8")
                    lines.append("message_hex flutter/platform %s\n" % data.hex())
                expected += [[None], [{"text": text}], [{"value": text != ""}]]
        # The quit at the end is answered, then the process stops in order.
        app = self.run_to_end(self.bundle(app="".join(lines) + "quit\nwait 10000\n"), env=SIM,
                              timeout=20)
        self.assertEqual(app.returncode, 0)
        trace = app.trace()
        assert_no_violation(trace)
        replies = [e for e in events(trace, "response") if e["channel"] == "flutter/platform"]
        self.assertEqual([json.loads(payload(e).decode("utf-8")) for e in replies],
                         expected + [[None]])
        self.assertLess(trace.index(replies[-1]), trace.index(first(trace, "shutdown")))
        lines = app.lines()
        asked = [i for i, l in enumerate(lines) if l.endswith("] 应用请求退出")]
        self.assertEqual(len(asked), 1, "\n".join(lines))
        self.assertTrue(any(l.endswith("] 退出") for l in lines[asked[0]:]), "\n".join(lines))


if __name__ == "__main__":
    unittest.main()
