// The refresh policy: flashes, fast refreshes while things move, clean-ups.
#include "policy.h"

#include <limits.h>

#include <algorithm>
#include <atomic>

#include "log.h"
#include "settings.h"

namespace {

// Frames closer together than this are taken for motion: scrolling, a drag,
// an animation.  A reader turns pages far more slowly.
constexpr uint64_t kMotionGapMs = 250;
// The clean-up waits this long after the last fast refresh, so that motion
// that only paused does not flash between two of its frames.
constexpr uint64_t kCleanupDelayMs = 300;
// A clean-up held back by a page-turn animation looks again after this.
constexpr uint64_t kBusyRetryMs = 50;

const char* const kMotionNames[] = {"off", "auto"};

int g_every = 0;
int g_night_every = 0;
int g_since_flash = 0;
bool g_motion = false;
// When the last frame refresh went out; none before the first.
bool g_framed = false;
uint64_t g_last_frame = 0;
// The union of the fast refreshes not yet cleaned up (w 0: none).
PolicyRect g_run = {};
std::atomic<uint64_t> g_cleanup_at{0};

void add_to_run(const PolicyRect& r) {
  if (r.w == 0 || r.h == 0) return;
  if (g_run.w == 0 || g_run.h == 0) {
    g_run = r;
    return;
  }
  uint32_t x1 = std::max(g_run.x + g_run.w, r.x + r.w);
  uint32_t y1 = std::max(g_run.y + g_run.h, r.y + r.h);
  g_run.x = std::min(g_run.x, r.x);
  g_run.y = std::min(g_run.y, r.y);
  g_run.w = x1 - g_run.x;
  g_run.h = y1 - g_run.y;
}

void drop_run() {
  g_run = {};
  g_cleanup_at.store(0);
}

}  // namespace

void policy_open() {
  g_every = (int)setting_int("FOLIAN_FULL_EVERY", 0, 0, INT_MAX);
  g_night_every = (int)setting_int("FOLIAN_FULL_EVERY_NIGHT", g_every, 0, INT_MAX);
  g_motion = setting_choice("FOLIAN_MOTION", kMotionNames, 2, 0, 0) == 1;
  if (g_every || g_night_every || g_motion)
    log_info("整屏闪刷：日间每 %d 次，夜间每 %d 次（0 为不闪）；运动模式 %s\n", g_every,
             g_night_every, kMotionNames[g_motion]);
  g_since_flash = 0;
  g_framed = false;
  drop_run();
}

void policy_set_flash_every(int day, int night) {
  g_every = std::max(day, 0);
  g_night_every = std::max(night, 0);
}

void policy_set_motion(bool on) { g_motion = on; }

FrameRefresh policy_plan(uint64_t now, const FrameFacts& facts) {
  // A page turn is never made fast nor turned into a flash: the animation
  // would be lost.  The flash it owes falls on the next page-like refresh.
  if (facts.page_turn_armed) return FrameRefresh::kPartial;
  // A waveform the application chose is never overridden.
  if (g_motion && facts.mode_auto && g_framed && now - g_last_frame < kMotionGapMs)
    return FrameRefresh::kFast;
  int every = facts.night ? g_night_every : g_every;
  if (every > 0 && g_since_flash + 1 >= every) return FrameRefresh::kFlash;
  return FrameRefresh::kPartial;
}

bool policy_sent(uint64_t now, FrameRefresh sent, const PolicyRect& r) {
  g_framed = true;
  g_last_frame = now;
  switch (sent) {
    case FrameRefresh::kFlash:
      g_since_flash = 0;
      drop_run();
      return false;
    case FrameRefresh::kPartial:
      if (g_since_flash < INT_MAX) g_since_flash++;
      return false;
    case FrameRefresh::kFast:
      break;
  }
  add_to_run(r);
  return g_cleanup_at.exchange(now + kCleanupDelayMs) == 0;
}

void policy_flashed() {
  g_since_flash = 0;
  drop_run();
}

uint64_t policy_cleanup_at() { return g_cleanup_at.load(); }

bool policy_take_cleanup(uint64_t now, bool busy, PolicyRect* r) {
  uint64_t due = g_cleanup_at.load();
  if (due == 0 || now < due) return false;
  if (busy) {
    g_cleanup_at.store(now + kBusyRetryMs);
    return false;
  }
  *r = g_run;
  drop_run();
  return r->w != 0 && r->h != 0;
}

const char* policy_motion_name(bool on) { return kMotionNames[on]; }

PolicyState policy_state() { return {g_every, g_night_every, g_since_flash, g_motion}; }
