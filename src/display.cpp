// The screen.  Frames are converted once into a shadow copy laid out like the
// framebuffer; only the band of rows that changed is written to the mapped
// framebuffer, and the e-ink driver is asked to refresh the changed rectangle.
#include "display.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__arm__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

#include <algorithm>
#include <atomic>
#include <mutex>

#include "display_row8.h"
#include "display_turn.h"
#include "eink.h"
#include "log.h"
#include "policy.h"
#include "settings.h"
#include "tasks.h"

namespace {

struct DisplayState {
  int fd = -1;
  uint8_t* map = nullptr;
  size_t map_len = 0;
  uint8_t* origin = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  size_t stride = 0;
  uint32_t bpp = 0;
  bool inverted = false;
  fb_var_screeninfo var = {};
  bool fake = false;
  const char* dump_dir = nullptr;
  int frame_no = 0;
  bool force_full = false;
  uint8_t* saved = nullptr;
  uint8_t* shadow = nullptr;
  // Read without the lock by the main thread's power handling.
  std::atomic<bool> suspended{false};
  bool log_frames = false;
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

  // Derived at open.  `row_len` is the visible part of one row; `span` runs
  // from the first visible byte to the last one, so copies never touch the
  // padding after the last row, which need not be mapped.
  size_t row_len = 0;
  size_t span = 0;
  // 16- and 32-bit pixels are built from one table per colour plus the fixed
  // transparency bits.
  uint32_t lut_r[256] = {};
  uint32_t lut_g[256] = {};
  uint32_t lut_b[256] = {};
  uint32_t alpha = 0;
};

DisplayState g;
std::mutex g_lock;

constexpr uint32_t kDefaultWidth = 1236;
constexpr uint32_t kDefaultHeight = 1648;
// Far beyond any panel; a larger value is a typing slip.
constexpr long long kMaxDpi = 10000;

// An 8-bit level scaled to a field of `length` bits.  Short fields keep the
// top bits; long ones repeat the level's bits so that 255 stays all ones.
uint32_t scale_level(uint32_t v, uint32_t length) {
  if (length == 0) return 0;
  if (length <= 8) return v >> (8 - length);
  uint64_t acc = v;
  uint32_t bits = 8;
  while (bits < length) {
    acc = (acc << 8) | v;
    bits += 8;
  }
  return (uint32_t)(acc >> (bits - length));
}

uint32_t place(uint32_t v, const fb_bitfield& f) {
  return f.length == 0 ? 0 : scale_level(v, f.length) << f.offset;
}

bool field_fits(const char* name, const fb_bitfield& f, uint32_t bpp) {
  if ((uint64_t)f.offset + f.length <= bpp) return true;
  log_error("帧缓冲颜色位域 %s（偏移 %u，长度 %u）超出 %u 位像素\n", name, f.offset, f.length, bpp);
  return false;
}

void build_colour_tables() {
  for (uint32_t v = 0; v < 256; ++v) {
    g.lut_r[v] = place(v, g.var.red);
    g.lut_g[v] = place(v, g.var.green);
    g.lut_b[v] = place(v, g.var.blue);
  }
  g.alpha = g.bpp == 32 ? place(255, g.var.transp) : 0;
}

// Frame rows are compared in the pixel's own width, so a change in any colour
// field is seen.  Night mode in the conversion takes each colour to its
// complement, as invert_picture does to what is already there.
template <typename Pixel>
bool convert_row_packed(const uint8_t* src, uint8_t* dst, unsigned n, uint32_t, unsigned* first,
                        unsigned* last) {
  const uint8_t flip = g.night_in_shadow ? 0xFF : 0x00;
  bool any = false;
  for (unsigned x = 0; x < n; ++x, src += 4) {
    Pixel v =
        (Pixel)(g.lut_b[src[0] ^ flip] | g.lut_g[src[1] ^ flip] | g.lut_r[src[2] ^ flip] | g.alpha);
    Pixel old;
    memcpy(&old, dst + x * sizeof(Pixel), sizeof old);
    if (v == old) continue;
    memcpy(dst + x * sizeof(Pixel), &v, sizeof v);
    if (!any) *first = x;
    *last = x;
    any = true;
  }
  return any;
}

// ---- 8-bit gray rows
//
// The common e-ink case, and the hot loop of every frame: each source pixel is
// converted and compared with the shadow, and the vector paths below do 16 or
// 32 pixels per step (NEON's in display_neon.cpp).  They must give the same
// bytes and the same first and last changed columns as the scalar loop, which
// also converts the tails; both loops are in display_row8.h.
//
// A vector block that differs from the shadow anywhere is stored whole: the
// shadow is private memory under g_lock, so rewriting its equal bytes is
// invisible, and one full-width store is cheaper than any byte-masked store
// (SSE2's masked store bypasses the cache, AVX2 has none for bytes).  A block
// that is unchanged costs its conversion, one compare and no store.

// One table for the whole module: every path built for this processor family,
// slowest first, with the test that says whether this processor runs it.
struct Row8Path {
  const char* name;
  Row8Fn convert;
  bool (*runs)();
};

bool always() { return true; }

#if defined(__x86_64__)

// Four pixels (blue, green, red, alpha bytes) to four 32-bit gray sums
// shifted down: blue and red sit in the even bytes, green (with alpha, whose
// weight is 0) in the odd ones, so two multiply-adds of 16-bit pairs give
// 29 b + 77 r and 150 g.
struct Sse2 {
  static constexpr unsigned kPixels = 16;
  static constexpr unsigned kBits = 1;

