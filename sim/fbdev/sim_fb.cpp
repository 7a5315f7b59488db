// Stand-in framebuffer node and EPDC driver (see sim_fb.h and README.md).
#include "sim_fb.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <utility>

namespace {

// The device's send-update requests differ only in the record size encoded
// in the request number; the records are little-endian words at fixed offsets.
struct Layout {
  const char* name;
  unsigned long request;
  unsigned size;
};
const Layout kLayouts[] = {
    {"mtk", 0x4060462E, 96},
    {"zelda", 0x4058462E, 88},
    {"rex", 0x4050462E, 80},
    {"classic", 0x4048462E, 72},
};
constexpr unsigned long kWaitForUpdateComplete = 0xC008462F;

// What the drivers answer.  The i.MX EPDC drivers (the 88-, 80- and 72-byte
// layouts) refuse a request they do not know, and every malformed update,
// with EINVAL; they refuse a sound update with EPERM while the waveform is
// not loaded or the panel is blanked, and with ENOMEM when no update buffer
// is free.  The MediaTek driver behind the 96-byte layout returns its own
// negative status codes, which reach the caller as errno: 4 for a request it
// does not know, 9 for a malformed update or page turn, 10 when no update
// task is free; while the panel is blanked it takes an update and shows
// nothing.
constexpr int kMtkUnknownRequest = 4;
constexpr int kMtkInvalidParam = 9;
constexpr int kMtkNoTask = 10;
constexpr uint32_t kMtkFlagPageTurn = 0x10000;
constexpr uint32_t kMtkPageTurnDirections = 4;
constexpr uint32_t kMtkMaxPageTurnSteps = 20;
constexpr uint32_t kWaveformAuto = 257;
// Every layout's driver inverts an update whose flags carry this bit
// (EPDC_FLAG_ENABLE_INVERSION): the i.MX drivers through their pixel
// processor's lookup table, the MediaTek driver in its own conversion.  Both
// also invert every update of a panel set up as inverted gray (grayscale 2),
// and the two inversions cancel.
constexpr uint32_t kFlagInvert = 0x1;
constexpr uint32_t kGrayscaleInverted = 2;
// Both drivers give up waiting for an update after five seconds.
constexpr long kWaitTimeoutMs = 5000;

struct Config {
  std::string path = "/dev/fb0";
  std::string epdc = "mtk";
  int refuse_errno = ENOTTY;
  long not_ready = 0;
  long no_buffer = 0;
  long fail_every = 0;
  long sound = 0;  // sound updates seen, for fail_every
  long wait_ms = 0;
  bool wait_remaining = false;
  int wait_errno = 0;
  std::string log_path;
  std::string snap_dir;
};

// The records of updates, refusals and waits hold the newest entries only:
// preloaded into the program the stand-in lives through sessions of tens of
// thousands of refreshes, and whatever it piles up would be counted as the
// program's growth.  A test reads a handful; a wait looks for a marker among
// the recent updates, as the driver only knows the updates it still holds.
constexpr size_t kKeptRecords = 256;

template <typename T>
void keep(std::deque<T>& records, T entry) {
  records.push_back(std::move(entry));
  if (records.size() > kKeptRecords) records.pop_front();
}

// Everything the stand-in keeps.  Never destroyed: the program's page-turn
// waiter is a detached thread that may still be inside a wait while the
// process exits.
struct State {
  std::mutex mu;
  Config cfg;
  int mem_fd = -1;
  uint8_t* mem = nullptr;
  size_t mem_len = 0;
  fb_var_screeninfo var = {};
  fb_fix_screeninfo fix = {};
  std::deque<SimUpdate> updates;
  std::deque<std::string> refused;
  std::deque<uint32_t> waits;
  // What the panel shows, xres x yres; empty on nodes that are not 8-bit.
  std::vector<uint8_t> panel;
  int snap_no = 0;
};

State& st() {
  static State* s = new State;
  return *s;
}

// The program's descriptor of the node.  Read without the lock, so that
// close() never takes it: a close from inside the stand-in's own work (or
// from a sanitizer reporting on it) must not wait for itself.
std::atomic<int> g_fb_fd{-1};

template <typename Fn>
Fn next_fn(const char* name) {
  return (Fn)dlsym(RTLD_NEXT, name);
}

int real_close(int fd) {
  static auto real = next_fn<int (*)(int)>("close");
  return real(fd);
}

long env_long(const char* name, long fallback) {
  const char* v = getenv(name);
  if (!v || !*v) return fallback;
  return strtol(v, nullptr, 0);
}

std::string env_str(const char* name, const char* fallback) {
  const char* v = getenv(name);
  return v && *v ? v : fallback;
}

bool is_mtk(const std::string& kind) { return kind == "mtk"; }

Config read_config() {
  Config c;
  c.path = env_str("FOLIAN_SIM_FB_PATH", "/dev/fb0");
  c.epdc = env_str("FOLIAN_SIM_EPDC", "mtk");
  // Without an EPDC driver the framebuffer core answers ENOTTY.
  int unknown = is_mtk(c.epdc) ? kMtkUnknownRequest : c.epdc == "none" ? ENOTTY : EINVAL;
  c.refuse_errno = (int)env_long("FOLIAN_SIM_EPDC_ERRNO", unknown);
  c.not_ready = env_long("FOLIAN_SIM_EPDC_EPERM_FIRST", 0);
  c.no_buffer = env_long("FOLIAN_SIM_EPDC_ENOMEM", 0);
  c.fail_every = env_long("FOLIAN_SIM_EPDC_FAIL_EVERY", 0);
  c.wait_ms = env_long("FOLIAN_SIM_EPDC_WAIT_MS", 0);
  c.wait_remaining =
      env_str("FOLIAN_SIM_EPDC_WAIT_ANSWER", is_mtk(c.epdc) ? "zero" : "remaining") == "remaining";
  c.wait_errno = (int)env_long("FOLIAN_SIM_EPDC_WAIT_ERRNO", 0);
  c.log_path = env_str("FOLIAN_SIM_EPDC_LOG", "");
  c.snap_dir = env_str("FOLIAN_SIM_EPDC_SNAP_DIR", "");
  return c;
}

bool is_node(const char* path) {
  const char* node = getenv("FOLIAN_SIM_FB_PATH");
  if (!node || !*node) node = "/dev/fb0";
  return path && strcmp(path, node) == 0;
}

// "off:len" for red, green, blue and transparency, comma separated.
void parse_fields(fb_var_screeninfo* v, const char* text) {
  fb_bitfield* f[4] = {&v->red, &v->green, &v->blue, &v->transp};
  unsigned off[4] = {}, len[4] = {};
  int n = sscanf(text, "%u:%u,%u:%u,%u:%u,%u:%u", &off[0], &len[0], &off[1], &len[1], &off[2],
                 &len[2], &off[3], &len[3]);
  for (int i = 0; i < 4 && 2 * i + 1 < n; ++i) {
    f[i]->offset = off[i];
    f[i]->length = len[i];
  }
}

// Called with the lock held.
void append_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void append_log(const char* fmt, ...) {
  if (st().cfg.log_path.empty()) return;
  FILE* f = fopen(st().cfg.log_path.c_str(), "a");
  if (!f) return;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(f, fmt, ap);
  va_end(ap);
  fclose(f);
}

// Puts the rectangle of the memory on the panel, as the driver shows it: the
// pixels of the update, inverted where it inverts them.  The whole panel at
// open (no update is inverted by its flags then).  Called with the lock held.
void show_on_panel(uint32_t left, uint32_t top, uint32_t width, uint32_t height, uint32_t flags) {
  State& s = st();
  if (s.panel.empty()) return;
  uint8_t invert =
      ((flags & kFlagInvert) != 0) != (s.var.grayscale == kGrayscaleInverted) ? 0xFF : 0;
  uint64_t origin = (uint64_t)s.var.yoffset * s.fix.line_length + s.var.xoffset;
  for (uint32_t y = top; y < top + height; ++y) {
    uint64_t at = origin + (uint64_t)y * s.fix.line_length + left;
    if (at + width > s.mem_len) break;
    for (uint32_t x = 0; x < width; ++x)
      s.panel[(size_t)y * s.var.xres + left + x] = s.mem[at + x] ^ invert;
  }
}

// The panel's picture after an update.  Called with the lock held.
void write_snapshot() {
  State& s = st();
  if (s.cfg.snap_dir.empty() || s.panel.empty()) return;
  char name[512];
  snprintf(name, sizeof name, "%s/update_%04d.pgm", s.cfg.snap_dir.c_str(), s.snap_no++);
  FILE* f = fopen(name, "wb");
  if (!f) return;
  fprintf(f, "P5\n%u %u\n255\n", s.var.xres, s.var.yres);
  fwrite(s.panel.data(), 1, s.panel.size(), f);
  fclose(f);
}

uint32_t align_up(uint32_t v, uint32_t to) { return (uint32_t)(((uint64_t)v + to - 1) / to * to); }

int make_node() {
  // The drivers' own geometry: each line padded to a multiple of 32 pixels,
  // and room for at least two screens for panning.
  fb_var_screeninfo v = {};
  v.xres = (uint32_t)env_long("FOLIAN_SIM_FB_XRES", 1236);
  v.yres = (uint32_t)env_long("FOLIAN_SIM_FB_YRES", 1648);
  v.xres_virtual = (uint32_t)env_long("FOLIAN_SIM_FB_XRES_VIRTUAL", align_up(v.xres, 32));
  v.yres_virtual = (uint32_t)env_long("FOLIAN_SIM_FB_YRES_VIRTUAL", (long)v.yres * 2);
  v.xoffset = (uint32_t)env_long("FOLIAN_SIM_FB_XOFFSET", 0);
  v.yoffset = (uint32_t)env_long("FOLIAN_SIM_FB_YOFFSET", 0);
  v.bits_per_pixel = (uint32_t)env_long("FOLIAN_SIM_FB_BPP", 8);
  v.grayscale = (uint32_t)env_long("FOLIAN_SIM_FB_GRAYSCALE", v.bits_per_pixel == 8 ? 1 : 0);
  v.width = (uint32_t)env_long("FOLIAN_SIM_FB_WIDTH_MM", 0);
  v.rotate = (uint32_t)env_long("FOLIAN_SIM_FB_ROTATE", 0);
  const char* defaults = v.bits_per_pixel == 16   ? "11:5,5:6,0:5,0:0"
                         : v.bits_per_pixel == 32 ? "16:8,8:8,0:8,24:8"
                                                  : "0:8,0:8,0:8,0:0";
  parse_fields(&v, defaults);
  if (const char* f = getenv("FOLIAN_SIM_FB_FIELDS")) parse_fields(&v, f);

  fb_fix_screeninfo x = {};
  strncpy(x.id, "sim-epdc", sizeof x.id - 1);
  uint64_t bytes_pp = (v.bits_per_pixel + 7) / 8;
  x.line_length =
      (uint32_t)env_long("FOLIAN_SIM_FB_LINE_LENGTH", (long)(v.xres_virtual * bytes_pp));
  x.smem_len = (uint32_t)env_long("FOLIAN_SIM_FB_SMEM_LEN",
                                  (long)((uint64_t)x.line_length * v.yres_virtual));
  x.type = FB_TYPE_PACKED_PIXELS;
  x.visual = FB_VISUAL_STATIC_PSEUDOCOLOR;

  int fill = (int)env_long("FOLIAN_SIM_FB_FILL", 0xFF);
  int fd = memfd_create("sim-fb", MFD_CLOEXEC);
  if (fd < 0) return -1;
  // A zero-sized node cannot be mapped; keep one page so the stand-in can.
  size_t len = x.smem_len ? x.smem_len : 4096;
  if (ftruncate(fd, (off_t)len) != 0) {
    real_close(fd);
    return -1;
  }
  void* m = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (m == MAP_FAILED) {
    real_close(fd);
    return -1;
  }
  // A new memfd reads as zeros: only another fill touches its pages.
  if (fill != 0) memset(m, fill, len);
  Config cfg = read_config();
  int node = dup(fd);
  // The program's descriptor must not leak into the tools it starts either.
  if (node >= 0) fcntl(node, F_SETFD, FD_CLOEXEC);

  State& s = st();
  int old_fd;
  void* old_mem;
  size_t old_len;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    old_fd = s.mem_fd;
    old_mem = s.mem;
    old_len = s.mem_len;
    s.cfg = cfg;
    s.mem_fd = fd;
    s.mem = (uint8_t*)m;
    s.mem_len = len;
    s.var = v;
    s.fix = x;
    s.updates.clear();
    s.refused.clear();
    s.waits.clear();
    s.snap_no = 0;
    s.panel.assign(v.bits_per_pixel == 8 ? (size_t)v.xres * v.yres : 0, 0);
    show_on_panel(0, 0, v.xres, v.yres, 0);
    g_fb_fd.store(node);
  }
  if (old_mem) munmap(old_mem, old_len);
  if (old_fd >= 0) real_close(old_fd);
  return node;
}

