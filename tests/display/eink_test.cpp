// The e-ink driver against the stand-in EPDC.  The driver kind is decided once
// per process, so each scenario runs in a process of its own with the
// stand-in's kind (FOLIAN_SIM_EPDC) and FOLIAN_EINK set by the test's entry.
#include <gtest/gtest.h>
#include <string.h>
#include <time.h>

#include <thread>

#include "display.h"
#include "eink.h"
#include "screen_fixture.h"

namespace {

constexpr uint32_t kWhite = 0xFFFFFF, kBlack = 0x000000;

void sleep_ms(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class Driver : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.set("FOLIAN_SIM_FB_XRES", "600");
    env_.set("FOLIAN_SIM_FB_YRES", "500");
  }
  void TearDown() override { display_close(); }
  void open() { ASSERT_EQ(display_open(&info_), 1); }
  // Changes the w x h rectangle at the top left, to black and gray in turn.
  void change(unsigned w, unsigned h) {
    frame_.rect(0, 0, w, h, (flip_ = !flip_) ? kBlack : 0x808080);
    frame_.present();
  }
  SimUpdate last() {
    auto u = sim_fb_updates();
    return u.empty() ? SimUpdate{} : u.back();
  }

  ScopedEnv env_{};
  DisplayInfo info_{};
  Frame frame_{600, 500, kWhite};
  bool flip_ = false;
};

struct KindFacts {
  std::vector<std::string> refused;
  uint32_t reagl, balanced;
  const char* balanced_name;
};

KindFacts facts_of(const std::string& kind) {
  if (kind == "mtk") return {{}, 4, 7, "DU4"};
  if (kind == "zelda") return {{"mtk"}, 4, 7, "DU4"};
  if (kind == "rex") return {{"mtk", "zelda"}, 4, 7, "DU4"};
  return {{"mtk", "zelda", "rex"}, 8, 5, "GL16"};
}

using Probe = Driver;

TEST_F(Probe, FindsTheDriverAndUsesItsWaveforms) {
  const std::string kind = getenv("FOLIAN_SIM_EPDC");
  KindFacts facts = facts_of(kind);
  EXPECT_STREQ(eink_kind_name(), "unknown");
  EXPECT_FALSE(eink_supports_swipe());
  eink_arm_swipe(1, 12);  // before the kind is known: ignored
  open();
  StderrCapture err;
  frame_.present();
  std::string log = err.text();
  for (auto& r : facts.refused)
    EXPECT_NE(log.find("] 墨水屏驱动探测 " + r + " 不匹配: Inappropriate ioctl for device\n"),
              std::string::npos)
        << log;
  EXPECT_NE(log.find("] 墨水屏驱动: " + kind + "\n"), std::string::npos) << log;
  EXPECT_EQ(sim_fb_refused(), facts.refused);
  EXPECT_STREQ(eink_kind_name(), kind.c_str());
  EXPECT_EQ(eink_supports_swipe(), kind == "mtk");
  EXPECT_STREQ(eink_last_waveform_name(), "?");

  SimUpdate first = last();
  EXPECT_EQ(first.kind, kind);
  // Every refused attempt consumed a marker.
  EXPECT_EQ(first.marker, facts.refused.size() + 1);
  EXPECT_EQ(first.waveform, 2u);
  EXPECT_EQ(first.update_mode, 1u);
  EXPECT_EQ(first.temp, 0x1000u);
  EXPECT_EQ(first.flags, 0u);
  EXPECT_EQ(first.hist_bw, 1u);
  EXPECT_EQ(first.hist_gray, 2u);
  EXPECT_FALSE(first.stray);

  struct ModeCase {
    int mode;
    uint32_t waveform;
    const char* name;
  } modes[] = {{0, 257, "AUTO"},      {1, 2, "GC16"}, {2, facts.reagl, "REAGL"},
               {3, facts.balanced, facts.balanced_name}, {4, 1, "DU"},   {5, 1, "DU"},
               {7, 257, "AUTO"}};
  for (auto& m : modes) {
    eink_set_mode(m.mode);
    EXPECT_EQ(eink_mode(), m.mode);
    change(400, 500);  // large enough for a page turn, but none is armed
    SimUpdate u = last();
    EXPECT_EQ(u.waveform, m.waveform) << "mode " << m.mode;
    EXPECT_STREQ(eink_last_waveform_name(), m.name) << "mode " << m.mode;
    uint32_t hist = m.waveform == facts.reagl ? facts.reagl : 0;
    EXPECT_EQ(u.hist_bw, hist ? hist : 1u) << "mode " << m.mode;
    EXPECT_EQ(u.hist_gray, hist ? hist : 2u) << "mode " << m.mode;
    EXPECT_EQ(u.update_mode, 0u);
    EXPECT_EQ(u.flags, 0u);
    EXPECT_FALSE(u.stray);
  }
  // A full refresh is GC16 in any mode.
  display_full_refresh();
  EXPECT_EQ(last().waveform, 2u);
  EXPECT_EQ(last().update_mode, 1u);
  eink_set_mode(0);

  // Only the mtk driver animates page turns; elsewhere arming does nothing.
  eink_arm_swipe(1, 12);
  change(600, 500);
  EXPECT_EQ(last().flags, kind == "mtk" ? 0x10000u : 0u);
  EXPECT_EQ(last().marker, facts.refused.size() + 1 + 7 + 1 + 1);
}

