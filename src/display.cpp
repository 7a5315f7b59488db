// Placeholder until the display module lands: a simulated screen of the
// default size that discards frames.
#include "display.h"

#include <stdlib.h>
#include <time.h>

int env_int(const char* name, int fallback) {
  const char* v = getenv(name);
  if (!v || !*v) return fallback;
  return (int)strtol(v, nullptr, 10);
}

double now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1000000.0;
}

int display_open(DisplayInfo* info) {
  info->width = 1236;
  info->height = 1648;
  const char* dpi = getenv("FOLIAN_DPI");
  info->dpi = (dpi && *dpi) ? env_int("FOLIAN_DPI", 0) : 300;
  return 1;
}
void display_close() {}
bool display_present(const void*, size_t, size_t) { return true; }
void display_set_suspended(int) {}
bool display_is_suspended() { return false; }
void display_show_sleep_cover(const char*, unsigned, unsigned) {}
void display_full_refresh() {}
void display_repaint() {}