  static __m128i sums(const uint8_t* src) {
    __m128i px = _mm_loadu_si128((const __m128i*)src);
    __m128i br = _mm_and_si128(px, _mm_set1_epi32(0x00FF00FF));
    __m128i ga = _mm_srli_epi16(px, 8);
    __m128i sum = _mm_add_epi32(_mm_madd_epi16(br, _mm_set1_epi32((77 << 16) | 29)),
                                _mm_madd_epi16(ga, _mm_set1_epi32(150)));
    return _mm_srli_epi32(sum, 8);
  }

  // 17 * floor((gray + d) / 17), 16 pixels at once, in bytes.  The
  // saturating add changes no level (every sum from 255 to 271 is level 15).
  // For v = 17 k + r up to 255, v - (v >> 4) is 16 k plus something below 16
  // (r less the carry of k + r past 16), so its top nibble is k; 17 k is then
  // 16 k | k.  Shifting 16-bit lanes moves bits between the two bytes: the
  // first shift is masked, the second moves only zeros.
  static __m128i dither(__m128i gray, const uint8_t* thresholds) {
    __m128i v = _mm_adds_epu8(gray, _mm_loadu_si128((const __m128i*)thresholds));
    __m128i high = _mm_and_si128(_mm_srli_epi16(v, 4), _mm_set1_epi8(0x0F));
    __m128i k16 = _mm_and_si128(_mm_sub_epi8(v, high), _mm_set1_epi8((char)0xF0));
    return _mm_or_si128(k16, _mm_srli_epi16(k16, 4));
  }

  template <bool kDither>
  static uint64_t block(const uint8_t* src, uint8_t* dst, uint8_t invert,
                        [[maybe_unused]] const uint8_t* thresholds) {
    __m128i lo = _mm_packs_epi32(sums(src), sums(src + 16));
    __m128i hi = _mm_packs_epi32(sums(src + 32), sums(src + 48));
    __m128i gray = _mm_packus_epi16(lo, hi);
    if constexpr (kDither) gray = dither(gray, thresholds);
    gray = _mm_xor_si128(gray, _mm_set1_epi8((char)invert));
    __m128i old = _mm_loadu_si128((const __m128i*)dst);
    unsigned diff = ~(unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(gray, old)) & 0xFFFFu;
    if (diff) _mm_storeu_si128((__m128i*)dst, gray);
    return diff;
  }
};

__attribute__((flatten)) bool convert_row8_sse2(const uint8_t* src, uint8_t* dst, unsigned n,
                                                uint8_t invert, const uint8_t* dither,
                                                unsigned* first, unsigned* last) {
  return convert_row8_blocks<Sse2>(src, dst, n, invert, dither, first, last);
}

struct Avx2 {
  static constexpr unsigned kPixels = 32;
  static constexpr unsigned kBits = 1;

