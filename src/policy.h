// The refresh policy: which of the application's frame refreshes flash, which
// go out with the fast waveform while something moves on the screen, and when
// the refresh that clears what the fast ones left behind is due.
//
// Decisions only, on CLOCK_MONOTONIC milliseconds passed in: the display
// module sends the refreshes.  After policy_open, which the display's open
// makes alone, every call but policy_cleanup_at is made with the display lock
// held (frames from the raster thread, everything else from the main
// thread), so the state needs no lock of its own; the clean-up deadline is
// also read by the main loop without it.
#pragma once

#include <stdint.h>

struct PolicyRect {
  uint32_t x, y, w, h;
};

enum class FrameRefresh {
  kPartial,  // the refresh mode's waveform; counts toward the next flash
  kFast,     // the fast waveform; owes a clean-up, counts toward nothing
  kFlash,    // a full refresh of the whole screen
};

// What is known of a frame's refresh before it is sent.
struct FrameFacts {
  bool night;            // night mode, whose flash count applies
  bool mode_auto;        // the application left the waveform to us
  bool page_turn_armed;  // an armed page turn may take this refresh
};

// Reads FOLIAN_FULL_EVERY, FOLIAN_FULL_EVERY_NIGHT and FOLIAN_MOTION; no
// refresh is known yet.
void policy_open();
// A flash every `day` page-like refreshes, or `night` in night mode; 0: never.
void policy_set_flash_every(int day, int night);
// Motion "auto": a refresh close behind the previous one goes out fast.
void policy_set_motion(bool on);

FrameRefresh policy_plan(uint64_t now, const FrameFacts& facts);
// The frame's refresh went out as `sent` over `r`.  True when it set a
// clean-up deadline where there was none, which the main loop must be told
// of.
bool policy_sent(uint64_t now, FrameRefresh sent, const PolicyRect& r);
// The whole screen was refreshed in full outside the frames (a repaint, the
// resume, a requested full refresh, a night-mode switch), or would have been
// but for the screensaver: the count starts again and no clean-up is owed.
void policy_flashed();

// When the clean-up falls due, 0 when none is owed.  Any thread.
uint64_t policy_cleanup_at();
// True, with the rectangle to refresh in full, when the clean-up is due and
// `busy` (a page-turn animation running, which a full refresh would cut
// short) does not hold it back a little longer.
bool policy_take_cleanup(uint64_t now, bool busy, PolicyRect* r);

// "off" or "auto", as FOLIAN_MOTION and setMotionMode name the motion mode.
const char* policy_motion_name(bool on);

struct PolicyState {
  int every, night_every;
  int since_flash;  // page-like refreshes since the last flash
  bool motion;
};
PolicyState policy_state();
