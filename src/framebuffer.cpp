// The framebuffer.  Opening checks everything the driver reports against the
// mapping before anything is written, since a driver reporting a visible area
// beyond its memory would have us write past the mapping.
#include "framebuffer.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "eink.h"
#include "log.h"
#include "pixels.h"
#include "settings.h"

namespace {

struct FramebufferState {
  int fd = -1;
  uint8_t* map = nullptr;
  size_t map_len = 0;
  uint8_t* origin = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  size_t stride = 0;
  uint32_t bpp = 0;
  fb_var_screeninfo var = {};
  bool fake = false;
  const char* dump_dir = nullptr;
  uint8_t* saved = nullptr;
  uint8_t* shadow = nullptr;
  // Derived at open; see Framebuffer.
  size_t row_len = 0;
  size_t span = 0;
};

FramebufferState g_fb;

constexpr uint32_t kDefaultWidth = 1236;
constexpr uint32_t kDefaultHeight = 1648;
constexpr long long kMaxSide = 65535;
// Far beyond any panel; a larger value is a typing slip.
constexpr long long kMaxDpi = 10000;
// The simulated screen's density, where no physical width tells one.
constexpr long long kSimulatedDpi = 300;

bool field_fits(const char* name, const fb_bitfield& f, uint32_t bpp) {
  if ((uint64_t)f.offset + f.length <= bpp) return true;
  log_error("帧缓冲颜色位域 %s（偏移 %u，长度 %u）超出 %u 位像素\n", name, f.offset, f.length, bpp);
  return false;
}

uint8_t* alloc_copy(const char* what, size_t len, const uint8_t* from, int fill) {
  uint8_t* p = (uint8_t*)malloc(len);
  if (!p) {
    log_error("分配%s失败（%llu 字节）\n", what, (unsigned long long)len);
    return nullptr;
  }
  if (from)
    memcpy(p, from, len);
  else
    memset(p, fill, len);
  return p;
}

void reset_state() {
  g_fb.fd = -1;
  g_fb.map = g_fb.origin = g_fb.saved = g_fb.shadow = nullptr;
  g_fb.map_len = g_fb.stride = g_fb.row_len = g_fb.span = 0;
  g_fb.width = g_fb.height = g_fb.bpp = 0;
  g_fb.fake = false;
  g_fb.var = {};
  g_fb.dump_dir = nullptr;
}

bool open_simulated(const FramebufferSettings& s, DisplayInfo* info) {
  const unsigned w = s.width, h = s.height;
  uint64_t bytes = (uint64_t)w * h;
  if (bytes == 0 || bytes > (uint64_t)(PTRDIFF_MAX / 2)) {
    log_error("假屏尺寸 %ux%u 无效\n", w, h);
    return false;
  }
  g_fb.width = w;
  g_fb.height = h;
  g_fb.stride = w;
  g_fb.bpp = 8;
  g_fb.var.bits_per_pixel = 8;
  pixels_set_format(g_fb.var);
  g_fb.fake = true;
  g_fb.map_len = (size_t)bytes;
  g_fb.row_len = w;
  g_fb.span = (size_t)bytes;
  g_fb.map = alloc_copy("假屏内存", g_fb.map_len, nullptr, 0xFF);
  if (!g_fb.map) return false;
  g_fb.origin = g_fb.map;
  g_fb.shadow = alloc_copy("影子缓冲", g_fb.map_len, nullptr, 0xFF);
  if (!g_fb.shadow) {
    free(g_fb.map);
    g_fb.map = g_fb.origin = nullptr;
    return false;
  }
  g_fb.dump_dir = s.dump_dir;

  info->width = w;
  info->height = h;
  info->dpi = (double)s.dpi;
  info->bpp = 8;
  info->rgb565 = false;
  log_info("假屏模式 %ux%u，帧导出到 %s\n", w, h, g_fb.dump_dir ? g_fb.dump_dir : "（不导出）");
  return true;
}

// The visible area must lie inside the mapping and each visible row inside its
// line; a driver reporting otherwise would have us write past the mapping.
bool geometry_fits(const fb_var_screeninfo& var, uint32_t line_length, uint32_t smem_len) {
  uint64_t bytes_pp = var.bits_per_pixel / 8;
  uint64_t row = (uint64_t)var.xres * bytes_pp;
  if (var.xres == 0 || var.yres == 0) {
    log_error("帧缓冲可见尺寸 %ux%u 无效\n", var.xres, var.yres);
    return false;
  }
  if (line_length < row) {
    log_error("帧缓冲行宽 %u 小于一行可见像素的 %llu 字节\n", line_length, (unsigned long long)row);
    return false;
  }
  uint64_t end = (uint64_t)var.yoffset * line_length + var.xoffset * bytes_pp +
                 (uint64_t)(var.yres - 1) * line_length + row;
  if (end > smem_len) {
    log_error("帧缓冲可见区域超出映射：需要 %llu 字节，映射只有 %u 字节\n", (unsigned long long)end,
              smem_len);
    return false;
  }
  if (var.bits_per_pixel == 8) return true;
  return field_fits("red", var.red, var.bits_per_pixel) &&
         field_fits("green", var.green, var.bits_per_pixel) &&
         field_fits("blue", var.blue, var.bits_per_pixel) &&
         (var.bits_per_pixel != 32 || field_fits("transp", var.transp, var.bits_per_pixel));
}

// The descriptor and mapping of a framebuffer while it is being opened: given
// back when opening stops part way, handed to the module state once it is done.
class DeviceHold {
 public:
  DeviceHold() = default;
  DeviceHold(const DeviceHold&) = delete;
  DeviceHold& operator=(const DeviceHold&) = delete;
  ~DeviceHold() {
    if (map_ != MAP_FAILED) munmap(map_, map_len_);
    if (fd_ >= 0) close(fd_);
  }

