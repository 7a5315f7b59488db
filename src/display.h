// The screen: framebuffer device or simulated in-memory screen, the shadow of
// what the application drew, frame presentation, sleep cover and repaint.
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

// The pixels of the frames the engine presents: BGRA (blue, green, red,
// alpha bytes), 8-bit gray (BT.709 luma, opaque), or RGB565 in native 16-bit
// words.
enum class FramePixels { kBgra, kGray8, kRgb565 };

// False (with a log line) when no screen could be opened.
bool display_open(DisplayInfo* info);
// The framebuffer device display_open opens (FOLIAN_FB, else /dev/fb0), or
// nullptr when the screen is simulated (FOLIAN_FB_FILE).
const char* display_device();
void display_close();
bool display_present(const void* pixels, size_t row_bytes, size_t rows);
// The same for frames of another format; a format the panel cannot take
// (gray on a colour panel, RGB565 on any other) is refused with one line.
bool display_present_pixels(const void* pixels, size_t row_bytes, size_t rows,
                            FramePixels format);
void display_set_suspended(bool on);
bool display_is_suspended();
void display_show_sleep_cover(const char* path, unsigned width, unsigned height);
void display_full_refresh();
void display_repaint();
// Night mode: the panel shows the inverse of the application's frames; the
// sleep cover and the screen given back at exit are shown as they are.  A
// change refreshes the whole screen at once (after the screensaver, when it
// is up).  Off unless FOLIAN_NIGHT is set.
void display_set_night(bool on);
// Ordered dithering of the application's frames to the panel's 16 gray
// levels, from the next frame presented.  8-bit panels only: a colour
// framebuffer's driver makes its own grays.  Off unless FOLIAN_DITHER is set.
void display_set_dithering(bool on);
// A flash (a full refresh of the whole screen) every `day` page-like frame
// refreshes, every `night` in night mode; 0: never.  From FOLIAN_FULL_EVERY
// and FOLIAN_FULL_EVERY_NIGHT at start.
void display_set_flash_every(int day, int night);
// Motion "auto": a frame refreshed less than 250 ms after the previous one,
// in the automatic refresh mode, goes out with the fast waveform, and 300 ms
// after the last of a run their union is refreshed in full.  Off unless
// FOLIAN_MOTION is "auto".
void display_set_motion(bool on);

struct DisplayModes {
  bool night, dithering, motion;
  int flash_every, flash_every_night;
  int since_flash;  // page-like refreshes since the last flash
};
DisplayModes display_modes();

// The main loop's share: milliseconds until the clean-up after fast
// refreshes falls due (0 when due, -1 when none is owed), and sending it.
int display_next_timeout_ms();
void display_run_due();

double now_ms();

// Converts one row of `n` engine pixels (blue, green, red, alpha bytes) to
// 8-bit gray, dithered to 16 levels unless `dither` is null, XOR `invert`
// (0x00 or 0xFF), straight into `dst`, storing only where pixels differ.
// Returns whether any did; then *first and *last are the first and last
// changed columns.  This is the hot loop of every frame; it runs on the path
// named below, and every path gives the same bytes and the same columns.
bool display_convert_row8(const uint8_t* src, uint8_t* dst, unsigned n, uint8_t invert,
                          const uint8_t* dither, unsigned* first, unsigned* last);
// The dithering thresholds of screen row `y`, for display_convert_row8: a
// pixel of gray v in column x becomes 17 * floor((v + row[x % 64]) / 17).
// Every threshold is at most 16, so black, white and the 16 levels stay.
const uint8_t* display_dither_row(unsigned y);

// The 8-bit conversion paths built for this processor family are "scalar"
// and, on x86-64, "sse2" and "avx2", on 32-bit ARM "neon".  The fastest one
// the processor runs is taken at the first frame; display_use_row8_path
// switches to another for the rest of the process (to compare paths or to
// rule one out when diagnosing) and returns false, changing nothing, when the
// name is unknown or the processor lacks the instructions.
const char* display_row8_path();
bool display_use_row8_path(const char* name);
