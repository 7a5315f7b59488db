// The pixel paths: rows of the engine's frames converted to the framebuffer's
// pixel and compared with what is there, in one pass; the sleep cover's grays
// and white in that pixel; a picture's colours turned over in place.  The
// only state is the framebuffer's pixel format, set when the screen opens,
// and the 8-bit path in use.  Callers hold the display lock around every
// call but the path choice, which is safe from any thread.
#pragma once

#include <linux/fb.h>
#include <stddef.h>
#include <stdint.h>

// The framebuffer's pixel as the driver describes it: 8-bit gray (white 0 on
// a panel with grayscale 2), or a 16- or 32-bit word of the colour fields
// `var` gives.
void pixels_set_format(const fb_var_screeninfo& var);

// How the application's picture is drawn: `invert` turns its colours over
// (night mode where no driver does it), `dither` orders its grays to the
// panel's 16 levels (8-bit framebuffers only).
struct PixelStyle {
  bool invert;
  bool dither;
};

// ---- BGRA: the engine's 32-bit pixels (blue, green, red, alpha bytes)

constexpr size_t kBgraBytes = 4;

// Converts one row of `n` engine pixels, for screen row `y`, into `dst` in
// the framebuffer's pixel, comparing each with what `dst` holds in the
// pixel's own width and storing only where they differ.  Returns whether any
// did; then *first and *last are the first and last changed columns.
bool pixels_convert_bgra(const uint8_t* src, uint8_t* dst, unsigned n, uint32_t y, PixelStyle style,
                         unsigned* first, unsigned* last);

// The 8-bit gray case of pixels_convert_bgra and the hot loop of every frame:
// gray dithered to 16 levels unless `dither` is null, XOR `invert` (0x00 or
// 0xFF).  It runs on the path named below, and every path gives the same
// bytes and the same columns.
bool pixels_convert_row8(const uint8_t* src, uint8_t* dst, unsigned n, uint8_t invert,
                         const uint8_t* dither, unsigned* first, unsigned* last);
// The dithering thresholds of screen row `y`, for pixels_convert_row8: a
// pixel of gray v in column x becomes 17 * floor((v + row[x % 64]) / 17).
// Every threshold is at most 16, so black, white and the 16 levels stay.
const uint8_t* pixels_dither_row(unsigned y);

// The 8-bit conversion paths built for this processor family are "scalar"
// and, on x86-64, "sse2" and "avx2", on 32-bit ARM "neon".  The fastest one
// the processor runs is taken at the first frame; pixels_use_row8_path
// switches to another for the rest of the process (to compare paths or to
// rule one out when diagnosing) and returns false, changing nothing, when the
// name is unknown or the processor lacks the instructions.
const char* pixels_row8_path();
bool pixels_use_row8_path(const char* name);

// ---- Frames in the panel's own format

// The pixels of the frames the engine presents: BGRA (blue, green, red,
// alpha bytes); 8-bit gray, opaque, the BT.709 luma the engine's renderer
// makes (0.2126 r + 0.7152 g + 0.0722 b, where the BGRA path weighs
// 77/150/29 of 256); or RGB565 in native 16-bit words, red in the top bits.
enum class FramePixels { kBgra, kGray8, kRgb565 };

size_t pixels_frame_bytes(FramePixels format);
// "BGRA", "Gray8", "RGB565".
const char* pixels_frame_name(FramePixels format);
// Whether frames of `format` can go to this framebuffer: BGRA to any, gray
// to 8-bit ones, RGB565 to 16-bit ones of that layout.
bool pixels_takes(FramePixels format);

// One row of a frame of `format` into `dst`, as pixels_convert_bgra does for
// BGRA (which it is for kBgra).  The format must be one pixels_takes.
using PixelsRowFn = bool (*)(const uint8_t* src, uint8_t* dst, unsigned n, uint32_t y,
                             PixelStyle style, unsigned* first, unsigned* last);
PixelsRowFn pixels_converter(FramePixels format);

// The 8-bit gray rows the engine drew, as pixels_convert_row8 takes BGRA
// ones, on the same path: only dithered, turned over and compared.
bool pixels_convert_gray8(const uint8_t* src, uint8_t* dst, unsigned n, uint8_t invert,
                          const uint8_t* dither, unsigned* first, unsigned* last);

// ---- Gray levels the program draws itself (the sleep cover)

// The byte that paints a row white.
uint8_t pixels_white();
// Gray level `v` (0 black, 255 white) into column `x` of a framebuffer row.
void pixels_put_gray(uint8_t* row, uint32_t x, uint8_t v);

// ---- Inversion

// Turns the colours of `count` rows over in place (`row_len` bytes from each
// `stride`); the transparency bits of a packed pixel stay.
void pixels_invert(uint8_t* rows, size_t stride, uint32_t count, size_t row_len);
