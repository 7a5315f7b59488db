// The screen: framebuffer device or simulated in-memory screen, the shadow of
// what the application drew, frame presentation, sleep cover and repaint.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct DisplayInfo {
  uint32_t width;
  uint32_t height;
  double dpi;
};

int display_open(DisplayInfo* info);
void display_close();
bool display_present(const void* pixels, size_t row_bytes, size_t rows);
void display_set_suspended(int on);
bool display_is_suspended();
void display_show_sleep_cover(const char* path, unsigned width, unsigned height);
void display_full_refresh();
void display_repaint();

int env_int(const char* name, int fallback);
double now_ms();
