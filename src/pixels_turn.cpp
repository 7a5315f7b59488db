// The turned picture.  A band of application rows is converted with the
// display's own row converter (whatever the source format and the path:
// scalar or vector, dithered or not, inverted or not) into a small buffer in
// the framebuffer's pixel format; the band is then written into the shadow
// at its turned place.  At 90 and 270 degrees an application column of the
// band becomes a run of kTurnBand contiguous pixels of one panel row, so each
// shadow line is visited once per band, while the band is still in a cache;
// at 180 degrees a row becomes a panel row read backwards.  Pixels are
// compared with the shadow in their own width, and only those that differ
// are stored and counted in the damage, in panel pixels.
#include "pixels_turn.h"

#include <string.h>

#include "pixels.h"
#if defined(__x86_64__)
#include "pixels_turn_tiles.h"
#endif

namespace {

// Bytes [from, to) at shadow offset `at` from `src`.
inline void put(const TurnTarget& t, size_t at, const uint8_t* src, size_t from, size_t to) {
  memcpy(t.shadow + at + from, src + from, to - from);
}

// Stores `run` (n pixels) at shadow offset `at` where they differ; the first
// and last differing places, or false when none did.
template <typename Pixel>
bool store_run(const TurnTarget& t, size_t at, const Pixel* run, unsigned n, unsigned* first,
               unsigned* last) {
  const uint8_t* dst = t.shadow + at;
  if (memcmp(dst, run, n * sizeof(Pixel)) == 0) return false;
  unsigned a = 0, b = n - 1;
  Pixel old;
  for (;; ++a) {
    memcpy(&old, dst + a * sizeof(Pixel), sizeof old);
    if (old != run[a]) break;
  }
  for (;; --b) {
    memcpy(&old, dst + b * sizeof(Pixel), sizeof old);
    if (old != run[b]) break;
  }
  put(t, at, (const uint8_t*)run, a * sizeof(Pixel), (b + 1) * sizeof(Pixel));
  *first = a;
  *last = b;
  return true;
}

// Band rows [k_begin, k_end) (application rows y0 + k), application columns
// [x_begin, x_end), at a quarter turn: application (x, y) lands on panel
// (W - 1 - y, x) at 90 degrees and on (y, H - 1 - x) at 270.  The rows of one
// column make a run of contiguous panel pixels, backwards at 90 degrees.
template <typename Pixel>
void place_band_quarter(const TurnTarget& t, unsigned y0, unsigned k_begin, unsigned k_end,
                        unsigned x_begin, unsigned x_end, bool clockwise, TurnDamage* d) {
  Pixel run[kTurnBand];
  const unsigned n = k_end - k_begin;
  const uint32_t column0 = clockwise ? t.width - y0 - k_end : y0 + k_begin;
  for (unsigned x = x_begin; x < x_end; ++x) {
    const uint8_t* from = t.band + x * sizeof(Pixel);
    for (unsigned j = 0; j < n; ++j) {
      unsigned k = clockwise ? k_end - 1 - j : k_begin + j;
      memcpy(&run[j], from + k * t.band_stride, sizeof(Pixel));
    }
    uint32_t row = clockwise ? x : t.height - 1 - x;
    size_t at = (size_t)row * t.stride + (size_t)column0 * sizeof(Pixel);
    unsigned first = 0, last = 0;
    if (store_run(t, at, run, n, &first, &last))
      turn_damage_add(d, row, column0 + first, column0 + last);
  }
}

// ---- 8-bit pixels, many at a time
//
// Gray panels are the common case, and per-pixel placement would cost
// several times the conversion.  On the vector paths blocks of the band are
// transposed in vector registers: 16x16 on x86-64 (pixels_turn_tiles.h),
// 8x8 with NEON into the whole run each of eight panel rows receives, which
// is then compared with the shadow a 64-bit word at a time (in memory order,
// so byte i is the pixel at the lowest address plus i) and stored once.  A
// half turn reverses a row a word at a time.  All of it only moves bytes, so
// every conversion path shares it exactly.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "byte i of a word is at address + i");

inline uint64_t load8(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// The first and last of `n` bytes where `a` and `b` differ, or false when
// none do: a word at a time from each end, so a run that changed all over
// costs two words and one that did not costs a pass.
inline bool differ(const uint8_t* a, const uint8_t* b, unsigned n, unsigned* first,
                   unsigned* last) {
  unsigned i = 0;
  uint64_t x = 0;
  for (; n - i >= 8; i += 8)
    if ((x = load8(a + i) ^ load8(b + i)) != 0) break;
  if (x != 0) {
    *first = i + (unsigned)__builtin_ctzll(x) / 8;
  } else {
    while (i < n && a[i] == b[i]) ++i;
    if (i == n) return false;
    *first = i;
  }
  unsigned j = n;
  for (; j >= *first + 8; j -= 8)
    if ((x = load8(a + j - 8) ^ load8(b + j - 8)) != 0) {
      *last = j - 8 + (unsigned)(63 - __builtin_clzll(x)) / 8;
      return true;
    }
  while (a[j - 1] == b[j - 1]) --j;
  *last = j - 1;
  return true;
}

#if defined(__x86_64__)
// The 16x16 blocks with SSE2, part of every x86-64.
unsigned place_tiles_sse2(const TurnTarget& t, unsigned y0, unsigned n, unsigned cols,
                          bool clockwise, TurnDamage* damage) {
  return place_tiles<Sse2Tiles>(t, y0, n, 0, cols, clockwise, damage);
}
#endif

#if defined(__arm__)
// Band rows [0, n) at a quarter turn, n a multiple of 8, eight application
// columns (panel rows) at a time: their runs are transposed whole into a
// small buffer with NEON (pixels_turn_neon.cpp), then each is compared and
// stored in one visit to its panel row.  Returns the columns placed, a
// multiple of eight.  The damage is kept in locals: through a pointer it
// would be reloaded after every store.
// Panel rows are fetched this many application columns ahead: two groups,
// so that they arrive while this group's and the next are worked on.
constexpr unsigned kAhead = 16;
unsigned place_band_quarter8(const TurnTarget& t, unsigned y0, unsigned n, unsigned cols,
                             bool clockwise, TurnDamage* damage) {
  alignas(64) uint8_t runs[8][kTurnBand];
  const uint32_t column0 = clockwise ? t.width - y0 - n : y0;
  bool changed = false;
  uint32_t left = UINT32_MAX, right = 0, top = UINT32_MAX, bottom = 0;
  unsigned x = 0;
  for (; cols - x >= 8; x += 8) {
    // The shadow is larger than the caches.
    for (unsigned c = kAhead; c < kAhead + 8 && x + c < cols; ++c) {
      uint32_t row = clockwise ? x + c : t.height - 1 - (x + c);
      size_t at = (size_t)row * t.stride + column0;
      __builtin_prefetch(t.shadow + at, 1);
      __builtin_prefetch(t.shadow + at + n - 1, 1);
    }
    pixels_gather8_neon(t.band, t.band_stride, x, n, clockwise, runs);
    for (unsigned c = 0; c < 8; ++c) {
      uint32_t row = clockwise ? x + c : t.height - 1 - (x + c);
      size_t at = (size_t)row * t.stride + column0;
      unsigned first, last;
      if (!differ(t.shadow + at, runs[c], n, &first, &last)) continue;
      // A whole band's run is stored whole: a copy of known size is a few
      // vector stores, and the bytes around the change are the same.
      if (n == kTurnBand)
        put(t, at, runs[c], 0, kTurnBand);
      else
        put(t, at, runs[c], first, last + 1);
      changed = true;
      left = first < left ? first : left;
      right = last > right ? last : right;
      top = row < top ? row : top;
      bottom = row > bottom ? row : bottom;
    }
  }
  if (changed) {
    turn_damage_add(damage, top, column0 + left, column0 + right);
    turn_damage_add(damage, bottom, column0 + left, column0 + right);
  }
  return x;
}
#endif

// How 8-bit bands are placed at a quarter turn on the conversion path in
// use: band rows a multiple of `rows` at a time, as many application columns
// as `place` says it placed; the rest pixel by pixel.  The scalar path
// places every pixel by itself, the reference the others are held to.
struct Tiles {
  unsigned rows;
  unsigned (*place)(const TurnTarget& t, unsigned y0, unsigned n, unsigned cols, bool clockwise,
                    TurnDamage* damage);
};

Tiles tiles_for_path() {
  const char* path = pixels_row8_path();
#if defined(__x86_64__)
  if (strcmp(path, "avx2") == 0) return {16, pixels_place_tiles_avx2};
  if (strcmp(path, "sse2") == 0) return {16, place_tiles_sse2};
#elif defined(__arm__)
  if (strcmp(path, "neon") == 0) return {8, place_band_quarter8};
#endif
  (void)path;
  return {0, nullptr};
}

// Band rows [0, n) at a quarter turn: blocks of tiles.rows rows where the
// path has them, the rest pixel by pixel.  A band whose rows are not a whole
// number of blocks takes its last block from its last rows, overlapping the
// block before: those rows compare equal the second time and change nothing.
template <typename Pixel>
void place_band(const TurnTarget& t, const Tiles& tiles, unsigned y0, unsigned n, unsigned cols,
                bool clockwise, TurnDamage* d) {
  if (!tiles.rows || n < tiles.rows) {
    place_band_quarter<Pixel>(t, y0, 0, n, 0, cols, clockwise, d);
    return;
  }
  const unsigned whole = n / tiles.rows * tiles.rows;
  unsigned done = tiles.place(t, y0, whole, cols, clockwise, d);
  place_band_quarter<Pixel>(t, y0, 0, whole, done, cols, clockwise, d);
  if (whole == n) return;
  TurnTarget last = t;
  last.band += (size_t)(n - tiles.rows) * t.band_stride;
  done = tiles.place(last, y0 + n - tiles.rows, tiles.rows, cols, clockwise, d);
  place_band_quarter<Pixel>(t, y0, whole, n, done, cols, clockwise, d);
}

// A row at a half turn, reversed into the band's second row (eight pixels
// reversed are a byte swap of the word), then compared and stored as one run.
void place_row_half8(const TurnTarget& t, unsigned y, unsigned cols, TurnDamage* damage) {
  uint8_t* reversed = t.band + t.band_stride;
  unsigned x = 0;
  for (; cols - x >= 8; x += 8) {
    uint64_t v = __builtin_bswap64(load8(t.band + x));
    memcpy(reversed + cols - 8 - x, &v, sizeof v);
  }
  for (; x < cols; ++x) reversed[cols - 1 - x] = t.band[x];
  const uint32_t row = t.height - 1 - y, column0 = t.width - cols;
  const size_t at = (size_t)row * t.stride + column0;
  unsigned first, last;
  if (!differ(t.shadow + at, reversed, cols, &first, &last)) return;
  put(t, at, reversed, first, last + 1);
  turn_damage_add(damage, row, column0 + first, column0 + last);
}

// One application row at a half turn: (x, y) lands on (W - 1 - x, H - 1 - y).
template <typename Pixel>
void place_row_half(const TurnTarget& t, unsigned y, unsigned cols, TurnDamage* d) {
  const uint32_t row = t.height - 1 - y;
  const size_t at = (size_t)row * t.stride;
  const uint8_t* dst = t.shadow + at;
  const uint8_t* from = t.band;
  bool any = false;
  uint32_t first = 0, last = 0;
  for (unsigned x = 0; x < cols; ++x) {
    Pixel v, old;
    memcpy(&v, from + x * sizeof(Pixel), sizeof v);
    uint32_t column = t.width - 1 - x;
    memcpy(&old, dst + (size_t)column * sizeof(Pixel), sizeof old);
    if (v == old) continue;
    put(t, at + (size_t)column * sizeof(Pixel), (const uint8_t*)&v, 0, sizeof v);
    // Columns come right to left: the first change is the rightmost.
    if (!any) last = column;
    first = column;
    any = true;
  }
  if (any) turn_damage_add(d, row, first, last);
}

template <typename Pixel>
TurnDamage convert_as(const uint8_t* src, size_t row_bytes, unsigned rows, unsigned cols,
                      int degrees, TurnRowFn convert, const TurnTarget& t) {
  TurnDamage d{false, 0, 0, 0, 0};
  unsigned ignored_first, ignored_last;
  if (degrees == 180) {
    for (unsigned y = 0; y < rows; ++y) {
      convert(src + (size_t)y * row_bytes, t.band, cols, y, &ignored_first, &ignored_last);
      if constexpr (sizeof(Pixel) == 1)
        place_row_half8(t, y, cols, &d);
      else
        place_row_half<Pixel>(t, y, cols, &d);
    }
    return d;
  }
  const Tiles tiles = sizeof(Pixel) == 1 ? tiles_for_path() : Tiles{0, nullptr};
  const bool clockwise = degrees == 90;
  for (unsigned y0 = 0; y0 < rows; y0 += kTurnBand) {
    unsigned n = rows - y0 < kTurnBand ? rows - y0 : kTurnBand;
    // The converters store where the band differs from what it held, so
    // afterwards it holds the converted rows whatever it held before.
    for (unsigned k = 0; k < n; ++k)
      convert(src + (size_t)(y0 + k) * row_bytes, t.band + k * t.band_stride, cols, y0 + k,
              &ignored_first, &ignored_last);
    place_band<Pixel>(t, tiles, y0, n, cols, clockwise, &d);
  }
  return d;
}

}  // namespace

TurnDamage pixels_convert_turned(const uint8_t* src, size_t row_bytes, unsigned rows, unsigned cols,
                                 int degrees, TurnRowFn convert, const TurnTarget& t) {
  if (rows == 0 || cols == 0) return {false, 0, 0, 0, 0};
  switch (t.pixel_bytes) {
    case 2:
      return convert_as<uint16_t>(src, row_bytes, rows, cols, degrees, convert, t);
    case 4:
      return convert_as<uint32_t>(src, row_bytes, rows, cols, degrees, convert, t);
    default:
      return convert_as<uint8_t>(src, row_bytes, rows, cols, degrees, convert, t);
  }
}
