// The framebuffer: the device opened, its geometry checked and its memory
// mapped, or a simulated screen in memory with PGM dumps of its pictures; the
// shadow of what the application drew, laid out like the framebuffer; and the
// screen found at start, given back at close.
//
// Opened and closed on the main thread.  Between the two the presentation
// (display.cpp) reads and writes the memory under its display lock, from the
// raster thread and the main thread; this unit takes no lock of its own.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct DisplayInfo {
  uint32_t width;
  uint32_t height;
  double dpi;
  uint32_t bpp;  // 8, 16 or 32
  bool rgb565;   // 16 bits laid out red 11..15, green 5..10, blue 0..4
};

// The settings framebuffer_open reads, as it reads them: a value that breaks
// its rule is told in one line and the default stands (settings.h).
struct FramebufferSettings {
  const char* device;      // FOLIAN_FB, else /dev/fb0; nullptr when simulated
  unsigned width, height;  // the simulated screen's (FOLIAN_FB_SIZE)
  const char* dump_dir;    // the simulated screen's pictures (FOLIAN_FB_DUMP_DIR)
  long long dpi;           // FOLIAN_DPI; 0: from the panel's physical width
  bool keep_start;         // the screen found at start is kept (no FOLIAN_KEEP_SCREEN)
};
FramebufferSettings framebuffer_read_settings();

// False (with a log line) when no screen could be opened.  Sets the pixel
// format of the pixel paths.
bool framebuffer_open(DisplayInfo* info);
// The framebuffer device framebuffer_open opens (FOLIAN_FB, else /dev/fb0),
// or nullptr when the screen is simulated (FOLIAN_FB_FILE).
const char* framebuffer_device();
void framebuffer_close();

// The open screen, fixed from framebuffer_open to framebuffer_close.  Pixel
// (x, y) is at y * stride + x * bpp / 8 from `screen` and from `shadow`.
// `row_len` is the visible part of one row; `span` runs from the first
// visible byte to the last one, so copies never touch the padding after the
// last row, which need not be mapped.
struct Framebuffer {
  int fd;           // the device; -1 when simulated or closed
  bool simulated;   // in memory: no panel to refresh
  uint8_t* screen;  // the first visible pixel; null when closed
  uint8_t* shadow;  // the application's picture; null when closed
  uint32_t width, height, bpp;
  size_t stride, row_len, span;
};
Framebuffer framebuffer_get();

// Bytes [from, to) of the shadow to the screen at the same offsets.
void framebuffer_copy(size_t from, size_t to);
// `count` whole rows from row `y` of the shadow to the screen.
void framebuffer_copy_rows(uint32_t y, uint32_t count);
// The simulated screen as picture `frame_no` in FOLIAN_FB_DUMP_DIR, when set.
void framebuffer_dump(int frame_no);

// Whether the screen found at start was kept (a device, without
// FOLIAN_KEEP_SCREEN), and putting it back on the screen.
bool framebuffer_kept_start();
void framebuffer_put_back_start();
