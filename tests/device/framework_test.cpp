// The framework impersonation against the LIPC library stand-in.  Each suite
// runs in its own process with the library arranged as its name says (see
// CMakeLists.txt).
#include "framework.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim_dir.h"
#include "stderr_capture.h"

namespace {

using Calls = std::vector<std::string>;

const char kOpened[] = "] 冒充框架：com.lab126.kaf frameworkStarted=1，已卸掉系统开机画面和屏保\n";
const char kClosed[] = "] 冒充框架：已注销，系统屏保装回\n";

// The lines of the LIPC library's record without their time stamps.
Calls lipc_calls(const SimDir& dir) {
  Calls out;
  for (const auto& line : dir.lines("lipc.log")) out.push_back(line.substr(line.find(' ') + 1));
  return out;
}

bool loaded(const char* name) {
  void* h = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
  if (h != nullptr) dlclose(h);
  return h != nullptr;
}

// Runs the open (or the close) and returns its result and what it logged.
std::pair<int, std::string> opened() {
  ::testing::internal::CaptureStderr();
  int r = framework_fake_open();
  return {r, ::testing::internal::GetCapturedStderr()};
}
std::string closed() {
  ::testing::internal::CaptureStderr();
  framework_fake_close();
  return ::testing::internal::GetCapturedStderr();
}

// `log` holds every line of `want` (nothing when empty), and no other error.
void expect_log(const std::string& log, const std::vector<std::string>& want) {
  if (want.empty()) {
    EXPECT_EQ(log, "");
  }
  size_t errors = 0;
  for (const auto& w : want) {
    EXPECT_NE(log.find(w), std::string::npos) << w << "\nin:\n" << log;
    errors += count_of(w, "[错误]");
  }
  EXPECT_EQ(count_of(log, "[错误]"), errors) << log;
}

class Framework : public ::testing::Test {
 protected:
  void SetUp() override { setenv("FOLIAN_FAKE_FRAMEWORK", "1", 1); }
  void TearDown() override {
    framework_fake_close();
    unsetenv("FOLIAN_FAKE_FRAMEWORK");
  }
};

// Only a flag that is on ("1" or "true", the same rule as every setting)
// loads the library; anything else leaves the device's framework alone.
TEST(FrameworkOff, AnythingButAnOnFlagLeavesItOff) {
  SimDir dir;
  for (const char* value : {static_cast<const char*>(nullptr), "", "0", "false", "1 "}) {
    if (value) setenv("FOLIAN_FAKE_FRAMEWORK", value, 1); else unsetenv("FOLIAN_FAKE_FRAMEWORK");
    auto [result, log] = opened();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(log.find("冒充框架"), std::string::npos) << log;
    EXPECT_EQ(closed(), "");
  }
  unsetenv("FOLIAN_FAKE_FRAMEWORK");
  EXPECT_FALSE(loaded("liblipc.so.1"));
  EXPECT_FALSE(loaded("liblipc.so"));
  EXPECT_TRUE(dir.lines("lipc.log").empty());
}

using FrameworkLipc = Framework;

TEST_F(FrameworkLipc, EachRefusalIsLoggedAndTheCloseUndoesWhatWasDone) {
  struct Case {
    const char* refuse;  // stand-in variable set to "value", or none
    const char* value;
    int result;
    std::vector<std::string> open_log;
    Calls open_calls;
    std::vector<std::string> close_log;
    Calls close_calls;
  };
  const Calls undo = {"set com.lab126.blanket load screensaver", "close com.lab126.kaf"};
  const std::vector<Case> cases = {
      // The versioned name is tried first; this directory has both.  The
      // library is loaded once for the process.
      {nullptr, nullptr, 1, {kOpened},
       {"load liblipc.so.1", "open com.lab126.kaf", "register frameworkStarted get=0 value=1 setter=null data=null",
        "set com.lab126.blanket unload splash", "set com.lab126.blanket unload screensaver"},
       {kClosed}, undo},
      {"FOLIAN_SIM_LIPC_REFUSE_SERVICE", "1", 0,
       {"[错误] 冒充框架：注册服务 com.lab126.kaf 失败（真框架还没停干净？）\n"}, {"open com.lab126.kaf refused"}, {}, {}},
      // The blanket is given back even though the property was refused.
      {"FOLIAN_SIM_LIPC_REFUSE_PROPERTY", "13", 0, {"[错误] 冒充框架：注册 frameworkStarted 失败（13）\n"},
       {"open com.lab126.kaf", "register frameworkStarted refused 13"}, {kClosed}, undo},
      {"FOLIAN_SIM_LIPC_REFUSE_SET", "7", 1,
       {"[错误] blanket unload splash 失败（7）\n", "[错误] blanket unload screensaver 失败（7）\n", kOpened},
       {"open com.lab126.kaf", "register frameworkStarted get=0 value=1 setter=null data=null",
        "set com.lab126.blanket unload splash refused 7", "set com.lab126.blanket unload screensaver refused 7"},
       {"[错误] blanket load screensaver 失败（7）\n", kClosed},
       {"set com.lab126.blanket load screensaver refused 7", "close com.lab126.kaf"}},
  };
  for (const Case& c : cases) {
    SimDir dir;
    if (c.refuse) setenv(c.refuse, c.value, 1);
    auto [result, log] = opened();
    EXPECT_EQ(result, c.result) << log;
    expect_log(log, c.open_log);
    EXPECT_EQ(lipc_calls(dir), c.open_calls);
    expect_log(closed(), c.close_log);
    Calls all = c.open_calls;
    all.insert(all.end(), c.close_calls.begin(), c.close_calls.end());
    EXPECT_EQ(lipc_calls(dir), all);
    // Closed once; a second close has nothing to undo.
    EXPECT_EQ(closed(), "");
    EXPECT_EQ(lipc_calls(dir), all);
    if (c.refuse) unsetenv(c.refuse);
  }
}

using FrameworkUnversioned = Framework;

TEST_F(FrameworkUnversioned, FallsBackToThePlainName) {
  SimDir dir;
  auto [result, log] = opened();
  EXPECT_EQ(result, 1);
  expect_log(log, {kOpened});
  EXPECT_EQ(lipc_calls(dir).at(0), "load liblipc.so");
}

using FrameworkPartial = Framework;

TEST_F(FrameworkPartial, ALibraryWithoutEveryCallIsNotUsed) {
  SimDir dir;
  auto [result, log] = opened();
  EXPECT_EQ(result, 0);
  expect_log(log, {"[错误] 冒充框架：liblipc 缺接口\n"});
  EXPECT_EQ(lipc_calls(dir), Calls{"load liblipc.so.1"});
  EXPECT_EQ(closed(), "");
}

using FrameworkMissing = Framework;

TEST_F(FrameworkMissing, NoLibraryUnderEitherNameIsLoggedWithTheLoadersReason) {
  SimDir dir;
  auto [result, log] = opened();
  EXPECT_EQ(result, 0);
  const std::string head = "[错误] 冒充框架：加载 liblipc 失败（", tail = "），电源键可能无效\n";
  expect_log(log, {head, tail});
  // The loader's own reason, naming the last name tried.
  auto at = log.find(head);
  ASSERT_NE(at, std::string::npos);
  EXPECT_NE(log.substr(at + head.size()).find("liblipc.so"), std::string::npos) << log;
  EXPECT_EQ(closed(), "");
}

}  // namespace
