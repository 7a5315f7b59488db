#include "log.h"

#include <stdarg.h>
#include <stdio.h>
#include <time.h>

double log_uptime() {
  static double start = -1.0;
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  double now = ts.tv_sec + ts.tv_nsec / 1e9;
  if (start < 0) start = now;
  return now - start;
}

namespace {

// One line, one write: lines from the raster, waiter and engine threads must
// never interleave with the main thread's.
void emit(const char* prefix, bool clock, const char* fmt, va_list ap) {
  char line[8192];
  int n = 0;
  if (clock) n = snprintf(line, sizeof line, prefix, log_uptime());
  if (n < 0) n = 0;
  vsnprintf(line + n, sizeof line - (size_t)n, fmt, ap);
  fputs(line, stderr);
}

}  // namespace

void log_info(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  emit("[%9.3f] ", true, fmt, ap);
  va_end(ap);
}

void log_error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  emit("[%9.3f][错误] ", true, fmt, ap);
  va_end(ap);
}

void log_raw(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  emit("", false, fmt, ap);
  va_end(ap);
}
