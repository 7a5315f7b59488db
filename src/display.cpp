// Presentation.  Frames are converted once into a shadow copy laid out like
// the framebuffer; only the band of rows that changed is written to the
// framebuffer, and the e-ink driver is asked to refresh the changed
// rectangle.  The cover, repaints, full refreshes and the switches act on the
// same screen under the same lock.
#include "display.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "eink.h"
#include "log.h"
#include "pixels.h"
#include "pixels_turn.h"
#include "policy.h"
#include "settings.h"
#include "tasks.h"

namespace {

struct DisplayState {
  int frame_no = 0;
  bool force_full = false;
  // Read without the lock by the main thread's power handling.
  std::atomic<bool> suspended{false};
  bool log_frames = false;
  // The screen found at start is given back at close.
  bool restore = true;
  // What the driver last refused to refresh (w 0: nothing).  The framebuffer
  // holds those pixels but the panel does not show them, so the next partial
  // refresh takes the rectangle in.
  uint32_t missed_x = 0, missed_y = 0, missed_w = 0, missed_h = 0;
  // Night mode.  The panel's driver inverts where it can: every update of
  // the application's picture asks it to.  Where none can, the conversion
  // inverts instead (`night_in_shadow`), and the shadow and, while the
  // screensaver is down, the framebuffer hold the inverse.
  bool night = false;
  bool night_in_shadow = false;
  bool dither = false;
  // The application's picture turned clockwise on the panel, in degrees, and
  // whether a frame of the turned size has yet to come since the last turn
  // (frames of the old size still on their way are not shown).  `band` is
  // the turned conversion's buffer, made at the first turn.
  int degrees = 0;
  bool turn_pending = false;
  uint8_t* band = nullptr;
  size_t band_stride = 0;
  // The format of the frame being turned, for the band's row converter.
  PixelsRowFn turn_convert = nullptr;
  // A frame format the panel cannot take has been told (once per open).
  std::atomic<bool> told_format{false};
  FramePixels frame_pixels = FramePixels::kBgra;
};

// Guards `g`, the framebuffer's memory and every refresh request: the raster
// thread's frames against the main thread's operations.  eink_refresh runs
// under it and takes the driver's locks inside, never the other way round.
DisplayState g;
std::mutex g_lock;

void reset_state() {
  g.frame_no = 0;
  g.missed_w = g.missed_h = 0;
  g.night = g.night_in_shadow = g.dither = false;
  g.degrees = 0;
  g.turn_pending = false;
  g.suspended.store(false);
  g.told_format.store(false);
}

// The rows of one frame that changed, in screen pixels, and how far the
// framebuffer has them.
struct Damage {
  bool changed = false;
  uint32_t left = UINT32_MAX, right = 0, top = 0, bottom = 0;
  size_t copied_end = 0;  // the framebuffer holds the shadow's bytes up to here
};

// Converts the frame into the shadow, row by row, noting what changed.  Each
// changed row goes to the framebuffer right after its conversion, while it
// is still in the nearest cache, together with the unchanged rows since the
// previous changed one: when the loop ends, the band from the first changed
// row to the last is in the framebuffer, byte for byte as one block copy
// would have put it, and no row outside it was touched.  Suspended, the
// framebuffer is left as it is.
// The application's frame is as wide as the panel is high when turned a
// quarter.
uint32_t app_width(const Framebuffer& fb) { return g.degrees % 180 ? fb.height : fb.width; }
uint32_t app_height(const Framebuffer& fb) { return g.degrees % 180 ? fb.width : fb.height; }

bool convert_row_turned(const uint8_t* src, uint8_t* dst, unsigned n, uint32_t y, unsigned* first,
                        unsigned* last) {
  return g.turn_convert(src, dst, n, y, {g.night_in_shadow, g.dither}, first, last);
}

// The turned picture goes to the shadow, and what changed from there to the
// screen unless suspended: in row order, as whole rows where it spans them,
// since the screen is written fastest front to back (on the device it is
// write-combined memory).  A full refresh copies every row again
// (`copied_end` at the first changed row), so the screen then holds the
// shadow whatever it held before.
void copy_turned(const Framebuffer& fb, const TurnDamage& t) {
  if (t.left == 0 && t.right == fb.width - 1) {
    framebuffer_copy_rows(t.top, t.bottom - t.top + 1);
    return;
  }
  const size_t first_row = (size_t)t.top * fb.stride, last_row = (size_t)t.bottom * fb.stride;
  const size_t px = fb.bpp / 8, from = t.left * px, to = (t.right + 1) * px;
  for (size_t at = first_row; at <= last_row; at += fb.stride) framebuffer_copy(at + from, at + to);
}

Damage convert_turned(const Framebuffer& fb, const uint8_t* src, size_t row_bytes, uint32_t rows,
                      unsigned cols, bool suspended) {
  TurnTarget target{fb.shadow, fb.stride, fb.width, fb.height, fb.bpp / 8, g.band, g.band_stride};
  TurnDamage t =
      pixels_convert_turned(src, row_bytes, rows, cols, g.degrees, convert_row_turned, target);
  Damage d;
  if (!t.changed) return d;
  if (!suspended) copy_turned(fb, t);
  return {true, t.left, t.right, t.top, t.bottom, (size_t)t.top * fb.stride};
}

Damage convert_frame(const Framebuffer& fb, FramePixels format, const uint8_t* src,
                     size_t row_bytes, size_t rows, bool suspended) {
  uint32_t nrows = rows < app_height(fb) ? (uint32_t)rows : app_height(fb);
  size_t per_row = row_bytes / pixels_frame_bytes(format);
  unsigned npx = per_row < app_width(fb) ? (unsigned)per_row : app_width(fb);
  const PixelsRowFn convert = pixels_converter(format);
  if (g.degrees != 0) {
    g.turn_convert = convert;
    return convert_turned(fb, src, row_bytes, nrows, npx, suspended);
  }
  const PixelStyle style = {g.night_in_shadow, g.dither};
  Damage d;
  for (uint32_t r = 0; r < nrows; ++r) {
    unsigned first = 0, last = 0;
    size_t at = (size_t)r * fb.stride;
    if (!convert(src + (size_t)r * row_bytes, fb.shadow + at, npx, r, style, &first, &last))
      continue;
    if (!d.changed) {
      d.top = r;
      d.copied_end = at;
    }
    d.changed = true;
    d.bottom = r;
    if (first < d.left) d.left = first;
    if (last > d.right) d.right = last;
    if (!suspended) {
      framebuffer_copy(d.copied_end, at + fb.row_len);
      d.copied_end = at + fb.row_len;
    }
  }
  return d;
}

// The application's picture, inverted, goes through the shadow from now on
// (or no longer): the shadow is inverted once, and the screen with it unless
// the screensaver owns it.
void invert_picture() {
  Framebuffer fb = framebuffer_get();
  pixels_invert(fb.shadow, fb.stride, fb.height, fb.row_len);
  if (!g.suspended.load()) framebuffer_copy_rows(0, fb.height);
}

// Where no driver inverts the panel (the simulated screen, a panel without a
// refresh interface, named at start or found at the first refresh), the
// conversion does.  Called whenever either may have changed; `drawn` says
// the shadow holds the application's picture, to be turned over.
void place_night(bool drawn) {
  bool simulated = framebuffer_get().simulated;
  bool in_shadow = g.night && (simulated || !eink_inverts());
  if (in_shadow == g.night_in_shadow) return;
  if (in_shadow && !simulated) log_info("没有会反色的墨水屏驱动，夜间模式在转换时反色\n");
  g.night_in_shadow = in_shadow;
  if (drawn) invert_picture();
}

// Sends the refresh of the application's picture and keeps what a refusal
// left off the panel.  A panel without a refresh interface shows nothing
// anyway; nothing is kept for it.
void refresh(uint32_t x, uint32_t y, uint32_t w, uint32_t h, bool full, Wave wave = Wave::kByMode) {
  bool shown = eink_refresh(framebuffer_get().fd, (int)x, (int)y, w, h, full,
                            g.night && !g.night_in_shadow, wave);
  place_night(true);
  if (shown || strcmp(eink_kind_name(), "none") == 0) {
    g.missed_w = g.missed_h = 0;
    return;
  }
  g.missed_x = x;
  g.missed_y = y;
  g.missed_w = w;
  g.missed_h = h;
}

// The smallest rectangle holding (x, y, w, h) and the one last refused.
void take_in_missed(uint32_t* x, uint32_t* y, uint32_t* w, uint32_t* h) {
  if (g.missed_w == 0 || g.missed_h == 0) return;
  uint32_t x1 = std::max(*x + *w, g.missed_x + g.missed_w);
  uint32_t y1 = std::max(*y + *h, g.missed_y + g.missed_h);
  *x = std::min(*x, g.missed_x);
  *y = std::min(*y, g.missed_y);
  *w = x1 - *x;
  *h = y1 - *y;
}

void refresh_whole_screen() {
  Framebuffer fb = framebuffer_get();
  if (!fb.simulated) refresh(0, 0, fb.width, fb.height, true);
}

// The simulated screen has no panel: a refresh is a log line and a picture.
void show_simulated(uint32_t x, uint32_t y, uint32_t w, uint32_t h, bool full) {
  log_info("第 %d 帧：%s 刷新 (%u,%u) %ux%u\n", g.frame_no, full ? "整屏" : "局部", x, y, w, h);
  framebuffer_dump(g.frame_no);
}

void note_dithering() {
  if (g.dither && framebuffer_get().bpp != 8) log_info("彩色帧缓冲的灰阶由驱动来定，不做抖动\n");
}

// The cover, centred and never scaled, on a white screen: its rows from `f`
// through `buf` (`width` bytes).  A short file leaves the rest white.
void draw_cover(const Framebuffer& fb, FILE* f, uint8_t* buf, unsigned width, unsigned height) {
  uint8_t white = pixels_white();
  for (uint32_t row = 0; row < fb.height; ++row)
    memset(fb.screen + (size_t)row * fb.stride, white, fb.row_len);
  int64_t x0 = ((int64_t)fb.width - (int64_t)width) / 2;
  int64_t y0 = ((int64_t)fb.height - (int64_t)height) / 2;
  for (unsigned j = 0; j < height; ++j) {
    if (fread(buf, 1, width, f) < width) break;
    int64_t sy = y0 + j;
    if (sy < 0 || sy >= (int64_t)fb.height) continue;
    uint8_t* row = fb.screen + (size_t)sy * fb.stride;
    // Only the columns that land on the screen.
    int64_t k0 = x0 < 0 ? -x0 : 0;
    int64_t k1 = (int64_t)fb.width - x0;
    if (k1 > (int64_t)width) k1 = width;
    for (int64_t k = k0; k < k1; ++k) pixels_put_gray(row, (uint32_t)(x0 + k), buf[k]);
  }
}

}  // namespace

