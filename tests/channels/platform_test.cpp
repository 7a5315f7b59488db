#include "platform.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "fake_engine.h"
#include "orientation.h"

namespace {

struct Reply {
  int quit;
  size_t count;  // responses sent
  std::string text;
};

Reply send(const std::string& json, bool with_handle = true) {
  size_t before = fake::responses().size();
  FlutterPlatformMessage m{};
  m.struct_size = sizeof m;
  m.channel = "flutter/platform";
  m.message = reinterpret_cast<const uint8_t*>(json.data());
  m.message_size = json.size();
  m.response_handle = with_handle ? fake::new_handle() : nullptr;
  Reply r{platform_handle(fake::engine(), &m), fake::responses().size() - before, ""};
  if (r.count) {
    EXPECT_TRUE(fake::responses().back().had_data);
    r.text.assign(fake::responses().back().bytes.begin(), fake::responses().back().bytes.end());
  }
  return r;
}

std::string set_data(const std::string& text_json) {
  return send(R"({"method":"Clipboard.setData","args":{"text":)" + text_json + "}}").text;
}
std::string get_data() { return send(R"({"method":"Clipboard.getData","args":"text/plain"})").text; }
std::string has_strings() { return send(R"({"method":"Clipboard.hasStrings","args":"text/plain"})").text; }

// The decoded field of the first `len` bytes of `json`; "<none>" when absent.
std::string field(const std::string& json, size_t len = std::string::npos) {
  const uint8_t* b = reinterpret_cast<const uint8_t*>(json.data());
  size_t n = 0;
  char* v = json_string_field(b, b + std::min(len, json.size()), "k", &n);
  if (!v) return "<none>";
  std::string s(v, n);
  free(v);
  return s;
}

TEST(Platform, ClipboardRepliesAreExact) {
  fake::reset();
  EXPECT_EQ(set_data(R"("a\"b")"), "[null]");
  EXPECT_EQ(get_data(), R"([{"text":"a\"b"}])");
  EXPECT_EQ(get_data().size(), 17u);
  EXPECT_EQ(has_strings(), R"([{"value":true}])");
  set_data(R"("")");
  EXPECT_EQ(has_strings(), R"([{"value":false}])");
  EXPECT_EQ(get_data(), R"([{"text":""}])");
  EXPECT_EQ(get_data().size(), 13u);
  const std::pair<const char*, const char*> texts[] = {
      {R"("x\ny\t\u0001\u007f")", "[{\"text\":\"x\\u000ay\\u0009\\u0001\x7f\"}]"},
      {R"("x\u0000y")", R"([{"text":"x\u0000y"}])"},
      {"null", "[null]"},
      {"42", "[null]"},
  };
  for (const auto& [json, reply] : texts) {
    set_data(json);
    EXPECT_EQ(get_data(), reply) << json;
  }
  EXPECT_EQ(has_strings(), R"([{"value":false}])");
}

TEST(Platform, QuitAndEverythingElse) {
  fake::reset();
  Reply r = send(R"({"method":"SystemNavigator.pop","args":null})");
  EXPECT_TRUE(r.quit == 1 && r.count == 1 && r.text == "[null]");
  for (const char* m : {R"({"method":"systemnavigator.pop"})", R"({"method":"SystemChrome.setX","args":{}})",
                        R"({"method":42})", R"({"args":{"method":1}})",
                        R"({"method":"SystemNavigator.pop\u0000x"})", "", "{"}) {
    r = send(m);
    EXPECT_TRUE(r.quit == 0 && r.count == 1 && r.text == "[null]") << m;
  }
  // Without a handle: acted on, not answered.
  r = send(R"({"method":"SystemNavigator.pop"})", false);
  EXPECT_TRUE(r.quit == 1 && r.count == 0);
  EXPECT_EQ(send(R"({"method":"Clipboard.setData","args":{"text":"kept"}})", false).count, 0u);
  EXPECT_EQ(get_data(), R"([{"text":"kept"}])");
}

int g_turns = 0;
void on_turn(int) { g_turns++; }

