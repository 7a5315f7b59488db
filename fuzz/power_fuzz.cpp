// Feeds arbitrary output of the event-wait tool to the line assembler, whole
// and split in two at a point the input chooses: how the pipe happens to cut
// the bytes must never change which event comes out.
#include <stdint.h>
#include <stdlib.h>

#include "power.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

// A newline ends whatever line a previous run left half assembled.
void forget_partial_line() { power_parse_output("\n", 1); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const char* text = reinterpret_cast<const char*>(data + 1);
  size_t n = size - 1;
  size_t cut = n ? data[0] % (n + 1) : 0;

  forget_partial_line();
  int whole = power_parse_output(text, n);
  check(whole >= POWER_EVENT_NONE && whole <= POWER_EVENT_SCREENSAVER_OFF);

  forget_partial_line();
  int first = power_parse_output(text, cut);
  int second = power_parse_output(text + cut, n - cut);
  check((second != POWER_EVENT_NONE ? second : first) == whole);
  return 0;
}