double now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1000000.0;
}

DisplaySettings display_read_settings() {
  DisplaySettings s{};
  s.log_frames = setting_int("FOLIAN_LOG_FRAMES", 0, 0, INT_MAX) != 0;
  s.night = setting_flag("FOLIAN_NIGHT");
  s.dither = setting_flag("FOLIAN_DITHER");
  s.restore = !setting_flag("FOLIAN_FRAMEWORK_STOPPED");
  return s;
}

bool display_open(DisplayInfo* info) {
  reset_state();
  policy_open();
  const DisplaySettings s = display_read_settings();
  g.log_frames = s.log_frames;
  g.restore = s.restore;
  g.force_full = true;
  if (!framebuffer_open(info)) return false;
  g.night = s.night;
  place_night(false);  // nothing of the application is on the screen yet
  g.dither = s.dither;
  if (g.night || g.dither)
    log_info("夜间模式%s，抖动%s\n", g.night ? "开" : "关", g.dither ? "开" : "关");
  note_dithering();
  return true;
}

void display_close() {
  if (framebuffer_kept_start() && g.restore) {
    {
      std::lock_guard<std::mutex> lock(g_lock);
      Framebuffer fb = framebuffer_get();
      framebuffer_put_back_start();
      // Given back as it was found, night mode or not.
      eink_refresh(fb.fd, 0, 0, fb.width, fb.height, true, false);
    }
    log_info("已还原启动前的屏幕内容\n");
  }
  free(g.band);
  g.band = nullptr;
  g.band_stride = 0;
  framebuffer_close();
}

