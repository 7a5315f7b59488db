// The turned gray picture's 8x8 transpose with NEON's lane exchanges, for the
// device's processor.  A unit of its own, built for NEON like pixels_neon.cpp
// (src/CMakeLists.txt); pixels_turn.cpp calls it only where the kernel
// reports the unit.
#include <arm_neon.h>

#include "pixels_turn.h"

namespace {

// One 8x8 block: r[j] holds the block's row j; column c goes to out[c] + at.
void transpose(const uint8x8_t r[8], uint8_t (*out)[kTurnBand], unsigned at) {
  // Bytes, then pairs of bytes, then halves change places between rows: each
  // exchange leaves the even columns in one register and the odd in the other.
  uint8x8x2_t t01 = vtrn_u8(r[0], r[1]);
  uint8x8x2_t t23 = vtrn_u8(r[2], r[3]);
  uint8x8x2_t t45 = vtrn_u8(r[4], r[5]);
  uint8x8x2_t t67 = vtrn_u8(r[6], r[7]);
  auto pairs = [](uint8x8_t a, uint8x8_t b) {
    return vtrn_u16(vreinterpret_u16_u8(a), vreinterpret_u16_u8(b));
  };
  uint16x4x2_t u02 = pairs(t01.val[0], t23.val[0]);  // columns 0 and 4, 2 and 6
  uint16x4x2_t u13 = pairs(t01.val[1], t23.val[1]);  // 1 and 5, 3 and 7
  uint16x4x2_t u46 = pairs(t45.val[0], t67.val[0]);
  uint16x4x2_t u57 = pairs(t45.val[1], t67.val[1]);
  auto halves = [](uint16x4_t a, uint16x4_t b) {
    return vtrn_u32(vreinterpret_u32_u16(a), vreinterpret_u32_u16(b));
  };
  const uint32x2x2_t columns[4] = {halves(u02.val[0], u46.val[0]), halves(u13.val[0], u57.val[0]),
                                   halves(u02.val[1], u46.val[1]), halves(u13.val[1], u57.val[1])};
  for (unsigned c = 0; c < 4; ++c) {
    vst1_u8(out[c] + at, vreinterpret_u8_u32(columns[c].val[0]));
    vst1_u8(out[c + 4] + at, vreinterpret_u8_u32(columns[c].val[1]));
  }
}

}  // namespace

void pixels_gather8_neon(const uint8_t* band, size_t band_stride, unsigned x, unsigned n,
                         bool reversed, uint8_t (*runs)[kTurnBand]) {
  const uint8_t* from = band + x;
  for (unsigned part = 0; part < n; part += 8, from += 8 * band_stride) {
    uint8x8_t r[8];
    for (unsigned j = 0; j < 8; ++j) {
      // Reversed, a block's last row lands leftmost.
      unsigned k = reversed ? 7 - j : j;
      r[j] = vld1_u8(from + k * band_stride);
    }
    transpose(r, runs, reversed ? n - part - 8 : part);
  }
}
