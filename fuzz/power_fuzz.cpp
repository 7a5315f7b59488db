// Feeds arbitrary output of the event-wait tool to the line assembler, whole
// and split in two at a point the input chooses: how the pipe happens to cut
// the bytes must never change which events come out, nor their order.
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "power.h"

namespace {

std::vector<int> g_events;

void record(int event) {
  if (event != POWER_EVENT_SCREENSAVER_ON && event != POWER_EVENT_SCREENSAVER_OFF &&
      event != POWER_EVENT_BATTERY)
    abort();
  g_events.push_back(event);
}

void check(bool ok) {
  if (!ok) abort();
}

// A newline ends whatever line a previous run left half assembled.
void forget_partial_line() { power_parse_output("\n", 1, record); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const char* text = reinterpret_cast<const char*>(data + 1);
  size_t n = size - 1;
  size_t cut = n ? data[0] % (n + 1) : 0;

  forget_partial_line();
  g_events.clear();
  int count = power_parse_output(text, n, record);
  check(count == (int)g_events.size());
  const std::vector<int> whole = g_events;

  forget_partial_line();
  g_events.clear();
  power_parse_output(text, cut, record);
  power_parse_output(text + cut, n - cut, record);
  check(g_events == whole);
  return 0;
}