  bool open_path(const char* path) {
    fd_ = open(path, O_RDWR | O_CLOEXEC);
    return fd_ >= 0;
  }
  bool map(size_t len) {
    map_ = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    map_len_ = len;
    return map_ != MAP_FAILED;
  }
  int fd() const { return fd_; }
  uint8_t* bytes() const { return static_cast<uint8_t*>(map_); }

  void release_into(FramebufferState& state) {
    state.fd = fd_;
    state.map = bytes();
    state.map_len = map_len_;
    fd_ = -1;
    map_ = MAP_FAILED;
  }

 private:
  int fd_ = -1;
  void* map_ = MAP_FAILED;
  size_t map_len_ = 0;
};

bool open_device(const FramebufferSettings& s, DisplayInfo* info) {
  const char* path = s.device;
  DeviceHold dev;
  if (!dev.open_path(path)) {
    log_error("打开 %s 失败: %s\n", path, strerror(errno));
    return false;
  }
  fb_fix_screeninfo fix = {};
  if (ioctl(dev.fd(), FBIOGET_VSCREENINFO, &g_fb.var) != 0 ||
      ioctl(dev.fd(), FBIOGET_FSCREENINFO, &fix) != 0) {
    log_error("读取帧缓冲参数失败: %s\n", strerror(errno));
    return false;
  }
  if (!dev.map(fix.smem_len)) {
    log_error("映射帧缓冲失败: %s\n", strerror(errno));
    return false;
  }
  const fb_var_screeninfo& var = g_fb.var;
  g_fb.width = var.xres;
  g_fb.height = var.yres;
  eink_open((int)g_fb.width, (int)g_fb.height);
  g_fb.stride = fix.line_length;
  g_fb.bpp = var.bits_per_pixel;
  if (g_fb.bpp != 8 && g_fb.bpp != 16 && g_fb.bpp != 32) {
    log_error("不支持 %u 位色深的帧缓冲\n", g_fb.bpp);
    return false;
  }
  if (!geometry_fits(var, fix.line_length, fix.smem_len)) return false;
  // The shadow and the startup copy have the framebuffer's layout from the
  // origin but end with the last visible pixel: the padding of the last row
  // (which the driver may make as long as it likes) is never used.  The span
  // is reckoned in 64 bits, since on a 32-bit build rows times line length
  // may wrap.
  uint64_t row_len = (uint64_t)g_fb.width * (g_fb.bpp / 8);
  uint64_t span = (uint64_t)(g_fb.height - 1) * fix.line_length + row_len;
  if (span > (uint64_t)PTRDIFF_MAX) {
    log_error("帧缓冲可见区域跨 %llu 字节，内存放不下它的副本\n", (unsigned long long)span);
    return false;
  }
  g_fb.origin =
      dev.bytes() + (size_t)var.yoffset * g_fb.stride + (size_t)var.xoffset * (g_fb.bpp / 8);
  g_fb.row_len = (size_t)row_len;
  g_fb.span = (size_t)span;
  pixels_set_format(var);

  if (s.keep_start) g_fb.saved = alloc_copy("启动屏副本", g_fb.span, g_fb.origin, 0);
  g_fb.shadow = alloc_copy("影子缓冲", g_fb.span, g_fb.origin, 0);
  if (!g_fb.shadow) {
    free(g_fb.saved);
    g_fb.saved = nullptr;
    g_fb.origin = nullptr;
    return false;
  }
  dev.release_into(g_fb);

  info->width = g_fb.width;
  info->height = g_fb.height;
  info->bpp = g_fb.bpp;
  info->rgb565 = pixels_takes(FramePixels::kRgb565);
  info->dpi = 0;
  if (var.width >= 1 && var.width <= 999) info->dpi = var.xres * 25.4 / var.width;
  if (s.dpi >= 1) info->dpi = (double)s.dpi;
  log_info(
      "帧缓冲 %s: %ux%u（虚拟 %ux%u，偏移 %u,%u），%u 位，行宽 %u，grayscale=%u，旋转=%u，物理宽 %umm\n",
      path, var.xres, var.yres, var.xres_virtual, var.yres_virtual, var.xoffset, var.yoffset,
      var.bits_per_pixel, fix.line_length, var.grayscale, var.rotate, var.width);
  return true;
}

}  // namespace