using NoDriver = Driver;

TEST_F(NoDriver, FramesReachTheFramebufferWithoutRefreshes) {
  open();
  StderrCapture err;
  frame_.present();
  change(10, 10);
  std::string log = err.text();
  EXPECT_EQ(count_of(log, "不匹配"), 4u);
  EXPECT_EQ(count_of(log, "][错误] 没有可用的墨水屏刷新接口，只写帧缓冲不刷新\n"), 1u);
  EXPECT_EQ(sim_fb_refused().size(), 4u);
  EXPECT_TRUE(sim_fb_updates().empty());
  EXPECT_STREQ(eink_kind_name(), "none");
  EXPECT_EQ(PanelView(0, 600).at(5, 5), 0);
}

using ForcedKind = Driver;

// FOLIAN_EINK names a layout the kernel does not take: every refresh fails
// and the driver is never probed.
TEST_F(ForcedKind, WrongKindFailsEveryRefresh) {
  open();
  StderrCapture err;
  frame_.present();
  change(10, 10);
  std::string log = err.text();
  EXPECT_EQ(count_of(log, "][错误] 墨水屏刷新失败（zelda）: Inappropriate ioctl for device\n"), 2u);
  EXPECT_EQ(count_of(log, "探测"), 0u);
  EXPECT_EQ(sim_fb_refused(), std::vector<std::string>({"zelda", "zelda"}));
  EXPECT_STREQ(eink_kind_name(), "zelda");
}

// Names are case-sensitive: "MTK" is no kind, so nothing is ever sent.
TEST_F(ForcedKind, UnknownNameSendsNothing) {
  open();
  StderrCapture err;
  frame_.present();
  change(10, 10);
  EXPECT_EQ(count_of(err.text(), "墨水屏"), 0u);
  EXPECT_TRUE(sim_fb_refused().empty());
  EXPECT_TRUE(sim_fb_updates().empty());
  EXPECT_STREQ(eink_kind_name(), "none");
}

class PageTurn : public Driver {
 protected:
  void SetUp() override {
    Driver::SetUp();
    open();
    frame_.present();
    ASSERT_TRUE(eink_supports_swipe());
    wait_until([] { return !eink_swipe_busy(); }, 5000);
    sim_fb_clear_log();
  }
  template <typename Fn>
  bool wait_until(Fn done, long ms) {
    for (long waited = 0; waited < ms; waited += 10) {
      if (done()) return true;
      sleep_ms(10);
    }
    return done();
  }
  static void expect_animation(const SimUpdate& u, uint32_t direction, uint32_t steps) {
    EXPECT_EQ(u.flags, 0x10000u);
    EXPECT_EQ(u.direction, direction);
    EXPECT_EQ(u.steps, steps);
    EXPECT_EQ(u.waveform, 4u);
    EXPECT_EQ(u.hist_bw, 4u);
    EXPECT_EQ(u.hist_gray, 4u);
    EXPECT_EQ(u.update_mode, 0u);
    EXPECT_EQ(std::vector<uint32_t>({u.left, u.top, u.width, u.height}),
              std::vector<uint32_t>({0, 0, 600, 500}));
  }
};

