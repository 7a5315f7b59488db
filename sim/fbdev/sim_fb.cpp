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

#include <mutex>

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

struct Config {
  std::string path = "/dev/fb0";
  std::string epdc = "mtk";
  int refuse_errno = ENOTTY;
  bool refuse_animation = false;
  long wait_ms = 0;
  int wait_errno = 0;
  std::string log_path;
  std::string snap_dir;
};

std::mutex g_mu;
Config g_cfg;
int g_fb_fd = -1;
int g_mem_fd = -1;
uint8_t* g_mem = nullptr;
size_t g_mem_len = 0;
fb_var_screeninfo g_var;
fb_fix_screeninfo g_fix;
std::vector<SimUpdate> g_updates;
std::vector<std::string> g_refused;
std::vector<uint32_t> g_waits;
int g_snap_no = 0;

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

void read_config() {
  g_cfg = Config();
  g_cfg.path = env_str("FOLIAN_SIM_FB_PATH", "/dev/fb0");
  g_cfg.epdc = env_str("FOLIAN_SIM_EPDC", "mtk");
  g_cfg.refuse_errno = (int)env_long("FOLIAN_SIM_EPDC_ERRNO", ENOTTY);
  g_cfg.refuse_animation = env_long("FOLIAN_SIM_EPDC_REFUSE_ANIMATION", 0) != 0;
  g_cfg.wait_ms = env_long("FOLIAN_SIM_EPDC_WAIT_MS", 0);
  g_cfg.wait_errno = (int)env_long("FOLIAN_SIM_EPDC_WAIT_ERRNO", 0);
  g_cfg.log_path = env_str("FOLIAN_SIM_EPDC_LOG", "");
  g_cfg.snap_dir = env_str("FOLIAN_SIM_EPDC_SNAP_DIR", "");
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

void append_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void append_log(const char* fmt, ...) {
  if (g_cfg.log_path.empty()) return;
  FILE* f = fopen(g_cfg.log_path.c_str(), "a");
  if (!f) return;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(f, fmt, ap);
  va_end(ap);
  fclose(f);
}

// The panel's picture after an update: the visible area of an 8-bit screen.
void write_snapshot() {
  if (g_cfg.snap_dir.empty() || g_var.bits_per_pixel != 8) return;
  char name[512];
  snprintf(name, sizeof name, "%s/update_%04d.pgm", g_cfg.snap_dir.c_str(), g_snap_no++);
  FILE* f = fopen(name, "wb");
  if (!f) return;
  fprintf(f, "P5\n%u %u\n255\n", g_var.xres, g_var.yres);
  size_t origin = (size_t)g_var.yoffset * g_fix.line_length + g_var.xoffset;
  for (uint32_t y = 0; y < g_var.yres; ++y) {
    size_t at = origin + (size_t)y * g_fix.line_length;
    if (at + g_var.xres > g_mem_len) break;
    fwrite(g_mem + at, 1, g_var.xres, f);
  }
  fclose(f);
}

int make_node() {
  fb_var_screeninfo v = {};
  v.xres = (uint32_t)env_long("FOLIAN_SIM_FB_XRES", 1236);
  v.yres = (uint32_t)env_long("FOLIAN_SIM_FB_YRES", 1648);
  v.xres_virtual = (uint32_t)env_long("FOLIAN_SIM_FB_XRES_VIRTUAL", v.xres);
  v.yres_virtual = (uint32_t)env_long("FOLIAN_SIM_FB_YRES_VIRTUAL", v.yres);
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
  x.line_length = (uint32_t)env_long("FOLIAN_SIM_FB_LINE_LENGTH", (long)(v.xres_virtual * bytes_pp));
  x.smem_len = (uint32_t)env_long("FOLIAN_SIM_FB_SMEM_LEN", (long)((uint64_t)x.line_length * v.yres_virtual));
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
  memset(m, fill, len);

  std::lock_guard<std::mutex> lock(g_mu);
  read_config();
  if (g_mem) munmap(g_mem, g_mem_len);
  if (g_mem_fd >= 0) real_close(g_mem_fd);
  g_mem_fd = fd;
  g_mem = (uint8_t*)m;
  g_mem_len = len;
  g_var = v;
  g_fix = x;
  g_updates.clear();
  g_refused.clear();
  g_waits.clear();
  g_snap_no = 0;
  g_fb_fd = dup(fd);
  // The program's descriptor must not leak into the tools it starts either.
  if (g_fb_fd >= 0) fcntl(g_fb_fd, F_SETFD, FD_CLOEXEC);
  return g_fb_fd;
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

int send_update(const Layout& l, const uint8_t* rec) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_cfg.epdc != l.name) {
    g_refused.push_back(l.name);
    append_log("refused kind=%s errno=%d\n", l.name, g_cfg.refuse_errno);
    errno = g_cfg.refuse_errno;
    return -1;
  }
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
  if (g_cfg.refuse_animation && (u.flags & 0x10000)) {
    append_log("refused kind=%s animation errno=%d\n", l.name, EINVAL);
    errno = EINVAL;
    return -1;
  }
  g_updates.push_back(u);
  // The time lets a reader of the log see how far apart the refreshes came.
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  append_log(
      "update kind=%s marker=%u region=%u,%u %ux%u waveform=%u mode=%u temp=0x%x flags=0x%x "
      "dir=%u steps=%u hist=%u/%u stray=%d t=%ld.%06ld\n",
      l.name, u.marker, u.left, u.top, u.width, u.height, u.waveform, u.update_mode, u.temp,
      u.flags, u.direction, u.steps, u.hist_bw, u.hist_gray, u.stray ? 1 : 0, (long)now.tv_sec,
      now.tv_nsec / 1000);
  write_snapshot();
  return 0;
}

