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

double integer() { return (double)setting_int("FOLIAN_SETTING", 7, 0, 100); }
double decimal() { return setting_number("FOLIAN_SETTING", 2.0, 0.0, 64.0); }  // range (0, 64]
double flag() { return setting_flag("FOLIAN_SETTING") ? 1 : 0; }
double size() {  // width * 1000 + height, from 7x9
  unsigned w = 7, h = 9;
  setting_size("FOLIAN_SETTING", 100, &w, &h);
  return w * 1000 + h;
}

// Numbers are the whole value within their range, decimals use a point and
// are finite, flags are "1" or "true", sizes "WxH" or "W"; anything else set
// is told and off, a size left whole.
TEST(Settings, ValuesBreakingTheirRuleAreToldAndTheDefaultStands) {
  struct Row {
    double (*read)();
    const char* value;
    double want;
    bool error;
  } rows[] = {
      {integer, nullptr, 7, false}, {integer, "", 7, false},   {integer, "0", 0, false},
      {integer, "100", 100, false}, {integer, "2x", 7, true},  {integer, "1.5", 7, true},
      {integer, " 5", 7, true},     {integer, "-1", 7, true},  {integer, "101", 7, true},
      {integer, "0x10", 7, true},   {integer, "4294967297", 7, true}, {integer, "99999999999999999999999", 7, true},
      {decimal, nullptr, 2, false}, {decimal, "1.5", 1.5, false}, {decimal, "64", 64, false},
      {decimal, "1,5", 2, true},    {decimal, "1.5abc", 2, true}, {decimal, "0", 2, true},
      {decimal, "-1", 2, true},     {decimal, "nan", 2, true},    {decimal, "inf", 2, true},
      {decimal, "1e400", 2, true},  {decimal, "65", 2, true},
      {flag, nullptr, 0, false},    {flag, "", 0, false},      {flag, "1", 1, false},
      {flag, "true", 1, false},     {flag, "0", 0, false},     {flag, "false", 0, false},
      {flag, "TRUE", 0, true},      {flag, "yes", 0, true},    {flag, "1 ", 0, true},
      {size, "40x30", 40030, false}, {size, "40", 40009, false}, {size, "40y30", 7009, true},
      {size, "40x101", 7009, true},
  };
  for (const Row& r : rows) {
    Captured c;
    EXPECT_EQ(c(r.value, r.read), r.want) << (r.value ? r.value : "(unset)");
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