TEST_F(PageTurn, OnlyALargeEnoughRefreshCarriesTheAnimation) {
  StderrCapture err;
  eink_arm_swipe(3, 0);
  change(300, 300);  // 90000 pixels
  EXPECT_EQ(last().flags, 0u);
  EXPECT_EQ(last().waveform, 257u);
  change(399, 500);  // one column short of 200000 pixels
  EXPECT_EQ(last().flags, 0u);
  change(400, 200);  // 80000 pixels
  EXPECT_EQ(last().flags, 0u);
  frame_.rect(0, 0, 600, 500, kWhite);
  change(400, 500);
  SimUpdate anim = last();
  expect_animation(anim, 3, 1);
  EXPECT_STREQ(eink_last_waveform_name(), "REAGL");
  ASSERT_TRUE(wait_until([] { return !eink_swipe_busy(); }, 3000));
  EXPECT_EQ(sim_fb_waits(), std::vector<uint32_t>({anim.marker}));
  change(600, 500);  // used up
  EXPECT_EQ(last().flags, 0u);
  std::string log = err.text();
  EXPECT_NE(log.find("] 翻页动画：方向 3，1 步，成功\n"), std::string::npos) << log;
  EXPECT_NE(log.find("] 翻页动画刷完："), std::string::npos) << log;

  eink_arm_swipe(2, 100);
  change(600, 500);
  expect_animation(last(), 2, 60);
}

TEST_F(PageTurn, FullRefreshLeavesTheArmingInPlace) {
  eink_arm_swipe(1, 12);
  display_full_refresh();
  EXPECT_EQ(last().flags, 0u);
  EXPECT_EQ(last().waveform, 2u);
  change(20, 20);  // too small
  change(400, 500);
  expect_animation(last(), 1, 12);
}

TEST_F(PageTurn, ArmingExpiresAfterASecond) {
  eink_arm_swipe(1, 12);
  sleep_ms(1100);
  change(600, 500);
  EXPECT_EQ(last().flags, 0u);
  EXPECT_EQ(last().waveform, 257u);
  change(600, 500);
  EXPECT_EQ(last().flags, 0u);
  EXPECT_FALSE(eink_swipe_busy());
}

TEST_F(PageTurn, RefusedAnimationClearsTheBusyMarkAtOnce) {
  display_close();
  env_.set("FOLIAN_SIM_EPDC_REFUSE_ANIMATION", "1");
  open();
  frame_.present();
  eink_arm_swipe(5, 12);
  StderrCapture err;
  change(600, 500);
  std::string log = err.text();
  EXPECT_FALSE(eink_swipe_busy());
  EXPECT_NE(log.find("] 翻页动画：方向 5，12 步，Invalid argument\n"), std::string::npos) << log;
  EXPECT_NE(log.find("][错误] 墨水屏刷新失败（mtk）: Invalid argument\n"), std::string::npos) << log;
  sleep_ms(50);
  EXPECT_TRUE(sim_fb_waits().empty());
}

// The driver takes 4 s to finish each animation.  A second page turn while the
// first runs is refreshed with REAGL; after 3 s the mark no longer holds back a
// new animation, and the late end of the first must not release the second.
TEST_F(PageTurn, BusyTurnIsReaglAndOnlyTheAnimationWaitedForIsReleased) {
  display_close();
  env_.set("FOLIAN_SIM_EPDC_WAIT_MS", "4000");
  open();
  frame_.present();
  uint64_t t0 = eink_clock_ms();
  eink_arm_swipe(1, 12);
  change(600, 500);
  expect_animation(last(), 1, 12);
  uint32_t first_marker = last().marker;
  sleep_ms(500);
  EXPECT_TRUE(eink_swipe_busy());

  StderrCapture err;
  eink_arm_swipe(1, 12);
  change(500, 400);
  SimUpdate reagl = last();
  EXPECT_EQ(reagl.flags, 0u);
  EXPECT_EQ(reagl.waveform, 4u);
  EXPECT_EQ(reagl.hist_bw, 4u);
  EXPECT_EQ(std::vector<uint32_t>({reagl.width, reagl.height}), std::vector<uint32_t>({500, 400}));
  EXPECT_STREQ(eink_last_waveform_name(), "REAGL");
  EXPECT_NE(err.text().find("] 翻页动画：上一次还没刷完，这页不播\n"), std::string::npos);

  sleep_ms((long)(t0 + 3200 - eink_clock_ms()));
  EXPECT_FALSE(eink_swipe_busy());
  EXPECT_TRUE(sim_fb_waits().empty());  // the driver has not answered yet
  eink_arm_swipe(2, 12);
  change(600, 500);
  expect_animation(last(), 2, 12);

  ASSERT_TRUE(wait_until([] { return !sim_fb_waits().empty(); }, 2000));
  EXPECT_EQ(sim_fb_waits()[0], first_marker);
  sleep_ms(50);
  EXPECT_TRUE(eink_swipe_busy());
}

}  // namespace
