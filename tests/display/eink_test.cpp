// The e-ink driver against the stand-in EPDC.  The driver kind is decided once
// per process, so each scenario runs in a process of its own with the
// stand-in's kind (FOLIAN_SIM_EPDC) and FOLIAN_EINK set by the test's entry.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>

#include "display.h"
#include "eink.h"
#include "screen_fixture.h"
#include "tasks.h"

namespace {

constexpr uint32_t kWhite = 0xFFFFFF, kBlack = 0x000000;
using Rect = std::vector<uint32_t>;

void sleep_ms(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

template <typename Fn>
bool wait_until(Fn done, long ms) {
  for (long waited = 0; waited < ms && !done(); waited += 10) sleep_ms(10);
  return done();
}

class Driver : public ::testing::Test {
 protected:
  void TearDown() override { display_close(); }
  // Opens the panel and, unless told not to, presents a white first frame.
  void open(const EnvList& env = {}, bool first_frame = true) {
    display_close();
    env_.set({{"FOLIAN_SIM_FB_XRES", "600"}, {"FOLIAN_SIM_FB_YRES", "500"}});
    env_.set(env);
    ASSERT_EQ(display_open(&info_), 1);
    frame_.rect(0, 0, 600, 500, kWhite);
    if (first_frame) frame_.present();
  }
  // Changes the w x h rectangle at the top left, to black and gray in turn.
  void change(unsigned w, unsigned h) {
    frame_.rect(0, 0, w, h, (flip_ = !flip_) ? kBlack : 0x808080);
    frame_.present();
  }
  static SimUpdate last() {
    auto u = sim_fb_updates();
    return u.empty() ? SimUpdate{} : u.back();
  }

  ScopedEnv env_;
  DisplayInfo info_{};
  Frame frame_{600, 500, kWhite};
  bool flip_ = false;
};

using Probe = Driver;

TEST_F(Probe, FindsTheDriverAndUsesItsWaveforms) {
  const std::string kind = getenv("FOLIAN_SIM_EPDC");
  const std::vector<std::string> order = {"mtk", "zelda", "rex", "classic"};
  const std::vector<std::string> refused(order.begin(), std::find(order.begin(), order.end(), kind));
  const bool classic = kind == "classic";
  const uint32_t reagl = classic ? 8 : 4, balanced = classic ? 5 : 7;
  EXPECT_FALSE(eink_kind_pending());
  eink_arm_swipe(1, 12);  // no panel yet: ignored
  // A reply may wait for the kind in the main loop: finding it wakes the loop.
  struct pollfd wake = {tasks_init(), POLLIN, 0};
  StderrCapture err;
  open({}, false);
  EXPECT_STREQ(eink_kind_name(), "unknown");
  EXPECT_TRUE(eink_kind_pending());
  EXPECT_FALSE(eink_supports_swipe());
  // Armed while the kind is open, more than a second before the refresh that
  // finds it: the second counts from that refresh.
  eink_arm_swipe(0, 9);
  if (kind == "mtk") sleep_ms(1100);
  EXPECT_EQ(poll(&wake, 1, 0), 0);
  frame_.present();
  EXPECT_FALSE(eink_kind_pending());
  EXPECT_EQ(poll(&wake, 1, 0), 1);
  std::string log = err.text();
  EXPECT_NE(log.find("] 墨水屏驱动: " + kind + "\n"), std::string::npos) << log;
  EXPECT_EQ(sim_fb_refused(), refused);
  EXPECT_STREQ(eink_kind_name(), kind.c_str());
  EXPECT_EQ(eink_supports_swipe(), kind == "mtk");
  EXPECT_STREQ(eink_last_waveform_name(), "?");

  // Every refused attempt consumed a marker.
  SimUpdate u = last();
  EXPECT_EQ(u.kind, kind);
  EXPECT_EQ(std::vector<uint32_t>({u.marker, u.waveform, u.update_mode, u.temp, u.flags, u.hist_bw, u.hist_gray}),
            std::vector<uint32_t>({(uint32_t)refused.size() + 1, 2, 1, 0x1000, 0, 1, 2}));
  EXPECT_FALSE(u.stray);
  change(600, 500);
  EXPECT_EQ(std::vector<uint32_t>({last().flags, last().direction, last().steps}),
            kind == "mtk" ? std::vector<uint32_t>({0x10000, 0, 9}) : std::vector<uint32_t>({0, 0, 0}));
  ASSERT_TRUE(wait_until([] { return !eink_swipe_busy(); }, 3000));

  struct ModeCase {
    int mode;
    uint32_t waveform;
    const char* name;
  } modes[] = {{0, 257, "AUTO"}, {1, 2, "GC16"}, {2, reagl, "REAGL"}, {3, balanced, classic ? "GL16" : "DU4"},
               {4, 1, "DU"},     {5, 1, "DU"},   {7, 257, "AUTO"}};
  for (auto& m : modes) {
    eink_set_mode(m.mode);
    change(400, 500);  // large enough for a page turn, but none is armed
    u = last();
    // REAGL carries its own waveform as both histogram hints.
    uint32_t bw = m.waveform == reagl ? reagl : 1, gray = m.waveform == reagl ? reagl : 2;
    EXPECT_EQ(std::vector<uint32_t>({u.waveform, u.hist_bw, u.hist_gray, u.update_mode, u.flags}),
              std::vector<uint32_t>({m.waveform, bw, gray, 0, 0}))
        << "mode " << m.mode;
    EXPECT_STREQ(eink_last_waveform_name(), m.name) << "mode " << m.mode;
    EXPECT_FALSE(u.stray);
  }
  // A full refresh is GC16 in any mode.
  display_full_refresh();
  EXPECT_EQ(std::vector<uint32_t>({last().waveform, last().update_mode}), std::vector<uint32_t>({2, 1}));
  eink_set_mode(0);

  // Only the mtk driver animates page turns; elsewhere arming does nothing.
  eink_arm_swipe(1, 12);
  change(600, 500);
  EXPECT_EQ(last().flags, kind == "mtk" ? 0x10000u : 0u);
  EXPECT_EQ(last().marker, refused.size() + 1 + 1 + 7 + 1 + 1);
}

// The i.MX driver turns sound updates down for a while (the waveform is not
// loaded yet, then no update buffer is free): that is no answer about the
// layout, so the kind stays open and the next refresh probes again, from the
// layout that refused.
TEST_F(Probe, PassingRefusalIsRetriedAtTheNextRefresh) {
  StderrCapture err;
  open();  // refused with EPERM
  change(10, 10);  // refused with ENOMEM
  EXPECT_STREQ(eink_kind_name(), "unknown");
  change(10, 10);
  EXPECT_EQ(count_of(err.text(), "][错误] "), 2u) << err.text();
  EXPECT_EQ(sim_fb_refused(), std::vector<std::string>({"mtk", "zelda", "zelda"}));
  EXPECT_STREQ(eink_kind_name(), "zelda");
  // The first frame's full refresh was turned down: the first one taken
  // covers it, or the panel would show only the last frame's little change.
  ASSERT_EQ(sim_fb_updates().size(), 1u);
  EXPECT_EQ(Rect({last().left, last().top, last().width, last().height}), Rect({0, 0, 600, 500}));
}

// No driver answers (FOLIAN_SIM_EPDC=none, answering as the page-turning
// driver does to a request it does not know), or FOLIAN_EINK names no kind
// ("MTK": names are case-sensitive): frames reach the framebuffer, no refresh
// is sent.  No driver inverts either: night mode, found out at the first
// refresh, is in the framebuffer, on 8-bit and colour panels alike.
TEST_F(Driver, WithoutADriverFramesReachTheFramebufferOnly) {
  const bool forced = getenv("FOLIAN_EINK") != nullptr;
  StderrCapture err;
  open({{"FOLIAN_NIGHT", "1"}});
  change(10, 10);
  EXPECT_EQ(count_of(err.text(), "][错误] 没有可用的墨水屏刷新接口，只写帧缓冲不刷新\n"), forced ? 0u : 1u);
  EXPECT_EQ(sim_fb_refused().size(), forced ? 0u : 4u);
  EXPECT_TRUE(sim_fb_updates().empty());
  EXPECT_STREQ(eink_kind_name(), "none");
  // Lines padded to 32 pixels.
  EXPECT_EQ(std::vector<uint32_t>({panel_at(5, 5, 608), panel_at(50, 50, 608)}), Rect({255, 0}));
  display_set_night(false);
  EXPECT_EQ(std::vector<uint32_t>({panel_at(5, 5, 608), panel_at(50, 50, 608)}), Rect({0, 255}));

  open({{"FOLIAN_SIM_FB_BPP", "16"}, {"FOLIAN_NIGHT", "1"}});
  change(10, 10);  // gray 0x80 this time
  EXPECT_EQ(std::vector<uint32_t>({panel_at(5, 5, 1216, 2), panel_at(50, 50, 1216, 2)}), Rect({0x7BEF, 0}));
  display_set_night(false);
  EXPECT_EQ(std::vector<uint32_t>({panel_at(5, 5, 1216, 2), panel_at(50, 50, 1216, 2)}), Rect({0x8410, 0xFFFF}));
  EXPECT_TRUE(sim_fb_updates().empty());
}

// FOLIAN_EINK names a layout the kernel does not take: every refresh fails
// and the driver is never probed.
TEST_F(Driver, ForcedWrongKindFailsEveryRefresh) {
  StderrCapture err;
  open({}, false);
  EXPECT_STREQ(eink_kind_name(), "zelda");  // known before any refresh
  EXPECT_FALSE(eink_kind_pending());
  frame_.present();
  change(10, 10);
  EXPECT_EQ(count_of(err.text(), "][错误] 墨水屏刷新失败（zelda）: Interrupted system call\n"), 2u);
  EXPECT_EQ(sim_fb_refused(), std::vector<std::string>({"zelda", "zelda"}));
  EXPECT_STREQ(eink_kind_name(), "zelda");
}

class PageTurn : public Driver {
 protected:
  void open(const EnvList& env = {}) {
    Driver::open(env);
    ASSERT_TRUE(eink_supports_swipe());
    sim_fb_clear_log();
  }
  static void expect_animation(uint32_t direction, uint32_t steps) {
    SimUpdate u = last();
    EXPECT_EQ(std::vector<uint32_t>({u.flags, u.direction, u.steps, u.waveform, u.hist_bw, u.hist_gray,
                                     u.update_mode}),
              std::vector<uint32_t>({0x10000, direction, steps, 4, 4, 4, 0}));
    EXPECT_EQ(Rect({u.left, u.top, u.width, u.height}), Rect({0, 0, 600, 500}));
  }
};

TEST_F(PageTurn, OnlyALargeEnoughRefreshCarriesTheAnimation) {
  open();
  eink_arm_swipe(3, 0);
  display_full_refresh();  // leaves the arming in place
  EXPECT_EQ(std::vector<uint32_t>({last().flags, last().waveform}), std::vector<uint32_t>({0, 2}));
  change(300, 300);  // 90000 pixels
  EXPECT_EQ(last().flags, 0u);
  EXPECT_EQ(last().waveform, 257u);
  change(399, 500);  // one column short of 200000 pixels
  EXPECT_EQ(last().flags, 0u);
  frame_.rect(0, 0, 600, 500, kWhite);
  change(400, 500);
  expect_animation(3, 1);
  EXPECT_STREQ(eink_last_waveform_name(), "REAGL");
  uint32_t marker = last().marker;
  ASSERT_TRUE(wait_until([] { return !eink_swipe_busy(); }, 3000));
  EXPECT_EQ(sim_fb_waits(), std::vector<uint32_t>({marker}));
  change(600, 500);  // used up
  EXPECT_EQ(last().flags, 0u);

  eink_arm_swipe(2, 21);  // steps capped at what the driver takes
  change(600, 500);
  expect_animation(2, 20);
}

TEST_F(PageTurn, ArmingExpiresAfterASecond) {
  open();
  eink_arm_swipe(1, 12);
  sleep_ms(1100);
  change(600, 500);
  EXPECT_EQ(std::vector<uint32_t>({last().flags, last().waveform}), std::vector<uint32_t>({0, 257}));
  EXPECT_FALSE(eink_swipe_busy());
}

// The driver knows four directions; it refuses the animated update, and the
// page must still show, without the animation.
TEST_F(PageTurn, RefusedAnimationStillShowsThePage) {
  open();
  eink_arm_swipe(5, 12);
  change(600, 500);
  EXPECT_FALSE(eink_swipe_busy());
  EXPECT_EQ(sim_fb_refused(), std::vector<std::string>({"mtk"}));
  SimUpdate u = last();
  EXPECT_EQ(std::vector<uint32_t>({u.flags, u.waveform, u.left, u.top, u.width, u.height}),
            std::vector<uint32_t>({0, 4, 0, 0, 600, 500}));
  sleep_ms(50);
  EXPECT_TRUE(sim_fb_waits().empty());
}

// The application re-arms while pages are refreshed: every animation carries
// the direction and the steps of one and the same arming.
TEST_F(PageTurn, AnimationTakesDirectionAndStepsOfOneArming) {
#if defined(__SANITIZE_THREAD__)
  constexpr unsigned kPages = 30;  // the sanitizer makes each page far dearer
#else
  constexpr unsigned kPages = 300;
#endif
  open();
  std::atomic<bool> stop{false};
  std::thread arming([&] {
    for (unsigned i = 0; !stop.load(); ++i) {
      i % 2 ? eink_arm_swipe(1, 3) : eink_arm_swipe(2, 17);
      std::this_thread::yield();
    }
  });
  for (unsigned i = 0; i < kPages; ++i) {
    change(600, 500);
    while (eink_swipe_busy()) sleep_ms(1);
  }
  stop.store(true);
  arming.join();
  unsigned animated = 0, torn = 0;
  for (const SimUpdate& u : sim_fb_updates()) {
    if (u.flags == 0) continue;
    ++animated;
    if (!((u.direction == 1 && u.steps == 3) || (u.direction == 2 && u.steps == 17))) ++torn;
  }
  EXPECT_GT(animated, kPages / 2u);
  EXPECT_EQ(torn, 0u);
}

// The driver takes 4 s to finish each animation.  A second page turn while the
// first runs is refreshed with REAGL; after 3 s the mark no longer holds back a
// new animation, and the late end of the first must not release the second.
TEST_F(PageTurn, BusyTurnIsReaglAndOnlyTheAnimationWaitedForIsReleased) {
  open({{"FOLIAN_SIM_EPDC_WAIT_MS", "4000"}});
  uint64_t t0 = eink_clock_ms();
  eink_arm_swipe(1, 12);
  change(600, 500);
  expect_animation(1, 12);
  uint32_t first_marker = last().marker;
  sleep_ms(500);
  EXPECT_TRUE(eink_swipe_busy());

  eink_arm_swipe(1, 12);
  change(500, 400);
  SimUpdate reagl = last();
  EXPECT_EQ(std::vector<uint32_t>({reagl.flags, reagl.waveform, reagl.hist_bw, reagl.width, reagl.height}),
            std::vector<uint32_t>({0, 4, 4, 500, 400}));
  EXPECT_STREQ(eink_last_waveform_name(), "REAGL");

  sleep_ms((long)(t0 + 3200 - eink_clock_ms()));
  EXPECT_FALSE(eink_swipe_busy());
  EXPECT_TRUE(sim_fb_waits().empty());  // the driver has not answered yet
  eink_arm_swipe(2, 12);
  change(600, 500);
  expect_animation(2, 12);

  ASSERT_TRUE(wait_until([] { return !sim_fb_waits().empty(); }, 2000));
  EXPECT_EQ(sim_fb_waits()[0], first_marker);
  sleep_ms(50);
  EXPECT_TRUE(eink_swipe_busy());
}

}  // namespace
