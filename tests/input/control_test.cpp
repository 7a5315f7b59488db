// The control FIFO: grammar, timing of the step queue, test taps and the
// FIFO's own life, with the recording engine's clock.
#include <errno.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include "control.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// The queue remembers its latest due time for the life of the process, so the
// clock only ever moves forward from one test to the next.
uint64_t g_clock = 1000000000ull;
std::vector<int> g_power_calls;
void on_power(int sleep) { g_power_calls.push_back(sleep); }

class Control : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = make_temp_dir();
    path_ = dir_ + "/ctl";
    setenv("FOLIAN_CONTROL", path_.c_str(), 1);
    unsetenv("FOLIAN_TEST_TAPS");
    g_clock += 3600ull * 1000000000ull;
    fake::reset(g_clock);
    g_power_calls.clear();
  }
  void TearDown() override {
    if (writer_ >= 0) close(writer_);
    control_close();
    g_clock = fake::time_ns();
    remove_tree(dir_);
  }

  void open_pipe(ControlPowerHandler handler = on_power) {
    control_open(handler);
    ASSERT_GE(control_fd(), 0);
    if (writer_ >= 0) close(writer_);
    writer_ = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer_, 0);
  }
  void say(const std::string& text) {
    ASSERT_EQ(write(writer_, text.data(), text.size()), (ssize_t)text.size());
    control_read();
  }
  // Clears the engine's records, keeping its clock.
  void clear() { fake::reset(fake::time_ns()); }
  // Runs the queue at every millisecond for `ms` from now and returns
  // (phase, ms from now) of every pointer event sent.
  std::vector<std::pair<int, uint64_t>> run_for(uint64_t ms) {
    const uint64_t base = fake::time_ns();
    std::vector<std::pair<int, uint64_t>> out;
    size_t seen = fake::pointer_events().size();
    for (;;) {
      control_run_due(fake::engine());
      const auto& evs = fake::pointer_events();
      for (; seen < evs.size(); seen++)
        if (evs[seen].phase != kAdd)
          out.push_back({evs[seen].phase, (fake::time_ns() - base) / 1000000});
      if (fake::time_ns() >= base + ms * 1000000) break;
      fake::advance_ms(1);
    }
    return out;
  }
  std::vector<FlutterPointerEvent> moves() {
    std::vector<FlutterPointerEvent> out;
    for (const auto& e : touches())
      if (e.phase == kMove) out.push_back(e);
    return out;
  }

  std::string dir_, path_;
  int writer_ = -1;
};

using Timeline = std::vector<std::pair<int, uint64_t>>;

TEST_F(Control, TwoTapsInOneWriteFollowEachOtherWithTheGap) {
  StderrCapture err;
  open_pipe();
  EXPECT_TRUE(err.has("] 控制管道 " + path_ + "\n"));
  say("tap 10 20\ntap 30.5 40\n");
  EXPECT_TRUE(err.has("] 控制命令: tap 10 20\n"));
  EXPECT_EQ(run_for(300), (Timeline{{kDown, 0}, {kUp, 60}, {kDown, 110}, {kUp, 170}}));
  auto t = touches();
  EXPECT_EQ(t[2].x, 30.5);
  EXPECT_EQ(t[2].y, 40);
  EXPECT_EQ(t[2].device, 9);
  EXPECT_EQ(control_next_timeout_ms(), -1);
}

TEST_F(Control, LinesAreAssembledAcrossWritesAndCarriageReturnsKept) {
  StderrCapture err;
  open_pipe();
  say("ta");
  EXPECT_TRUE(fake::pointer_events().empty());
  EXPECT_EQ(control_next_timeout_ms(), -1);
  say("p 1 2\r\n");
  EXPECT_TRUE(err.has("] 控制命令: tap 1 2\r\n"));
  say("\r\n\n");
  EXPECT_TRUE(err.has("][错误] 控制命令看不懂: \r\n"));
  EXPECT_TRUE(err.has("] 控制命令: \n"));
  for (const char* line : {"longpress 1 2 20\r\n", "swipe 1 2 3 4 20\r\n", "key next 20\r\n",
                           "sleep\r\n", "wake\r\n", "refresh\r\n"}) {
    say(line);
    EXPECT_TRUE(err.has(std::string("] 控制命令: ") + line)) << line;
  }
}