  // Eight pixels to eight 32-bit sums, not yet shifted: they stay below
  // 65536, so the unsigned pack takes them to 16 bits exactly.
  __attribute__((target("avx2"))) static __m256i sums(const uint8_t* src) {
    __m256i px = _mm256_loadu_si256((const __m256i*)src);
    __m256i br = _mm256_and_si256(px, _mm256_set1_epi32(0x00FF00FF));
    __m256i ga = _mm256_srli_epi16(px, 8);
    return _mm256_add_epi32(_mm256_madd_epi16(br, _mm256_set1_epi32((77 << 16) | 29)),
                            _mm256_madd_epi16(ga, _mm256_set1_epi32(150)));
  }

  // As Sse2::dither.
  __attribute__((target("avx2"))) static __m256i dither(__m256i gray, const uint8_t* thresholds) {
    __m256i v = _mm256_adds_epu8(gray, _mm256_loadu_si256((const __m256i*)thresholds));
    __m256i high = _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
    __m256i k16 = _mm256_and_si256(_mm256_sub_epi8(v, high), _mm256_set1_epi8((char)0xF0));
    return _mm256_or_si256(k16, _mm256_srli_epi16(k16, 4));
  }

  template <bool kDither>
  __attribute__((target("avx2"))) static uint64_t block(
      const uint8_t* src, uint8_t* dst, uint8_t invert,
      [[maybe_unused]] const uint8_t* thresholds) {
    __m256i a = _mm256_srli_epi16(_mm256_packus_epi32(sums(src), sums(src + 32)), 8);
    __m256i b = _mm256_srli_epi16(_mm256_packus_epi32(sums(src + 64), sums(src + 96)), 8);
    // The packs work within each 128-bit half: the four-pixel groups come out
    // as 0 2 4 6 | 1 3 5 7 and are put back in order.
    __m256i gray = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(a, b),
                                               _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    if constexpr (kDither) gray = dither(gray, thresholds);
    gray = _mm256_xor_si256(gray, _mm256_set1_epi8((char)invert));
    __m256i old = _mm256_loadu_si256((const __m256i*)dst);
    uint32_t diff = ~(uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(gray, old));
    if (diff) _mm256_storeu_si256((__m256i*)dst, gray);
    return diff;
  }
};

__attribute__((target("avx2"), flatten)) bool convert_row8_avx2(const uint8_t* src, uint8_t* dst,
                                                                unsigned n, uint8_t invert,
                                                                const uint8_t* dither,
                                                                unsigned* first, unsigned* last) {
  return convert_row8_blocks<Avx2>(src, dst, n, invert, dither, first, last);
}

bool runs_avx2() { return __builtin_cpu_supports("avx2"); }

const Row8Path kRow8Paths[] = {
    {"scalar", convert_row8_scalar, always},
    {"sse2", convert_row8_sse2, always},
    {"avx2", convert_row8_avx2, runs_avx2},
};

#elif defined(__arm__)

// The baseline of 32-bit ARM distributions has no NEON, the device's
// processor does: the NEON path is built apart (display_neon.cpp) and runs
// only when the kernel reports the unit.
bool runs_neon() { return (getauxval(AT_HWCAP) & HWCAP_NEON) != 0; }

const Row8Path kRow8Paths[] = {
    {"scalar", convert_row8_scalar, always},
    {"neon", display_convert_row8_neon, runs_neon},
};

#else

const Row8Path kRow8Paths[] = {
    {"scalar", convert_row8_scalar, always},
};

#endif

// The path in use: the fastest this processor runs, chosen at the first use.
std::atomic<const Row8Path*> g_row8_path{nullptr};

const Row8Path* row8_path() {
  const Row8Path* path = g_row8_path.load(std::memory_order_acquire);
  if (path) return path;
  for (const Row8Path& p : kRow8Paths)
    if (p.runs()) path = &p;
  g_row8_path.store(path, std::memory_order_release);
  return path;
}

// The 8x8 Bayer matrix: its ranks 0..63 spread any run of them evenly over
// the tile.  Rank r becomes the threshold 16 - floor(17 (2r + 1) / 128), so
// that a gray a fraction f of the way from one level to the next rounds up
// at about f of the tile's pixels.  A tileable blue-noise mask does no
// better here: display_bench measures both with this loop, at the same cost
// and with no less visible error on the panel at reading distance (more on
// coarser panels), and this one is eight rows of a formula, not a table.
struct DitherRows {
  uint8_t row[8][kDitherRowBytes];
};

constexpr DitherRows bayer_rows() {
  DitherRows t{};
  for (unsigned y = 0; y < 8; ++y)
    for (unsigned x = 0; x < kDitherRowBytes; ++x) {
      unsigned rank = 0;
      for (unsigned bit = 0; bit < 3; ++bit) {
        unsigned xb = (x >> bit) & 1, yb = (y >> bit) & 1;
        rank |= ((2 * xb + 3 * yb) % 4) << (4 - 2 * bit);
      }
      t.row[y][x] = (uint8_t)(16 - 17 * (2 * rank + 1) / 128);
    }
  return t;
}

constexpr DitherRows kBayer = bayer_rows();

bool convert_row_gray(const uint8_t* src, uint8_t* dst, unsigned n, uint32_t y, unsigned* first,
                      unsigned* last) {
  // An inverted panel and night mode in the conversion each turn the grays
  // over; together they cancel.
  uint8_t invert = g.inverted != g.night_in_shadow ? 0xFF : 0x00;
  const uint8_t* dither = g.dither ? kBayer.row[y % 8] : nullptr;
  return row8_path()->convert(src, dst, n, invert, dither, first, last);
}

using RowConverter = bool (*)(const uint8_t*, uint8_t*, unsigned, uint32_t, unsigned*, unsigned*);

RowConverter row_converter() {
  switch (g.bpp) {
    case 16:
      return convert_row_packed<uint16_t>;
    case 32:
      return convert_row_packed<uint32_t>;
    default:
      return convert_row_gray;
  }
}

// `count` whole rows from row `y` of the shadow to the framebuffer.
void copy_rows(uint32_t y, uint32_t count) {
  if (count == 0) return;
  size_t at = (size_t)y * g.stride;
  memcpy(g.origin + at, g.shadow + at, (size_t)(count - 1) * g.stride + g.row_len);
}

void dump_pgm() {
  if (!g.dump_dir || g.bpp != 8) return;
  char name[512];
  snprintf(name, sizeof name, "%s/frame_%04d.pgm", g.dump_dir, g.frame_no);
  FILE* f = fopen(name, "wb");
  if (!f) return;
  fprintf(f, "P5\n%u %u\n255\n", g.width, g.height);
  for (uint32_t row = 0; row < g.height; ++row)
    fwrite(g.origin + (size_t)row * g.stride, 1, g.width, f);
  fclose(f);
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
  g.fd = -1;
  g.map = g.origin = g.saved = g.shadow = nullptr;
  g.map_len = g.stride = g.row_len = g.span = 0;
  g.width = g.height = g.bpp = 0;
  g.inverted = g.fake = false;
  g.var = {};
  g.dump_dir = nullptr;
  g.frame_no = 0;
  g.missed_w = g.missed_h = 0;
  g.night = g.night_in_shadow = g.dither = false;
  g.degrees = 0;
  g.turn_pending = false;
  g.suspended.store(false);
}

// "WxH", or "W" alone with the default height.
bool parse_size(const char* text, unsigned* w, unsigned* h) {
  char width[16];
  const char* x = strchr(text, 'x');
  size_t n = x ? (size_t)(x - text) : strlen(text);
  if (n >= sizeof width) return false;
  memcpy(width, text, n);
  width[n] = '\0';
  long long pw = 0, ph = *h;
  if (!parse_whole_int(width, 1, 65535, &pw)) return false;
  if (x && !parse_whole_int(x + 1, 1, 65535, &ph)) return false;
  *w = (unsigned)pw;
  *h = (unsigned)ph;
  return true;
}

bool open_simulated(DisplayInfo* info) {
  unsigned w = kDefaultWidth, h = kDefaultHeight;
  const char* size = setting_text("FOLIAN_FB_SIZE");
  if (size && *size && !parse_size(size, &w, &h)) {
    log_error("FOLIAN_FB_SIZE=%s 无效：应为 宽x高，各 1 到 65535，用默认值 %ux%u\n", size, w, h);
  }
  uint64_t bytes = (uint64_t)w * h;
  if (bytes == 0 || bytes > (uint64_t)(PTRDIFF_MAX / 2)) {
    log_error("假屏尺寸 %ux%u 无效\n", w, h);
    return false;
  }
  g.width = w;
  g.height = h;
  g.stride = w;
  g.bpp = 8;
  g.fake = true;
  g.map_len = (size_t)bytes;
  g.row_len = w;
  g.span = (size_t)bytes;
  g.map = alloc_copy("假屏内存", g.map_len, nullptr, 0xFF);
  if (!g.map) return false;
  g.origin = g.map;
  g.shadow = alloc_copy("影子缓冲", g.map_len, nullptr, 0xFF);
  if (!g.shadow) {
    free(g.map);
    g.map = g.origin = nullptr;
    return false;
  }
  g.dump_dir = setting_text("FOLIAN_FB_DUMP_DIR");

  info->width = w;
  info->height = h;
  info->dpi = (double)setting_int("FOLIAN_DPI", 300, 0, kMaxDpi);
  log_info("假屏模式 %ux%u，帧导出到 %s\n", w, h, g.dump_dir ? g.dump_dir : "（不导出）");
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

  void release_into(DisplayState& state) {
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

bool open_device(DisplayInfo* info) {
  const char* path = display_device();
  DeviceHold dev;
  if (!dev.open_path(path)) {
    log_error("打开 %s 失败: %s\n", path, strerror(errno));
    return false;
  }
  fb_fix_screeninfo fix = {};
  if (ioctl(dev.fd(), FBIOGET_VSCREENINFO, &g.var) != 0 ||
      ioctl(dev.fd(), FBIOGET_FSCREENINFO, &fix) != 0) {
    log_error("读取帧缓冲参数失败: %s\n", strerror(errno));
    return false;
  }
  if (!dev.map(fix.smem_len)) {
    log_error("映射帧缓冲失败: %s\n", strerror(errno));
    return false;
  }
  const fb_var_screeninfo& var = g.var;
  g.width = var.xres;
  g.height = var.yres;
  eink_open((int)g.width, (int)g.height);
  g.stride = fix.line_length;
  g.bpp = var.bits_per_pixel;
  g.inverted = var.grayscale == 2;
  if (g.bpp != 8 && g.bpp != 16 && g.bpp != 32) {
    log_error("不支持 %u 位色深的帧缓冲\n", g.bpp);
    return false;
  }
  if (!geometry_fits(var, fix.line_length, fix.smem_len)) return false;
  // The shadow and the startup copy have the framebuffer's layout from the
  // origin but end with the last visible pixel: the padding of the last row
  // (which the driver may make as long as it likes) is never used.  The span
  // is reckoned in 64 bits, since on a 32-bit build rows times line length
  // may wrap.
  uint64_t row_len = (uint64_t)g.width * (g.bpp / 8);
  uint64_t span = (uint64_t)(g.height - 1) * fix.line_length + row_len;
  if (span > (uint64_t)PTRDIFF_MAX) {
    log_error("帧缓冲可见区域跨 %llu 字节，内存放不下它的副本\n", (unsigned long long)span);
    return false;
  }
  g.origin = dev.bytes() + (size_t)var.yoffset * g.stride + (size_t)var.xoffset * (g.bpp / 8);
  g.row_len = (size_t)row_len;
  g.span = (size_t)span;
  build_colour_tables();

  if (!setting_present("FOLIAN_KEEP_SCREEN"))
    g.saved = alloc_copy("启动屏副本", g.span, g.origin, 0);
  g.shadow = alloc_copy("影子缓冲", g.span, g.origin, 0);
  if (!g.shadow) {
    free(g.saved);
    g.saved = nullptr;
    g.origin = nullptr;
    return false;
  }
  dev.release_into(g);

  info->width = g.width;
  info->height = g.height;
  info->dpi = 0;
  if (var.width >= 1 && var.width <= 999) info->dpi = var.xres * 25.4 / var.width;
  long long dpi = setting_int("FOLIAN_DPI", 0, 0, kMaxDpi);
  if (dpi >= 1) info->dpi = (double)dpi;
  log_info(
      "帧缓冲 %s: %ux%u（虚拟 %ux%u，偏移 %u,%u），%u 位，行宽 %u，grayscale=%u，旋转=%u，物理宽 %umm\n",
      path, var.xres, var.yres, var.xres_virtual, var.yres_virtual, var.xoffset, var.yoffset,
      var.bits_per_pixel, fix.line_length, var.grayscale, var.rotate, var.width);
  return true;
}

// The application's picture, inverted, goes through the shadow from now on
// (or no longer): the shadow is inverted once, and the screen with it unless
// the screensaver owns it.  The colour bits of a packed pixel are inverted,
// its transparency bits are not.
void invert_picture() {
  uint32_t colours = g.bpp == 8 ? 0xFFFFFFFFu : g.lut_r[255] | g.lut_g[255] | g.lut_b[255];
  if (g.bpp == 16) colours = (colours & 0xFFFFu) * 0x10001u;
  uint8_t pattern[4];
  memcpy(pattern, &colours, sizeof pattern);
  for (uint32_t row = 0; row < g.height; ++row) {
    uint8_t* p = g.shadow + (size_t)row * g.stride;
    for (size_t i = 0; i < g.row_len; ++i) p[i] ^= pattern[i % 4];
  }
  if (!g.suspended.load()) copy_rows(0, g.height);
}

// Where no driver inverts the panel (the simulated screen, a panel without a
// refresh interface, named at start or found at the first refresh), the
// conversion does.  Called whenever either may have changed; `drawn` says
// the shadow holds the application's picture, to be turned over.
void place_night(bool drawn) {
  bool in_shadow = g.night && (g.fake || !eink_inverts());
  if (in_shadow == g.night_in_shadow) return;
  if (in_shadow && !g.fake) log_info("没有会反色的墨水屏驱动，夜间模式在转换时反色\n");
  g.night_in_shadow = in_shadow;
  if (drawn) invert_picture();
}

// Sends the refresh of the application's picture and keeps what a refusal
// left off the panel.  A panel without a refresh interface shows nothing
// anyway; nothing is kept for it.
void refresh(uint32_t x, uint32_t y, uint32_t w, uint32_t h, bool full, Wave wave = Wave::kByMode) {
  bool shown = eink_refresh(g.fd, (int)x, (int)y, w, h, full, g.night && !g.night_in_shadow, wave);
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
  if (!g.fake) refresh(0, 0, g.width, g.height, true);
}

// The simulated screen has no panel: a refresh is a log line and a picture.
void show_simulated(uint32_t x, uint32_t y, uint32_t w, uint32_t h, bool full) {
  log_info("第 %d 帧：%s 刷新 (%u,%u) %ux%u\n", g.frame_no, full ? "整屏" : "局部", x, y, w, h);
  dump_pgm();
}

void note_dithering() {
  if (g.dither && g.bpp != 8) log_info("彩色帧缓冲的灰阶由驱动来定，不做抖动\n");
}

void put_cover_pixel(uint8_t* row, uint32_t x, uint8_t v) {
  if (g.bpp == 8) {
    row[x] = g.inverted ? (uint8_t)(v ^ 0xFF) : v;
    return;
  }
  uint32_t px = g.lut_r[v] | g.lut_g[v] | g.lut_b[v] | g.alpha;
  if (g.bpp == 16) {
    uint16_t p16 = (uint16_t)px;
    memcpy(row + x * 2, &p16, 2);
  } else {
    memcpy(row + x * 4, &px, 4);
  }
}

}  // namespace

double now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1000000.0;
}

bool display_convert_row8(const uint8_t* src, uint8_t* dst, unsigned n, uint8_t invert,
                          const uint8_t* dither, unsigned* first, unsigned* last) {
  return row8_path()->convert(src, dst, n, invert, dither, first, last);
}

const uint8_t* display_dither_row(unsigned y) { return kBayer.row[y % 8]; }

const char* display_row8_path() { return row8_path()->name; }

bool display_use_row8_path(const char* name) {
  for (const Row8Path& p : kRow8Paths) {
    if (strcmp(p.name, name) != 0) continue;
    if (!p.runs()) return false;
    g_row8_path.store(&p, std::memory_order_release);
    return true;
  }
  return false;
}

const char* display_device() {
  if (setting_present("FOLIAN_FB_FILE")) return nullptr;
  const char* path = setting_text("FOLIAN_FB");
  return path && *path ? path : "/dev/fb0";
}

bool display_open(DisplayInfo* info) {
  reset_state();
  policy_open();
  g.log_frames = setting_int("FOLIAN_LOG_FRAMES", 0, 0, INT_MAX) != 0;
  g.force_full = true;
  bool opened = setting_present("FOLIAN_FB_FILE") ? open_simulated(info) : open_device(info);
  if (!opened) return false;
  g.night = setting_flag("FOLIAN_NIGHT");
  place_night(false);  // nothing of the application is on the screen yet
  g.dither = setting_flag("FOLIAN_DITHER");
  if (g.night || g.dither)
    log_info("夜间模式%s，抖动%s\n", g.night ? "开" : "关", g.dither ? "开" : "关");
  note_dithering();
  return true;
}

void display_close() {
  bool restore = !setting_flag("FOLIAN_FRAMEWORK_STOPPED");
  if (g.saved && !g.fake && restore) {
    {
      std::lock_guard<std::mutex> lock(g_lock);
      memcpy(g.origin, g.saved, g.span);
      // Given back as it was found, night mode or not.
      eink_refresh(g.fd, 0, 0, g.width, g.height, true, false);
    }
    log_info("已还原启动前的屏幕内容\n");
  }
  free(g.saved);
  free(g.shadow);
  free(g.band);
  g.saved = g.shadow = g.band = nullptr;
  g.band_stride = 0;
  if (g.fake) {
    free(g.map);
  } else {
    if (g.map) munmap(g.map, g.map_len);
    if (g.fd >= 0) close(g.fd);
  }
  g.fd = -1;
  g.map = g.origin = nullptr;
}

bool display_present(const void* pixels, size_t row_bytes, size_t rows) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g.shadow) return true;
  // The application's frame is as wide as the panel is high when turned a
  // quarter.
  const bool quarter = g.degrees % 180 != 0;
  const uint32_t app_width = quarter ? g.height : g.width;
  const uint32_t app_height = quarter ? g.width : g.height;
  if (g.turn_pending && rows != app_height) return true;
  g.turn_pending = false;
  double start = now_ms();
  uint32_t nrows = rows < app_height ? (uint32_t)rows : app_height;
  size_t per_row = row_bytes / 4;
  unsigned npx = per_row < app_width ? (unsigned)per_row : app_width;
  RowConverter convert = row_converter();

  // Each changed row goes to the framebuffer right after its conversion,
  // while it is still in the nearest cache, together with the unchanged rows
  // since the previous changed one: when the loop ends, the band from the
  // first changed row to the last is in the framebuffer, byte for byte as one
  // block copy would have put it, and no row outside it was touched.  The
  // flag cannot change under the lock; suspended, the framebuffer is left as
  // it is.
  const bool suspended = g.suspended.load();
  bool changed = false;
  uint32_t left = UINT32_MAX, right = 0, top = 0, bottom = 0;
  size_t copied_end = 0;
  const uint8_t* src = (const uint8_t*)pixels;
  if (g.degrees != 0) {
    TurnTarget target{g.shadow, g.stride, g.width, g.height, g.bpp / 8, g.band, g.band_stride};
    TurnDamage d = display_convert_turned(src, row_bytes, nrows, npx, g.degrees, convert, target);
    if (d.changed) {
      changed = true;
      left = d.left;
      right = d.right;
      top = d.top;
      bottom = d.bottom;
      copied_end = (size_t)top * g.stride;
      if (!suspended) {
        copy_rows(top, bottom - top + 1);
        copied_end = (size_t)bottom * g.stride + g.row_len;
      }
    }
    nrows = 0;  // converted
  }
  for (uint32_t r = 0; r < nrows; ++r) {
    unsigned first = 0, last = 0;
    size_t at = (size_t)r * g.stride;
    if (!convert(src + (size_t)r * row_bytes, g.shadow + at, npx, r, &first, &last)) continue;
    if (!changed) {
      top = r;
      copied_end = at;
    }
    changed = true;
    bottom = r;
    if (first < left) left = first;
    if (last > right) right = last;
    if (!suspended) {
      memcpy(g.origin + copied_end, g.shadow + copied_end, at + g.row_len - copied_end);
      copied_end = at + g.row_len;
    }
  }

  if (suspended) return true;
  if (!changed && !g.force_full) return true;

  uint64_t now = eink_clock_ms();
  FrameRefresh plan = FrameRefresh::kFlash;
  if (!g.force_full) {
    plan = policy_plan(now, {g.night, eink_mode() == kRefreshAuto, eink_page_turn_armed()});
  }
  const bool full = plan == FrameRefresh::kFlash;
  uint32_t x = 0, y = 0, w = g.width, h = g.height;
  if (!full) {
    x = left;
    y = top;
    w = right - left + 1;
    h = bottom - top + 1;
  }
  if (!changed) {
    copy_rows(y, h);
  } else if (full) {
    memcpy(g.origin, g.shadow, (size_t)top * g.stride);
    memcpy(g.origin + copied_end, g.shadow + copied_end, g.span - copied_end);
  }
  double copied = now_ms();

  if (g.fake) {
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
  if (on || !g.shadow) return;
  copy_rows(0, g.height);
  refresh_whole_screen();
  policy_flashed();
}

