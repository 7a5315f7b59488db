// The turned gray picture's tiles on x86-64: 16x16 blocks of the band
// transposed in vector registers, sixteen band rows at a time, and each
// block's column compared with its piece of the shadow straight from the
// register it ends in.  SSE2 takes one block at a time (pixels_turn.cpp);
// AVX2 two side by side, one in each 128-bit half (pixels_turn_avx2.cpp,
// the unit built for AVX2).
//
// A block's column is 16 pixels of one panel row: it is stored only where it
// differs, and the changed rectangle grows by the bytes that did.  Nothing
// here converts: it only moves bytes, so every conversion path shares it
// exactly.
//
// `Ops` gives the vector type V, kColumns (16 or 32 application columns a
// tile), load, the eight interleaves lo8 .. hi64 of SSE2's unpacks (within
// each 128-bit half), differs (a bit for each byte of V that differs from the
// 16 at p, and in a second half from the 16 at q) and store (one half of V).
#pragma once

#include <emmintrin.h>
#include <stddef.h>
#include <stdint.h>

#include "pixels_turn.h"

namespace {

struct Sse2Tiles {
  using V = __m128i;
  static constexpr unsigned kColumns = 16;
  static V load(const uint8_t* p) { return _mm_loadu_si128((const V*)p); }
  static V lo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
  static V hi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
  static V lo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
  static V hi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
  static V lo32(V a, V b) { return _mm_unpacklo_epi32(a, b); }
  static V hi32(V a, V b) { return _mm_unpackhi_epi32(a, b); }
  static V lo64(V a, V b) { return _mm_unpacklo_epi64(a, b); }
  static V hi64(V a, V b) { return _mm_unpackhi_epi64(a, b); }
  static uint32_t differs(V v, const uint8_t* p, const uint8_t*) {
    return ~(uint32_t)_mm_movemask_epi8(_mm_cmpeq_epi8(v, load(p))) & 0xFFFFu;
  }
  static void store(V v, unsigned, uint8_t* p) { _mm_storeu_si128((V*)p, v); }
};

// r[j] holds a block's row j; afterwards r[c] holds its column c.  Bytes,
// pairs, quads and halves change places between rows in four rounds.
template <typename Ops>
inline void transpose16(typename Ops::V r[16]) {
  using V = typename Ops::V;
  V a[16], b[16];
  for (unsigned i = 0; i < 8; ++i) {  // columns 0-7 and 8-15 of row pair i
    a[i] = Ops::lo8(r[2 * i], r[2 * i + 1]);
    a[8 + i] = Ops::hi8(r[2 * i], r[2 * i + 1]);
  }
  for (unsigned h = 0; h < 2; ++h)  // four columns of four rows
    for (unsigned q = 0; q < 4; ++q) {
      b[8 * h + q] = Ops::lo16(a[8 * h + 2 * q], a[8 * h + 2 * q + 1]);
      b[8 * h + 4 + q] = Ops::hi16(a[8 * h + 2 * q], a[8 * h + 2 * q + 1]);
    }
  for (unsigned k = 0; k < 4; ++k)  // two columns of eight rows
    for (unsigned o = 0; o < 2; ++o) {
      a[4 * k + o] = Ops::lo32(b[4 * k + 2 * o], b[4 * k + 2 * o + 1]);
      a[4 * k + 2 + o] = Ops::hi32(b[4 * k + 2 * o], b[4 * k + 2 * o + 1]);
    }
  for (unsigned p = 0; p < 8; ++p) {  // one column of sixteen rows
    r[2 * p] = Ops::lo64(a[2 * p], a[2 * p + 1]);
    r[2 * p + 1] = Ops::hi64(a[2 * p], a[2 * p + 1]);
  }
}

static_assert(kTurnBand <= 64, "a band's changed places are bits of one word");

// Panel rows are fetched this many application columns ahead, so that they
// arrive while this tile and the next are worked on.
constexpr unsigned kAhead = 32;

// Band rows [0, n) (n a multiple of 16) of application columns from `x` on,
// at a quarter turn, a tile of Ops::kColumns at a time; returns where the
// whole tiles end.  At 90 degrees (`clockwise`) application (x, y) lands on
// panel (W - 1 - y, x), at 270 on (y, H - 1 - x).
template <typename Ops>
inline unsigned place_tiles(const TurnTarget& t, unsigned y0, unsigned n, unsigned x, unsigned cols,
                            bool clockwise, TurnDamage* damage) {
  using V = typename Ops::V;
  constexpr unsigned kColumns = Ops::kColumns;
  uint8_t* const shadow = t.shadow;
  const size_t stride = t.stride;
  const uint32_t column0 = clockwise ? t.width - y0 - n : y0;
  auto row_of = [&](unsigned column) { return clockwise ? column : t.height - 1 - column; };
  const ptrdiff_t step = clockwise ? (ptrdiff_t)stride : -(ptrdiff_t)stride;
  // Bit k: the band's place k changed somewhere; the first and last
  // application columns that changed.  Made into the rectangle at the end.
  uint64_t places = 0;
  unsigned low = UINT32_MAX, high = 0;
  for (; cols - x >= kColumns; x += kColumns) {
    for (unsigned c = kAhead; c < kAhead + kColumns && x + c < cols; ++c) {
      const uint8_t* at = shadow + (size_t)row_of(x + c) * stride + column0;
      __builtin_prefetch(at, 1);
      __builtin_prefetch(at + n - 1, 1);
    }
    uint32_t columns = 0;  // bit i: application column x + i changed
    for (unsigned part = 0; part < n; part += 16) {
      // At 90 degrees a block's last row lands leftmost.
      const uint8_t* from = t.band + (size_t)part * t.band_stride + x;
      V r[16];
      for (unsigned j = 0; j < 16; ++j)
        r[j] = Ops::load(from + (size_t)(clockwise ? 15 - j : j) * t.band_stride);
      transpose16<Ops>(r);
      const unsigned place = clockwise ? n - part - 16 : part;
      uint32_t bytes = 0;
      // Application column x + c is the panel row after x + c - 1's, or before.
      uint8_t* const first = shadow + (size_t)row_of(x) * stride + column0 + place;
#pragma GCC unroll 16
      for (unsigned c = 0; c < 16; ++c) {
        uint8_t* const at = first + (ptrdiff_t)c * step;
        uint8_t* const halves[2] = {at, kColumns == 32 ? at + 16 * step : at};
        const uint32_t diff = Ops::differs(r[c], halves[0], halves[1]);
        if (!diff) continue;
        bytes |= diff;
        for (unsigned half = 0; half < kColumns / 16; ++half) {
          if (!((diff >> (16 * half)) & 0xFFFFu)) continue;
          Ops::store(r[c], half, halves[half]);
          columns |= 1u << (16 * half + c);
        }
      }
      places |= (uint64_t)((bytes | bytes >> 16) & 0xFFFFu) << place;
    }
    if (columns) {
      if (low == UINT32_MAX) low = x + (unsigned)__builtin_ctz(columns);
      high = x + 31 - (unsigned)__builtin_clz(columns);
    }
  }
  if (places) {
    const uint32_t left = column0 + (unsigned)__builtin_ctzll(places);
    const uint32_t right = column0 + 63 - (unsigned)__builtin_clzll(places);
    const uint32_t top = clockwise ? row_of(low) : row_of(high);
    const uint32_t bottom = clockwise ? row_of(high) : row_of(low);
    turn_damage_add(damage, top, left, right);
    turn_damage_add(damage, bottom, left, right);
  }
  return x;
}

}  // namespace
