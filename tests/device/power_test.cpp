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
#include <fstream>
#include <string>
#include <vector>

#include "sim_dir.h"
#include "stderr_capture.h"

// The idle timer counts CLOCK_MONOTONIC seconds; the throttle test sets that
// clock outright (0: the real one), so that the real time passing while the
// tool starts cannot carry a call across the 30 s boundary.
namespace {
time_t g_frozen_seconds = 0;
}

extern "C" int clock_gettime(clockid_t id, struct timespec* ts) {
  using Fn = int (*)(clockid_t, struct timespec*);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "clock_gettime"));
  int r = real(id, ts);
  time_t frozen = __atomic_load_n(&g_frozen_seconds, __ATOMIC_RELAXED);
  if (r == 0 && id == CLOCK_MONOTONIC && frozen != 0) *ts = {frozen, 0};
  return r;
}

namespace {

void sleep_ms(int ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

bool wait_readable(int fd, int ms = 5000) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, ms) == 1;
}

bool gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

// The events handed on by the last power_read, in order.
std::vector<int> g_events;
void record(int event) { g_events.push_back(event); }
std::vector<int> read_events() {
  g_events.clear();
  int count = power_read(record);
  EXPECT_EQ(count, (int)g_events.size());
  return g_events;
}

// One event-wait child fed through a FIFO the test writes.
class PowerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkfifo(dir_.file("events").c_str(), 0600), 0);
    // As in the product: SIGPIPE ignored, and a thread may well have signals
    // blocked or descriptors open without close-on-exec when it starts the
    // tool.  None of them may reach the tool.
    signal(SIGPIPE, SIG_IGN);
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR2);
    sigprocmask(SIG_BLOCK, &block, &old);
    int marker = open(dir_.file("marker").c_str(), O_CREAT | O_WRONLY, 0600);
    int fd = power_open();
    close(marker);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    ASSERT_GE(fd, 0);
    // Read-write so that opening never blocks; the child sees end of file
    // only when this end is closed.
    feed_ = open(dir_.file("events").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(feed_, 0);
    ASSERT_EQ(dir_.wait_lines("wait-event.pid", 1).size(), 1u);
    // Once a line has come through, the tool holds the FIFO open: what the
    // test writes from here on cannot be lost by closing the test's end.
    feed("sync\n");
    ASSERT_TRUE(wait_readable(power_fd()));
    ASSERT_EQ(read_events(), std::vector<int>());
  }
  void TearDown() override {
    if (feed_ >= 0) close(feed_);
    power_close();
    EXPECT_EQ(power_fd(), -1);
  }

  void feed(const std::string& text) {
    ASSERT_EQ(write(feed_, text.data(), text.size()), (ssize_t)text.size());
  }

  SimDir dir_;
  int feed_ = -1;
};

TEST_F(PowerTest, StartsTheToolWithItsFixedArgumentsAndACleanInheritance) {
  EXPECT_EQ(dir_.read("wait-event.argv"), "-m com.lab126.powerd goingToScreenSaver,outOfScreenSaver,"
                                          "battLevelChanged,charging,notCharging\n");
  // Nothing blocked, SIGPIPE (bit 13) not ignored.
  std::string signals = dir_.read("wait-event.signals");
  EXPECT_NE(signals.find("SigBlk: 0000000000000000"), std::string::npos) << signals;
  auto ign = signals.find("SigIgn: ");
  ASSERT_NE(ign, std::string::npos);
  unsigned long long mask = std::stoull(signals.substr(ign + 8, 16), nullptr, 16);
  EXPECT_EQ(mask & (1ull << (SIGPIPE - 1)), 0u) << signals;
  std::string fds = dir_.read("wait-event.fds");
  EXPECT_EQ(fds.find("marker"), std::string::npos) << fds;
  EXPECT_NE(fds.find("1 -> pipe:"), std::string::npos) << fds;
}

