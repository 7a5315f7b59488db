// The turned gray picture's 8x8 transpose with NEON's lane exchanges, for the
// device's processor.  A unit of its own, built for NEON like pixels_neon.cpp
// (src/CMakeLists.txt); pixels_turn.cpp calls it only where the kernel
// reports the unit.
#include <arm_neon.h>

#include "pixels_turn.h"

void pixels_transpose8_neon(const uint8_t* const rows[8], unsigned x, uint64_t out[8]) {
  // Bytes, then pairs of bytes, then halves change places between rows: each
  // exchange leaves the even columns in one register and the odd in the other.
  uint8x8x2_t t01 = vtrn_u8(vld1_u8(rows[0] + x), vld1_u8(rows[1] + x));
  uint8x8x2_t t23 = vtrn_u8(vld1_u8(rows[2] + x), vld1_u8(rows[3] + x));
  uint8x8x2_t t45 = vtrn_u8(vld1_u8(rows[4] + x), vld1_u8(rows[5] + x));
  uint8x8x2_t t67 = vtrn_u8(vld1_u8(rows[6] + x), vld1_u8(rows[7] + x));
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
    vst1_u8(reinterpret_cast<uint8_t*>(out + c), vreinterpret_u8_u32(columns[c].val[0]));
    vst1_u8(reinterpret_cast<uint8_t*>(out + c + 4), vreinterpret_u8_u32(columns[c].val[1]));
  }
}
