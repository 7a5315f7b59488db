// E-ink refresh driver.  Kernels of this device family take the same EPDC
// send-update request with one of four record layouts; which one is found out
// once, by trying them in turn, unless FOLIAN_EINK names it.
#include "eink.h"

#include <errno.h>
#include <pthread.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "log.h"
#include "settings.h"
#include "tasks.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the update records are little-endian words");

namespace {

enum Kind {
  kKindUnknown = 0,
  kKindNone = 1,
  kKindMtk = 2,
  kKindZelda = 3,
  kKindRex = 4,
  kKindClassic = 5
};

const char* const kKindNames[] = {"unknown", "none", "mtk", "zelda", "rex", "classic"};

enum Waveform : uint32_t {
  kWfDu = 1,
  kWfGc16 = 2,
  kWfGl16 = 5,
  kWfReagl = 4,
  kWfReaglClassic = 8,
  kWfDu4 = 7,
  kWfAuto = 257,
};

// The update record's update_mode: a partial update changes only the pixels
// that differ, a full one flashes the whole rectangle.
constexpr uint32_t kUpdateModePartial = 0;
constexpr uint32_t kUpdateModeFull = 1;
constexpr uint32_t kTempAmbient = 0x1000;
constexpr uint32_t kFlagPageTurn = 0x10000;
// EPDC_FLAG_ENABLE_INVERSION of the i.MX drivers' flags word, which they
// turn into an inverting lookup in the pixel processing before the panel; the
// MediaTek driver reads the same bit the same way.
constexpr uint32_t kFlagInvert = 0x1;
constexpr uint64_t kSwipeWindowMs = 1000;
constexpr uint64_t kSwipeBusyMs = 3000;
constexpr uint64_t kSwipeMinPixels = 200000;
// The page-turning driver refuses an animation of more steps than this (and
// with it the whole update).
constexpr uint32_t kSwipeMaxSteps = 20;
// What the MediaTek driver behind the 96-byte layout answers, as errno, for a
// request it does not know (its own status code -4).
constexpr int kMtkUnknownRequest = 4;

// The first 28 bytes every layout shares.
struct UpdateHead {
  uint32_t top, left, width, height;
  uint32_t waveform_mode;
  uint32_t update_mode;
  uint32_t update_marker;
};

// The oldest kernels keep the histogram waveforms ahead of the temperature.
struct RecordClassic {
  UpdateHead head;
  uint32_t hist_bw, hist_gray;
  uint32_t temp;
  uint32_t flags;
  uint32_t reserved[7];
};

struct RecordRex {
  UpdateHead head;
  uint32_t temp;
  uint32_t flags;
  uint32_t reserved[9];
  uint32_t hist_bw, hist_gray;
};

struct RecordZelda {
  UpdateHead head;
  uint32_t temp;
  uint32_t flags;
  uint32_t reserved[9];
  uint32_t hist_bw, hist_gray;
  uint32_t tail[2];
};

// The only layout whose driver animates a page turn by itself.
struct RecordMtk {
  UpdateHead head;
  uint32_t temp;
  uint32_t flags;
  uint32_t reserved[9];
  uint32_t swipe_direction, swipe_steps;
  uint32_t hist_bw, hist_gray;
  uint32_t tail[2];
};

struct WaitRecord {
  uint32_t update_marker;
  uint32_t collision_test;
};

static_assert(sizeof(UpdateHead) == 28);
static_assert(sizeof(RecordClassic) == 72 && offsetof(RecordClassic, temp) == 36 &&
              offsetof(RecordClassic, flags) == 40);
static_assert(sizeof(RecordRex) == 80 && offsetof(RecordRex, hist_bw) == 72);
static_assert(sizeof(RecordZelda) == 88 && offsetof(RecordZelda, hist_gray) == 76);
static_assert(sizeof(RecordMtk) == 96 && offsetof(RecordMtk, swipe_direction) == 72 &&
              offsetof(RecordMtk, swipe_steps) == 76 && offsetof(RecordMtk, hist_bw) == 80);
static_assert(sizeof(WaitRecord) == 8);

constexpr unsigned long kSendUpdateMtk = _IOW('F', 0x2E, RecordMtk);
constexpr unsigned long kSendUpdateZelda = _IOW('F', 0x2E, RecordZelda);
constexpr unsigned long kSendUpdateRex = _IOW('F', 0x2E, RecordRex);
constexpr unsigned long kSendUpdateClassic = _IOW('F', 0x2E, RecordClassic);
constexpr unsigned long kWaitForUpdateComplete = _IOWR('F', 0x2F, WaitRecord);
static_assert(kSendUpdateMtk == 0x4060462E && kSendUpdateZelda == 0x4058462E &&
              kSendUpdateRex == 0x4050462E && kSendUpdateClassic == 0x4048462E);
static_assert(kWaitForUpdateComplete == 0xC008462F);

// Read by the main thread for diagnostics and written under the display lock.
std::atomic<int> g_kind{kKindUnknown};
std::atomic<int> g_mode{kRefreshAuto};
// A device screen was opened without FOLIAN_EINK naming the kind: its first
// refresh probes for it.  Main thread only.
bool g_probing = false;
int g_last_waveform = 0;
uint32_t g_marker = 0;
int g_screen_w = 0;
int g_screen_h = 0;
bool g_swipe_now = false;
bool g_reagl_now = false;
bool g_invert_now = false;

// Arming: written by the main thread, read and used up by the raster thread.
// Direction, steps and deadline change together under g_arm_lock, so one
// animation never takes the direction of one arming and the steps of another.
std::mutex g_arm_lock;
uint32_t g_swipe_direction = 0;
uint32_t g_swipe_steps = 12;
uint64_t g_swipe_until = 0;
// Where the next probe starts: the layouts before it answered that they do
// not know the request.
int g_probe_from = kKindMtk;
// When the animation in flight was sent; 0 when none.  Shared by the main,
// raster and waiter threads.
std::atomic<uint64_t> g_swipe_busy_since{0};

// The animation being sent by the current eink_refresh (display lock held).
uint32_t g_anim_direction = 0;
uint32_t g_anim_steps = 0;
uint64_t g_anim_since = 0;

// The waiter's one-slot mailbox.
bool g_waiter_started = false;
// The waiter thread is detached and outlives main(): its lock and condition
// variable must never be destroyed at exit (destroying a condition variable
// that a thread still waits on blocks the exit), so they are never freed.
std::mutex& g_wait_lock = *new std::mutex;
std::condition_variable& g_wait_cond = *new std::condition_variable;
int g_wait_fd = -1;
uint32_t g_wait_marker = 0;
uint64_t g_wait_since = 0;

uint32_t reagl_of(int kind) { return kind == kKindClassic ? kWfReaglClassic : kWfReagl; }

// What a refresh that clears the ghosts of fast ones takes.  AUTO would leave
// it to the driver's histogram, which picks DU for a black-and-white area and
// clears nothing; balanced's DU4 and GL16 are not the panel's best either.
uint32_t quality_waveform(int mode, int kind) {
  return mode == kRefreshRegal ? reagl_of(kind) : kWfGc16;
}

uint32_t mode_waveform(int mode, int kind) {
  switch (mode) {
    case kRefreshHd:
      return kWfGc16;
    case kRefreshRegal:
      return reagl_of(kind);
    case kRefreshBalanced:
      return kind == kKindClassic ? kWfGl16 : kWfDu4;
    case kRefreshFast:
    case kRefreshUltrafast:
      return kWfDu;
    default:
      return kWfAuto;
  }
}

template <typename Record>
void fill_common(Record* r, int x, int y, unsigned w, unsigned h, uint32_t waveform, bool full,
                 uint32_t marker, uint32_t reagl) {
  memset(r, 0, sizeof *r);
  r->head.top = (uint32_t)y;
  r->head.left = (uint32_t)x;
  r->head.width = w;
  r->head.height = h;
  r->head.waveform_mode = waveform;
  r->head.update_mode = full ? kUpdateModeFull : kUpdateModePartial;
  r->head.update_marker = marker;
  r->temp = kTempAmbient;
  r->flags = g_invert_now ? kFlagInvert : 0;
  // The driver's histogram analysis falls back to these waveforms; for REAGL
  // both must be REAGL or the driver mixes in a flashing gray update.
  r->hist_bw = waveform == reagl ? reagl : kWfDu;
  r->hist_gray = waveform == reagl ? reagl : kWfGc16;
}

int send_update(int fd, int kind, int x, int y, unsigned w, unsigned h, uint32_t waveform,
                bool full) {
  uint32_t marker = ++g_marker;
  uint32_t reagl = reagl_of(kind);
  switch (kind) {
    case kKindMtk: {
      RecordMtk r;
      fill_common(&r, x, y, w, h, waveform, full, marker, reagl);
      if (g_swipe_now) {
        r.flags |= kFlagPageTurn;
        r.swipe_direction = g_anim_direction;
        r.swipe_steps = g_anim_steps;
      }
      return ioctl(fd, kSendUpdateMtk, &r);
    }
    case kKindZelda: {
      RecordZelda r;
      fill_common(&r, x, y, w, h, waveform, full, marker, reagl);
      return ioctl(fd, kSendUpdateZelda, &r);
    }
    case kKindRex: {
      RecordRex r;
      fill_common(&r, x, y, w, h, waveform, full, marker, reagl);
      return ioctl(fd, kSendUpdateRex, &r);
    }
    case kKindClassic: {
      RecordClassic r;
      fill_common(&r, x, y, w, h, waveform, full, marker, reagl);
      return ioctl(fd, kSendUpdateClassic, &r);
    }
    default:
      errno = ENOTTY;
      return -1;
  }
}

// The kind named by FOLIAN_EINK: unset leaves it to the probe; a name that
// is not a kind means no refreshes at all, as "none" does.
int kind_from_env() {
  int index = setting_choice("FOLIAN_EINK", kKindNames + kKindNone, kKindClassic, -1, 0);
  return index < 0 ? kKindUnknown : kKindNone + index;
}

// Only these answers say that the driver does not take the request at all:
// EINVAL from the i.MX drivers (and ENOTTY from a framebuffer without an
// EPDC driver), the MediaTek driver's own code.  Anything else is about this
// one update: the i.MX drivers refuse a sound update with EPERM until the
// waveform is loaded or while the panel is blanked, and with ENOMEM while no
// update buffer is free.
bool is_unknown_request(int err) {
  return err == EINVAL || err == ENOTTY || err == kMtkUnknownRequest;
}

// Once per process.  An arming made while the kind was open counts its second
// from now, when the panel can first act on it; the kind is stored before the
// arming lock is taken, and eink_arm_swipe reads it under that lock, so an
// arming is either seen here or made knowing the kind.  Replies that wait
// for the kind wait in the main loop.
void decide_kind(int kind) {
  g_kind.store(kind);
  {
    std::lock_guard<std::mutex> lock(g_arm_lock);
    if (g_swipe_until != 0) g_swipe_until = kind == kKindMtk ? eink_clock_ms() + kSwipeWindowMs : 0;
  }
  tasks_wakeup();
}

// The probing update is a real refresh: the first one the driver accepts is
// the one the caller asked for.  A refusal that is about the update, not the
// layout, leaves the kind undecided, and the next refresh probes again from
// that layout on.
bool probe(int fd, int x, int y, unsigned w, unsigned h, bool full) {
  uint32_t waveform = full ? kWfGc16 : kWfAuto;
  for (int k = g_probe_from; k <= kKindClassic; ++k) {
    if (send_update(fd, k, x, y, w, h, waveform, full) == 0) {
      log_info("墨水屏驱动: %s\n", kKindNames[k]);
      decide_kind(k);
      return true;
    }
    int err = errno;
    if (!is_unknown_request(err)) {
      g_probe_from = k;
      log_error("墨水屏驱动探测 %s 这次被拒: %s，下次刷新再试\n", kKindNames[k], strerror(err));
      return false;
    }
    log_info("墨水屏驱动探测 %s 不匹配: %s\n", kKindNames[k], strerror(err));
  }
  log_error("没有可用的墨水屏刷新接口，只写帧缓冲不刷新\n");
  decide_kind(kKindNone);
  return false;
}

// A mark set a moment ago by another thread may lie after `now` as this
// thread read it; that still counts as busy.
bool busy_at(uint64_t now) {
  uint64_t since = g_swipe_busy_since.load();
  if (since == 0) return false;
  return now < since || now - since < kSwipeBusyMs;
}

// Decides whether a page turn armed by the application claims this refresh.
// Returns true when it chose the waveform (and possibly the rectangle).
bool decide_swipe(int* x, int* y, unsigned* w, unsigned* h, bool full, uint32_t* waveform) {
  std::lock_guard<std::mutex> lock(g_arm_lock);
  if (g_swipe_until == 0) return false;
  uint64_t now = eink_clock_ms();
  if (now > g_swipe_until) {
    g_swipe_until = 0;
    return false;
  }
  // A full refresh goes as asked, and the arming waits for the page.
  if (full) return false;
  uint32_t steps = g_swipe_steps;
  if (*w < steps || *h < steps || (uint64_t)*w * *h < kSwipeMinPixels) return false;
  g_swipe_until = 0;
  *waveform = kWfReagl;
  if (busy_at(now)) {
    g_reagl_now = true;
    return true;
  }
  g_swipe_now = true;
  g_anim_direction = g_swipe_direction;
  g_anim_steps = steps;
  if (g_screen_w != 0 && g_screen_h != 0) {
    *x = 0;
    *y = 0;
    *w = (unsigned)g_screen_w;
    *h = (unsigned)g_screen_h;
  }
  g_anim_since = now != 0 ? now : 1;
  g_swipe_busy_since.store(g_anim_since);
  return true;
}

// Clears the busy mark only if it is still the one of the animation at hand,
// so a late answer about one animation never releases the next.
void clear_busy(uint64_t since) { g_swipe_busy_since.compare_exchange_strong(since, 0); }

void* swipe_waiter_main(void*) {
  for (;;) {
    int fd;
    uint32_t marker;
    uint64_t since;
    {
      std::unique_lock<std::mutex> lock(g_wait_lock);
      g_wait_cond.wait(lock, [] { return g_wait_marker != 0; });
      fd = g_wait_fd;
      marker = g_wait_marker;
      since = g_wait_since;
      g_wait_marker = 0;
    }
    WaitRecord wait = {marker, 0};
    // The i.MX drivers answer a completed wait with the time that was left
    // (a positive count), the others with 0.
    if (ioctl(fd, kWaitForUpdateComplete, &wait) >= 0)
      log_info("翻页动画刷完：%llu ms\n", (unsigned long long)(eink_clock_ms() - since));
    else
      log_error("等翻页动画刷完失败: %s\n", strerror(errno));
    clear_busy(since);
  }
  return nullptr;
}

void wait_swipe_async(int fd, uint32_t marker, uint64_t since) {
  if (!g_waiter_started) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, swipe_waiter_main, nullptr) != 0) {
      clear_busy(since);
      return;
    }
    pthread_detach(thread);
    g_waiter_started = true;
  }
  std::lock_guard<std::mutex> lock(g_wait_lock);
  g_wait_fd = fd;
  g_wait_marker = marker;
  g_wait_since = since;
  g_wait_cond.notify_one();
}

}  // namespace

