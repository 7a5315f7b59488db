// The refresh policy on a clock of our own: which frames flash, which go out
// fast, and the clean-up a run of fast ones owes.
#include "policy.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>

namespace {

constexpr FrameFacts kDay = {false, true, false}, kNight = {true, true, false},
                     kPageTurn = {false, true, true}, kModeChosen = {false, false, false};

// Plans a frame's refresh at `t` and sends it as planned: 'p' partial, 'f'
// fast, 'F' flash.
char frame(uint64_t t, FrameFacts facts = kDay, PolicyRect r = {0, 0, 10, 10}) {
  FrameRefresh plan = policy_plan(t, facts);
  policy_sent(t, plan, r);
  return plan == FrameRefresh::kFast ? 'f' : plan == FrameRefresh::kFlash ? 'F' : 'p';
}

// Frames at these times, in order.
std::string frames(std::initializer_list<std::pair<uint64_t, FrameFacts>> at) {
  std::string out;
  for (auto& [t, facts] : at) out += frame(t, facts);
  return out;
}

// Frames a second apart, too far apart to be motion.
std::string pages(uint64_t* t, FrameFacts facts, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += frame(*t += 1000, facts);
  return out;
}

TEST(Policy, FlashesCountPageLikeRefreshesByDayAndByNight) {
  policy_open();
  policy_set_flash_every(3, 2);
  uint64_t t = 0;
  EXPECT_EQ(pages(&t, kDay, 6), "ppFppF");
  EXPECT_EQ(pages(&t, kNight, 4), "pFpF");
  // The flash a page turn would have been falls on the next page.
  EXPECT_EQ(pages(&t, kDay, 2), "pp");
  EXPECT_EQ(pages(&t, kPageTurn, 1), "p");
  EXPECT_EQ(pages(&t, kDay, 1), "F");
  EXPECT_EQ(pages(&t, kDay, 1), "p");
  policy_flashed();
  EXPECT_EQ(policy_state().since_flash, 0);
  EXPECT_EQ(pages(&t, kDay, 3), "ppF");
  policy_set_flash_every(0, -4);
  EXPECT_EQ(pages(&t, kDay, 4), "pppp");
  EXPECT_EQ(pages(&t, kNight, 4), "pppp");
  EXPECT_EQ(policy_state().night_every, 0);
  EXPECT_EQ(policy_state().since_flash, 8);
}

TEST(Policy, MotionRunsGoOutFastAndAreCleanedUpOnce) {
  policy_open();
  policy_set_flash_every(2, 2);
  EXPECT_EQ(frames({{1000, kDay}, {1100, kDay}}), "pF") << "motion is off";
  policy_set_motion(true);

  // The first frame of a run is a page for all anyone knows; the ones close
  // behind it are fast, count toward nothing and owe one clean-up of their
  // union, 300 ms after the last.
  EXPECT_EQ(frame(3000, kDay, {0, 0, 10, 10}), 'p');
  FrameRefresh fast = policy_plan(3100, kDay);
  ASSERT_EQ(fast, FrameRefresh::kFast);
  EXPECT_TRUE(policy_sent(3100, fast, {100, 50, 10, 20}));  // wakes the main loop
  EXPECT_FALSE(policy_sent(3349, policy_plan(3349, kDay), {5, 60, 10, 20}));
  EXPECT_EQ(policy_cleanup_at(), 3649u);
  PolicyRect r{};
  EXPECT_FALSE(policy_take_cleanup(3648, false, &r));
  // A page-turn animation still running holds it back 50 ms.
  EXPECT_FALSE(policy_take_cleanup(3649, true, &r));
  EXPECT_EQ(policy_cleanup_at(), 3699u);
  ASSERT_TRUE(policy_take_cleanup(3699, false, &r));
  EXPECT_EQ(std::vector<uint32_t>({r.x, r.y, r.w, r.h}), std::vector<uint32_t>({5, 50, 105, 30}));
  EXPECT_EQ(policy_cleanup_at(), 0u);
  EXPECT_FALSE(policy_take_cleanup(5000, false, &r));
  EXPECT_EQ(policy_state().since_flash, 1);

  // Exactly 250 ms is no longer motion; a waveform the application chose
  // and an armed page turn are never made fast.
  EXPECT_EQ(frame(4000), 'F');
  EXPECT_EQ(frames({{4250, kDay}, {4260, kModeChosen}, {4270, kPageTurn}}), "pFp");
  // A flash of the whole screen leaves nothing to clean up.
  EXPECT_EQ(frame(4280), 'f');
  policy_flashed();
  EXPECT_EQ(policy_cleanup_at(), 0u);
  EXPECT_EQ(frames({{4290, kDay}, {4300, kDay}, {4400, kNight}}), "fff") << "fast frames never flash";
  policy_set_motion(false);
  EXPECT_EQ(frame(4410), 'p');
  EXPECT_EQ(policy_cleanup_at(), 4700u) << "still owed after a page";
  EXPECT_EQ(frame(4420), 'F');
  EXPECT_EQ(policy_cleanup_at(), 0u) << "a flash in the frames cleans up too";
}

}  // namespace