bool display_present(const void* pixels, size_t row_bytes, size_t rows) {
  return display_present_pixels(pixels, row_bytes, rows, FramePixels::kBgra);
}

bool display_present_pixels(const void* pixels, size_t row_bytes, size_t rows, FramePixels format) {
  if (!pixels_takes(format)) {
    // Only a compositor of the wrong format gets here; told once.
    if (!g.told_format.exchange(true))
      log_error("这块屏收不了引擎画的 %s 画面，不显示\n", pixels_frame_name(format));
    return false;
  }
  std::lock_guard<std::mutex> lock(g_lock);
  const Framebuffer fb = framebuffer_get();
  if (!fb.shadow) return true;
  if (g.turn_pending && rows != app_height(fb)) return true;
  g.turn_pending = false;
  double start = now_ms();
  // The flag cannot change under the lock; suspended, the framebuffer is left
  // as it is.
  const bool suspended = g.suspended.load();
  const Damage d = convert_frame(fb, format, (const uint8_t*)pixels, row_bytes, rows, suspended);
  if (suspended) return true;
  if (!d.changed && !g.force_full) return true;

  uint64_t now = eink_clock_ms();
  FrameRefresh plan = FrameRefresh::kFlash;
  if (!g.force_full) {
    plan = policy_plan(now, {g.night, eink_mode() == kRefreshAuto, eink_page_turn_armed()});
  }
  const bool full = plan == FrameRefresh::kFlash;
  uint32_t x = 0, y = 0, w = fb.width, h = fb.height;
  if (!full) {
    x = d.left;
    y = d.top;
    w = d.right - d.left + 1;
    h = d.bottom - d.top + 1;
  }
  if (!d.changed) {
    framebuffer_copy_rows(y, h);
  } else if (full) {
    framebuffer_copy(0, (size_t)d.top * fb.stride);
    framebuffer_copy(d.copied_end, fb.span);
  }
  double copied = now_ms();

  if (fb.simulated) {
    show_simulated(x, y, w, h, full);
  } else {
    if (!full) take_in_missed(&x, &y, &w, &h);
    refresh(x, y, w, h, full, plan == FrameRefresh::kFast ? Wave::kFast : Wave::kByMode);
    if (g.log_frames) {
      const char* waveform = eink_last_waveform_name();
      double done = now_ms();
      const char* kind = full ? "全刷" : plan == FrameRefresh::kFast ? "快刷" : "局刷";
      log_info("帧 %d：%s (%u,%u) %ux%u %s，转换 %.1fms，刷新调用 %.1fms\n", g.frame_no, kind, x, y,
               w, h, waveform, copied - start, done - copied);
    }
  }
  g.frame_no += 1;
  g.force_full = false;
  // The main loop, perhaps asleep without a deadline, must learn of the
  // clean-up this refresh now owes.
  if (policy_sent(now, plan, {x, y, w, h})) tasks_wakeup();
  return true;
}

