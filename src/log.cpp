#include "log.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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
// A line too long for the stack buffer (an engine message with a long Dart
// stack, say) is formatted again into the heap, so it is neither cut short
// nor left without its newline to run into the next line.
void emit(const char* prefix, bool clock, const char* fmt, va_list ap) {
  char line[8192];
  int n = 0;
  if (clock) n = snprintf(line, sizeof line, prefix, log_uptime());
  if (n < 0) n = 0;
  va_list again;
  va_copy(again, ap);
  int text = vsnprintf(line + n, sizeof line - (size_t)n, fmt, ap);
  if (text >= 0 && (size_t)n + (size_t)text >= sizeof line) {
    size_t size = (size_t)n + (size_t)text + 1;
    char* big = static_cast<char*>(malloc(size));
    if (big) {
      memcpy(big, line, (size_t)n);
      vsnprintf(big + n, size - (size_t)n, fmt, again);
      fputs(big, stderr);
      free(big);
      va_end(again);
      return;
    }
    // No memory: keep what fits, but end the line.
    line[sizeof line - 2] = '\n';
  }
  va_end(again);
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
