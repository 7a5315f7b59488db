// Settings: one rule per kind of value, the same in every module; a value
// that breaks it is named in an error line and the default stands.
#include "settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

namespace {

struct Captured {
  std::string log;
  template <typename F>
  auto operator()(const char* value, F read) {
    if (value) setenv("FOLIAN_SETTING", value, 1); else unsetenv("FOLIAN_SETTING");
    ::testing::internal::CaptureStderr();
    auto v = read();
    log = ::testing::internal::GetCapturedStderr();
    unsetenv("FOLIAN_SETTING");
    return v;
  }
};

TEST(Settings, NumbersAreTheWholeValueWithinTheirRange) {
  struct Row {
    const char* value;
    long long want;  // with default 7 and range 0..100
    bool error;
  } rows[] = {
      {nullptr, 7, false}, {"", 7, false},   {"0", 0, false},     {"100", 100, false},
      {"2x", 7, true},     {"1.5", 7, true}, {" 5", 7, true},     {"-1", 7, true},
      {"101", 7, true},    {"0x10", 7, true}, {"4294967297", 7, true},
      {"99999999999999999999999", 7, true},
  };
  for (const Row& r : rows) {
    Captured c;
    EXPECT_EQ(c(r.value, [] { return setting_int("FOLIAN_SETTING", 7, 0, 100); }), r.want)
        << (r.value ? r.value : "(unset)");
    EXPECT_EQ(c.log.find("][错误] FOLIAN_SETTING=") != std::string::npos, r.error) << c.log;
  }
}

TEST(Settings, DecimalNumbersUseAPointAndMustBeFinite) {
  struct Row {
    const char* value;
    double want;  // default 2, range (0, 64]
  } rows[] = {{nullptr, 2}, {"1.5", 1.5}, {"64", 64},  {"1,5", 2}, {"1.5abc", 2}, {"0", 2},
              {"-1", 2},    {"nan", 2},   {"inf", 2}, {"1e400", 2}, {"65", 2}};
  for (const Row& r : rows) {
    Captured c;
    EXPECT_EQ(c(r.value, [] { return setting_number("FOLIAN_SETTING", 2.0, 0.0, 64.0); }), r.want)
        << (r.value ? r.value : "(unset)");
  }
}

TEST(Settings, FlagsAreOneOrTrueAndAnythingElseIsToldAndOff) {
  struct Row {
    const char* value;
    bool on, error;
  } rows[] = {{nullptr, false, false}, {"", false, false},    {"1", true, false},
              {"true", true, false},   {"0", false, false},   {"false", false, false},
              {"TRUE", false, true},   {"yes", false, true},  {"1 ", false, true}};
  for (const Row& r : rows) {
    Captured c;
    EXPECT_EQ(c(r.value, [] { return setting_flag("FOLIAN_SETTING"); }), r.on)
        << (r.value ? r.value : "(unset)");
    EXPECT_EQ(c.log.find("][错误] FOLIAN_SETTING=") != std::string::npos, r.error) << c.log;
  }
}

TEST(Settings, NamesComeFromTheirListAndAnUnknownOneIsNamed) {
  const char* const names[] = {"none", "mtk", "zelda"};
  auto read = [&] { return setting_choice("FOLIAN_SETTING", names, 3, -1, 0); };
  Captured c;
  EXPECT_EQ(c(nullptr, read), -1);
  EXPECT_EQ(c("zelda", read), 2);
  EXPECT_EQ(c.log, "");
  EXPECT_EQ(c("MTK", read), 0);
  EXPECT_NE(c.log.find("FOLIAN_SETTING=MTK 无效：应为 none、mtk、zelda 之一"), std::string::npos)
      << c.log;
}

}  // namespace