void display_set_suspended(bool on) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (on == g.suspended.load()) return;
  g.suspended.store(on);
  if (on || !framebuffer_get().shadow) return;
  framebuffer_copy_rows(0, framebuffer_get().height);
  refresh_whole_screen();
  policy_flashed();
}

bool display_is_suspended() { return g.suspended.load(); }

void display_set_orientation(int degrees) {
  std::lock_guard<std::mutex> lock(g_lock);
  const Framebuffer fb = framebuffer_get();
  if (degrees == g.degrees || !fb.shadow) return;
  if (degrees != 0 && !g.band) {
    // A band of the longer side, each row in whole cache lines: packed, so
    // that the rows a transpose reads lie close together.
    size_t longest = std::max(fb.width, fb.height);
    g.band_stride = (longest * (fb.bpp / 8) + 63) / 64 * 64;
    g.band = (uint8_t*)calloc(kTurnBand, g.band_stride);
    if (!g.band) {
      log_error("分配旋转转换缓冲失败（%llu 字节），不旋转\n",
                (unsigned long long)(kTurnBand * g.band_stride));
      return;
    }
  }
  g.degrees = degrees;
  g.turn_pending = true;
  // The whole panel changes at once: one full refresh shows it cleanly.
  g.force_full = true;
}

void display_show_sleep_cover(const char* path, unsigned width, unsigned height) {
  FILE* f = fopen(path, "rb");
  if (!f) {
    log_error("打不开锁屏图 %s\n", path);
    return;
  }
  const bool empty = width == 0 || height == 0;
  uint8_t* buf = empty ? nullptr : (uint8_t*)malloc(width);
  if (!empty && !buf) log_error("分配锁屏图行缓冲失败（%u 字节）\n", width);
  {
    std::lock_guard<std::mutex> lock(g_lock);
    const Framebuffer fb = framebuffer_get();
    // Awake, the call does nothing at all; asleep, an empty cover must not
    // wipe what the screensaver shows.
    if (empty && g.suspended.load()) log_error("锁屏图尺寸 %ux%u 无效，不画\n", width, height);
    if (buf && fb.screen && g.suspended.load()) {
      draw_cover(fb, f, buf, width, height);
      // Shown as the application gave it, night mode or not.
      if (fb.simulated)
        framebuffer_dump(g.frame_no);
      else
        eink_refresh(fb.fd, 0, 0, fb.width, fb.height, true, false);
      log_info("画锁屏图 %ux%u\n", width, height);
    }
  }
  free(buf);
  fclose(f);
}

