// The control FIFO: grammar, timing of the step queue, test taps and the
// FIFO's own life, with the recording engine's clock.
#include <limits.h>
#include <malloc.h>

#include <tuple>

#include "control.h"
#include "orientation.h"
#include "display.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// Bytes the program holds from malloc: the arena's blocks and the large ones
// the C library maps on their own (past 128 KiB), which the arena's count
// leaves out.  mallinfo2 is new in C library 2.33; the ARM builds use an
// older one, whose mallinfo counts in int.
size_t heap_in_use() {
#if __GLIBC__ > 2 || __GLIBC_MINOR__ >= 33
  struct mallinfo2 m = mallinfo2();
#else
  struct mallinfo m = mallinfo();
#endif
  return (size_t)m.uordblks + (size_t)m.hblkhd;
}

// The queue remembers its latest due time for the life of the process, so the
// clock only ever moves forward from one test to the next.
uint64_t g_clock = 1000000000ull;
std::vector<int> g_power_calls;
void on_power(int sleep) { g_power_calls.push_back(sleep); }

// (phase, ms after the start) of pointer events.
using Timeline = std::vector<std::pair<int, uint64_t>>;

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
    std::filesystem::remove_all(dir_);
  }

  void open_pipe(ControlPowerHandler handler = on_power) {
    control_open(handler);
    ASSERT_GE(control_fd(), 0);
    writer_ = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer_, 0);
  }
  void say(const std::string& text) {
    ASSERT_EQ(write(writer_, text.data(), text.size()), (ssize_t)text.size());
    control_read();
  }
  // Clears the engine's records, keeping its clock.
  void clear() { fake::reset(fake::time_ns()); }
  // Runs the queue at every millisecond for `ms` from now.
  Timeline run_for(uint64_t ms) {
    const uint64_t base = fake::time_ns();
    Timeline out;
    for (size_t seen = fake::pointer_events().size();; fake::advance_ms(1)) {
      control_run_due(fake::engine());
      const auto& evs = fake::pointer_events();
      for (; seen < evs.size(); seen++)
        if (evs[seen].phase != kAdd) out.push_back({evs[seen].phase, (fake::time_ns() - base) / 1000000});
      if (fake::time_ns() >= base + ms * 1000000) return out;
    }
  }

  std::string dir_, path_;
  int writer_ = -1;
};

TEST_F(Control, Grammar) {
  capture_log();
  open_pipe();
  // Refused lines queue nothing, each with an error line.
  const std::vector<std::string> refused = {
      "tap 5", "key nextpage", "key ", "key up 10", "Sleep", "swipe 1 2 3", "longpress 1", "tap nan 4", "jump",
      "\r", "tap" + std::string(260, ' ') + "1 2",  // the numbers fall off at 255
      "swipe 0 0 9 9 60001", "longpress 1 1 4294967296", "key next 70000", "longpress 1 1 -5",
      "night", "night dim", "nights on", "motion on", "dither", "flash", "flash x", "Night on",
      "rotate 45", "rotate 90x", "rotate", "rotate -90",
      "battery", "battery x", "battery 101", "battery -1", "battery 50 full"};
  for (const auto& line : refused) say(line + "\n");
  EXPECT_EQ(control_next_timeout_ms(), -1);
  // A line may come in pieces; the carriage return of CR-LF stays part of it.
  say("ta");
  EXPECT_EQ(control_next_timeout_ms(), -1);
  const std::vector<std::string> accepted = {
      "p 1 2\r", "", "longpress 1 2 20\r", "swipe 1 2 3 4 20\r", "key next 20\r", "key prev\r", "sleep\r",
      "wake\r", "refresh\r", "swipe 0 0 9 9 60000", "tap 7 8" + std::string(300, 'x'), "night on\r",
      "dither off", "motion auto", "flash 6 3\r", "rotate 270\r", "battery 50 charging", "battery 0"};
  for (const auto& line : accepted) say(line + "\n");
  std::string log = logged();
  EXPECT_EQ(count_of(log, "][错误] "), refused.size()) << log;
  for (auto line : accepted) {
    if (line[0] == 'p') line = "ta" + line;
    EXPECT_TRUE(has(log, "] 控制命令: " + line.substr(0, 255) + "\n")) << line;
  }
  EXPECT_TRUE(has(log, "] 控制管道 " + path_ + "\n"));
}

