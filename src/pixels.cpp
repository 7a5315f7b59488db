// The pixel paths.  Every frame's rows go through pixels_convert_bgra, which
// converts and compares in one pass so that an unchanged pixel costs one
// compare and no store; 8-bit gray, the e-ink case, has vector paths for each
// processor family, chosen at the first frame.
#include "pixels.h"

#include <string.h>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__arm__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

#include <atomic>

#include "pixels_row8.h"

namespace {

// The framebuffer's pixel.  16- and 32-bit pixels are built from one table
// per colour plus the fixed transparency bits.
struct PixelFormat {
  uint32_t bpp = 0;
  bool inverted = false;
  bool rgb565 = false;  // 16 bits: red 11..15, green 5..10, blue 0..4
  uint32_t lut_r[256] = {};
  uint32_t lut_g[256] = {};
  uint32_t lut_b[256] = {};
  uint32_t alpha = 0;
};

PixelFormat g_format;

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

// ---- BGRA to packed colour

// Frame rows are compared in the pixel's own width, so a change in any colour
// field is seen.  Night mode in the conversion takes each colour to its
// complement, as pixels_invert does to what is already there.
template <typename Pixel>
bool convert_row_packed(const uint8_t* src, uint8_t* dst, unsigned n, bool invert, unsigned* first,
                        unsigned* last) {
  const uint8_t flip = invert ? 0xFF : 0x00;
  bool any = false;
  for (unsigned x = 0; x < n; ++x, src += 4) {
    Pixel v = (Pixel)(g_format.lut_b[src[0] ^ flip] | g_format.lut_g[src[1] ^ flip] |
                      g_format.lut_r[src[2] ^ flip] | g_format.alpha);
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

// ---- BGRA to 8-bit gray
//
// The common e-ink case, and the hot loop of every frame: each source pixel is
// converted and compared with the shadow, and the vector paths below do 16 or
// 32 pixels per step (NEON's in pixels_neon.cpp).  They must give the same
// bytes and the same first and last changed columns as the scalar loop, which
// also converts the tails; both loops are in pixels_row8.h.
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
  Row8Fn convert;  // BGRA rows
  Row8Fn gray;     // gray rows
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
  static constexpr unsigned kSource = kBgraSource;

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
    return store<kDither>(_mm_packus_epi16(lo, hi), dst, invert, thresholds);
  }

  // Dithered, turned over, compared with the shadow and stored where it
  // differs: the end of every block, whatever its source.
  template <bool kDither>
  static uint64_t store(__m128i gray, uint8_t* dst, uint8_t invert,
                        [[maybe_unused]] const uint8_t* thresholds) {
    if constexpr (kDither) gray = dither(gray, thresholds);
    gray = _mm_xor_si128(gray, _mm_set1_epi8((char)invert));
    __m128i old = _mm_loadu_si128((const __m128i*)dst);
    unsigned diff = ~(unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(gray, old)) & 0xFFFFu;
    if (diff) _mm_storeu_si128((__m128i*)dst, gray);
    return diff;
  }
};

// Gray the engine drew: sixteen bytes are sixteen pixels already.
struct Sse2Gray : Sse2 {
  static constexpr unsigned kSource = kGraySource;

  template <bool kDither>
  static uint64_t block(const uint8_t* src, uint8_t* dst, uint8_t invert,
                        const uint8_t* thresholds) {
    return Sse2::store<kDither>(_mm_loadu_si128((const __m128i*)src), dst, invert, thresholds);
  }
};

__attribute__((flatten)) bool convert_gray8_sse2(const uint8_t* src, uint8_t* dst, unsigned n,
                                                 uint8_t invert, const uint8_t* dither,
                                                 unsigned* first, unsigned* last) {
  return convert_row8_blocks<Sse2Gray>(src, dst, n, invert, dither, first, last);
}

__attribute__((flatten)) bool convert_row8_sse2(const uint8_t* src, uint8_t* dst, unsigned n,
                                                uint8_t invert, const uint8_t* dither,
                                                unsigned* first, unsigned* last) {
  return convert_row8_blocks<Sse2>(src, dst, n, invert, dither, first, last);
}

struct Avx2 {
  static constexpr unsigned kPixels = 32;
  static constexpr unsigned kBits = 1;
  static constexpr unsigned kSource = kBgraSource;

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
    return store<kDither>(gray, dst, invert, thresholds);
  }

