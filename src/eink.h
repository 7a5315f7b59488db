// E-ink refresh driver: the four EPDC update-record layouts, probing, the
// waveform table and the driver-side page-turn animation.
//
// Every call of eink_refresh is made with the display lock held; the page-turn
// arming lock and the waiter's own lock are taken inside it (one at a time),
// never the other way round.
#pragma once

#include <stdint.h>

// The refresh modes the application can choose, in the order of their names
// on the channel; kRefreshAuto leaves the waveform to the driver.
enum RefreshMode : int {
  kRefreshAuto = 0,
  kRefreshHd = 1,
  kRefreshRegal = 2,
  kRefreshBalanced = 3,
  kRefreshFast = 4,
  kRefreshUltrafast = 5,
};

// The waveform a refresh asks for.
enum class Wave {
  // GC16 for a full refresh, else the application's refresh mode's.
  kByMode,
  // The fast mode's (DU): a frame of something on the move.
  kFast,
  // The mode's quality waveform: REAGL in "regal" mode, where the application chose to
  // avoid flashes, GC16 in any other.  For the full refresh that clears what
  // fast ones left behind.
  kQuality,
};

// Asks the panel to refresh the rectangle (x, y, w, h) of the framebuffer
// behind `fd`; `full` asks for a full (flashing) refresh, `invert` for the
// inverse of the framebuffer's pixels.  An armed page turn takes a large
// enough partial refresh whatever `wave` asks.  True when the driver
// accepted an update, false when none was sent or it was refused.
bool eink_refresh(int fd, int x, int y, unsigned w, unsigned h, bool full, bool invert,
                  Wave wave = Wave::kByMode);
// Whether the panel's driver inverts an update that asks for it.  The
// drivers of all four record layouts do; before the first refresh has found
// the driver, the answer is yes (that refresh asks too).
bool eink_inverts();
// Takes a RefreshMode; anything else is treated as kRefreshAuto.
void eink_set_mode(int mode);
int eink_mode();
const char* eink_last_waveform_name();
const char* eink_kind_name();
// The panel's driver is about to be used on a screen of this size.  The kind
// is decided here when FOLIAN_EINK names it; otherwise the first refresh
// probes the driver for it.
void eink_open(int width, int height);
// True while the first refresh has yet to probe the driver: until then
// whether the panel animates page turns is not known.  The refresh that
// decides it wakes the main loop (tasks_wakeup).
bool eink_kind_pending();

// The page-turn animation's direction, as the driver takes it.
enum PageTurnDirection : unsigned {
  kTurnVerticalBack = 0,
  kTurnVerticalForward = 1,
  kTurnHorizontalForward = 2,
  kTurnHorizontalBack = 3,
};

// `direction` is a PageTurnDirection.  An arming made while the kind is
// pending is kept, and counts its second from the refresh that decides the
// kind, if that kind animates.
void eink_arm_swipe(unsigned direction, unsigned steps);
bool eink_supports_swipe();
bool eink_swipe_busy();
// A page turn is armed and still in its second: the next large enough
// partial refresh will carry it.
bool eink_page_turn_armed();

// Milliseconds of CLOCK_MONOTONIC as an integer, the clock of the page-turn
// arming and busy mark.
uint64_t eink_clock_ms();
