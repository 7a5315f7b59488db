#include "log.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "stderr_capture.h"

namespace {

// Everything the log functions write to standard error while `body` runs,
// split into lines (each keeps no "\n"; a missing last newline shows as a
// trailing partial line).
std::vector<std::string> captured_lines(void (*body)()) {
  StderrCapture err;
  body();
  std::string all = err.text();
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t nl; (nl = all.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(all.substr(at, nl - at));
  if (at < all.size()) lines.push_back(all.substr(at) + "<no newline>");
  return lines;
}

TEST(Log, ClockStartsAtZeroAndPrefixesHaveTheirWidth) {
  EXPECT_LT(log_uptime(), 1.0);
  std::vector<std::string> lines = captured_lines([] {
    log_info("信息 %d\n", 7);
    log_error("错了: %s\n", "原因");
    log_raw("[%s] %s\n", "flutter", "engine text");
  });
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\[ {4}\d\.\d{3}\] 信息 7)"))) << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\[ {4}\d\.\d{3}\]\[错误\] 错了: 原因)")))
      << lines[1];
  EXPECT_EQ(lines[2], "[flutter] engine text");
}

// A long engine message must arrive whole and keep its newline, or the next
// line would be glued onto it: lines that just fit the 8 KiB buffer (its last
// byte is the terminator), that just do not, and far longer ones.
TEST(Log, LongLinesArriveWholeWithTheirNewline) {
  static std::string raw, info;
  for (size_t size : {8191u, 8192u, 20000u}) {  // bytes with the newline
    raw.assign(size - 1, 'r');
    info.assign(size - 13, 'i');  // after the 12-byte clock prefix
    std::vector<std::string> lines = captured_lines([] {
      log_raw("%s\n", raw.c_str());
      log_info("%s\n", info.c_str());
      log_info("next\n");
    });
    ASSERT_EQ(lines.size(), 3u) << size;
    EXPECT_EQ(lines[0], raw);
    EXPECT_EQ(lines[1].substr(12), info);
    EXPECT_EQ(lines[2].substr(12), "next");
  }
}

}  // namespace
