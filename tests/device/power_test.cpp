// Power events through the event-wait child, and the idle-timer throttle.
// The device's tool paths reach the stand-ins of sim/lipc through the
// sim/paths objects linked into this test.
#include "power.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "sim_dir.h"

// The idle timer counts CLOCK_MONOTONIC seconds; the test moves that clock
// forward instead of waiting half a minute.
namespace {
time_t g_clock_skew = 0;
}

extern "C" int clock_gettime(clockid_t id, struct timespec* ts) {
  using Fn = int (*)(clockid_t, struct timespec*);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "clock_gettime"));
  int r = real(id, ts);
  if (r == 0 && id == CLOCK_MONOTONIC) ts->tv_sec += __atomic_load_n(&g_clock_skew, __ATOMIC_RELAXED);
  return r;
}

namespace {

void skew_clock(time_t seconds) { __atomic_fetch_add(&g_clock_skew, seconds, __ATOMIC_RELAXED); }

void sleep_ms(int ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

bool wait_readable(int fd, int ms = 5000) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, ms) == 1;
}

bool gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

const char kExitLine[] = "[错误] lipc-wait-event 退出了，不再监听电源事件\n";

// One event-wait child fed through a FIFO the test writes.
class PowerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkfifo(dir_.file("events").c_str(), 0600), 0);
    // As in the product: SIGPIPE ignored, and a thread may well have signals
    // blocked when it starts the tool.  Neither may reach the tool.
    signal(SIGPIPE, SIG_IGN);
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR2);
    sigprocmask(SIG_BLOCK, &block, &old);
    int fd = power_open();
    sigprocmask(SIG_SETMASK, &old, nullptr);
    ASSERT_GE(fd, 0);
    // Read-write so that opening never blocks; the child sees end of file
    // only when this end is closed.
    feed_ = open(dir_.file("events").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(feed_, 0);
    ASSERT_EQ(dir_.wait_lines("wait-event.pid", 1).size(), 1u);
    pid_ = std::stoi(dir_.read("wait-event.pid"));
    // Once a line has come through, the tool holds the FIFO open: what the
    // test writes from here on cannot be lost by closing the test's end.
    feed("sync\n");
    ASSERT_TRUE(wait_readable(power_fd()));
    ASSERT_EQ(power_read(), POWER_EVENT_NONE);
  }
  void TearDown() override {
    if (feed_ >= 0) close(feed_);
    power_close();
    EXPECT_EQ(power_fd(), -1);
  }

  void feed(const std::string& text) {
    ASSERT_EQ(write(feed_, text.data(), text.size()), (ssize_t)text.size());
  }
  // Feeds `text`, lets it arrive whole, then reads it in one call.
  int feed_and_read(const std::string& text) {
    feed(text);
    EXPECT_TRUE(wait_readable(power_fd()));
    sleep_ms(50);
    return power_read();
  }

  SimDir dir_;
  int feed_ = -1;
  pid_t pid_ = -1;
};

TEST_F(PowerTest, StartsTheToolWithItsFixedArgumentsAndACleanInheritance) {
  EXPECT_EQ(dir_.read("wait-event.argv"),
            "-m com.lab126.powerd goingToScreenSaver,outOfScreenSaver\n");
  // Nothing blocked, SIGPIPE (bit 13) not ignored.
  std::string signals = dir_.read("wait-event.signals");
  EXPECT_NE(signals.find("SigBlk: 0000000000000000"), std::string::npos) << signals;
  auto ign = signals.find("SigIgn: ");
  ASSERT_NE(ign, std::string::npos);
  unsigned long long mask = std::stoull(signals.substr(ign + 8, 16), nullptr, 16);
  EXPECT_EQ(mask & (1ull << (SIGPIPE - 1)), 0u) << signals;
}

TEST_F(PowerTest, RecognisesLinesThatBeginWithAnEventName) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(feed_and_read("goingToScreenSaver\n"), POWER_EVENT_SCREENSAVER_ON);
  EXPECT_EQ(feed_and_read("outOfScreenSaver 1 2\n"), POWER_EVENT_SCREENSAVER_OFF);
  EXPECT_EQ(feed_and_read("event goingToScreenSaver\nhello\n\n"), POWER_EVENT_NONE);
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(count(log, "] 电源事件: "), 2) << log;
  EXPECT_NE(log.find("] 电源事件: goingToScreenSaver\n"), std::string::npos);
  EXPECT_NE(log.find("] 电源事件: outOfScreenSaver 1 2\n"), std::string::npos);
}

TEST_F(PowerTest, TwoEventsInOneReadYieldTheLastButLogBoth) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(feed_and_read("goingToScreenSaver\noutOfScreenSaver\n"), POWER_EVENT_SCREENSAVER_OFF);
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(count(log, "] 电源事件: "), 2) << log;
}

TEST_F(PowerTest, ALineSplitAcrossReadsIsJoined) {
  EXPECT_EQ(feed_and_read("goingToScr"), POWER_EVENT_NONE);
  EXPECT_EQ(feed_and_read("eenSaver\n"), POWER_EVENT_SCREENSAVER_ON);
  EXPECT_EQ(feed_and_read("outOf"), POWER_EVENT_NONE);
  EXPECT_EQ(feed_and_read("ScreenSaver"), POWER_EVENT_NONE);
  EXPECT_EQ(feed_and_read("\n"), POWER_EVENT_SCREENSAVER_OFF);
}

