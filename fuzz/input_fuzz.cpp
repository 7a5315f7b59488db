// Arbitrary event streams from a two-slot touch screen, a single-touch pen
// and the page buttons, through the stand-in nodes (the kernel's input core:
// dropped repeats, whole reports, client buffers of 256, 128 and 64 events
// that overflow into SYN_DROPPED) into the input module.  Whatever arrives,
// the engine never sees an id go down twice or move or lift while up, nor a
// key pressed twice or released that was not pressed, and switching input off
// lifts every contact and key.
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "fake_engine.h"
#include "input.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

const char* const kNodes[] = {"event0", "event1", "event2"};
int g_writers[3] = {-1, -1, -1};

void write_text(const std::string& path, const char* text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  check(fd >= 0);
  check(write(fd, text, strlen(text)) == (ssize_t)strlen(text));
  close(fd);
}

void open_once() {
  if (g_writers[0] >= 0) return;
  static char root[] = "/tmp/folian-input-fuzz-XXXXXX";
  check(mkdtemp(root) != nullptr);
  std::string dir(root);
  mkdir((dir + "/dev").c_str(), 0700);
  mkdir((dir + "/conf").c_str(), 0700);
  const char* conf[] = {
      ("name touch\ntypes 0,1,3\nabs 47,53,54,57\nkeys 330\n"
       "absinfo 53 0 0 4095\nabsinfo 54 0 0 4095\nabsinfo 47 0 0 1\n"),
      "name pen\ntypes 0,1,3\nabs 0,1\nkeys 330\nabsinfo 0 0 0 4095\nabsinfo 1 0 0 4095\n",
      "name keys\ntypes 0,1\nkeys 104,109\n"};
  for (int i = 0; i < 3; i++) {
    check(mkfifo((dir + "/dev/" + kNodes[i]).c_str(), 0600) == 0);
    write_text(dir + "/conf/" + kNodes[i], conf[i]);
  }
  setenv("FOLIAN_SIM_EVDEV_DIR", root, 1);
  fake::reset();
  input_open(1000, 1000);
  for (int i = 0; i < 3; i++) {
    g_writers[i] = open((dir + "/dev/" + kNodes[i]).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    check(g_writers[i] >= 0);
  }
}

void pump() {
  struct pollfd fds[12];
  int m = input_poll_fds(fds, 12);
  if (m > 0 && poll(fds, (nfds_t)m, 0) > 0) input_process(fds, m, fake::engine());
}

// Events a device of this kind reports, picked by the input's bytes.
input_event decode(int node, const uint8_t* p) {
  static const uint16_t kTouch[][2] = {{EV_SYN, SYN_REPORT},         {EV_ABS, ABS_MT_SLOT},
                                       {EV_ABS, ABS_MT_TRACKING_ID}, {EV_ABS, ABS_MT_POSITION_X},
                                       {EV_ABS, ABS_MT_POSITION_Y},  {EV_KEY, BTN_TOUCH},
                                       {EV_SYN, SYN_REPORT},         {EV_ABS, ABS_MT_TRACKING_ID}};
  static const uint16_t kPen[][2] = {
      {EV_SYN, SYN_REPORT}, {EV_KEY, BTN_TOUCH}, {EV_ABS, ABS_X}, {EV_ABS, ABS_Y},
      {EV_SYN, SYN_REPORT}, {EV_KEY, BTN_TOUCH}, {EV_ABS, ABS_X}, {EV_ABS, ABS_Y}};
  static const uint16_t kKeys[][2] = {
      {EV_SYN, SYN_REPORT}, {EV_KEY, KEY_PAGEUP},   {EV_KEY, KEY_PAGEDOWN}, {EV_SYN, SYN_REPORT},
      {EV_KEY, KEY_PAGEUP}, {EV_KEY, KEY_PAGEDOWN}, {EV_SYN, SYN_REPORT},   {EV_KEY, 1}};
  const uint16_t(*table)[2] = node == 0 ? kTouch : node == 1 ? kPen : kKeys;
  const uint16_t* pick = table[p[0] & 7];
  input_event e{};
  e.type = pick[0];
  e.code = pick[1];
  // Small values, so that ids, slots and positions repeat and collide.
  e.value = (int8_t)p[1];
  if (e.type == EV_KEY) e.value = (uint8_t)p[1] % 3;
  if (e.code == ABS_MT_SLOT) e.value = (int8_t)p[1] % 3;
  return e;
}

// Down and up of every pointer id and page key, as the engine saw them.
void check_engine_view(bool all_up) {
  std::map<int32_t, bool> down;
  for (const FlutterPointerEvent& e : fake::pointer_events()) {
    bool& d = down[e.device];
    switch (e.phase) {
      case kDown:
        check(!d);
        d = true;
        break;
      case kMove:
        check(d);
        break;
      case kUp:
      case kCancel:
        check(d);
        d = false;
        break;
      default:
        break;
    }
  }
  std::map<uint64_t, bool> pressed;
  for (const FlutterKeyEvent& k : fake::key_events()) {
    bool& p = pressed[k.physical];
    // Pressed only while up; released or repeated only while held.
    check(p == (k.type != kFlutterKeyEventTypeDown));
    if (k.type == kFlutterKeyEventTypeDown) p = true;
    if (k.type == kFlutterKeyEventTypeUp) p = false;
  }
  if (!all_up) return;
  for (auto& [id, d] : down) check(!d);
  for (auto& [key, p] : pressed) check(!p);
}

}  // namespace

// Input: records of three bytes (node and event choice, value), with the
// byte 0xFF between them meaning "the program reads now".  Writes longer
// than a node's buffer overflow it; what follows can be more than one read.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  open_once();
  // Each run starts with input on and nothing held, as the last one ended.
  input_set_enabled(fake::engine(), true);
  fake::reset(fake::time_ns());
  std::vector<input_event> pending[3];
  auto flush = [&] {
    for (int n = 0; n < 3; n++) {
      if (pending[n].empty()) continue;
      size_t bytes = pending[n].size() * sizeof(input_event);
      check(write(g_writers[n], pending[n].data(), bytes) == (ssize_t)bytes);
      pending[n].clear();
    }
    pump();
  };
  for (size_t i = 0; i + 3 <= size; i += 3) {
    if (data[i] == 0xFF) {
      flush();
      if (data[i + 1] == 0xFF) input_set_enabled(fake::engine(), data[i + 2] & 1);
      continue;
    }
    int node = data[i] % 3;
    if (pending[node].size() < 400) pending[node].push_back(decode(node, data + i + 1));
  }
  flush();
  check_engine_view(false);
  // Switching input off lets go of everything the application holds.
  input_set_enabled(fake::engine(), false);
  check_engine_view(true);
  return 0;
}
