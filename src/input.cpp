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
// The slot multi-touch values go to when they must be ignored: a slot past
// the ones kept, or one not known after lost events.
constexpr int32_t kIgnoredSlot = -1;
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
  // Slot of the next multi-touch values, or kIgnoredSlot until the next
  // ABS_MT_SLOT.
  int32_t current_slot;
  // Slots the kernel has for this device (at most kSlots); the others never
  // hold a contact.
  int32_t slot_count;
  touch_slot slots[kSlots];
  // Events were lost in the kernel's buffer and the report that ends the
  // loss has not been read yet.
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
// The application's picture turned clockwise on the panel, in degrees.
int g_degrees;
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
  // The settings above place the contact on the panel; the application
  // lays out in its own turned frame.
  const double last_x = (double)(unsigned)(g_screen_w - 1u);
  const double last_y = (double)(unsigned)(g_screen_h - 1u);
  const double px = *x, py = *y;
  switch (g_degrees) {
    case 90:
      *x = py;
      *y = last_x - px;
      break;
    case 180:
      *x = last_x - px;
      *y = last_y - py;
      break;
    case 270:
      *x = last_y - py;
      *y = px;
      break;
    default:
      break;
  }
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

// The application's contact in this slot ends where the application last saw
// it.
void end_contact(const input_device& d, touch_slot& s, FlutterPointerPhase phase,
                 FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  double x, y;
  to_screen(d, s.x, s.y, &x, &y);
  send_pointer(engine, phase, x, y, s.pointer);
  g_pointer_busy[s.pointer] = false;
  s.down = false;
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
      end_contact(d, s, kUp, engine);
    }
  }
}

// A report reaches the engine while input is on and is forgotten while it is
// off; the slots follow the kernel either way.
void end_report(input_device& d, FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  if (g_enabled) {
    flush_report(d, engine);
  } else {
    for (touch_slot& s : d.slots) s.dirty = false;
  }
}

// A controller may have more slots than we keep: values for the others must
// not land in a slot that holds another finger.
int32_t kept_slot(int32_t value) { return value >= 0 && value < kSlots ? value : kIgnoredSlot; }

bool is_event(const struct input_event& ev, int type, int code) {
  return ev.type == type && ev.code == code;
}

enum Field : uint8_t { kTrackingId, kX, kY, kNoField };

// What a touch-screen event sets: which field of which slot, to what value.
// A single-touch screen has one contact, in slot 0, whose tracking id
// BTN_TOUCH stands for.
struct Change {
  int32_t slot;
  Field field;
  int32_t value;
};

Change change_of(const input_device& d, int32_t slot, const struct input_event& ev) {
  Change c = {slot, kNoField, ev.value};
  if (!d.multitouch && (is_event(ev, EV_KEY, BTN_TOUCH) || is_event(ev, EV_ABS, ABS_X) ||
                        is_event(ev, EV_ABS, ABS_Y))) {
    c.slot = 0;
    c.field = ev.type == EV_KEY ? kTrackingId : ev.code == ABS_X ? kX : kY;
    if (ev.type == EV_KEY) c.value = ev.value != 0 ? 0 : -1;
  } else if (ev.type == EV_ABS && slot >= 0) {
    c.field = ev.code == ABS_MT_POSITION_X    ? kX
              : ev.code == ABS_MT_POSITION_Y  ? kY
              : ev.code == ABS_MT_TRACKING_ID ? kTrackingId
                                              : kNoField;
  }
  return c;
}

