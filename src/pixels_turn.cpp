// The turned picture.  A band of application rows is converted with the
// display's own row converter (whatever the source format and the path:
// scalar or vector, dithered or not, inverted or not) into a small buffer in
// the framebuffer's pixel format; the band is then written into the shadow
// at its turned place.  At 90 and 270 degrees an application column of the
// band becomes a run of kTurnBand contiguous pixels of one panel row, so each
// shadow line is visited in whole runs while the band is still in the cache;
// at 180 degrees a row becomes a panel row read backwards.  Pixels are
// compared with the shadow in their own width, and only those that differ
// are stored and counted in the damage, in panel pixels.
#include "pixels_turn.h"

#include <string.h>

namespace {

void note(TurnDamage* d, uint32_t row, uint32_t first, uint32_t last) {
  if (!d->changed) {
    *d = {true, first, last, row, row};
    return;
  }
  if (first < d->left) d->left = first;
  if (last > d->right) d->right = last;
  if (row < d->top) d->top = row;
  if (row > d->bottom) d->bottom = row;
}

// Stores `run` (n pixels) at `dst` where they differ; the first and last
// differing places, or false when none did.
template <typename Pixel>
bool store_run(uint8_t* dst, const Pixel* run, unsigned n, unsigned* first, unsigned* last) {
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
  memcpy(dst + a * sizeof(Pixel), run + a, (b - a + 1) * sizeof(Pixel));
  *first = a;
  *last = b;
  return true;
}

// A band of `n` application rows from row `y0`, `cols` pixels each, at a
// quarter turn: application (x, y) lands on panel (W - 1 - y, x) at 90
// degrees and on (y, H - 1 - x) at 270.
template <typename Pixel>
void place_band_quarter(const TurnTarget& t, unsigned y0, unsigned n, unsigned cols, bool clockwise,
                        TurnDamage* d) {
  Pixel run[kTurnBand];
  const uint32_t column0 = clockwise ? t.width - y0 - n : y0;
  for (unsigned x = 0; x < cols; ++x) {
    const uint8_t* from = t.band + x * sizeof(Pixel);
    for (unsigned k = 0; k < n; ++k) {
      Pixel v;
      memcpy(&v, from + k * t.band_stride, sizeof v);
      run[clockwise ? n - 1 - k : k] = v;
    }
    uint32_t row = clockwise ? x : t.height - 1 - x;
    uint8_t* dst = t.shadow + (size_t)row * t.stride + (size_t)column0 * sizeof(Pixel);
    unsigned first = 0, last = 0;
    if (store_run(dst, run, n, &first, &last)) note(d, row, column0 + first, column0 + last);
  }
}

// One application row at a half turn: (x, y) lands on (W - 1 - x, H - 1 - y).
template <typename Pixel>
void place_row_half(const TurnTarget& t, unsigned y, unsigned cols, TurnDamage* d) {
  const uint32_t row = t.height - 1 - y;
  uint8_t* dst = t.shadow + (size_t)row * t.stride;
  const uint8_t* from = t.band;
  bool any = false;
  uint32_t first = 0, last = 0;
  for (unsigned x = 0; x < cols; ++x) {
    Pixel v, old;
    memcpy(&v, from + x * sizeof(Pixel), sizeof v);
    uint32_t column = t.width - 1 - x;
    memcpy(&old, dst + (size_t)column * sizeof(Pixel), sizeof old);
    if (v == old) continue;
    memcpy(dst + (size_t)column * sizeof(Pixel), &v, sizeof v);
    // Columns come right to left: the first change is the rightmost.
    if (!any) last = column;
    first = column;
    any = true;
  }
  if (any) note(d, row, first, last);
}

template <typename Pixel>
TurnDamage convert_as(const uint8_t* src, size_t row_bytes, unsigned rows, unsigned cols,
                      int degrees, TurnRowFn convert, const TurnTarget& t) {
  TurnDamage d{false, 0, 0, 0, 0};
  unsigned ignored_first, ignored_last;
  if (degrees == 180) {
    for (unsigned y = 0; y < rows; ++y) {
      convert(src + (size_t)y * row_bytes, t.band, cols, y, &ignored_first, &ignored_last);
      place_row_half<Pixel>(t, y, cols, &d);
    }
    return d;
  }
  for (unsigned y0 = 0; y0 < rows; y0 += kTurnBand) {
    unsigned n = rows - y0 < kTurnBand ? rows - y0 : kTurnBand;
    // The converters store where the band differs from what it held, so
    // afterwards it holds the converted rows whatever it held before.
    for (unsigned k = 0; k < n; ++k)
      convert(src + (size_t)(y0 + k) * row_bytes, t.band + k * t.band_stride, cols, y0 + k,
              &ignored_first, &ignored_last);
    place_band_quarter<Pixel>(t, y0, n, cols, degrees == 90, &d);
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