// Each request is answered with success and null; the current orientation
// stays when listed, else the first listed is taken, none brings back the
// start's, and names the framework never sends change nothing.
TEST(Platform, PreferredOrientations) {
  fake::reset();
  unsetenv("FOLIAN_ROTATE");
  orientation_open(1236, 1648);
  orientation_set_handler(on_turn);
  const struct {
    const char* args;
    int degrees, turns;
  } rows[] = {
      {R"(["DeviceOrientation.landscapeLeft","DeviceOrientation.landscapeRight"])", 90, 1},
      {R"(["DeviceOrientation.landscapeRight","DeviceOrientation.landscapeLeft"])", 90, 1},
      {R"(["DeviceOrientation.portraitDown"])", 180, 2},
      {"[]", 0, 3},
      {R"([ "DeviceOrientation.landscapeRight" ])", 270, 4},
      {R"(["DeviceOrientation.sideways"])", 270, 4},
      {"null", 270, 4},
      {R"(["DeviceOrientation.sideways","DeviceOrientation.portraitUp"])", 0, 5},
  };
  for (const auto& row : rows) {
    std::string json =
        std::string(R"({"method":"SystemChrome.setPreferredOrientations","args":)") + row.args + "}";
    EXPECT_EQ(send(json).text, "[null]") << row.args;
    EXPECT_EQ(orientation_degrees(), row.degrees) << row.args;
    EXPECT_EQ(g_turns, row.turns) << row.args;
  }
  orientation_set(270, "test");
  EXPECT_EQ(orientation_app_width(), 1648u);
  EXPECT_EQ(orientation_app_height(), 1236u);
  orientation_set_handler(nullptr);
  orientation_set(0, "test");
}

TEST(JsonStringField, FirstOccurrenceAndEscapes) {
  const std::pair<std::string, std::string> cases[] = {
      // Where the value is.
      {R"({"a":{"k":"inner"},"k":"outer"})", "inner"},
      {R"({"k":1,"x":{"k":"later"}})", "<none>"},
      {R"({"v":"\"k\":\"in a string\""})", "<none>"},
      {R"({"k")", "<none>"},
      {R"({"k": )", "<none>"},
      {R"({"kk":"x"})", "<none>"},
      {R"({"k":"unterminated)", "unterminated"},
      // Escapes.
      {R"({"k":"\b\f\n\r\t\"\\\/\x"})", "\b\f\n\r\t\"\\/x"},
      {R"({"k":"ab\)", "ab"},
      {R"({"k":"\u0041\u0000B"})", std::string("A\0B", 3)},
      {R"({"k":"\u07ff\u0800\uffff"})", "\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
      // Unpaired surrogate halves become U+FFFD, so the text stays valid
      // UTF-8 (the end-to-end test round-trips pairs, escapes and raw UTF-8
      // written by a JSON encoder).
      {R"({"k":"a\ud83db"})", "a\xEF\xBF\xBD" "b"},
      {R"({"k":"\ud83d\u0041"})", "\xEF\xBF\xBD" "A"},
      {R"({"k":"\ude00\ud83d"})", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {R"({"k":"\ud83d\ud83d\ude00"})", "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
      {R"({"k":"\ud83d\ude0)", "\xEF\xBF\xBD"},
      // Exactly four bytes of hex, read as far as they are digits.
      {R"({"k":"\u00411"})", "A1"},
      {R"({"k":"\u0041ffff"})", "Affff"},
      {R"({"k":"\u0x41z"})", std::string("\0z", 2)},
      {R"({"k":"\u-041z"})", std::string("\0z", 2)},
      {R"({"k":"\u 041z"})", std::string("\0z", 2)},
      {R"({"k":"\u4g00z"})", "\x04z"},
      {R"({"k":"ab\u004)", "ab"},
  };
  for (const auto& [json, expect] : cases) EXPECT_EQ(field(json), expect) << json;
  // The message is not NUL-terminated: an escape at its very end must not
  // read on into the bytes that follow in memory.
  std::string memory = R"({"k":"\u0041)" + std::string("4142");
  EXPECT_EQ(field(memory, memory.size() - 4), "A");
  EXPECT_EQ(field(memory, memory.size() - 5), "");
}

}  // namespace