void display_full_refresh() {
  std::lock_guard<std::mutex> lock(g_lock);
  bool suspended = g.suspended.load();
  if (g.log_frames) log_info("整屏全刷%s\n", suspended ? "（屏保中，跳过）" : "");
  if (!suspended) refresh_whole_screen();
  policy_flashed();
}

void display_repaint() {
  std::lock_guard<std::mutex> lock(g_lock);
  if (g.suspended.load() || !framebuffer_get().shadow) return;
  framebuffer_copy_rows(0, framebuffer_get().height);
  refresh_whole_screen();
  policy_flashed();
}

// Each switch tells its new state, whoever turned it: the application's
// channel or a control command.
void display_set_night(bool on) {
  log_info("夜间模式 → %s\n", on ? "开" : "关");
  std::lock_guard<std::mutex> lock(g_lock);
  if (on == g.night) return;
  g.night = on;
  const Framebuffer fb = framebuffer_get();
  if (!fb.shadow) return;
  place_night(true);
  // While the screensaver is up its picture stays; the resume shows the
  // application's frame the new way.
  if (g.suspended.load()) return;
  if (fb.simulated) {
    show_simulated(0, 0, fb.width, fb.height, true);
    g.frame_no += 1;
  } else {
    refresh(0, 0, fb.width, fb.height, true);
  }
  policy_flashed();
}

void display_set_dithering(bool on) {
  log_info("抖动 → %s\n", on ? "开" : "关");
  std::lock_guard<std::mutex> lock(g_lock);
  g.dither = on;
  note_dithering();
}

void display_set_flash_every(int day, int night) {
  PolicyState p;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    policy_set_flash_every(day, night);
    p = policy_state();
  }
  log_info("整屏闪刷：日间每 %d 次，夜间每 %d 次（0 为不闪）\n", p.every, p.night_every);
}

void display_set_motion(bool on) {
  log_info("运动模式 → %s\n", policy_motion_name(on));
  std::lock_guard<std::mutex> lock(g_lock);
  policy_set_motion(on);
}

DisplayModes display_modes() {
  std::lock_guard<std::mutex> lock(g_lock);
  PolicyState p = policy_state();
  const char* pixels = pixels_frame_name(g.frame_pixels);
  return {g.night, g.dither, p.motion, p.every, p.night_every, p.since_flash, pixels};
}

void display_set_frame_pixels(FramePixels pixels) {
  std::lock_guard<std::mutex> lock(g_lock);
  g.frame_pixels = pixels;
}

int display_next_timeout_ms() {
  uint64_t due = policy_cleanup_at();
  if (due == 0) return -1;
  uint64_t now = eink_clock_ms();
  if (now >= due) return 0;
  uint64_t ms = due - now;
  return ms > (uint64_t)INT_MAX ? INT_MAX : (int)ms;
}

// The clean-up after fast refreshes: each left what it replaced faintly
// visible, and a partial refresh drives only the pixels that changed since
// the previous update, none of theirs.  A full refresh of their union, with
// the mode's quality waveform, drives every pixel there again.
void display_run_due() {
  uint64_t due = policy_cleanup_at();
  if (due == 0 || eink_clock_ms() < due) return;
  std::lock_guard<std::mutex> lock(g_lock);
  PolicyRect r;
  if (!policy_take_cleanup(eink_clock_ms(), eink_swipe_busy(), &r)) return;
  // The screensaver has the screen; the resume refreshes all of it.
  if (g.suspended.load() || !framebuffer_get().shadow) return;
  if (framebuffer_get().simulated) {
    show_simulated(r.x, r.y, r.w, r.h, true);
    g.frame_no += 1;
    log_info("清残影 (%u,%u) %ux%u\n", r.x, r.y, r.w, r.h);
    return;
  }
  refresh(r.x, r.y, r.w, r.h, true, Wave::kQuality);
  log_info("清残影 (%u,%u) %ux%u %s\n", r.x, r.y, r.w, r.h, eink_last_waveform_name());
}
