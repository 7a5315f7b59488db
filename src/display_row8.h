// The display's 8-bit gray row conversion, shared by display.cpp and the
// NEON unit display_neon.cpp, which is the only code built for NEON.  Not part
// of the module's interface.
//
// Everything here has internal linkage on purpose: each unit gets its own
// copy, built for its own instruction set, and the linker can never hand the
// scalar path a copy that was compiled for NEON.
#ifndef FOLIAN_DISPLAY_ROW8_H
#define FOLIAN_DISPLAY_ROW8_H

#include <stddef.h>
#include <stdint.h>

namespace {

using Row8Fn = bool (*)(const uint8_t*, uint8_t*, unsigned, uint8_t, unsigned*, unsigned*);

bool convert_row8_scalar(const uint8_t* src, uint8_t* dst, unsigned n, uint8_t invert,
                         unsigned* first, unsigned* last) {
  bool any = false;
  for (unsigned x = 0; x < n; ++x, src += 4) {
    // The weights add up to 256: white stays 255 without clamping.
    uint8_t v = (uint8_t)(((29u * src[0] + 150u * src[1] + 77u * src[2]) >> 8) ^ invert);
    if (v == dst[x]) continue;
    dst[x] = v;
    if (!any) *first = x;
    *last = x;
    any = true;
  }
  return any;
}

// No frame is ever in a cache when it arrives (it is several times larger
// than all of them), so the loop is paced by memory.  The vector loop does
// enough work per line that the processor's own prefetching falls behind;
// asking for the source a few lines ahead keeps the memory busy while a block
// converts.  Prefetches never fault, so reading past the frame's end is safe.
constexpr size_t kCacheLine = 64;
constexpr size_t kPrefetchAhead = 2048;

// The row loop shared by the vector paths.  `Lanes::block` converts
// Lanes::kPixels pixels, stores them when they differ from the shadow and
// returns a mask with Lanes::kBits bits per pixel set where they differed.
// Instantiated only inside functions compiled for the lanes' instruction set
// (which inline it whole when optimising), so it carries no target of its
// own.
template <typename Lanes>
inline bool convert_row8_blocks(const uint8_t* src, uint8_t* dst, unsigned n, uint8_t invert,
                                unsigned* first, unsigned* last) {
  bool any = false;
  unsigned x = 0;
  for (; n - x >= Lanes::kPixels; x += Lanes::kPixels) {
    for (unsigned k = 0; k < Lanes::kPixels * 4; k += kCacheLine)
      __builtin_prefetch(src + (size_t)x * 4 + kPrefetchAhead + k);
    uint64_t diff = Lanes::block(src + (size_t)x * 4, dst + x, invert);
    if (diff == 0) continue;
    if (!any) *first = x + (unsigned)__builtin_ctzll(diff) / Lanes::kBits;
    *last = x + (unsigned)(63 - __builtin_clzll(diff)) / Lanes::kBits;
    any = true;
  }
  if (x == n) return any;
  if (n >= Lanes::kPixels) {
    // The tail as one more block that ends at the row's end.  Its first
    // pixels were converted above and now equal the shadow, so they add no
    // change and the columns stay exact, at less than the cost of converting
    // the tail pixel by pixel.
    x = n - Lanes::kPixels;
    uint64_t diff = Lanes::block(src + (size_t)x * 4, dst + x, invert);
    if (diff == 0) return any;
    if (!any) *first = x + (unsigned)__builtin_ctzll(diff) / Lanes::kBits;
    *last = x + (unsigned)(63 - __builtin_clzll(diff)) / Lanes::kBits;
    return true;
  }
  unsigned tail_first = 0, tail_last = 0;
  if (convert_row8_scalar(src, dst, n, invert, &tail_first, &tail_last)) {
    *first = tail_first;
    *last = tail_last;
    any = true;
  }
  return any;
}

}  // namespace

#if defined(__arm__)
// The NEON path (display_neon.cpp); runs only where the kernel reports NEON.
bool display_convert_row8_neon(const uint8_t* src, uint8_t* dst, unsigned n, uint8_t invert,
                               unsigned* first, unsigned* last);
#endif

#endif
