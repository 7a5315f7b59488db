#include "input.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "engine.h"
#include "log.h"
#include "power.h"
#include "settings.h"

namespace {

constexpr int kMaxDevices = 8;
constexpr int kSlots = 10;
constexpr int kSyntheticDevice = 9;
// One pointer id for every slot of every device and one for the synthetic
// pointer, so that a contact going down always finds a free one.
constexpr int kPointerIds = kMaxDevices * kSlots + 1;

// The value of an EV_KEY event.
constexpr int32_t kEvdevKeyUp = 0;
constexpr int32_t kEvdevKeyRepeat = 2;

// How the page keys are named to the engine: USB HID usages (page 7) for the
// physical key, the framework's logical key values, and for the key-event
// channel the GTK key values and X11 key codes (evdev code + 8).
constexpr uint64_t kHidPageUp = 0x7004b;
constexpr uint64_t kHidPageDown = 0x7004e;
constexpr uint64_t kLogicalPageUp = 0x100000308;
constexpr uint64_t kLogicalPageDown = 0x100000307;
constexpr int kGtkPageUp = 0xff55;
constexpr int kGtkPageDown = 0xff56;
constexpr int kX11KeycodeOffset = 8;

struct touch_slot {
  int32_t tracking_id;
  int32_t x;
  int32_t y;
  bool dirty;
  bool down;
  // Pointer id the engine knows the contact by while it is down.
  int32_t pointer;
};

struct input_device {
  int32_t fd;
  char name[128];
  bool is_page_keys;
  bool multitouch;
  struct input_absinfo abs_x;
  struct input_absinfo abs_y;
  int32_t current_slot;
  // Slots the kernel has for this device (at most kSlots); the others never
  // hold a contact.
  int32_t slot_count;
  touch_slot slots[kSlots];
  // Events were lost in the kernel's buffer: ignore everything up to the next
  // report, then read the contacts' true state back from the kernel.
  bool dropping;
  // Page buttons delivered as pressed and not yet released, [0] previous, [1] next.
  bool key_pressed[2];
  char path[300];
};

unsigned g_screen_w;
unsigned g_screen_h;
bool g_swap_xy;
bool g_invert_x;
bool g_invert_y;
bool g_log_touch;
bool g_swap_page_keys;
bool g_enabled = true;
int32_t g_device_count;
input_device g_devices[kMaxDevices];
bool g_added_pointers[kPointerIds];
// Pointer ids of the contacts that are down at this moment, real and synthetic.
bool g_pointer_busy[kPointerIds];
int32_t g_synthetic_pointer = -1;

bool bit_set(const uint8_t* mask, int bit) { return (mask[bit / 8] >> (bit % 8)) & 1; }

double scale(int32_t v, const struct input_absinfo& a, unsigned n) {
  // The span is taken in 64 bits: a driver reporting INT_MIN..INT_MAX must not
  // wrap into a negative range.
  int64_t span = (int64_t)a.maximum - (int64_t)a.minimum;
  if (span <= 0) return (double)v;
  return ((double)v - (double)a.minimum) * (double)(unsigned)(n - 1u) / (double)span;
}

void to_screen(const input_device& d, int raw_x, int raw_y, double* x, double* y) {
  if (g_swap_xy) {
    *x = scale(raw_y, d.abs_y, g_screen_w);
    *y = scale(raw_x, d.abs_x, g_screen_h);
  } else {
    *x = scale(raw_x, d.abs_x, g_screen_w);
    *y = scale(raw_y, d.abs_y, g_screen_h);
  }
  if (g_invert_x) *x = (double)(unsigned)(g_screen_w - 1u) - *x;
  if (g_invert_y) *y = (double)(unsigned)(g_screen_h - 1u) - *y;
}

void send_pointer(FLUTTER_API_SYMBOL(FlutterEngine) engine, FlutterPointerPhase phase, double x,
                  double y, int32_t device) {
  FlutterPointerEvent e;
  memset(&e, 0, sizeof e);
  e.struct_size = sizeof e;
  e.phase = phase;
  e.timestamp = (size_t)(engine_api().GetCurrentTime() / 1000);
  e.x = x;
  e.y = y;
  e.device = device;
  e.signal_kind = kFlutterPointerSignalKindNone;
  e.device_kind = kFlutterPointerDeviceKindTouch;
  e.view_id = 0;
  engine_api().SendPointerEvent(engine, &e, 1);
}

void deliver_page_key(FLUTTER_API_SYMBOL(FlutterEngine) engine, bool next, KeyAction action) {
  FlutterKeyEvent k;
  memset(&k, 0, sizeof k);
  k.struct_size = sizeof k;
  k.timestamp = (double)(engine_api().GetCurrentTime() / 1000);
  k.type = action == kKeyRelease  ? kFlutterKeyEventTypeUp
           : action == kKeyRepeat ? kFlutterKeyEventTypeRepeat
                                  : kFlutterKeyEventTypeDown;
  k.physical = next ? kHidPageDown : kHidPageUp;
  k.logical = next ? kLogicalPageDown : kLogicalPageUp;
  k.character = nullptr;
  k.synthesized = false;
  k.device_type = kFlutterKeyEventDeviceTypeKeyboard;
  // An engine without key events (before 2.2) hears the page key from the
  // message below alone, as its framework's raw keyboard expects.
  if (engine_api().SendKeyEvent) engine_api().SendKeyEvent(engine, &k, nullptr, nullptr);

  char json[192];
  int n = snprintf(json, sizeof json,
                   "{\"keymap\":\"linux\",\"toolkit\":\"gtk\",\"type\":\"%s\",\"keyCode\":%d,"
                   "\"scanCode\":%d,\"modifiers\":0,\"unicodeScalarValues\":0}",
                   action == kKeyRelease ? "keyup" : "keydown", next ? kGtkPageDown : kGtkPageUp,
                   (next ? KEY_PAGEDOWN : KEY_PAGEUP) + kX11KeycodeOffset);
  FlutterPlatformMessage m;
  memset(&m, 0, sizeof m);
  m.struct_size = sizeof m;
  m.channel = "flutter/keyevent";
  m.message = (const uint8_t*)json;
  m.message_size = (size_t)n;
  m.response_handle = nullptr;
  engine_api().SendPlatformMessage(engine, &m);
}

// Two contacts down at once never share an id: the engine takes a second
// down on an id that is down as a broken stream. The preferred id (the slot
// index, or 9 for the synthetic pointer) is used whenever it is free, so a
// single screen's contacts keep their slot numbers.
int32_t claim_pointer(int32_t preferred) {
  int32_t id = preferred;
  for (int i = kSlots; g_pointer_busy[id] && i < kPointerIds; i++) id = i;
  for (int i = 0; g_pointer_busy[id] && i < kSlots; i++) id = i;
  g_pointer_busy[id] = true;
  return id;
}

void send_contact(FLUTTER_API_SYMBOL(FlutterEngine) engine, FlutterPointerPhase phase, double x,
                  double y, int32_t id) {
  if (!g_added_pointers[id]) {
    send_pointer(engine, kAdd, x, y, id);
    g_added_pointers[id] = true;
  }
  send_pointer(engine, phase, x, y, id);
}

void flush_report(input_device& d, FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  for (int k = 0; k < kSlots; k++) {
    touch_slot& s = d.slots[k];
    if (!s.dirty) continue;
    s.dirty = false;
    double x, y;
    to_screen(d, s.x, s.y, &x, &y);
    if (s.tracking_id >= 0) {
      if (!s.down) {
        s.pointer = claim_pointer(k);
        if (g_log_touch) log_info("触点 %d 按下：原始 %d,%d → %.0f,%.0f\n", k, s.x, s.y, x, y);
      }
      send_contact(engine, s.down ? kMove : kDown, x, y, s.pointer);
      s.down = true;
    } else if (s.down) {
      if (g_log_touch) log_info("触点 %d 抬起：原始 %d,%d → %.0f,%.0f\n", k, s.x, s.y, x, y);
      send_pointer(engine, kUp, x, y, s.pointer);
      g_pointer_busy[s.pointer] = false;
      s.down = false;
    }
  }
}

void set_field(touch_slot& s, int32_t* field, int32_t value) {
  *field = value;
  s.dirty = true;
}

// The kernel's view of the contacts. The input core keeps every slot's last
// values after a lift and sends a value only when it changes, and a slot
// number only when the slot changes, so events alone never tell the state a
// node is in: it is asked for when the node is opened and after lost events.
void query_contacts(const input_device& d, touch_slot* now, int32_t* current_slot) {
  for (int k = 0; k < kSlots; k++) now[k] = d.slots[k];
  if (d.multitouch) {
    struct input_absinfo slot;
    memset(&slot, 0, sizeof slot);
    if (ioctl(d.fd, EVIOCGABS(ABS_MT_SLOT), &slot) == 0)
      *current_slot = slot.value >= 0 && slot.value < kSlots ? slot.value : 0;
    static const int kCodes[3] = {ABS_MT_TRACKING_ID, ABS_MT_POSITION_X, ABS_MT_POSITION_Y};
    for (int c = 0; c < 3; c++) {
      // The kernel writes only the slots the device has and leaves the rest
      // of the buffer as it was: preset, those read as "no contact".
      struct {
        uint32_t code;
        int32_t values[kSlots];
      } q;
      q.code = (uint32_t)kCodes[c];
      for (int32_t& v : q.values) v = -1;
      bool ok = ioctl(d.fd, EVIOCGMTSLOTS(sizeof q), &q) >= 0;
      for (int k = 0; k < kSlots; k++) {
        int32_t* field = c == 0 ? &now[k].tracking_id : (c == 1 ? &now[k].x : &now[k].y);
        // Without the kernel's answer no contact may stay down in the
        // application: the tracking ids fall back to "lifted".
        if (ok && k < d.slot_count) {
          *field = q.values[k];
        } else if (c == 0) {
          *field = -1;
        }
      }
    }
  } else {
    uint8_t keys[KEY_MAX / 8 + 1];
    memset(keys, 0, sizeof keys);
    bool touching = ioctl(d.fd, EVIOCGKEY(sizeof keys), keys) >= 0 && bit_set(keys, BTN_TOUCH);
    now[0].tracking_id = touching ? 0 : -1;
    struct input_absinfo a;
    memset(&a, 0, sizeof a);
    if (ioctl(d.fd, EVIOCGABS(ABS_X), &a) == 0) now[0].x = a.value;
    memset(&a, 0, sizeof a);
    if (ioctl(d.fd, EVIOCGABS(ABS_Y), &a) == 0) now[0].y = a.value;
  }
}

// After lost events the kernel's view is the truth: a slot is reported when
// it changed, or when the application's idea of whether it is down differs.
void resync(input_device& d) {
  touch_slot now[kSlots];
  query_contacts(d, now, &d.current_slot);
  for (int k = 0; k < kSlots; k++) {
    touch_slot& s = d.slots[k];
    if (now[k].tracking_id != s.tracking_id || now[k].x != s.x || now[k].y != s.y ||
        (now[k].tracking_id >= 0) != s.down)
      s.dirty = true;
    s.tracking_id = now[k].tracking_id;
    s.x = now[k].x;
    s.y = now[k].y;
  }
}

// The rest of what was read and whatever is still queued happened before the
// state about to be asked for: applied on top of it, a stale lift would end a
// contact that is still down and a stale value would land in the wrong slot.
void discard_queued(input_device& d) {
  struct input_event buf[64];
  for (int i = 0; i < 16 && read(d.fd, buf, sizeof buf) > 0; i++) {
  }
}

enum class Gap { kNone, kInside, kEnded };

// After SYN_DROPPED the kernel's queue overflowed: every event up to the next
// report belongs to a state we only partly saw, so it is skipped and the
// report that ends the gap asks for a fresh look at the kernel's state.
Gap follow_gap(input_device& d, const struct input_event& ev) {
  if (ev.type == EV_SYN && ev.code == SYN_DROPPED) {
    d.dropping = true;
    return Gap::kInside;
  }
  if (!d.dropping) return Gap::kNone;
  if (ev.type != EV_SYN || ev.code != SYN_REPORT) return Gap::kInside;
  d.dropping = false;
  return Gap::kEnded;
}

void touch_event(input_device& d, const struct input_event& ev,
                 FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  touch_slot& cur = d.slots[d.current_slot];
  if (ev.type == EV_SYN && ev.code == SYN_REPORT) {
    if (g_enabled) {
      flush_report(d, engine);
    } else {
      for (touch_slot& s : d.slots) s.dirty = false;
    }
  } else if (ev.type == EV_KEY && ev.code == BTN_TOUCH && !d.multitouch) {
    set_field(d.slots[0], &d.slots[0].tracking_id, ev.value != 0 ? 0 : -1);
  } else if (ev.type == EV_ABS) {
    switch (ev.code) {
      case ABS_X:
        if (!d.multitouch) set_field(d.slots[0], &d.slots[0].x, ev.value);
        break;
      case ABS_Y:
        if (!d.multitouch) set_field(d.slots[0], &d.slots[0].y, ev.value);
        break;
      case ABS_MT_SLOT:
        d.current_slot = ev.value >= 0 && ev.value < kSlots ? ev.value : 0;
        break;
      case ABS_MT_POSITION_X:
        set_field(cur, &cur.x, ev.value);
        break;
      case ABS_MT_POSITION_Y:
        set_field(cur, &cur.y, ev.value);
        break;
      case ABS_MT_TRACKING_ID:
        set_field(cur, &cur.tracking_id, ev.value);
        break;
      default:
        break;
    }
  }
}

// After lost events the application is told what changed: a key the kernel
// has up is released, one it has down is pressed. The kernel's answer also
// takes the key events still queued out of the queue, so nothing else would
// tell about a press that came meanwhile.
void resync_keys(input_device& d, FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  if (!g_enabled) return;
  uint8_t keys[KEY_MAX / 8 + 1];
  memset(keys, 0, sizeof keys);
  bool known = ioctl(d.fd, EVIOCGKEY(sizeof keys), keys) >= 0;
  for (int i = 0; i < 2; i++) {
    int code = (i == 1) != g_swap_page_keys ? KEY_PAGEUP : KEY_PAGEDOWN;
    bool down = known && bit_set(keys, code);
    if (down != d.key_pressed[i]) {
      deliver_page_key(engine, i == 1, down ? kKeyPress : kKeyRelease);
      d.key_pressed[i] = down;
    }
  }
}

void page_key_event(input_device& d, const struct input_event& ev,
                    FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  if (ev.type != EV_KEY || (ev.code != KEY_PAGEUP && ev.code != KEY_PAGEDOWN) || !g_enabled) return;
  bool next = (ev.code == KEY_PAGEUP) != g_swap_page_keys;
  KeyAction action = ev.value == kEvdevKeyUp       ? kKeyRelease
                     : ev.value == kEvdevKeyRepeat ? kKeyRepeat
                                                   : kKeyPress;
  if (g_log_touch)
    log_info("翻页键 %d %s → %s\n", ev.code, ev.value != kEvdevKeyUp ? "按下" : "抬起",
             next ? "下一页" : "上一页");
  bool& pressed = d.key_pressed[next ? 1 : 0];
  // The application only ever sees a release or repeat of a key it was told is
  // down: a button released while input was off had its release sent then, and
  // one still held when input comes back starts over with a press.
  if (action == kKeyRelease && !pressed) return;
  if (action == kKeyRepeat && !pressed) action = kKeyPress;
  pressed = action != kKeyRelease;
  deliver_page_key(engine, next, action);
}

// Everything the application still holds from this device is let go.
void release_held(input_device& d, FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  for (int k = 0; k < kSlots && !d.is_page_keys; k++) {
    touch_slot& s = d.slots[k];
    if (s.down) {
      double x, y;
      to_screen(d, s.x, s.y, &x, &y);
      send_pointer(engine, kCancel, x, y, s.pointer);
      g_pointer_busy[s.pointer] = false;
      s.down = false;
    }
    s.dirty = false;
  }
  for (int i = 0; i < 2; i++) {
    if (d.key_pressed[i]) {
      deliver_page_key(engine, i == 1, kKeyRelease);
      d.key_pressed[i] = false;
    }
  }
}

input_device& add_device(int fd, const char* name, const char* path) {
  input_device& d = g_devices[g_device_count++];
  memset(&d, 0, sizeof d);
  d.fd = fd;
  snprintf(d.name, sizeof d.name, "%.127s", name);
  snprintf(d.path, sizeof d.path, "%s", path);
  return d;
}

void open_node(const char* entry) {
  char path[300];
  snprintf(path, sizeof path, "/dev/input/%s", entry);
  if (g_device_count >= kMaxDevices) return;
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;

  // The kernel copies at most the buffer's length and adds no terminator
  // when the name fills it.
  char name[128] = "?";
  ioctl(fd, EVIOCGNAME(sizeof name), name);
  name[sizeof name - 1] = '\0';

  uint32_t types = 0;
  ioctl(fd, EVIOCGBIT(0, sizeof types), &types);

  bool touch = false;
  bool multitouch = false;
  if (types & (1u << EV_ABS)) {
    uint8_t abs[8];
    memset(abs, 0, sizeof abs);
    if (ioctl(fd, EVIOCGBIT(EV_ABS, sizeof abs), abs) >= 0) {
      if (bit_set(abs, ABS_MT_POSITION_X) && bit_set(abs, ABS_MT_POSITION_Y)) {
        touch = multitouch = true;
      } else if (bit_set(abs, ABS_X) && bit_set(abs, ABS_Y)) {
        touch = true;
      }
    }
  }

  if (touch) {
    input_device& d = add_device(fd, name, path);
    d.multitouch = multitouch;
    ioctl(fd, EVIOCGABS(multitouch ? ABS_MT_POSITION_X : ABS_X), &d.abs_x);
    ioctl(fd, EVIOCGABS(multitouch ? ABS_MT_POSITION_Y : ABS_Y), &d.abs_y);
    struct input_absinfo slots;
    memset(&slots, 0, sizeof slots);
    if (multitouch && ioctl(fd, EVIOCGABS(ABS_MT_SLOT), &slots) == 0 && slots.maximum >= 0)
      d.slot_count = slots.maximum < kSlots ? slots.maximum + 1 : kSlots;
    // The contacts start as the kernel holds them (empty when it cannot
    // tell). A finger already on the glass is not down for the application:
    // it comes as a new contact at its next change.
    for (touch_slot& s : d.slots) s.tracking_id = -1;
    query_contacts(d, d.slots, &d.current_slot);
    if (!setting_flag("FOLIAN_TOUCH_NO_GRAB") && ioctl(fd, EVIOCGRAB, 1) != 0)
      log_error("独占 %s 失败: %s\n", path, strerror(errno));
    log_info("触摸屏 %s（%s）：%s，x 量程 %d..%d，y 量程 %d..%d\n", path, d.name,
             multitouch ? "多点" : "单点", d.abs_x.minimum, d.abs_x.maximum, d.abs_y.minimum,
             d.abs_y.maximum);
    return;
  }

  if (types & (1u << EV_KEY)) {
    uint8_t keys[96];
    memset(keys, 0, sizeof keys);
    if (ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys) >= 0 && bit_set(keys, KEY_PAGEUP) &&
        bit_set(keys, KEY_PAGEDOWN)) {
      input_device& d = add_device(fd, name, path);
      d.is_page_keys = true;
      log_info("翻页键 %s（%s）\n", path, d.name);
      return;
    }
  }