int32_t& field(touch_slot& s, Field f) {
  return f == kTrackingId ? s.tracking_id : f == kX ? s.x : s.y;
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
    if (ioctl(d.fd, EVIOCGABS(ABS_MT_SLOT), &slot) == 0) *current_slot = kept_slot(slot.value);
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
        int32_t* value = c == 0 ? &now[k].tracking_id : (c == 1 ? &now[k].x : &now[k].y);
        // Without the kernel's answer no contact may stay down in the
        // application: the tracking ids fall back to "lifted".
        if (ok && k < d.slot_count) {
          *value = q.values[k];
        } else if (c == 0) {
          *value = -1;
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

// Brings slot k to the values `want`. A contact the application holds goes on
// only while the slot keeps its tracking id: another id means that the finger
// lifted and a new one landed while events were lost, and moving the old
// contact there would make one drag of two taps.
void adopt(input_device& d, int k, const touch_slot& want,
           FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  touch_slot& s = d.slots[k];
  if (s.down && want.tracking_id != s.tracking_id) end_contact(d, s, kUp, engine);
  if (want.tracking_id != s.tracking_id || want.x != s.x || want.y != s.y ||
      (want.tracking_id >= 0) != s.down)
    s.dirty = true;
  s.tracking_id = want.tracking_id;
  s.x = want.x;
  s.y = want.y;
}

void touch_event(input_device& d, const struct input_event& ev,
                 FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  if (is_event(ev, EV_SYN, SYN_REPORT)) {
    end_report(d, engine);
  } else if (is_event(ev, EV_ABS, ABS_MT_SLOT)) {
    d.current_slot = kept_slot(ev.value);
  } else {
    Change c = change_of(d, d.current_slot, ev);
    if (c.field == kNoField) return;
    touch_slot& s = d.slots[c.slot];
    field(s, c.field) = c.value;
    s.dirty = true;
  }
}

// Which of the application's two page keys an evdev key is: 1 next, 0 previous.
int key_index(int code) { return (code == KEY_PAGEUP) != g_swap_page_keys ? 1 : 0; }

bool is_page_key(const struct input_event& ev) {
  return ev.type == EV_KEY && (ev.code == KEY_PAGEUP || ev.code == KEY_PAGEDOWN);
}

void page_key_event(input_device& d, const struct input_event& ev,
                    FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  if (!is_page_key(ev) || !g_enabled) return;
  bool next = key_index(ev.code) == 1;
  KeyAction action = ev.value == kEvdevKeyUp       ? kKeyRelease
                     : ev.value == kEvdevKeyRepeat ? kKeyRepeat
                                                   : kKeyPress;
  if (g_log_touch)
    log_info("翻页键 %d %s → %s\n", ev.code, ev.value != kEvdevKeyUp ? "按下" : "抬起",
             next ? "下一页" : "上一页");
  bool& pressed = d.key_pressed[next ? 1 : 0];
  // The application only ever sees a key go down when it is up and come up
  // when it is down: a button released while input was off had its release
  // sent then, one still held when input comes back starts over with a press,
  // and the kernel's key state asked for after lost events can already hold a
  // press whose event is read afterwards.
  if (action == kKeyRelease && !pressed) return;
  if (action == kKeyPress && pressed) return;
  if (action == kKeyRepeat && !pressed) action = kKeyPress;
  pressed = action != kKeyRelease;
  deliver_page_key(engine, next, action);
}

// The application is told of the page keys whose state differs from `want`.
void adopt_keys(input_device& d, const bool* want, FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  if (!g_enabled) return;
  for (int i = 0; i < 2; i++) {
    if (want[i] == d.key_pressed[i]) continue;
    deliver_page_key(engine, i == 1, want[i] ? kKeyPress : kKeyRelease);
    d.key_pressed[i] = want[i];
  }
}

// Everything the application still holds from this device is let go.
void release_held(input_device& d, FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  for (int k = 0; k < kSlots && !d.is_page_keys; k++) {
    touch_slot& s = d.slots[k];
    if (s.down) end_contact(d, s, kCancel, engine);
    s.dirty = false;
  }
  for (int i = 0; i < 2; i++) {
    if (d.key_pressed[i]) {
      deliver_page_key(engine, i == 1, kKeyRelease);
      d.key_pressed[i] = false;
    }
  }
}

// Lost events. When a client does not read in time, the kernel replaces its
// whole queue with SYN_DROPPED and the newest event, and what follows up to
// the next report is the tail of a report whose beginning is gone. From that
// report on, the stream is whole again, but it starts from a state nobody
// saw: the kernel must be asked for it. Its answer is the state of the moment
// it is asked, and so already holds every event still queued. Asking at the
// end of the gap and then reading on would apply those events twice (a stale
// lift on a new contact, a page press on top of the state that holds it); and
// the key state query takes the queued key events out of the queue, so a page
// press and release behind the gap would never be seen. So the queue is read
// empty first, and what follows the gap is held; then the kernel is asked,
// the application is brought to the state of the gap's end as far as the
// answer and the held events tell it, and the held events are delivered in
// order.
constexpr int kHeld = 1024;
struct input_event g_held[kHeld];
int g_held_count;
// Reads of a device in one gap: one that reports faster than it is read must
// not hold the loop; its gap goes on in the next pass.
constexpr int kGapReads = 64;

// The hold is full: its whole reports go as if lost with the gap, since the
// state asked for later holds what they did.
void fold_held(input_device& d) {
  int cut = 0;
  for (int i = 0; i < g_held_count; i++)
    if (is_event(g_held[i], EV_SYN, SYN_REPORT)) cut = i + 1;
  if (cut == 0) {
    // One report longer than the hold: the gap goes on to its end.
    cut = g_held_count;
    d.dropping = true;
  }
  memmove(g_held, g_held + cut, (size_t)(g_held_count - cut) * sizeof g_held[0]);
  g_held_count -= cut;
}

void gap_take(input_device& d, const struct input_event* evs, size_t n) {
  for (size_t i = 0; i < n; i++) {
    const struct input_event& ev = evs[i];
    if (is_event(ev, EV_SYN, SYN_DROPPED)) {
      // Lost again: what was held is older than this loss and goes with it.
      d.dropping = true;
      g_held_count = 0;
      continue;
    }
    if (!d.dropping && g_held_count == kHeld) fold_held(d);
    if (d.dropping) {
      d.dropping = !is_event(ev, EV_SYN, SYN_REPORT);
    } else {
      g_held[g_held_count++] = ev;
    }
  }
}

void resolve_touch(input_device& d, FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  touch_slot now[kSlots];
  int32_t kernel_slot = d.current_slot;
  query_contacts(d, now, &kernel_slot);
  // The slot of the held values before their first ABS_MT_SLOT is the
  // kernel's current one when nothing held selects another; otherwise it
  // cannot be told and they are ignored.
  int32_t start = kernel_slot;
  for (int i = 0; i < g_held_count; i++)
    if (is_event(g_held[i], EV_ABS, ABS_MT_SLOT)) start = kIgnoredSlot;
  // Which fields the held events change, and each slot's first tracking id.
  uint8_t changed[kSlots] = {};
  int32_t first_id[kSlots] = {};
  int32_t slot = start;
  for (int i = 0; i < g_held_count; i++) {
    if (is_event(g_held[i], EV_ABS, ABS_MT_SLOT)) {
      slot = kept_slot(g_held[i].value);
      continue;
    }
    Change c = change_of(d, slot, g_held[i]);
    if (c.field == kNoField) continue;
    if (c.field == kTrackingId && !(changed[c.slot] & (1u << kTrackingId)))
      first_id[c.slot] = c.value;
    changed[c.slot] |= (uint8_t)(1u << c.field);
  }
  // The state at the gap's end: the kernel's, but for what the held events
  // change; their first change says only what the value was not.
  for (int k = 0; k < kSlots; k++) {
    touch_slot& s = d.slots[k];
    touch_slot then = now[k];
    if (changed[k] & (1u << kX)) then.x = s.x;
    if (changed[k] & (1u << kY)) then.y = s.y;
    if ((changed[k] & (1u << kTrackingId)) && first_id[k] >= 0) {
      // A new contact comes: whatever the slot held had ended.
      then.tracking_id = -1;
    } else if (changed[k] & (1u << kTrackingId)) {
      // A contact lifts, but it may be one that landed unseen after the
      // application's lifted: the application's is cancelled rather than
      // moved or lifted where the other one was. A single-touch screen
      // cannot tell contacts apart, and its contact goes on.
      if (d.multitouch && s.down) end_contact(d, s, kCancel, engine);
      then.tracking_id = s.down ? s.tracking_id : -1;
    }
    adopt(d, k, then, engine);
  }
  end_report(d, engine);
  d.current_slot = start;
  for (int i = 0; i < g_held_count; i++) touch_event(d, g_held[i], engine);
  // What came after the last read is in the answer, and is read later or, for
  // BTN_TOUCH, was taken out of the queue by the question.
  for (int k = 0; k < kSlots; k++) adopt(d, k, now[k], engine);
  end_report(d, engine);
}

// As for contacts: the keys at the gap's end, then what was held. A held key
// event is the key's first change since then: a press says it was up, a
// release or repeat that it was down.
void resolve_keys(input_device& d, FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  uint8_t keys[KEY_MAX / 8 + 1];
  memset(keys, 0, sizeof keys);
  bool known = ioctl(d.fd, EVIOCGKEY(sizeof keys), keys) >= 0;
  bool now[2], then[2], seen[2] = {false, false};
  static const int kCodes[2] = {KEY_PAGEUP, KEY_PAGEDOWN};
  for (int code : kCodes)
    now[key_index(code)] = then[key_index(code)] = known && bit_set(keys, code);
  for (int i = 0; i < g_held_count; i++) {
    const struct input_event& ev = g_held[i];
    if (!is_page_key(ev) || seen[key_index(ev.code)]) continue;
    seen[key_index(ev.code)] = true;
    then[key_index(ev.code)] = ev.value == kEvdevKeyUp || ev.value == kEvdevKeyRepeat;
  }
  adopt_keys(d, then, engine);
  for (int i = 0; i < g_held_count; i++) page_key_event(d, g_held[i], engine);
  // A key that changed after the last read was taken out of the queue by the
  // question.
  adopt_keys(d, now, engine);
}

// Takes a device through a gap, from its SYN_DROPPED (or where the last pass
// left it) on; `evs` is the rest of what was read.
void take_gap(input_device& d, const struct input_event* evs, size_t n,
              FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  g_held_count = 0;
  gap_take(d, evs, n);
  struct input_event buf[64];
  ssize_t got;
  for (int reads = 0; reads < kGapReads && (got = read(d.fd, buf, sizeof buf)) > 0; reads++)
    gap_take(d, buf, (size_t)got / sizeof buf[0]);
  if (d.dropping) return;
  if (d.is_page_keys) {
    resolve_keys(d, engine);
  } else {
    resolve_touch(d, engine);
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

// Calls `visit` with the path of each event node, where the kernel puts
// touch screens and buttons; false, with errno set, when the directory
// cannot be listed.
template <typename Visit>
bool for_each_event_node(Visit visit) {
  DIR* dir = opendir("/dev/input");
  if (!dir) return false;
  while (struct dirent* e = readdir(dir)) {
    if (strncmp(e->d_name, "event", 5) != 0) continue;
    char path[300];
    snprintf(path, sizeof path, "/dev/input/%s", e->d_name);
    visit(path);
  }
  closedir(dir);
  return true;
}

void open_node(const char* path) {
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

  if (!for_each_event_node(open_node)) {
    log_error("打不开 /dev/input: %s\n", strerror(errno));
    return;
  }

  bool any_touch = false;
  for (int i = 0; i < g_device_count; i++) any_touch = any_touch || !g_devices[i].is_page_keys;
  if (!any_touch) log_error("没找到触摸屏\n");
}

int input_count_readable_nodes() {
  int nodes = 0;
  for_each_event_node([&](const char* path) { nodes += access(path, R_OK) == 0; });
  return nodes;
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
          if (d.dropping || is_event(buf[e], EV_SYN, SYN_DROPPED)) {
            take_gap(d, buf + e, events - e, engine);
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

void input_set_orientation(int degrees) { g_degrees = degrees; }

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
