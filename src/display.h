// Presentation: the application's frames shown on the screen (damage, the
// refresh each one gets, the clean-up after fast ones), the sleep cover,
// repaints and full refreshes, and the panel's switches.  The screen itself
// is the framebuffer unit's, the conversion of pixels the pixel paths'.
//
// display_present runs on the engine's raster thread, everything else on the
// main thread.  One display lock serialises them all, including every
// refresh request; the e-ink driver's own locks are taken inside it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "framebuffer.h"
#include "pixels.h"

// The settings display_open reads for itself, as it reads them: a value that
// breaks its rule is told in one line and the default stands (settings.h).
// The framebuffer's are framebuffer_read_settings', the refresh policy's
// policy_open's.
struct DisplaySettings {
  bool log_frames;  // FOLIAN_LOG_FRAMES not 0: one log line per refresh
  bool night;       // FOLIAN_NIGHT
  bool dither;      // FOLIAN_DITHER
  bool restore;     // the screen found at start given back (no FOLIAN_FRAMEWORK_STOPPED)
};
DisplaySettings display_read_settings();

// False (with a log line) when no screen could be opened.
bool display_open(DisplayInfo* info);
void display_close();
// A frame of `rows` rows of `row_bytes` bytes, top row first, in the engine's
// BGRA, whoever drew it; read only during the call.
bool display_present(const void* pixels, size_t row_bytes, size_t rows);
// The same for frames of another format; a format the panel cannot take
// (gray on a colour panel, RGB565 on any other) is refused with one line.
bool display_present_pixels(const void* pixels, size_t row_bytes, size_t rows, FramePixels format);
void display_set_suspended(bool on);
// The application's frames are turned `degrees` (0, 90, 180, 270) clockwise
// onto the panel from the first frame of the turned size on, which is
// refreshed in full; frames of the old size still on their way are dropped.
// Damage, refresh rectangles, the sleep cover and the screen given back at
// exit stay in the panel's own orientation.
void display_set_orientation(int degrees);
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
  int since_flash;     // page-like refreshes since the last flash
  const char* pixels;  // the frames' format: "BGRA", "Gray8", "RGB565"
};
DisplayModes display_modes();
// The format the engine was asked to present its frames in, for
// display_modes (BGRA until told).
void display_set_frame_pixels(FramePixels pixels);

// The main loop's share: milliseconds until the clean-up after fast
// refreshes falls due (0 when due, -1 when none is owed), and sending it.
int display_next_timeout_ms();
void display_run_due();

double now_ms();