  log_info("输入设备 %s（%s）：不是触摸屏也没有翻页键，跳过\n", path, name);
  close(fd);
}

void drop_device(int i, FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  input_device& d = g_devices[i];
  log_error("输入设备 %s（%s）不再可用，已停止读取\n", d.path, d.name);
  release_held(d, engine);
  close(d.fd);
  for (int j = i; j + 1 < g_device_count; j++) g_devices[j] = g_devices[j + 1];
  g_device_count--;
}

}  // namespace

void input_open(unsigned width, unsigned height) {
  g_screen_w = width;
  g_screen_h = height;
  g_swap_xy = setting_flag("FOLIAN_TOUCH_SWAP_XY");
  g_invert_x = setting_flag("FOLIAN_TOUCH_INVERT_X");
  g_invert_y = setting_flag("FOLIAN_TOUCH_INVERT_Y");
  g_log_touch = setting_flag("FOLIAN_LOG_TOUCH");
  g_swap_page_keys = setting_flag("FOLIAN_PAGE_KEYS_SWAP");

  DIR* dir = opendir("/dev/input");
  if (!dir) {
    log_error("打不开 /dev/input: %s\n", strerror(errno));
    return;
  }
  while (struct dirent* e = readdir(dir)) {
    if (strncmp(e->d_name, "event", 5) == 0) open_node(e->d_name);
  }
  closedir(dir);

  bool any_touch = false;
  for (int i = 0; i < g_device_count; i++) any_touch = any_touch || !g_devices[i].is_page_keys;
  if (!any_touch) log_error("没找到触摸屏\n");
}