TEST_F(PowerTest, AnOverLongLineKeepsItsFirst255Bytes) {
  std::string longline = "goingToScreenSaver" + std::string(300 - 18, 'x');
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(feed_and_read(longline + "\n"), POWER_EVENT_SCREENSAVER_ON);
  EXPECT_EQ(feed_and_read("outOfScreenSaver\n"), POWER_EVENT_SCREENSAVER_OFF);
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("电源事件: " + longline.substr(0, 255) + "\n"), std::string::npos) << log;
  EXPECT_NE(log.find("电源事件: outOfScreenSaver\n"), std::string::npos) << log;
}

TEST_F(PowerTest, ToolEndingIsLoggedOnceAndTheChildReaped) {
  feed("goingToScreenSaver\n");
  close(feed_);
  feed_ = -1;
  ::testing::internal::CaptureStderr();
  int fd = power_fd();
  int event = POWER_EVENT_NONE;
  for (int i = 0; i < 100 && power_fd() >= 0; i++) {
    ASSERT_TRUE(wait_readable(fd));
    int e = power_read();
    if (e != POWER_EVENT_NONE) event = e;
  }
  EXPECT_EQ(event, POWER_EVENT_SCREENSAVER_ON);
  EXPECT_EQ(power_fd(), -1);
  EXPECT_EQ(power_read(), POWER_EVENT_NONE);
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(count(log, kExitLine), 1) << log;
  EXPECT_TRUE(gone(pid_));
}

TEST_F(PowerTest, AChildKilledFromOutsideIsLoggedOnceAndNeverPolledAgain) {
  ASSERT_EQ(kill(pid_, SIGKILL), 0);
  int fd = power_fd();
  struct pollfd p = {fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  EXPECT_TRUE(p.revents & (POLLIN | POLLHUP));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(power_read(), POWER_EVENT_NONE);
  EXPECT_EQ(power_fd(), -1);
  EXPECT_EQ(power_read(), POWER_EVENT_NONE);
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(count(log, kExitLine), 1) << log;
  EXPECT_TRUE(gone(pid_));
}

TEST(PowerStart, ChildInheritsNoDescriptorOfOurs) {
  SimDir dir;
  int marker = open(dir.file("marker").c_str(), O_CREAT | O_WRONLY, 0600);  // no O_CLOEXEC
  ASSERT_GE(marker, 0);
  ASSERT_GE(power_open(), 0);
  dir.wait_lines("wait-event.pid", 1);
  std::string fds = dir.read("wait-event.fds");
  EXPECT_EQ(fds.find("marker"), std::string::npos) << fds;
  EXPECT_NE(fds.find("1 -> pipe:"), std::string::npos) << fds;
  close(marker);
  power_close();
}

TEST(PowerStart, ChildDeafToSigtermIsKilledAtClose) {
  SimDir dir;
  setenv("FOLIAN_SIM_LIPC_IGNORE_TERM", "1", 1);
  ASSERT_GE(power_open(), 0);
  unsetenv("FOLIAN_SIM_LIPC_IGNORE_TERM");
  ASSERT_EQ(dir.wait_lines("wait-event.pid", 1).size(), 1u);
  pid_t pid = std::stoi(dir.read("wait-event.pid"));
  auto start = std::chrono::steady_clock::now();
  power_close();
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(3));
  EXPECT_TRUE(gone(pid));
  EXPECT_EQ(power_fd(), -1);
}

TEST(PowerStart, WithoutTheToolEventsAreNotFollowed) {
  SimDir dir;
  const char* bin = getenv("FOLIAN_SIM_LIPC_BIN");
  std::string saved = bin ? bin : "";
  setenv("FOLIAN_SIM_LIPC_BIN", dir.path().c_str(), 1);  // holds no tools
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(power_open(), -1);
  std::string log = ::testing::internal::GetCapturedStderr();
  setenv("FOLIAN_SIM_LIPC_BIN", saved.c_str(), 1);
  EXPECT_EQ(power_fd(), -1);
  EXPECT_EQ(power_read(), POWER_EVENT_NONE);
  EXPECT_NE(log.find("] 没有 lipc-wait-event，不监听电源事件\n"), std::string::npos) << log;
  power_close();
}

TEST(PowerIdle, UserActivityResetsTheIdleTimerAtMostEvery30Seconds) {
  SimDir dir;
  skew_clock(1000);  // well away from any earlier reset
  power_user_activity();
  auto calls = dir.wait_lines("set-prop.log", 1);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_NE(calls[0].find(" -i com.lab126.powerd touchScreenSaverTimeout 1"), std::string::npos)
      << calls[0];
  // The tool was detached: nothing is left for us to reap.
  pid_t left = waitpid(-1, nullptr, WNOHANG);
  EXPECT_TRUE(left == -1 && errno == ECHILD) << "waitpid gave " << left;

  skew_clock(10);
  power_user_activity();
  skew_clock(19);
  power_user_activity();
  sleep_ms(300);
  EXPECT_EQ(dir.lines("set-prop.log").size(), 1u) << dir.read("set-prop.log");

  skew_clock(1);  // 30 s after the reset
  power_user_activity();
  EXPECT_EQ(dir.wait_lines("set-prop.log", 2).size(), 2u) << dir.read("set-prop.log");
}

}  // namespace
