#include "platform.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "fake_engine.h"

namespace {

struct Reply {
  int quit;
  size_t responses;
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
  if (r.responses) {
    const fake::Response& last = fake::responses().back();
    EXPECT_TRUE(last.had_data);
    r.text.assign(last.bytes.begin(), last.bytes.end());
  }
  return r;
}

std::string set_data(const std::string& text_json) {
  return send(R"({"method":"Clipboard.setData","args":{"text":)" + text_json + "}}").text;
}
std::string get_data() { return send(R"({"method":"Clipboard.getData","args":"text/plain"})").text; }
std::string has_strings() { return send(R"({"method":"Clipboard.hasStrings","args":"text/plain"})").text; }

// The decoded field as bytes; "<none>" when absent.
std::string field(const std::string& json, const char* key) {
  const uint8_t* b = reinterpret_cast<const uint8_t*>(json.data());
  size_t n = 0;
  char* v = json_string_field(b, b + json.size(), key, &n);
  if (!v) return "<none>";
  std::string s(v, n);
  free(v);
  return s;
}

class Platform : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
};

TEST_F(Platform, ClipboardRoundTripOfAnEscapedQuote) {
  EXPECT_EQ(set_data(R"("a\"b")"), "[null]");
  std::string reply = get_data();
  EXPECT_EQ(reply, R"([{"text":"a\"b"}])");
  EXPECT_EQ(reply.size(), 17u);
  EXPECT_EQ(has_strings(), R"([{"value":true}])");
}

TEST_F(Platform, ControlBytesComeBackAsUnicodeEscapes) {
  set_data(R"("x\ny\t\u0001\u007f")");
  EXPECT_EQ(get_data(), "[{\"text\":\"x\\u000ay\\u0009\\u0001\x7f\"}]");
}

TEST_F(Platform, NullEmptyAndMissingText) {
  set_data("null");
  EXPECT_EQ(has_strings(), R"([{"value":false}])");
  EXPECT_EQ(get_data(), "[null]");

  set_data(R"("")");
  EXPECT_EQ(has_strings(), R"([{"value":false}])");
  std::string reply = get_data();
  EXPECT_EQ(reply, R"([{"text":""}])");
  EXPECT_EQ(reply.size(), 13u);

  set_data("42");
  EXPECT_EQ(get_data(), "[null]");
}

TEST_F(Platform, NonAsciiIsStoredAsUtf8AndReturnedUnescaped) {
  set_data(R"("\ud83d\ude00 \u00e9\u20ac")");
  EXPECT_EQ(get_data(), "[{\"text\":\"\xF0\x9F\x98\x80 \xC3\xA9\xE2\x82\xAC\"}]");
  set_data("\"\xE4\xB8\xAD\"");  // raw UTF-8 in the message
  EXPECT_EQ(get_data(), "[{\"text\":\"\xE4\xB8\xAD\"}]");
}

TEST_F(Platform, QuitIsAnsweredBeforeTheCallerStops) {
  Reply r = send(R"({"method":"SystemNavigator.pop","args":null})");
  EXPECT_EQ(r.quit, 1);
  EXPECT_EQ(r.responses, 1u);
  EXPECT_EQ(r.text, "[null]");
}

TEST_F(Platform, EverythingElseGetsNull) {
  const char* const messages[] = {
      R"({"method":"systemnavigator.pop"})",
      R"({"method":"SystemChrome.setApplicationSwitcherDescription","args":{}})",
      R"({"method":42})",
      R"({"args":{"method":1}})",
      R"({"method":"SystemNavigator.pop\u0000x"})",
      "",
      "{",
  };
  for (const char* m : messages) {
    Reply r = send(m);
    EXPECT_EQ(r.quit, 0) << m;
    EXPECT_EQ(r.responses, 1u) << m;
    EXPECT_EQ(r.text, "[null]") << m;
  }
}

TEST_F(Platform, NoHandleNoResponse) {
  Reply r = send(R"({"method":"SystemNavigator.pop"})", false);
  EXPECT_EQ(r.quit, 1);
  EXPECT_EQ(r.responses, 0u);
  r = send(R"({"method":"Clipboard.setData","args":{"text":"kept"}})", false);
  EXPECT_EQ(r.responses, 0u);
  EXPECT_EQ(get_data(), R"([{"text":"kept"}])");
}