uint32_t word(const uint8_t* rec, unsigned off) {
  uint32_t v;
  memcpy(&v, rec + off, 4);
  return v;
}

// Offsets of every layout's known fields.
struct Offsets {
  int temp, flags, hist_bw, hist_gray, direction, steps;
};

Offsets offsets_of(const char* name) {
  if (strcmp(name, "classic") == 0) return {36, 40, 28, 32, -1, -1};
  if (strcmp(name, "mtk") == 0) return {28, 32, 80, 84, 72, 76};
  return {28, 32, 72, 76, -1, -1};
}

SimUpdate decode(const Layout& l, const uint8_t* rec) {
  Offsets o = offsets_of(l.name);
  SimUpdate u = {};
  u.kind = l.name;
  u.top = word(rec, 0);
  u.left = word(rec, 4);
  u.width = word(rec, 8);
  u.height = word(rec, 12);
  u.waveform = word(rec, 16);
  u.update_mode = word(rec, 20);
  u.marker = word(rec, 24);
  u.temp = word(rec, o.temp);
  u.flags = word(rec, o.flags);
  u.hist_bw = word(rec, o.hist_bw);
  u.hist_gray = word(rec, o.hist_gray);
  if (o.direction >= 0) {
    u.direction = word(rec, o.direction);
    u.steps = word(rec, o.steps);
  }
  for (unsigned off = 28; off < l.size; off += 4) {
    bool known = (int)off == o.temp || (int)off == o.flags || (int)off == o.hist_bw ||
                 (int)off == o.hist_gray || (int)off == o.direction || (int)off == o.steps;
    if (!known && word(rec, off) != 0) u.stray = true;
  }
  return u;
}

