// The turned gray picture's tiles with AVX2: two 16x16 blocks side by side
// (pixels_turn_tiles.h).  The unit is built for AVX2 (src/CMakeLists.txt)
// and pixels_turn.cpp calls it only on the "avx2" path, which runs only
// where the processor has it.
#include <immintrin.h>

#include "pixels_turn_tiles.h"

namespace {

struct Avx2Tiles {
  using V = __m256i;
  static constexpr unsigned kColumns = 32;
  static V load(const uint8_t* p) { return _mm256_loadu_si256((const V*)p); }
  static V lo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
  static V hi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
  static V lo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
  static V hi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
  static V lo32(V a, V b) { return _mm256_unpacklo_epi32(a, b); }
  static V hi32(V a, V b) { return _mm256_unpackhi_epi32(a, b); }
  static V lo64(V a, V b) { return _mm256_unpacklo_epi64(a, b); }
  static V hi64(V a, V b) { return _mm256_unpackhi_epi64(a, b); }
  // The first half against `p`, the second against `q`: two panel rows.
  static uint32_t differs(V v, const uint8_t* p, const uint8_t* q) {
    V old =
        _mm256_inserti128_si256(_mm256_castsi128_si256(Sse2Tiles::load(p)), Sse2Tiles::load(q), 1);
    return ~(uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, old));
  }
  static void store(V v, unsigned half, uint8_t* p) {
    Sse2Tiles::store(half ? _mm256_extracti128_si256(v, 1) : _mm256_castsi256_si128(v), 0, p);
  }
};

}  // namespace

// Tiles of 32 application columns, then one of 16 where that many are left.
__attribute__((flatten)) unsigned pixels_place_tiles_avx2(const TurnTarget& t, unsigned y0,
                                                          unsigned n, unsigned cols, bool clockwise,
                                                          TurnDamage* damage) {
  unsigned x = place_tiles<Avx2Tiles>(t, y0, n, 0, cols, clockwise, damage);
  return place_tiles<Sse2Tiles>(t, y0, n, x, cols, clockwise, damage);
}