int input_poll_fds(struct pollfd* fds, int capacity) {
  if (capacity < 1) return 0;
  int n = g_device_count < capacity ? g_device_count : capacity;
  for (int i = 0; i < n; i++) {
    fds[i].fd = g_devices[i].fd;
    fds[i].events = POLLIN;
    fds[i].revents = 0;
  }
  return n;
}

// Reads of one device per loop pass, 64 events each; what is left is read in
// the next pass.
constexpr int kReadsPerPass = 16;

void input_process(const struct pollfd* fds, int count, FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  // Devices that went away are removed after the pass, so that entry i keeps
  // belonging to record i while the entries are looked at.
  bool gone[kMaxDevices] = {};
  int n = count < g_device_count ? count : g_device_count;
  for (int i = 0; i < n; i++) {
    input_device& d = g_devices[i];
    short rev = fds[i].revents;
    if (fds[i].fd != d.fd) continue;
    if (rev & POLLIN) {
      // Bounded per pass, like every source: a device that never stops
      // reporting must not keep the loop from the others and from signals.
      for (int reads = 0; reads < kReadsPerPass; reads++) {
        struct input_event buf[64];
        ssize_t got = read(d.fd, buf, sizeof buf);
        if (got <= 0) {
          if (got < 0 && errno == ENODEV) gone[i] = true;
          break;
        }
        size_t events = (size_t)got / sizeof buf[0];
        for (size_t e = 0; e < events; e++) {
          Gap gap = follow_gap(d, buf[e]);
          if (gap == Gap::kInside) continue;
          if (gap == Gap::kEnded) {
            discard_queued(d);
            if (d.is_page_keys) {
              resync_keys(d, engine);
            } else {
              resync(d);
              touch_event(d, buf[e], engine);
            }
            break;
          }
          if (d.is_page_keys) {
            page_key_event(d, buf[e], engine);
          } else {
            touch_event(d, buf[e], engine);
          }
        }
        if (g_enabled) power_user_activity();
      }
    } else if (rev & (POLLERR | POLLHUP | POLLNVAL)) {
      // Hang-up or error with nothing left to read: the node will never
      // deliver again, and polling it would wake the loop at once forever.
      gone[i] = true;
    }
  }
  for (int i = n - 1; i >= 0; i--)
    if (gone[i]) drop_device(i, engine);
}

