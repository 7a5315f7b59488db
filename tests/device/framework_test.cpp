// The framework impersonation against the LIPC library stand-in.  Each suite
// runs in its own process with the library arranged as its name says (see
// CMakeLists.txt).
#include "framework.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "sim_dir.h"

namespace {

using Calls = std::vector<std::string>;

const char kOpened[] = "] 冒充框架：com.lab126.kaf frameworkStarted=1，已卸掉系统开机画面和屏保\n";
const char kClosed[] = "] 冒充框架：已注销，系统屏保装回\n";

bool loaded(const char* name) {
  void* h = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
  if (h != nullptr) dlclose(h);
  return h != nullptr;
}

struct Opened {
  int result;
  std::string log;
};

Opened open_logged() {
  ::testing::internal::CaptureStderr();
  int r = framework_fake_open();
  return {r, ::testing::internal::GetCapturedStderr()};
}

std::string close_logged() {
  ::testing::internal::CaptureStderr();
  framework_fake_close();
  return ::testing::internal::GetCapturedStderr();
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class Framework : public ::testing::Test {
 protected:
  void SetUp() override { setenv("FOLIAN_FAKE_FRAMEWORK", "1", 1); }
  void TearDown() override {
    framework_fake_close();
    unsetenv("FOLIAN_FAKE_FRAMEWORK");
    unsetenv("FOLIAN_SIM_LIPC_REFUSE_SERVICE");
    unsetenv("FOLIAN_SIM_LIPC_REFUSE_PROPERTY");
    unsetenv("FOLIAN_SIM_LIPC_REFUSE_SET");
  }
  SimDir dir_;
};

TEST(FrameworkOff, OnlyExactlyOneTurnsItOn) {
  SimDir dir;
  for (const char* value : {static_cast<const char*>(nullptr), "", "0", "true", "1 "}) {
    if (value) setenv("FOLIAN_FAKE_FRAMEWORK", value, 1); else unsetenv("FOLIAN_FAKE_FRAMEWORK");
    Opened run = open_logged();
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.log, "");
    EXPECT_EQ(close_logged(), "");
  }
  unsetenv("FOLIAN_FAKE_FRAMEWORK");
  EXPECT_FALSE(loaded("liblipc.so.1"));
  EXPECT_FALSE(loaded("liblipc.so"));
  EXPECT_TRUE(dir.lines("lipc.log").empty());
}

using FrameworkLipc = Framework;

TEST_F(FrameworkLipc, RegistersUnloadsTheBlanketAndUndoesItAtClose) {
  Opened run = open_logged();
  EXPECT_EQ(run.result, 1);
  EXPECT_TRUE(ends_with(run.log, kOpened)) << run.log;
  EXPECT_EQ(run.log.find("[错误]"), std::string::npos) << run.log;
  Calls calls = lipc_calls(dir_);
  // The versioned name is tried first; this directory has both.
  Calls want = {"load liblipc.so.1",
                "open com.lab126.kaf",
                "register frameworkStarted get=0 value=1 setter=null data=null",
                "set com.lab126.blanket unload splash",
                "set com.lab126.blanket unload screensaver"};
  EXPECT_EQ(calls, want);

  std::string log = close_logged();
  EXPECT_TRUE(ends_with(log, kClosed)) << log;
  want.push_back("set com.lab126.blanket load screensaver");
  want.push_back("close com.lab126.kaf");
  EXPECT_EQ(lipc_calls(dir_), want);

  // Closed once; a second close has nothing to undo.
  EXPECT_EQ(close_logged(), "");
  EXPECT_EQ(lipc_calls(dir_).size(), want.size());
}

TEST_F(FrameworkLipc, ServiceNameStillTakenLeavesNothingToUndo) {
  setenv("FOLIAN_SIM_LIPC_REFUSE_SERVICE", "1", 1);
  Opened run = open_logged();
  EXPECT_EQ(run.result, 0);
  EXPECT_TRUE(ends_with(run.log,
                        "[错误] 冒充框架：注册服务 com.lab126.kaf 失败（真框架还没停干净？）\n"))
      << run.log;
  EXPECT_EQ(close_logged(), "");
  EXPECT_EQ(lipc_calls(dir_), Calls{"open com.lab126.kaf refused"});
}

TEST_F(FrameworkLipc, RefusedPropertyStillGivesTheScreensaverBackAtClose) {
  setenv("FOLIAN_SIM_LIPC_REFUSE_PROPERTY", "13", 1);
  Opened run = open_logged();
  EXPECT_EQ(run.result, 0);
  EXPECT_TRUE(ends_with(run.log, "[错误] 冒充框架：注册 frameworkStarted 失败（13）\n")) << run.log;
  EXPECT_EQ(lipc_calls(dir_), (Calls{"open com.lab126.kaf", "register frameworkStarted refused 13"}));

  std::string log = close_logged();
  EXPECT_TRUE(ends_with(log, kClosed)) << log;
  EXPECT_EQ(lipc_calls(dir_),
            (Calls{"open com.lab126.kaf", "register frameworkStarted refused 13",
                   "set com.lab126.blanket load screensaver", "close com.lab126.kaf"}));
}

TEST_F(FrameworkLipc, BlanketFailuresAreLoggedAndDoNotStopIt) {
  setenv("FOLIAN_SIM_LIPC_REFUSE_SET", "7", 1);
  Opened run = open_logged();
  EXPECT_EQ(run.result, 1);
  EXPECT_NE(run.log.find("[错误] blanket unload splash 失败（7）\n"), std::string::npos) << run.log;
  EXPECT_NE(run.log.find("[错误] blanket unload screensaver 失败（7）\n"), std::string::npos);
  EXPECT_TRUE(ends_with(run.log, kOpened)) << run.log;

  std::string log = close_logged();
  EXPECT_NE(log.find("[错误] blanket load screensaver 失败（7）\n"), std::string::npos) << log;
  EXPECT_TRUE(ends_with(log, kClosed)) << log;
  EXPECT_EQ(lipc_calls(dir_).back(), "close com.lab126.kaf");
}

using FrameworkUnversioned = Framework;

TEST_F(FrameworkUnversioned, FallsBackToThePlainName) {
  Opened run = open_logged();
  EXPECT_EQ(run.result, 1);
  EXPECT_TRUE(ends_with(run.log, kOpened)) << run.log;
  Calls calls = lipc_calls(dir_);
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls[0], "load liblipc.so");
}