uint64_t eink_clock_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

bool eink_refresh(int fd, int x, int y, unsigned w, unsigned h, bool full, bool invert, Wave wave) {
  g_invert_now = invert;
  int kind = g_kind.load();
  if (fd < 0 || kind == kKindNone) return false;
  if (kind == kKindUnknown) return probe(fd, x, y, w, h, full);

  g_swipe_now = false;
  g_reagl_now = false;
  uint32_t waveform = 0;
  bool claimed = kind == kKindMtk && decide_swipe(&x, &y, &w, &h, full, &waveform);
  if (!claimed) {
    int mode = g_mode.load();
    if (wave == Wave::kFast)
      waveform = mode_waveform(kRefreshFast, kind);
    else if (wave == Wave::kQuality)
      waveform = quality_waveform(mode, kind);
    else
      waveform = full ? kWfGc16 : mode_waveform(mode, kind);
  }
  g_last_waveform = (int)waveform;

  int rc = send_update(fd, kind, x, y, w, h, waveform, full);
  int err = errno;
  if (g_swipe_now) {
    log_info("翻页动画：方向 %u，%u 步，%s\n", g_anim_direction, g_anim_steps,
             rc == 0 ? "成功" : strerror(err));
    if (rc == 0) {
      wait_swipe_async(fd, g_marker, g_anim_since);
    } else {
      // The driver turned the animation down, not the page: the same update
      // without it still shows the new page.
      clear_busy(g_anim_since);
      g_swipe_now = false;
      rc = send_update(fd, kind, x, y, w, h, waveform, full);
      err = errno;
    }
  } else if (g_reagl_now) {
    log_info("翻页动画：上一次还没刷完，这页不播\n");
  }
  g_swipe_now = false;
  g_reagl_now = false;
  if (rc != 0) {
    log_error("墨水屏刷新失败（%s）: %s\n", kKindNames[kind], strerror(err));
    return false;
  }
  return true;
}