// Why the driver turns a well-formed record down, or nullptr when it takes
// it: the checks of the i.MX drivers' mxc_epdc_fb_send_single_update and of
// the MediaTek driver's hwtcon_fb_check_update_data_invalid.
const char* malformed(const SimUpdate& u, const fb_var_screeninfo& var, bool mtk) {
  if (u.update_mode > 1) return "update mode";
  if (u.waveform > 255 && u.waveform != kWaveformAuto) return "waveform";
  if (u.left >= var.xres || u.top >= var.yres || (uint64_t)u.left + u.width > var.xres ||
      (uint64_t)u.top + u.height > var.yres)
    return "region";
  if (mtk && (u.flags & kMtkFlagPageTurn) &&
      (u.direction >= kMtkPageTurnDirections || u.steps == 0 || u.steps > kMtkMaxPageTurnSteps))
    return "page turn";
  return nullptr;
}

int refuse(const char* kind, int err, const char* why) {
  keep<std::string>(st().refused, kind);
  append_log("refused kind=%s errno=%d%s%s\n", kind, err, why ? " " : "", why ? why : "");
  errno = err;
  return -1;
}

int send_update(const Layout& l, const uint8_t* rec) {
  State& s = st();
  std::lock_guard<std::mutex> lock(s.mu);
  if (s.cfg.epdc != l.name) return refuse(l.name, s.cfg.refuse_errno, nullptr);
  const bool mtk = is_mtk(l.name);
  SimUpdate u = decode(l, rec);
  if (s.cfg.not_ready > 0) {
    --s.cfg.not_ready;
    // The i.MX drivers refuse before the waveform is loaded or while the
    // panel is blanked; the MediaTek driver takes the update and drops it.
    if (!mtk) return refuse(l.name, EPERM, "not-ready");
    append_log("ignored kind=%s marker=%u blanked\n", l.name, u.marker);
    return 0;
  }
  if (const char* why = malformed(u, s.var, mtk))
    return refuse(l.name, mtk ? kMtkInvalidParam : EINVAL, why);
  if (s.cfg.no_buffer > 0) {
    --s.cfg.no_buffer;
    return refuse(l.name, mtk ? kMtkNoTask : ENOMEM, "no-buffer");
  }
  if (s.cfg.fail_every > 0 && ++s.cfg.sound % s.cfg.fail_every == 0)
    return refuse(l.name, mtk ? kMtkNoTask : ENOMEM, "no-buffer");
  keep(s.updates, u);
  // The time lets a reader of the log see how far apart the refreshes came.
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  append_log(
      "update kind=%s marker=%u region=%u,%u %ux%u waveform=%u mode=%u temp=0x%x flags=0x%x "
      "dir=%u steps=%u hist=%u/%u stray=%d t=%ld.%06ld\n",
      l.name, u.marker, u.left, u.top, u.width, u.height, u.waveform, u.update_mode, u.temp,
      u.flags, u.direction, u.steps, u.hist_bw, u.hist_gray, u.stray ? 1 : 0, (long)now.tv_sec,
      now.tv_nsec / 1000);
  show_on_panel(u.left, u.top, u.width, u.height, u.flags);
  write_snapshot();
  return 0;
}