using FrameworkPartial = Framework;

TEST_F(FrameworkPartial, ALibraryWithoutEveryCallIsNotUsed) {
  Opened run = open_logged();
  EXPECT_EQ(run.result, 0);
  EXPECT_TRUE(ends_with(run.log, "[错误] 冒充框架：liblipc 缺接口\n")) << run.log;
  EXPECT_EQ(lipc_calls(dir_), Calls{"load liblipc.so.1"});
  EXPECT_EQ(close_logged(), "");
}

using FrameworkMissing = Framework;

TEST_F(FrameworkMissing, NoLibraryUnderEitherNameIsLoggedWithTheLoadersReason) {
  Opened run = open_logged();
  EXPECT_EQ(run.result, 0);
  const std::string head = "[错误] 冒充框架：加载 liblipc 失败（";
  const std::string tail = "），电源键可能无效\n";
  auto at = run.log.find(head);
  ASSERT_NE(at, std::string::npos) << run.log;
  EXPECT_TRUE(ends_with(run.log, tail)) << run.log;
  // The loader's own reason, naming the last name tried.
  std::string reason = run.log.substr(at + head.size());
  reason.resize(reason.size() - tail.size());
  EXPECT_NE(reason.find("liblipc.so"), std::string::npos) << reason;
  EXPECT_EQ(close_logged(), "");
}

}  // namespace