bool display_is_suspended() { return g.suspended.load(); }

void display_set_orientation(int degrees) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (degrees == g.degrees || !g.shadow) return;
  if (degrees != 0 && !g.band) {
    // Room for a band of the longer side in any pixel format, in whole cache
    // lines per row.
    size_t longest = std::max(g.width, g.height);
    g.band_stride = (longest * 4 + kCacheLine - 1) / kCacheLine * kCacheLine;
    g.band = alloc_copy("旋转转换缓冲", g.band_stride * kTurnBand, nullptr, 0);
    if (!g.band) return;
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
    // Awake, the call does nothing at all; asleep, an empty cover must not
    // wipe what the screensaver shows.
    if (empty && g.suspended.load()) log_error("锁屏图尺寸 %ux%u 无效，不画\n", width, height);
    if (buf && g.origin && g.suspended.load()) {
      uint8_t white = (g.bpp == 8 && g.inverted) ? 0x00 : 0xFF;
      for (uint32_t row = 0; row < g.height; ++row)
        memset(g.origin + (size_t)row * g.stride, white, g.row_len);
      int64_t x0 = ((int64_t)g.width - (int64_t)width) / 2;
      int64_t y0 = ((int64_t)g.height - (int64_t)height) / 2;
      for (unsigned j = 0; j < height; ++j) {
        if (fread(buf, 1, width, f) < width) break;
        int64_t sy = y0 + j;
        if (sy < 0 || sy >= (int64_t)g.height) continue;
        uint8_t* row = g.origin + (size_t)sy * g.stride;
        // Only the columns that land on the screen.
        int64_t k0 = x0 < 0 ? -x0 : 0;
        int64_t k1 = (int64_t)g.width - x0;
        if (k1 > (int64_t)width) k1 = width;
        for (int64_t k = k0; k < k1; ++k) put_cover_pixel(row, (uint32_t)(x0 + k), buf[k]);
      }
      // Shown as the application gave it, night mode or not.
      if (g.fake)
        dump_pgm();
      else
        eink_refresh(g.fd, 0, 0, g.width, g.height, true, false);
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
  if (g.suspended.load() || !g.shadow) return;
  copy_rows(0, g.height);
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
  if (!g.shadow) return;
  place_night(true);
  // While the screensaver is up its picture stays; the resume shows the
  // application's frame the new way.
  if (g.suspended.load()) return;
  if (g.fake) {
    show_simulated(0, 0, g.width, g.height, true);
    g.frame_no += 1;
  } else {
    refresh(0, 0, g.width, g.height, true);
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
  return {g.night, g.dither, p.motion, p.every, p.night_every, p.since_flash};
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
  if (g.suspended.load() || !g.shadow) return;
  if (g.fake) {
    show_simulated(r.x, r.y, r.w, r.h, true);
    g.frame_no += 1;
    log_info("清残影 (%u,%u) %ux%u\n", r.x, r.y, r.w, r.h);
    return;
  }
  refresh(r.x, r.y, r.w, r.h, true, Wave::kQuality);
  log_info("清残影 (%u,%u) %ux%u %s\n", r.x, r.y, r.w, r.h, eink_last_waveform_name());
}
