// The 8-bit gray row conversion, shared by pixels.cpp and the NEON unit
// pixels_neon.cpp, which is the only code built for NEON.  Not part of the
// module's interface.
//
// Everything here has internal linkage on purpose: each unit gets its own
// copy, built for its own instruction set, and the linker can never hand the
// scalar path a copy that was compiled for NEON.
#ifndef FOLIAN_PIXELS_ROW8_H
#define FOLIAN_PIXELS_ROW8_H

#include <stddef.h>
#include <stdint.h>

namespace {

// Ordered dithering to the panel's 16 gray levels (0, 17, ..., 255).  Each
// screen row has a row of thresholds d from 0 to 16, and a pixel of gray v at
// column x becomes 17 * floor((v + d[x % kDitherSpan]) / 17): black, white
// and the 16 levels themselves come out as they went in (d never reaches
// 17), and a pixel's result depends on its value and its place on the screen
// only, so a pixel that did not change still compares equal.  The vector
// paths take the threshold row a block at a time from any column of the span;
// the row holds the span and one widest block more.
constexpr unsigned kDitherSpan = 64;
constexpr unsigned kWidestBlock = 32;
constexpr unsigned kDitherRowBytes = kDitherSpan + kWidestBlock;

inline unsigned dither_level(unsigned gray, unsigned threshold) {
  return (gray + threshold) / 17 * 17;
}

// `dither` is null for the full 256 levels, or a threshold row.
using Row8Fn = bool (*)(const uint8_t* src, uint8_t* dst, unsigned n, uint8_t invert,
                        const uint8_t* dither, unsigned* first, unsigned* last);

// Bytes per source pixel: the engine's BGRA, or the 8-bit gray it draws
// into a gray backing store.
constexpr unsigned kBgraSource = 4;
constexpr unsigned kGraySource = 1;

template <unsigned kSource, bool kDither>
bool convert_row8_scalar_as(const uint8_t* src, uint8_t* dst, unsigned n, uint8_t invert,
                            const uint8_t* dither, unsigned* first, unsigned* last) {
  bool any = false;
  for (unsigned x = 0; x < n; ++x, src += kSource) {
    unsigned gray;
    if constexpr (kSource == kGraySource) {
      gray = src[0];
    } else {
      // The weights add up to 256: white stays 255 without clamping.
      gray = (29u * src[0] + 150u * src[1] + 77u * src[2]) >> 8;
    }
    if constexpr (kDither) gray = dither_level(gray, dither[x % kDitherSpan]);
    uint8_t v = (uint8_t)(gray ^ invert);
    if (v == dst[x]) continue;
    dst[x] = v;
    if (!any) *first = x;
    *last = x;
    any = true;
  }
  return any;
}

template <unsigned kSource>
bool convert_row8_scalar_from(const uint8_t* src, uint8_t* dst, unsigned n, uint8_t invert,
                              const uint8_t* dither, unsigned* first, unsigned* last) {
  if (dither)
    return convert_row8_scalar_as<kSource, true>(src, dst, n, invert, dither, first, last);
  return convert_row8_scalar_as<kSource, false>(src, dst, n, invert, nullptr, first, last);
}

inline bool convert_row8_scalar(const uint8_t* src, uint8_t* dst, unsigned n, uint8_t invert,
                                const uint8_t* dither, unsigned* first, unsigned* last) {
  return convert_row8_scalar_from<kBgraSource>(src, dst, n, invert, dither, first, last);
}

// A gray row is only dithered, turned over and compared.
inline bool convert_gray8_scalar(const uint8_t* src, uint8_t* dst, unsigned n, uint8_t invert,
                                 const uint8_t* dither, unsigned* first, unsigned* last) {
  return convert_row8_scalar_from<kGraySource>(src, dst, n, invert, dither, first, last);
}

// No frame is ever in a cache when it arrives (it is several times larger
// than all of them), so the loop is paced by memory.  The vector loop does
// enough work per line that the processor's own prefetching falls behind;
// asking for the source a few lines ahead keeps the memory busy while a block
// converts.  Prefetches never fault, so reading past the frame's end is safe.
constexpr size_t kCacheLine = 64;
constexpr size_t kPrefetchAhead = 2048;

// The row loop shared by the vector paths.  `Lanes::block` converts
// Lanes::kPixels pixels of Lanes::kSource bytes each, stores them when they
// differ from the shadow and returns a mask with Lanes::kBits bits per pixel
// set where they differed.
// Instantiated only inside functions compiled for the lanes' instruction set
// (which inline it whole when optimising), so it carries no target of its
// own.  Dithering is a second instantiation rather than a test per block, so
// the undithered loop is the same as it would be without it.
template <typename Lanes, bool kDither>
inline bool convert_row8_blocks_as(const uint8_t* src, uint8_t* dst, unsigned n, uint8_t invert,
                                   const uint8_t* dither, unsigned* first, unsigned* last) {
  auto thresholds = [dither](unsigned x) { return kDither ? dither + x % kDitherSpan : nullptr; };
  bool any = false;
  unsigned x = 0;
  for (; n - x >= Lanes::kPixels; x += Lanes::kPixels) {
    for (unsigned k = 0; k < Lanes::kPixels * Lanes::kSource; k += kCacheLine)
      __builtin_prefetch(src + (size_t)x * Lanes::kSource + kPrefetchAhead + k);
    uint64_t diff = Lanes::template block<kDither>(src + (size_t)x * Lanes::kSource, dst + x,
                                                   invert, thresholds(x));
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
    uint64_t diff = Lanes::template block<kDither>(src + (size_t)x * Lanes::kSource, dst + x,
                                                   invert, thresholds(x));
    if (diff == 0) return any;
    if (!any) *first = x + (unsigned)__builtin_ctzll(diff) / Lanes::kBits;
    *last = x + (unsigned)(63 - __builtin_clzll(diff)) / Lanes::kBits;
    return true;
  }
  unsigned tail_first = 0, tail_last = 0;
  if (convert_row8_scalar_from<Lanes::kSource>(src, dst, n, invert, dither, &tail_first,
                                               &tail_last)) {
    *first = tail_first;
    *last = tail_last;
    any = true;
  }
  return any;
}

template <typename Lanes>
inline bool convert_row8_blocks(const uint8_t* src, uint8_t* dst, unsigned n, uint8_t invert,
                                const uint8_t* dither, unsigned* first, unsigned* last) {
  if (dither) return convert_row8_blocks_as<Lanes, true>(src, dst, n, invert, dither, first, last);
  return convert_row8_blocks_as<Lanes, false>(src, dst, n, invert, nullptr, first, last);
}

}  // namespace

#if defined(__arm__)
// The NEON path (pixels_neon.cpp); runs only where the kernel reports NEON.
bool pixels_convert_row8_neon(const uint8_t* src, uint8_t* dst, unsigned n, uint8_t invert,
                              const uint8_t* dither, unsigned* first, unsigned* last);
bool pixels_convert_gray8_neon(const uint8_t* src, uint8_t* dst, unsigned n, uint8_t invert,
                               const uint8_t* dither, unsigned* first, unsigned* last);
#endif

#endif