TEST_F(Control, StepTiming) {
  open_pipe();
  // Two taps in one write follow each other with a 50 ms gap.
  say("tap 10 20\ntap 30.5 40\n");
  EXPECT_EQ(run_for(300), (Timeline{{kDown, 0}, {kUp, 60}, {kDown, 110}, {kUp, 170}}));
  EXPECT_EQ(touches()[2].x, 30.5);
  EXPECT_EQ(touches()[2].y, 40);
  EXPECT_EQ(touches()[2].device, 9);
  EXPECT_EQ(control_next_timeout_ms(), -1);

  // A move every 16 ms, ending where it was asked to.
  clear();
  say("swipe 100 200 500 200 100\n");
  EXPECT_EQ(run_for(100), (Timeline{{kDown, 0}, {kMove, 16}, {kMove, 32}, {kMove, 48}, {kMove, 64}, {kMove, 80},
                                    {kMove, 96}, {kUp, 100}}));
  EXPECT_NEAR(touches()[1].x, 166.667, 1e-3);
  EXPECT_EQ(touches()[6].x, 500);
  EXPECT_EQ(touches()[7].x, 500);
  clear();
  say("swipe 0 0 100 0 10\n");
  EXPECT_EQ(run_for(20), (Timeline{{kDown, 0}, {kUp, 10}}));

  // Defaults: a swipe takes 300 ms, a long press 800 ms in place.
  clear();
  say("swipe 0 0 100 100\n");
  Timeline t = run_for(400);
  EXPECT_EQ(t.size(), 20u);
  EXPECT_EQ(t.back(), (std::pair<int, uint64_t>{kUp, 300}));
  for (const char* lp : {"longpress 300 400\n", "longpress 300 400 0\n"}) {
    clear();
    say(lp);
    t = run_for(900);
    EXPECT_EQ(t.size(), 52u);
    EXPECT_EQ(t.back(), (std::pair<int, uint64_t>{kUp, 800}));
    for (const auto& e : touches()) EXPECT_TRUE(e.x == 300 && e.y == 400);
  }
}

TEST_F(Control, KeysSleepAndWake) {
  open_pipe();
  say("key next\nkey prev 500\n");
  run_for(80);
  const auto& k = fake::key_events();
  ASSERT_EQ(k.size(), 2u);
  EXPECT_EQ(k[1].timestamp - k[0].timestamp, 80000);
  EXPECT_EQ(k[0].logical, 0x100000307u);
  EXPECT_EQ(k[1].type, kFlutterKeyEventTypeUp);
  fake::advance_ms(50 + 499);
  control_run_due(fake::engine());
  EXPECT_EQ(k.size(), 3u);
  fake::advance_ms(1);
  control_run_due(fake::engine());
  ASSERT_EQ(k.size(), 4u);
  EXPECT_EQ(k[2].logical, 0x100000308u);
  EXPECT_TRUE(has(message_text(3), "\"type\":\"keyup\",\"keyCode\":65365"));

  // Five seconds is 5e9 ns: the hold must not wrap in 32 bits.
  say("key next 5000\n");
  uint64_t pressed = fake::time_ns();
  control_run_due(fake::engine());
  EXPECT_EQ(control_next_timeout_ms(), 5001);
  fake::set_time(pressed + 5000000000ull);
  control_run_due(fake::engine());
  ASSERT_EQ(k.size(), 6u);
  EXPECT_EQ(k[5].timestamp, (pressed + 5000000000ull) / 1000);

  say("sleep\nsleepy time\nwake up\n");
  run_for(200);
  EXPECT_EQ(g_power_calls, (std::vector<int>{1, 1, 0}));
  control_close();
  open_pipe(nullptr);  // no handler: the steps are consumed quietly
  say("sleep\n");
  run_for(400);
  EXPECT_EQ(control_next_timeout_ms(), -1);
}

TEST_F(Control, SwitchesReachThePanelInTheirTurn) {
  open_pipe();
  using Modes = std::tuple<bool, bool, bool, int, int>;  // night, dither, motion, flash day, night
  auto modes = [] {
    DisplayModes m = display_modes();
    return Modes{m.night, m.dithering, m.motion, m.flash_every, m.flash_every_night};
  };
  ASSERT_EQ(modes(), Modes(false, false, false, 0, 0));
  // Behind a tap, night mode waits for it like any other step.
  say("tap 1 1\nnight on\n");
  run_for(109);
  EXPECT_FALSE(display_modes().night);
  run_for(1);
  EXPECT_EQ(modes(), Modes(true, false, false, 0, 0));
  const std::vector<std::pair<std::string, Modes>> rows = {
      {"dither on", {true, true, false, 0, 0}},   {"motion auto", {true, true, true, 0, 0}},
      {"flash 6 3", {true, true, true, 6, 3}},    {"flash 4", {true, true, true, 4, 4}},
      {"flash -1 99999999999", {true, true, true, 0, INT_MAX}},
      {"night off\r", {false, true, true, 0, INT_MAX}}, {"dither off", {false, false, true, 0, INT_MAX}},
      {"motion off", {false, false, false, 0, INT_MAX}}, {"flash 0", {false, false, false, 0, 0}}};
  for (const auto& [line, want] : rows) {
    say(line + "\n");
    run_for(60);
    EXPECT_EQ(modes(), want) << line;
  }
  for (int degrees : {90, 0}) {
    say("rotate " + std::to_string(degrees) + "\n");
    run_for(60);
    EXPECT_EQ(orientation_degrees(), degrees);
  }
}

