// The pixel paths for a turned picture: the application's frame converted
// into a shadow laid out in the panel's orientation.  The presentation
// (display.cpp) hands it the row converter of the framebuffer's pixel and the
// shadow, and gets the damage back in panel pixels.  No state of its own.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Converts `n` source pixels of application row `y` into `dst` in the
// framebuffer's pixel format, storing only where they differ (the display's
// row converters; first and last are not needed here).
using TurnRowFn = bool (*)(const uint8_t* src, uint8_t* dst, unsigned n, uint32_t y,
                           unsigned* first, unsigned* last);

// Rows of the application converted before each transpose: at a quarter turn
// each panel row then receives a whole cache line of gray pixels per visit,
// and the band (about 100 KB of gray) stays in the second-level cache.
constexpr unsigned kTurnBand = 64;

struct TurnTarget {
  uint8_t* shadow;
  size_t stride;         // bytes per shadow row
  uint32_t width;        // panel pixels per row
  uint32_t height;       // panel rows
  unsigned pixel_bytes;  // 1, 2 or 4
  uint8_t* band;         // kTurnBand rows of band_stride bytes
  size_t band_stride;    // at least the widest application row in pixel_bytes
};

// The changed rectangle in panel pixels; `changed` false when nothing did.
struct TurnDamage {
  bool changed;
  uint32_t left, right, top, bottom;
};

// Grows `d` by the columns first to last of panel row `row` (shared by the
// module's units).
inline void turn_damage_add(TurnDamage* d, uint32_t row, uint32_t first, uint32_t last) {
  if (!d->changed) {
    *d = {true, first, last, row, row};
    return;
  }
  if (first < d->left) d->left = first;
  if (last > d->right) d->right = last;
  if (row < d->top) d->top = row;
  if (row > d->bottom) d->bottom = row;
}

// The application's frame of `rows` rows of `cols` pixels (each source row
// `row_bytes` apart), turned `degrees` (90, 180 or 270) clockwise onto the
// panel.  The frame must fit: cols at most the panel's height and rows at
// most its width at 90 and 270, the panel's own size at 180.
TurnDamage pixels_convert_turned(const uint8_t* src, size_t row_bytes, unsigned rows, unsigned cols,
                                 int degrees, TurnRowFn convert, const TurnTarget& t);

#if defined(__x86_64__)
// Band rows [0, n) (`n` a multiple of 16) of application columns from 0 on,
// in 16x16 blocks with AVX2 (pixels_turn_avx2.cpp; only where the processor
// runs it), at a quarter turn (`clockwise`: 90 degrees): compared, stored
// where they differ and added to `damage`.  Returns the columns placed, a
// multiple of 16; the rest are the caller's.
unsigned pixels_place_tiles_avx2(const TurnTarget& t, unsigned y0, unsigned n, unsigned cols,
                                 bool clockwise, TurnDamage* damage);
#endif

#if defined(__arm__)
// Band rows [0, n) (`n` a multiple of 8, rows `band_stride` apart) at
// application columns x to x + 7, transposed: runs[c] holds column x + c,
// band row k at place k, or at n - 1 - k when `reversed`.  NEON
// (pixels_turn_neon.cpp).
void pixels_gather8_neon(const uint8_t* band, size_t band_stride, unsigned x, unsigned n,
                         bool reversed, uint8_t (*runs)[kTurnBand]);
#endif