void sleep_for_ms(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// The wait for an update to complete, as mxc_epdc_fb_wait_update_complete
// answers it: the time left of the five seconds (a positive count) once the
// update is done, 0 at once for a marker no update carries, ETIMEDOUT after
// five seconds.  The MediaTek driver answers 0 when done and fails with its
// status -1 (EPERM) on the timeout.
int wait_update(const uint8_t* rec) {
  State& s = st();
  uint32_t marker = word(rec, 0);
  long wait_ms;
  bool known = false;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    wait_ms = s.cfg.wait_ms;
    for (const SimUpdate& u : s.updates) known = known || u.marker == marker;
  }
  int result = 0, fail = 0;
  if (known) {
    // A negative time: the update never completes.
    bool never = wait_ms < 0 || wait_ms >= kWaitTimeoutMs;
    sleep_for_ms(never ? kWaitTimeoutMs : wait_ms);
    std::lock_guard<std::mutex> lock(s.mu);
    if (never)
      fail = s.cfg.wait_remaining ? ETIMEDOUT : EPERM;
    else if (s.cfg.wait_errno)
      fail = s.cfg.wait_errno;
    else if (s.cfg.wait_remaining)
      result = (int)(kWaitTimeoutMs - wait_ms);
  }
  std::lock_guard<std::mutex> lock(s.mu);
  keep(s.waits, marker);
  append_log("wait marker=%u result=%d\n", marker, fail ? -fail : result);
  if (fail) {
    errno = fail;
    return -1;
  }
  return result;
}