int wait_update(const uint8_t* rec) {
  uint32_t marker = word(rec, 0);
  long wait_ms;
  int fail;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    wait_ms = g_cfg.wait_ms;
    fail = g_cfg.wait_errno;
  }
  if (wait_ms > 0) {
    struct timespec ts = {wait_ms / 1000, (wait_ms % 1000) * 1000000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }
  std::lock_guard<std::mutex> lock(g_mu);
  g_waits.push_back(marker);
  append_log("wait marker=%u result=%d\n", marker, fail);
  if (fail) {
    errno = fail;
    return -1;
  }
  return 0;
}

int node_ioctl(unsigned long request, void* arg) {
  if (request == FBIOGET_VSCREENINFO) {
    std::lock_guard<std::mutex> lock(g_mu);
    memcpy(arg, &g_var, sizeof g_var);
    return 0;
  }
  if (request == FBIOGET_FSCREENINFO) {
    std::lock_guard<std::mutex> lock(g_mu);
    memcpy(arg, &g_fix, sizeof g_fix);
    return 0;
  }
  for (const Layout& l : kLayouts)
    if (request == l.request) return send_update(l, (const uint8_t*)arg);
  if (request == kWaitForUpdateComplete) return wait_update((const uint8_t*)arg);
  errno = ENOTTY;
  return -1;
}

bool is_node_fd(int fd) {
  std::lock_guard<std::mutex> lock(g_mu);
  return fd >= 0 && fd == g_fb_fd;
}

mode_t mode_arg(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
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
  {
    std::lock_guard<std::mutex> lock(g_mu);
    if (fd >= 0 && fd == g_fb_fd) g_fb_fd = -1;
  }
  return real_close(fd);
}

}  // extern "C"

std::vector<SimUpdate> sim_fb_updates() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_updates;
}

std::vector<std::string> sim_fb_refused() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_refused;
}

std::vector<uint32_t> sim_fb_waits() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_waits;
}

void sim_fb_clear_log() {
  std::lock_guard<std::mutex> lock(g_mu);
  g_updates.clear();
  g_refused.clear();
  g_waits.clear();
}

std::vector<uint8_t> sim_fb_memory() {
  std::lock_guard<std::mutex> lock(g_mu);
  if (!g_mem) return {};
  return std::vector<uint8_t>(g_mem, g_mem + g_mem_len);
}