TEST_F(Control, OverlongLineIsCutTo255Characters) {
  StderrCapture err;
  open_pipe();
  std::string line = "tap 7 8" + std::string(300, 'x');
  say(line + "\n");
  EXPECT_TRUE(err.has("] 控制命令: " + line.substr(0, 255) + "\n"));
  say("tap" + std::string(260, ' ') + "1 2\n");  // the numbers fell off
  EXPECT_TRUE(err.has("][错误] 控制命令看不懂: tap   "));
  EXPECT_EQ(run_for(100), (Timeline{{kDown, 0}, {kUp, 60}}));
}

TEST_F(Control, MalformedCommandsQueueNothing) {
  StderrCapture err;
  open_pipe();
  for (const char* line : {"tap 5", "key nextpage", "key ", "key up 10", "Sleep", "swipe 1 2 3",
                           "longpress 1", "tap nan 4", "jump"}) {
    say(std::string(line) + "\n");
    EXPECT_TRUE(err.has(std::string("][错误] 控制命令看不懂: ") + line + "\n")) << line;
  }
  EXPECT_EQ(control_next_timeout_ms(), -1);
}

TEST_F(Control, SwipeAndLongPressSteps) {
  open_pipe();
  say("swipe 100 200 500 200 100\n");
  Timeline t = run_for(100);
  EXPECT_EQ(t, (Timeline{{kDown, 0}, {kMove, 16}, {kMove, 32}, {kMove, 48}, {kMove, 64},
                         {kMove, 80}, {kMove, 96}, {kUp, 100}}));
  auto m = moves();
  ASSERT_EQ(m.size(), 6u);
  EXPECT_NEAR(m[0].x, 166.667, 1e-3);
  EXPECT_NEAR(m[5].x, 500, 1e-9);
  EXPECT_EQ(touches().back().x, 500);

  clear();
  say("swipe 0 0 100 0 10\n");
  EXPECT_EQ(run_for(20), (Timeline{{kDown, 0}, {kUp, 10}}));

  clear();
  say("swipe 0 0 100 100\n");
  Timeline sw = run_for(400);
  EXPECT_EQ(sw.size(), 20u);  // down, 18 moves, up
  EXPECT_EQ(sw.back(), (std::pair<int, uint64_t>{kUp, 300}));

  for (const char* lp : {"longpress 300 400\n", "longpress 300 400 0\n"}) {
    clear();
    say(lp);
    Timeline l = run_for(900);
    EXPECT_EQ(l.size(), 52u);
    EXPECT_EQ(l.back(), (std::pair<int, uint64_t>{kUp, 800}));
    for (const auto& e : touches()) {
      EXPECT_EQ(e.x, 300);
      EXPECT_EQ(e.y, 400);
    }
  }
}

TEST_F(Control, KeyHoldTimesAndCodes) {
  open_pipe();
  say("key next\n");
  run_for(200);
  say("key prev 500\n");
  size_t before = fake::key_events().size();
  fake::advance_ms(499);
  control_run_due(fake::engine());
  EXPECT_EQ(fake::key_events().size(), before + 1);
  fake::advance_ms(1);
  control_run_due(fake::engine());
  const auto& k = fake::key_events();
  ASSERT_EQ(k.size(), 4u);
  EXPECT_EQ(k[1].event.timestamp - k[0].event.timestamp, 80000);
  EXPECT_EQ(k[1].event.type, kFlutterKeyEventTypeUp);
  EXPECT_EQ(k[2].event.logical, 0x100000308u);
  EXPECT_NE(message_text(0).find("\"keyCode\":65366"), std::string::npos);
  EXPECT_NE(message_text(3).find("\"type\":\"keyup\",\"keyCode\":65365"), std::string::npos);

  // Five seconds is 5e9 ns: the hold must not wrap in 32 bits.
  say("key next 5000\n");
  uint64_t pressed = fake::time_ns();
  control_run_due(fake::engine());
  EXPECT_EQ(control_next_timeout_ms(), 5001);
  fake::set_time(pressed + 5000000000ull);
  control_run_due(fake::engine());
  ASSERT_EQ(k.size(), 6u);
  EXPECT_EQ(k[5].event.timestamp, (pressed + 5000000000ull) / 1000);
}

TEST_F(Control, SleepWakeAndTheirPrefixes) {
  open_pipe();
  say("sleep\nsleepy time\nwake up\n");
  run_for(200);
  EXPECT_EQ(g_power_calls, (std::vector<int>{1, 1, 0}));
  control_close();
  open_pipe(nullptr);  // no handler: the steps are consumed quietly
  say("sleep\n");
  run_for(400);
  EXPECT_EQ(control_next_timeout_ms(), -1);
}