TEST(JsonStringField, FindsTheFirstOccurrenceOnly) {
  EXPECT_EQ(field(R"({"a":{"k":"inner"},"k":"outer"})", "k"), "inner");
  EXPECT_EQ(field(R"({"k":1,"x":{"k":"later"}})", "k"), "<none>");
  EXPECT_EQ(field(R"({"v":"\"k\":\"in a string\""})", "k"), "<none>") << "escaped quotes don't form the pattern";
  EXPECT_EQ(field(R"({"v":"x", "k" :  : "spaced"})", "k"), "spaced");
  EXPECT_EQ(field("{\"k\"\t:\"tab\"}", "k"), "<none>");
  EXPECT_EQ(field(R"({"k")", "k"), "<none>");
  EXPECT_EQ(field(R"({"k": )", "k"), "<none>");
  EXPECT_EQ(field(R"({"kk":"x"})", "k"), "<none>");
  EXPECT_EQ(field(R"({"k":"unterminated)", "k"), "unterminated");
}

TEST(JsonStringField, Escapes) {
  EXPECT_EQ(field(R"({"k":"\b\f\n\r\t\"\\\/\x"})", "k"), "\b\f\n\r\t\"\\/x");
  EXPECT_EQ(field(R"({"k":"ab\)", "k"), "ab") << "a trailing backslash ends the text";
  EXPECT_EQ(field(R"({"k":"\u00e9\u20AC"})", "k"), "\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(field(R"({"k":"\u0041\u0000B"})", "k"), std::string("A\0B", 3));
}

TEST(JsonStringField, SurrogatePairs) {
  EXPECT_EQ(field(R"({"k":"\ud83d\ude00"})", "k"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(field(R"({"k":"\uDBFF\uDFFF"})", "k"), "\xF4\x8F\xBF\xBF");
  // Unpaired halves are kept as three-byte sequences.
  EXPECT_EQ(field(R"({"k":"\ud83dx"})", "k"), "\xED\xA0\xBDx");
  EXPECT_EQ(field(R"({"k":"\ud83d\u0041"})", "k"), "\xED\xA0\xBD" "A");
  EXPECT_EQ(field(R"({"k":"\ude00"})", "k"), "\xED\xB8\x80");
  // Too short for a second escape: the high half alone, then what follows.
  EXPECT_EQ(field(R"({"k":"\ud83d\ude0)", "k"), "\xED\xA0\xBD");
}

TEST(JsonStringField, UnicodeEscapeReadsExactlyFourHexDigits) {
  // More hex digits after the four are text, not part of the value.
  EXPECT_EQ(field(R"({"k":"\u00411"})", "k"), "A1");
  EXPECT_EQ(field(R"({"k":"\u0041ffff"})", "k"), "Affff");
  // No sign, no 0x, no blanks: conversion stops at the first non-digit.
  EXPECT_EQ(field(R"({"k":"\u0x41z"})", "k"), std::string("\0z", 2));
  EXPECT_EQ(field(R"({"k":"\u-041z"})", "k"), std::string("\0z", 2));
  EXPECT_EQ(field(R"({"k":"\u 041z"})", "k"), std::string("\0z", 2));
  EXPECT_EQ(field(R"({"k":"\u4g00z"})", "k"), "\x04z") << "all four bytes are consumed";
  // Fewer than four bytes left ends the text.
  EXPECT_EQ(field(R"({"k":"ab\u004)", "k"), "ab");

  // The message is not NUL-terminated: the escape at its very end must not
  // read on into the bytes that follow in memory.
  std::string memory = R"({"k":"\u0041)" + std::string("4142");
  const uint8_t* b = reinterpret_cast<const uint8_t*>(memory.data());
  char* v = json_string_field(b, b + memory.size() - 4, "k");
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "A");
  free(v);
  v = json_string_field(b, b + memory.size() - 5, "k");
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "");
  free(v);
}

}  // namespace
