// The NEON path of the 8-bit gray rows.  The baseline of 32-bit ARM
// distributions has no NEON, the device's processor does: this unit alone is
// compiled for it (src/CMakeLists.txt), and pixels.cpp calls it only when the
// kernel reports the unit.  A unit of its own because clang, unlike GCC,
// cannot switch NEON on for single functions on 32-bit ARM.
#include <arm_neon.h>

#include "pixels_row8.h"

namespace {

struct Neon {
  static constexpr unsigned kPixels = 16;
  static constexpr unsigned kSource = kBgraSource;
  // The compare result narrowed to four bits per pixel: ARMv7 has no byte
  // mask instruction, a narrowing shift of the 16-bit lanes serves.
  static constexpr unsigned kBits = 4;

  static uint8x8_t gray8(uint8x8_t b, uint8x8_t g, uint8x8_t r) {
    uint16x8_t sum = vmull_u8(b, vdup_n_u8(29));
    sum = vmlal_u8(sum, g, vdup_n_u8(150));
    sum = vmlal_u8(sum, r, vdup_n_u8(77));
    return vshrn_n_u16(sum, 8);
  }

  // 17 * floor((gray + d) / 17).  The saturating add changes no level (every
  // sum from 255 to 271 is level 15).  For v = 17 k + r up to 255,
  // v - (v >> 4) is 16 k plus something below 16, so its top nibble is k,
  // and 17 k is 16 k | k.
  static uint8x16_t dither(uint8x16_t gray, const uint8_t* thresholds) {
    uint8x16_t v = vqaddq_u8(gray, vld1q_u8(thresholds));
    uint8x16_t k16 = vandq_u8(vsubq_u8(v, vshrq_n_u8(v, 4)), vdupq_n_u8(0xF0));
    return vorrq_u8(k16, vshrq_n_u8(k16, 4));
  }

  template <bool kDither>
  static uint64_t block(const uint8_t* src, uint8_t* dst, uint8_t invert,
                        [[maybe_unused]] const uint8_t* thresholds) {
    uint8x16x4_t px = vld4q_u8(src);
    uint8x8_t lo = gray8(vget_low_u8(px.val[0]), vget_low_u8(px.val[1]), vget_low_u8(px.val[2]));
    uint8x8_t hi = gray8(vget_high_u8(px.val[0]), vget_high_u8(px.val[1]), vget_high_u8(px.val[2]));
    return store<kDither>(vcombine_u8(lo, hi), dst, invert, thresholds);
  }

  // Dithered, turned over, compared with the shadow and stored where it
  // differs: the end of every block, whatever its source.
  template <bool kDither>
  static uint64_t store(uint8x16_t gray, uint8_t* dst, uint8_t invert,
                        [[maybe_unused]] const uint8_t* thresholds) {
    if constexpr (kDither) gray = dither(gray, thresholds);
    gray = veorq_u8(gray, vdupq_n_u8(invert));
    uint8x16_t same = vceqq_u8(gray, vld1q_u8(dst));
    uint8x8_t nibbles = vshrn_n_u16(vreinterpretq_u16_u8(same), 4);
    uint64_t diff = ~vget_lane_u64(vreinterpret_u64_u8(nibbles), 0);
    if (diff) vst1q_u8(dst, gray);
    return diff;
  }
};

// Gray the engine drew: sixteen bytes are sixteen pixels already.
struct NeonGray : Neon {
  static constexpr unsigned kSource = kGraySource;

  template <bool kDither>
  static uint64_t block(const uint8_t* src, uint8_t* dst, uint8_t invert,
                        const uint8_t* thresholds) {
    return Neon::store<kDither>(vld1q_u8(src), dst, invert, thresholds);
  }
};

}  // namespace

__attribute__((flatten)) bool pixels_convert_row8_neon(const uint8_t* src, uint8_t* dst, unsigned n,
                                                       uint8_t invert, const uint8_t* dither,
                                                       unsigned* first, unsigned* last) {
  return convert_row8_blocks<Neon>(src, dst, n, invert, dither, first, last);
}

__attribute__((flatten)) bool pixels_convert_gray8_neon(const uint8_t* src, uint8_t* dst,
                                                        unsigned n, uint8_t invert,
                                                        const uint8_t* dither, unsigned* first,
                                                        unsigned* last) {
  return convert_row8_blocks<NeonGray>(src, dst, n, invert, dither, first, last);
}