TEST_F(Control, DurationsBeyondAMinuteAreRefused) {
  StderrCapture err;
  open_pipe();
  for (const char* line : {"swipe 0 0 9 9 60001", "longpress 1 1 4294967296", "key next 70000",
                           "longpress 1 1 -5"}) {
    say(std::string(line) + "\n");
    EXPECT_TRUE(err.has(std::string("][错误] 控制命令时长超过 60000 毫秒，不执行: ") + line + "\n"))
        << line;
  }
  EXPECT_EQ(control_next_timeout_ms(), -1);
  say("swipe 0 0 9 9 60000\n");
  EXPECT_TRUE(err.has("] 控制命令: swipe 0 0 9 9 60000\n"));
}

TEST_F(Control, NextTimeoutRoundsUp) {
  open_pipe();
  EXPECT_EQ(control_next_timeout_ms(), -1);
  say("tap 1 1\n");
  EXPECT_EQ(control_next_timeout_ms(), 0);
  control_run_due(fake::engine());
  fake::set_time(fake::time_ns() + 57500000);  // the kUp is 2.5 ms away
  EXPECT_EQ(control_next_timeout_ms(), 3);
}

TEST_F(Control, StepsRunStrictlyInQueueOrder) {
  setenv("FOLIAN_TEST_TAPS", "10,10@500;20,20@100;bad;30,30@100000;", 1);
  StderrCapture err;
  control_open(on_power);
  EXPECT_TRUE(err.has("][错误] 测试点按延迟超过 60000 毫秒，跳过: 30,30@100000\n"));
  Timeline t = run_for(600);
  EXPECT_EQ(t, (Timeline{{kDown, 500}, {kUp, 560}, {kDown, 560}, {kUp, 560}}));
  EXPECT_EQ(touches()[2].x, 20);
}

TEST_F(Control, TestTapsAreTimedFromStartUpWithoutAPipe) {
  unsetenv("FOLIAN_CONTROL");
  setenv("FOLIAN_TEST_TAPS", "100,200@1000;300,400@2500", 1);
  control_open(on_power);
  EXPECT_EQ(control_fd(), -1);
  EXPECT_EQ(run_for(2600), (Timeline{{kDown, 1000}, {kUp, 1060}, {kDown, 2500}, {kUp, 2560}}));
}

TEST_F(Control, QueueThatNeverEmptiesGivesBackItsRoom) {
  StderrCapture err;
  open_pipe();
  // Each tap is written before the previous one's kUp has run, so the queue
  // is never empty when it is run.
  // The engine's records are cleared as they go, so that only the queue
  // could grow.
  size_t sent = 0;
  auto taps = [&](int count) {
    for (int i = 0; i < count; i++) {
      say("tap 1 1\n");
      control_run_due(fake::engine());
      fake::advance_ms(100);
      if (i % 100 == 99) {
        sent += touches().size();
        clear();
      }
    }
  };
  taps(1000);
  struct mallinfo2 before = mallinfo2();
  taps(20000);
  struct mallinfo2 after = mallinfo2();
  EXPECT_LT(after.uordblks, before.uordblks + 64 * 1024);
  EXPECT_EQ(sent, 41999u);
}

TEST_F(Control, OnlyItsOwnFifoIsEverRemoved) {
  // A regular file in the way is left alone.
  write_file(path_, "precious");
  StderrCapture err;
  control_open(on_power);
  EXPECT_EQ(control_fd(), -1);
  EXPECT_TRUE(err.has("][错误] 建控制管道 " + path_ + " 失败: "));
  EXPECT_FALSE(err.has("] 控制管道 "));
  control_close();
  EXPECT_EQ(read_file(path_), "precious");

  // A stale FIFO is replaced; what takes its place later survives the close.
  unlink(path_.c_str());
  mkfifo(path_.c_str(), 0600);
  control_open(on_power);
  EXPECT_GE(control_fd(), 0);
  unlink(path_.c_str());
  write_file(path_, "new owner");
  control_close();
  EXPECT_EQ(read_file(path_), "new owner");

  // The FIFO it made is gone after the close.
  unlink(path_.c_str());
  control_open(on_power);
  control_close();
  EXPECT_NE(access(path_.c_str(), F_OK), 0);
}

TEST_F(Control, MissingDirectoryIsReported) {
  setenv("FOLIAN_CONTROL", (dir_ + "/no/such/ctl").c_str(), 1);
  StderrCapture err;
  control_open(on_power);
  EXPECT_EQ(control_fd(), -1);
  EXPECT_TRUE(err.has("][错误] 建控制管道 " + dir_ + "/no/such/ctl 失败: No such file or directory\n"));
}

}  // namespace