int node_ioctl(unsigned long request, void* arg) {
  State& s = st();
  if (request == FBIOGET_VSCREENINFO) {
    std::lock_guard<std::mutex> lock(s.mu);
    memcpy(arg, &s.var, sizeof s.var);
    return 0;
  }
  if (request == FBIOGET_FSCREENINFO) {
    std::lock_guard<std::mutex> lock(s.mu);
    memcpy(arg, &s.fix, sizeof s.fix);
    return 0;
  }
  for (const Layout& l : kLayouts)
    if (request == l.request) return send_update(l, (const uint8_t*)arg);
  if (request == kWaitForUpdateComplete) return wait_update((const uint8_t*)arg);
  errno = ENOTTY;
  return -1;
}

bool is_node_fd(int fd) { return fd >= 0 && fd == g_fb_fd.load(); }

mode_t mode_arg(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

// The node as root sees it on the device: a character device it may read
// and write, never execute.
int node_access(int mode) {
  if (mode & X_OK) {
    errno = EACCES;
    return -1;
  }
  return 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  if (is_node(path)) return make_node();
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  static auto real = next_fn<int (*)(const char*, int, ...)>("open");
  return real(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  if (is_node(path)) return make_node();
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  static auto real = next_fn<int (*)(const char*, int, ...)>("open64");
  return real(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
  if (is_node(path)) return make_node();
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  static auto real = next_fn<int (*)(int, const char*, int, ...)>("openat");
  return real(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  if (is_node(path)) return make_node();
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  static auto real = next_fn<int (*)(int, const char*, int, ...)>("openat64");
  return real(dirfd, path, flags, mode);
}

int __open_2(const char* path, int flags) {
  if (is_node(path)) return make_node();
  static auto real = next_fn<int (*)(const char*, int)>("__open_2");
  return real(path, flags);
}

int __open64_2(const char* path, int flags) {
  if (is_node(path)) return make_node();
  static auto real = next_fn<int (*)(const char*, int)>("__open64_2");
  return real(path, flags);
}

int access(const char* path, int mode) {
  if (is_node(path)) return node_access(mode);
  static auto real = next_fn<int (*)(const char*, int)>("access");
  return real(path, mode);
}

int faccessat(int dirfd, const char* path, int mode, int flags) {
  if (is_node(path)) return node_access(mode);
  static auto real = next_fn<int (*)(int, const char*, int, int)>("faccessat");
  return real(dirfd, path, mode, flags);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (is_node_fd(fd)) return node_ioctl(request, arg);
  static auto real = next_fn<int (*)(int, unsigned long, ...)>("ioctl");
  return real(fd, request, arg);
}

int close(int fd) {
  int node = fd;
  if (fd >= 0) g_fb_fd.compare_exchange_strong(node, -1);
  return real_close(fd);
}

}  // extern "C"

std::vector<SimUpdate> sim_fb_updates() {
  std::lock_guard<std::mutex> lock(st().mu);
  return {st().updates.begin(), st().updates.end()};
}

std::vector<std::string> sim_fb_refused() {
  std::lock_guard<std::mutex> lock(st().mu);
  return {st().refused.begin(), st().refused.end()};
}

std::vector<uint32_t> sim_fb_waits() {
  std::lock_guard<std::mutex> lock(st().mu);
  return {st().waits.begin(), st().waits.end()};
}

void sim_fb_clear_log() {
  std::lock_guard<std::mutex> lock(st().mu);
  st().updates.clear();
  st().refused.clear();
  st().waits.clear();
}

std::vector<uint8_t> sim_fb_memory() {
  std::lock_guard<std::mutex> lock(st().mu);
  if (!st().mem) return {};
  return std::vector<uint8_t>(st().mem, st().mem + st().mem_len);
}