TEST_F(PowerTest, LinesAreJoinedAcrossReadsAndOnlyTheirStartCounts) {
  const std::string longline = "goingToScreenSaver" + std::string(300 - 18, 'x');
  const int on = POWER_EVENT_SCREENSAVER_ON, off = POWER_EVENT_SCREENSAVER_OFF;
  const int battery = POWER_EVENT_BATTERY;
  // Each row is fed, let arrive whole and read in one call.
  const std::vector<std::pair<std::string, std::vector<int>>> rows = {
      {"goingToScreenSaver\n", {on}},
      {"outOfScreenSaver 1 2\n", {off}},
      {"event goingToScreenSaver\nhello\n\n", {}},
      // A sleep and its wake in one read: the wake has something to resume.
      {"goingToScreenSaver\noutOfScreenSaver\ngoingToScreenSaver\n", {on, off, on}},
      {"goingToScr", {}},
      {"eenSaver\n", {on}},
      {"outOf", {}},
      {"ScreenSaver", {}},
      {"\n", {off}},
      {longline + "\n", {on}},
      {"outOfScreenSaver\n", {off}},
      // Battery events are told by their whole first word.
      {"battLevelChanged 85\ncharging\nnotCharging\n", {battery, battery, battery}},
      {"chargingX\nbattLevel 3\nnotcharging\n", {}}};
  ::testing::internal::CaptureStderr();
  for (const auto& [text, want] : rows) {
    feed(text);
    EXPECT_TRUE(wait_readable(power_fd()));
    sleep_ms(50);
    EXPECT_EQ(read_events(), want) << text;
  }
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_of(log, "] 电源事件: "), 12u) << log;
  EXPECT_EQ(count_of(log, "] 电源事件: " + longline.substr(0, 255) + "\n"), 1u) << log;
}

TEST_F(PowerTest, OneReadTakesABoundedShareOfALongOutput) {
  // A tool that never stops writing must not hold the loop: one call leaves
  // what is beyond its share for the next pass.
  std::string noise;
  while (noise.size() < 32 * 1024) noise += "noise\n";
  feed(noise + "goingToScreenSaver\n");
  ASSERT_TRUE(wait_readable(power_fd()));
  sleep_ms(200);
  EXPECT_EQ(read_events(), std::vector<int>());
  EXPECT_TRUE(wait_readable(power_fd(), 0));
  std::vector<int> events;
  for (int i = 0; i < 100 && events.empty() && wait_readable(power_fd()); i++) events = read_events();
  EXPECT_EQ(events, std::vector<int>({POWER_EVENT_SCREENSAVER_ON}));
}

TEST(PowerStart, AToolThatKeepsEndingIsGivenUpAfterThreeRestarts) {
  SimDir dir;
  { std::ofstream(dir.file("events")); }  // the tool prints nothing and ends at once
  ::testing::internal::CaptureStderr();
  ASSERT_GE(power_open(), 0);
  for (int i = 0; i < 200 && power_fd() >= 0; i++)
    if (wait_readable(power_fd(), 100)) read_events();
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(power_fd(), -1);
  EXPECT_EQ(count_of(log, "退出了，重新启动\n"), 3u) << log;
  EXPECT_EQ(count_of(log, "[错误] lipc-wait-event 退出了，不再监听电源事件\n"), 1u) << log;
  EXPECT_EQ(dir.lines("wait-event.argv").size(), 4u);
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
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_TRUE(gone(pid));
  EXPECT_EQ(power_fd(), -1);
}

TEST(PowerStart, WithoutTheToolEventsAreNotFollowed) {
  SimDir dir;
  std::string saved = getenv("FOLIAN_SIM_LIPC_BIN");
  setenv("FOLIAN_SIM_LIPC_BIN", dir.path().c_str(), 1);  // holds no tools
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(power_open(), -1);
  std::string log = ::testing::internal::GetCapturedStderr();
  setenv("FOLIAN_SIM_LIPC_BIN", saved.c_str(), 1);
  EXPECT_EQ(read_events(), std::vector<int>());
  EXPECT_NE(log.find("] 没有 lipc-wait-event，不监听电源事件\n"), std::string::npos) << log;
  power_close();
}

TEST(PowerIdle, UserActivityResetsTheIdleTimerAtMostEvery30Seconds) {
  SimDir dir;
  auto activity_at = [](time_t seconds) {
    __atomic_store_n(&g_frozen_seconds, seconds, __ATOMIC_RELAXED);
    power_user_activity();
    __atomic_store_n(&g_frozen_seconds, 0, __ATOMIC_RELAXED);
  };
  activity_at(100000);
  auto calls = dir.wait_lines("set-prop.log", 1);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_NE(calls[0].find(" -i com.lab126.powerd touchScreenSaverTimeout 1"), std::string::npos) << calls[0];
  // The tool was detached: nothing is left for us to reap.
  pid_t left = waitpid(-1, nullptr, WNOHANG);
  EXPECT_TRUE(left == -1 && errno == ECHILD) << "waitpid gave " << left;

  // The window runs from the last reset, not from the last activity.
  activity_at(100010);
  activity_at(100029);
  sleep_ms(300);
  EXPECT_EQ(dir.lines("set-prop.log").size(), 1u) << dir.read("set-prop.log");
  activity_at(100030);
  EXPECT_EQ(dir.wait_lines("set-prop.log", 2).size(), 2u) << dir.read("set-prop.log");
}

}  // namespace