void input_set_enabled(FLUTTER_API_SYMBOL(FlutterEngine) engine, bool enabled) {
  if (enabled == g_enabled) return;
  g_enabled = enabled;
  if (enabled) return;
  for (int i = 0; i < g_device_count; i++) release_held(g_devices[i], engine);
}

void input_synthetic_pointer(FLUTTER_API_SYMBOL(FlutterEngine) engine, FlutterPointerPhase phase,
                             double x, double y) {
  if (g_synthetic_pointer < 0) g_synthetic_pointer = claim_pointer(kSyntheticDevice);
  send_contact(engine, phase, x, y, g_synthetic_pointer);
  if (phase == kUp || phase == kCancel) {
    g_pointer_busy[g_synthetic_pointer] = false;
    g_synthetic_pointer = -1;
  }
}

void input_send_page_key(FLUTTER_API_SYMBOL(FlutterEngine) engine, bool next, int action) {
  deliver_page_key(engine, next,
                   action == kKeyRelease  ? kKeyRelease
                   : action == kKeyRepeat ? kKeyRepeat
                                          : kKeyPress);
}

void input_close() {
  for (int i = 0; i < g_device_count; i++) {
    input_device& d = g_devices[i];
    if (!d.is_page_keys) ioctl(d.fd, EVIOCGRAB, 0);
    close(d.fd);
    // The contacts of a closed node never lift: their ids are free again.
    for (touch_slot& s : d.slots)
      if (s.down) g_pointer_busy[s.pointer] = false;
  }
  g_device_count = 0;
}