void eink_set_mode(int mode) { g_mode.store(mode); }

int eink_mode() { return g_mode.load(); }

const char* eink_last_waveform_name() {
  int wf = g_last_waveform;
  int kind = g_kind.load();
  if (wf == kWfAuto) return "AUTO";
  if (wf == kWfGc16) return "GC16";
  if (wf == kWfDu) return "DU";
  if ((uint32_t)wf == reagl_of(kind)) return "REAGL";
  if (wf == kWfDu4 && kind != kKindClassic) return "DU4";
  if (wf == kWfGl16 && kind == kKindClassic) return "GL16";
  return "?";
}

const char* eink_kind_name() {
  int k = g_kind.load();
  return k >= kKindNone && k <= kKindClassic ? kKindNames[k] : "unknown";
}

void eink_open(int width, int height) {
  g_screen_w = width;
  g_screen_h = height;
  if (g_kind.load() != kKindUnknown) return;
  int kind = kind_from_env();
  if (kind == kKindUnknown)
    g_probing = true;
  else
    g_kind.store(kind);
}

bool eink_kind_pending() { return g_probing && g_kind.load() == kKindUnknown; }

void eink_arm_swipe(unsigned direction, unsigned steps) {
  if (steps == 0) steps = 1;
  if (steps > kSwipeMaxSteps) steps = kSwipeMaxSteps;
  uint64_t until = eink_clock_ms() + kSwipeWindowMs;
  std::lock_guard<std::mutex> lock(g_arm_lock);
  if (!eink_supports_swipe() && !eink_kind_pending()) return;
  g_swipe_direction = direction;
  g_swipe_steps = steps;
  g_swipe_until = until;
}

bool eink_supports_swipe() { return g_kind.load() == kKindMtk; }

bool eink_inverts() { return g_kind.load() != kKindNone; }

bool eink_swipe_busy() { return busy_at(eink_clock_ms()); }

bool eink_page_turn_armed() {
  if (!eink_supports_swipe()) return false;
  uint64_t now = eink_clock_ms();
  std::lock_guard<std::mutex> lock(g_arm_lock);
  return g_swipe_until != 0 && now <= g_swipe_until;
}
