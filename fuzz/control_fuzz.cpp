// Writes arbitrary bytes into the control FIFO, lets the program read them as
// command lines and runs every step they queued.  Whatever the lines say, the
// queue drains, its deadline is never negative garbage, and every scripted
// touch and page key that went down comes up again.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "control.h"
#include "fake_engine.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

int g_writer = -1;

void open_once() {
  if (g_writer >= 0) return;
  static char dir[] = "/tmp/folian-control-fuzz-XXXXXX";
  check(mkdtemp(dir) != nullptr);
  static char path[sizeof dir + 16];
  strcpy(path, dir);
  strcat(path, "/ctl");
  setenv("FOLIAN_CONTROL", path, 1);
  unsetenv("FOLIAN_TEST_TAPS");
  fake::reset();
  control_open(nullptr);
  check(control_fd() >= 0);
  g_writer = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  check(g_writer >= 0);
}

// Down minus up per pointer device and per page key, from what the engine saw.
void check_balanced() {
  int pointer = 0;
  for (const FlutterPointerEvent& e : fake::pointer_events()) {
    if (e.phase == kDown) pointer++;
    if (e.phase == kUp) pointer--;
    check(pointer == 0 || pointer == 1);
  }
  check(pointer == 0);
  int keys = 0;
  for (const FlutterKeyEvent& k : fake::key_events()) {
    if (k.type == kFlutterKeyEventTypeDown) keys++;
    if (k.type == kFlutterKeyEventTypeUp) keys--;
  }
  check(keys == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  open_once();
  // The clock goes on from the previous run: the queue remembers when its
  // last step was due.
  fake::reset(fake::time_ns());
  // A command line needs its newline; the final one makes sure the last line
  // is taken within this run.
  size_t done = 0;
  while (done < size) {
    ssize_t w = write(g_writer, data + done, size - done);
    if (w <= 0) break;
    done += (size_t)w;
    control_read();
  }
  check(write(g_writer, "\n", 1) == 1);
  control_read();

  // The clock jumps ahead in doubling strides until everything queued has
  // run: few rounds per run, and the engine clock (which goes on from run to
  // run) moves no more than twice what the commands asked for.
  uint64_t stride_ms = 1000;
  for (int ms = control_next_timeout_ms(); ms >= 0; ms = control_next_timeout_ms()) {
    fake::advance_ms(stride_ms);
    stride_ms *= 2;
    check(control_next_timeout_ms() == 0 || (uint64_t)ms > stride_ms / 2);
    control_run_due(fake::engine());
  }
  check(control_next_timeout_ms() == -1);
  check_balanced();
  return 0;
}