  // As Sse2::store.
  template <bool kDither>
  __attribute__((target("avx2"))) static uint64_t store(
      __m256i gray, uint8_t* dst, uint8_t invert, [[maybe_unused]] const uint8_t* thresholds) {
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

struct Avx2Gray : Avx2 {
  static constexpr unsigned kSource = kGraySource;

  template <bool kDither>
  __attribute__((target("avx2"))) static uint64_t block(const uint8_t* src, uint8_t* dst,
                                                        uint8_t invert, const uint8_t* thresholds) {
    return Avx2::store<kDither>(_mm256_loadu_si256((const __m256i*)src), dst, invert, thresholds);
  }
};

__attribute__((target("avx2"), flatten)) bool convert_gray8_avx2(const uint8_t* src, uint8_t* dst,
                                                                 unsigned n, uint8_t invert,
                                                                 const uint8_t* dither,
                                                                 unsigned* first, unsigned* last) {
  return convert_row8_blocks<Avx2Gray>(src, dst, n, invert, dither, first, last);
}

bool runs_avx2() { return __builtin_cpu_supports("avx2"); }

const Row8Path kRow8Paths[] = {
    {"scalar", convert_row8_scalar, convert_gray8_scalar, always},
    {"sse2", convert_row8_sse2, convert_gray8_sse2, always},
    {"avx2", convert_row8_avx2, convert_gray8_avx2, runs_avx2},
};

#elif defined(__arm__)

// The baseline of 32-bit ARM distributions has no NEON, the device's
// processor does: the NEON path is built apart (pixels_neon.cpp) and runs
// only when the kernel reports the unit.
bool runs_neon() { return (getauxval(AT_HWCAP) & HWCAP_NEON) != 0; }

const Row8Path kRow8Paths[] = {
    {"scalar", convert_row8_scalar, convert_gray8_scalar, always},
    {"neon", pixels_convert_row8_neon, pixels_convert_gray8_neon, runs_neon},
};

#else

const Row8Path kRow8Paths[] = {
    {"scalar", convert_row8_scalar, convert_gray8_scalar, always},
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

// BGRA or gray rows to 8-bit gray.
template <bool kFromGray>
bool convert_row_gray(const uint8_t* src, uint8_t* dst, unsigned n, uint32_t y, PixelStyle style,
                      unsigned* first, unsigned* last) {
  // An inverted panel and night mode in the conversion each turn the grays
  // over; together they cancel.
  uint8_t invert = g_format.inverted != style.invert ? 0xFF : 0x00;
  const uint8_t* dither = style.dither ? kBayer.row[y % 8] : nullptr;
  const Row8Path* path = row8_path();
  return (kFromGray ? path->gray : path->convert)(src, dst, n, invert, dither, first, last);
}

// RGB565 frames onto a 16-bit framebuffer of the same layout: compared and
// copied word for word; night mode turns every colour bit over, as the BGRA
// path's complement of each colour does.
bool convert_row_rgb565(const uint8_t* src, uint8_t* dst, unsigned n, uint32_t, PixelStyle style,
                        unsigned* first, unsigned* last) {
  const uint16_t flip = style.invert ? 0xFFFF : 0x0000;
  bool any = false;
  for (unsigned x = 0; x < n; ++x) {
    uint16_t v, old;
    memcpy(&v, src + x * 2, 2);
    memcpy(&old, dst + x * 2, 2);
    v ^= flip;
    if (v == old) continue;
    memcpy(dst + x * 2, &v, 2);
    if (!any) *first = x;
    *last = x;
    any = true;
  }
  return any;
}

bool convert_row_bgra(const uint8_t* src, uint8_t* dst, unsigned n, uint32_t y, PixelStyle style,
                      unsigned* first, unsigned* last) {
  return pixels_convert_bgra(src, dst, n, y, style, first, last);
}

}  // namespace

void pixels_set_format(const fb_var_screeninfo& var) {
  g_format.bpp = var.bits_per_pixel;
  g_format.inverted = var.grayscale == 2;
  for (uint32_t v = 0; v < 256; ++v) {
    g_format.lut_r[v] = place(v, var.red);
    g_format.lut_g[v] = place(v, var.green);
    g_format.lut_b[v] = place(v, var.blue);
  }
  g_format.alpha = g_format.bpp == 32 ? place(255, var.transp) : 0;
  auto is = [](const fb_bitfield& f, uint32_t offset, uint32_t length) {
    return f.offset == offset && f.length == length;
  };
  g_format.rgb565 = g_format.bpp == 16 && is(var.red, 11, 5) && is(var.green, 5, 6) &&
                    is(var.blue, 0, 5) && var.transp.length == 0;
}

bool pixels_convert_bgra(const uint8_t* src, uint8_t* dst, unsigned n, uint32_t y, PixelStyle style,
                         unsigned* first, unsigned* last) {
  switch (g_format.bpp) {
    case 16:
      return convert_row_packed<uint16_t>(src, dst, n, style.invert, first, last);
    case 32:
      return convert_row_packed<uint32_t>(src, dst, n, style.invert, first, last);
    default:
      return convert_row_gray<false>(src, dst, n, y, style, first, last);
  }
}

size_t pixels_frame_bytes(FramePixels format) {
  return format == FramePixels::kGray8 ? 1 : format == FramePixels::kRgb565 ? 2 : kBgraBytes;
}

const char* pixels_frame_name(FramePixels format) {
  return format == FramePixels::kGray8    ? "Gray8"
         : format == FramePixels::kRgb565 ? "RGB565"
                                          : "BGRA";
}

bool pixels_takes(FramePixels format) {
  switch (format) {
    case FramePixels::kGray8:
      return g_format.bpp == 8;
    case FramePixels::kRgb565:
      return g_format.bpp == 16 && g_format.rgb565;
    case FramePixels::kBgra:
      break;
  }
  return true;
}

PixelsRowFn pixels_converter(FramePixels format) {
  switch (format) {
    case FramePixels::kGray8:
      return convert_row_gray<true>;
    case FramePixels::kRgb565:
      return convert_row_rgb565;
    case FramePixels::kBgra:
      break;
  }
  return convert_row_bgra;
}

bool pixels_convert_gray8(const uint8_t* src, uint8_t* dst, unsigned n, uint8_t invert,
                          const uint8_t* dither, unsigned* first, unsigned* last) {
  return row8_path()->gray(src, dst, n, invert, dither, first, last);
}

bool pixels_convert_row8(const uint8_t* src, uint8_t* dst, unsigned n, uint8_t invert,
                         const uint8_t* dither, unsigned* first, unsigned* last) {
  return row8_path()->convert(src, dst, n, invert, dither, first, last);
}

const uint8_t* pixels_dither_row(unsigned y) { return kBayer.row[y % 8]; }

const char* pixels_row8_path() { return row8_path()->name; }

bool pixels_use_row8_path(const char* name) {
  for (const Row8Path& p : kRow8Paths) {
    if (strcmp(p.name, name) != 0) continue;
    if (!p.runs()) return false;
    g_row8_path.store(&p, std::memory_order_release);
    return true;
  }
  return false;
}

uint8_t pixels_white() { return (g_format.bpp == 8 && g_format.inverted) ? 0x00 : 0xFF; }

void pixels_put_gray(uint8_t* row, uint32_t x, uint8_t v) {
  if (g_format.bpp == 8) {
    row[x] = g_format.inverted ? (uint8_t)(v ^ 0xFF) : v;
    return;
  }
  uint32_t px = g_format.lut_r[v] | g_format.lut_g[v] | g_format.lut_b[v] | g_format.alpha;
  if (g_format.bpp == 16) {
    uint16_t p16 = (uint16_t)px;
    memcpy(row + x * 2, &p16, 2);
  } else {
    memcpy(row + x * 4, &px, 4);
  }
}

// The colour bits of a packed pixel are turned over, its transparency bits
// are not.
void pixels_invert(uint8_t* rows, size_t stride, uint32_t count, size_t row_len) {
  uint32_t colours = g_format.bpp == 8
                         ? 0xFFFFFFFFu
                         : g_format.lut_r[255] | g_format.lut_g[255] | g_format.lut_b[255];
  if (g_format.bpp == 16) colours = (colours & 0xFFFFu) * 0x10001u;
  uint8_t pattern[4];
  memcpy(pattern, &colours, sizeof pattern);
  for (uint32_t row = 0; row < count; ++row) {
    uint8_t* p = rows + (size_t)row * stride;
    for (size_t i = 0; i < row_len; ++i) p[i] ^= pattern[i % 4];
  }
}