TEST_F(Control, NextTimeoutRoundsUpAndFitsAnInt) {
  fake::set_time(fake::time_ns() + 30ull * 86400 * 1000000000);
  open_pipe();
  say("tap 1 1\n");
  EXPECT_EQ(control_next_timeout_ms(), 0);
  control_run_due(fake::engine());
  const uint64_t now = fake::time_ns();
  fake::set_time(now + 57500000);  // the kUp is 2.5 ms away
  EXPECT_EQ(control_next_timeout_ms(), 3);
  fake::set_time(0);  // 30 days before the step is due
  EXPECT_EQ(control_next_timeout_ms(), INT_MAX);
  fake::set_time(now + 60000000);
  control_run_due(fake::engine());
  EXPECT_EQ(control_next_timeout_ms(), -1);
}

TEST_F(Control, TestTapsRunInOrderFromStartUp) {
  struct Case {
    const char* taps;
    bool pipe;
    Timeline want;
    double second_x;
  };
  // A later tap with a shorter delay waits for the one before it.
  for (const Case& c : {Case{"10,10@500;20,20@100;bad;30,30@100000;", true, {{kDown, 500}, {kUp, 560}, {kDown, 560}, {kUp, 560}}, 20},
                        Case{"100,200@1000;300,400@2500", false, {{kDown, 1000}, {kUp, 1060}, {kDown, 2500}, {kUp, 2560}}, 300}}) {
    if (!c.pipe) unsetenv("FOLIAN_CONTROL");
    setenv("FOLIAN_TEST_TAPS", c.taps, 1);
    clear();
    capture_log();
    control_open(on_power);
    std::string log = logged();
    EXPECT_EQ(control_fd() >= 0, c.pipe);
    EXPECT_EQ(run_for(2600), c.want);
    EXPECT_EQ(touches().at(2).x, c.second_x);
    EXPECT_EQ(has(log, "][错误] 测试点按延迟超过 60000 毫秒，跳过: 30,30@100000\n"), c.pipe) << log;
    control_close();
  }
}

TEST_F(Control, ExecutedStepsGiveBackTheirRoom) {
  open_pipe();
  // Each tap is written before the previous one's kUp has run, so the queue
  // is never empty when it is run; the engine's records are cleared as they
  // go, so that only the queue could grow.
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
  capture_log();  // one line per command
  taps(1000);
  size_t before = heap_in_use();
  taps(20000);
  size_t after = heap_in_use();
  logged();
  EXPECT_LT(after, before + 64 * 1024);
  EXPECT_EQ(sent, 41999u);
}

TEST_F(Control, AFullQueueIsToldOncePerEpisode) {
  open_pipe();
  capture_log();
  // 3752 steps each: 26 fit in the 100000 the queue holds, then it is full.
  const std::string swipe = "swipe 0 0 9 9 60000\n";
  for (int i = 0; i < 30; i++) say(swipe);
  // Still understood or not on its own merits, and a small one still fits.
  say("bogus\nrefresh\n");
  std::string log = logged();
  EXPECT_EQ(count_of(log, "][错误] 控制命令队列已满，不再接受命令，直到空出一半: swipe 0 0 9 9 60000\n"), 1u) << log;
  EXPECT_EQ(count_of(log, "] 控制命令: swipe"), 26u) << log;
  EXPECT_TRUE(has(log, "][错误] 控制命令看不懂: bogus\n")) << log;
  EXPECT_TRUE(has(log, "] 控制命令: refresh\n")) << log;
  capture_log();
  // Room for a line is taken as it comes; the all-clear waits until half
  // of the queue has run.
  fake::advance_ms(12 * 60050);
  control_run_due(fake::engine());
  say(swipe);
  log = logged();
  EXPECT_TRUE(has(log, "] 控制命令: swipe") && !has(log, "空出")) << log;
  capture_log();
  fake::advance_ms(2 * 60050);
  control_run_due(fake::engine());
  log = logged();
  EXPECT_TRUE(has(log, "] 控制命令队列空出，满时拒绝了 4 行\n")) << log;
}

TEST_F(Control, OnlyItsOwnFifoIsEverRemoved) {
  // A regular file in the way is left alone; so is a missing directory.
  write_file(path_, "precious");
  setenv("FOLIAN_CONTROL", (dir_ + "/no/ctl").c_str(), 1);
  capture_log();
  control_open(on_power);
  EXPECT_EQ(control_fd(), -1);
  setenv("FOLIAN_CONTROL", path_.c_str(), 1);
  control_open(on_power);
  EXPECT_EQ(control_fd(), -1);
  control_close();
  std::string log = logged();
  EXPECT_TRUE(has(log, "][错误] 建控制管道 " + dir_ + "/no/ctl 失败: No such file or directory\n")) << log;
  EXPECT_TRUE(has(log, "][错误] 建控制管道 " + path_ + " 失败: ")) << log;
  EXPECT_FALSE(has(log, "] 控制管道 ")) << log;
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

}  // namespace