const char* framebuffer_device() {
  if (setting_present("FOLIAN_FB_FILE")) return nullptr;
  const char* path = setting_text("FOLIAN_FB");
  return path && *path ? path : "/dev/fb0";
}

FramebufferSettings framebuffer_read_settings() {
  FramebufferSettings s{};
  s.device = framebuffer_device();
  s.width = kDefaultWidth;
  s.height = kDefaultHeight;
  if (!s.device) {
    setting_size("FOLIAN_FB_SIZE", kMaxSide, &s.width, &s.height);
    s.dump_dir = setting_text("FOLIAN_FB_DUMP_DIR");
  }
  s.dpi = setting_int("FOLIAN_DPI", s.device ? 0 : kSimulatedDpi, 0, kMaxDpi);
  s.keep_start = !setting_present("FOLIAN_KEEP_SCREEN");
  return s;
}

bool framebuffer_open(DisplayInfo* info) {
  reset_state();
  const FramebufferSettings s = framebuffer_read_settings();
  return s.device ? open_device(s, info) : open_simulated(s, info);
}

void framebuffer_close() {
  free(g_fb.saved);
  free(g_fb.shadow);
  g_fb.saved = g_fb.shadow = nullptr;
  if (g_fb.fake) {
    free(g_fb.map);
  } else {
    if (g_fb.map) munmap(g_fb.map, g_fb.map_len);
    if (g_fb.fd >= 0) close(g_fb.fd);
  }
  g_fb.fd = -1;
  g_fb.map = g_fb.origin = nullptr;
}

Framebuffer framebuffer_get() {
  return {g_fb.fd,     g_fb.fake, g_fb.origin, g_fb.shadow,  g_fb.width,
          g_fb.height, g_fb.bpp,  g_fb.stride, g_fb.row_len, g_fb.span};
}

void framebuffer_copy(size_t from, size_t to) {
  memcpy(g_fb.origin + from, g_fb.shadow + from, to - from);
}

void framebuffer_copy_rows(uint32_t y, uint32_t count) {
  if (count == 0) return;
  size_t at = (size_t)y * g_fb.stride;
  memcpy(g_fb.origin + at, g_fb.shadow + at, (size_t)(count - 1) * g_fb.stride + g_fb.row_len);
}

void framebuffer_dump(int frame_no) {
  if (!g_fb.dump_dir || g_fb.bpp != 8) return;
  char name[512];
  snprintf(name, sizeof name, "%s/frame_%04d.pgm", g_fb.dump_dir, frame_no);
  FILE* f = fopen(name, "wb");
  if (!f) return;
  fprintf(f, "P5\n%u %u\n255\n", g_fb.width, g_fb.height);
  for (uint32_t row = 0; row < g_fb.height; ++row)
    fwrite(g_fb.origin + (size_t)row * g_fb.stride, 1, g_fb.width, f);
  fclose(f);
}

bool framebuffer_kept_start() { return g_fb.saved && !g_fb.fake; }

void framebuffer_put_back_start() { memcpy(g_fb.origin, g_fb.saved, g_fb.span); }
