// Settings: the FOLIAN_* environment variables, read by one set of rules.
#include "settings.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "log.h"

namespace {

bool unset_or_empty(const char* value) { return value == nullptr || value[0] == '\0'; }

// Values told as breaking their rule, for a check that reads them as a start
// does.
int g_invalid = 0;

}  // namespace

bool parse_whole_int(const char* text, long long min, long long max, long long* out) {
  if (unset_or_empty(text)) return false;
  // strtoll takes leading blanks; a setting with them is a typing slip.
  if (text[0] == ' ' || text[0] == '\t') return false;
  errno = 0;
  char* end = nullptr;
  long long v = strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

bool parse_number(const char* text, double* out) {
  if (unset_or_empty(text) || text[0] == ' ' || text[0] == '\t') return false;
  // The process keeps LC_NUMERIC at "C", so the decimal point is a point.
  char* end = nullptr;
  double v = strtod(text, &end);
  if (end == text || *end != '\0' || !isfinite(v)) return false;
  *out = v;
  return true;
}

bool parse_size(const char* text, long long max, unsigned* width, unsigned* height) {
  if (unset_or_empty(text)) return false;
  char first[16];
  const char* x = strchr(text, 'x');
  size_t n = x ? (size_t)(x - text) : strlen(text);
  if (n >= sizeof first) return false;
  memcpy(first, text, n);
  first[n] = '\0';
  long long w = 0, h = 0;
  if (!parse_whole_int(first, 1, max, &w)) return false;
  if (x && !parse_whole_int(x + 1, 1, max, &h)) return false;
  *width = (unsigned)w;
  if (x) *height = (unsigned)h;
  return true;
}

const char* setting_text(const char* name) { return getenv(name); }

bool setting_present(const char* name) { return getenv(name) != nullptr; }

long long setting_int(const char* name, long long fallback, long long min, long long max) {
  const char* value = getenv(name);
  if (unset_or_empty(value)) return fallback;
  long long v = 0;
  if (parse_whole_int(value, min, max, &v)) return v;
  g_invalid++;
  log_error("%s=%s 无效：应为 %lld 到 %lld 的整数，用默认值 %lld\n", name, value, min, max,
            fallback);
  return fallback;
}

double setting_number(const char* name, double fallback, double min, double max) {
  const char* value = getenv(name);
  if (unset_or_empty(value)) return fallback;
  double v = 0;
  if (parse_number(value, &v) && v > min && v <= max) return v;
  g_invalid++;
  log_error("%s=%s 无效：应为大于 %g、不超过 %g 的数，用默认值 %g\n", name, value, min, max,
            fallback);
  return fallback;
}

bool setting_flag(const char* name) {
  const char* value = getenv(name);
  if (unset_or_empty(value)) return false;
  if (strcmp(value, "1") == 0 || strcmp(value, "true") == 0) return true;
  if (strcmp(value, "0") == 0 || strcmp(value, "false") == 0) return false;
  g_invalid++;
  log_error("%s=%s 无效：应为 1、true、0 或 false，按关闭处理\n", name, value);
  return false;
}

int setting_choice(const char* name, const char* const* names, size_t count, int fallback,
                   int unknown) {
  const char* value = getenv(name);
  if (unset_or_empty(value)) return fallback;
  for (size_t i = 0; i < count; i++)
    if (strcmp(value, names[i]) == 0) return (int)i;
  char list[256] = "";
  size_t used = 0;
  for (size_t i = 0; i < count && used < sizeof list; i++) {
    int n = snprintf(list + used, sizeof list - used, "%s%s", i ? "、" : "", names[i]);
    if (n < 0) break;
    used += (size_t)n;
  }
  g_invalid++;
  log_error("%s=%s 无效：应为 %s 之一\n", name, value, list);
  return unknown;
}

void setting_size(const char* name, long long max, unsigned* width, unsigned* height) {
  const char* value = getenv(name);
  if (unset_or_empty(value) || parse_size(value, max, width, height)) return;
  g_invalid++;
  log_error("%s=%s 无效：应为 宽x高，各 1 到 %lld，用默认值 %ux%u\n", name, value, max, *width,
            *height);
}

int settings_count_invalid() { return g_invalid; }
