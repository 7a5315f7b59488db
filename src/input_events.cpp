// Translating events: a touch screen's contacts become the engine's pointer
// events, one pointer id per contact, at the report that ends each change;
// page buttons become a key event and the key-event channel's message.
#include <linux/input.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "engine.h"
#include "input_device.h"
#include "log.h"
#include "settings.h"

namespace input {
namespace {

constexpr int kSyntheticDevice = 9;
// One pointer id for every slot of every device and one for the synthetic
// pointer, so that a contact going down always finds a free one.
constexpr int kPointerIds = kMaxDevices * kSlots + 1;

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
bool g_added_pointers[kPointerIds];
// Pointer ids of the contacts that are down at this moment, real and synthetic.
bool g_pointer_busy[kPointerIds];
int32_t g_synthetic_pointer = -1;

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
      end_contact(d, s, kUp, engine);
    }
  }
}

}  // namespace

void set_screen(unsigned width, unsigned height) {
  g_screen_w = width;
  g_screen_h = height;
}

void read_settings() {
  g_swap_xy = setting_flag("FOLIAN_TOUCH_SWAP_XY");
  g_invert_x = setting_flag("FOLIAN_TOUCH_INVERT_X");
  g_invert_y = setting_flag("FOLIAN_TOUCH_INVERT_Y");
  g_log_touch = setting_flag("FOLIAN_LOG_TOUCH");
  g_swap_page_keys = setting_flag("FOLIAN_PAGE_KEYS_SWAP");
}

bool enabled() { return g_enabled; }

void set_enabled(bool on) { g_enabled = on; }

// --- Touch screens ---

void end_contact(const input_device& d, touch_slot& s, FlutterPointerPhase phase,
                 FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  double x, y;
  to_screen(d, s.x, s.y, &x, &y);
  send_pointer(engine, phase, x, y, s.pointer);
  g_pointer_busy[s.pointer] = false;
  s.down = false;
}

void end_report(input_device& d, FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  if (g_enabled) {
    flush_report(d, engine);
  } else {
    for (touch_slot& s : d.slots) s.dirty = false;
  }
}

int32_t kept_slot(int32_t value) { return value >= 0 && value < kSlots ? value : kIgnoredSlot; }

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

// --- Page buttons ---

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

// --- Letting go ---

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

void forget_contacts(const input_device& d) {
  for (const touch_slot& s : d.slots)
    if (s.down) g_pointer_busy[s.pointer] = false;
}

}  // namespace input

// The control pipe's contact and page keys, in screen pixels and as pressed:
// nothing to translate, and not subject to input being off.

void input_synthetic_pointer(FLUTTER_API_SYMBOL(FlutterEngine) engine, FlutterPointerPhase phase,
                             double x, double y) {
  using namespace input;
  if (g_synthetic_pointer < 0) g_synthetic_pointer = claim_pointer(kSyntheticDevice);
  send_contact(engine, phase, x, y, g_synthetic_pointer);
  if (phase == kUp || phase == kCancel) {
    g_pointer_busy[g_synthetic_pointer] = false;
    g_synthetic_pointer = -1;
  }
}

void input_send_page_key(FLUTTER_API_SYMBOL(FlutterEngine) engine, bool next, int action) {
  input::deliver_page_key(engine, next,
                          action == kKeyRelease  ? kKeyRelease
                          : action == kKeyRepeat ? kKeyRepeat
                                                 : kKeyPress);
}

// Contacts turn with the application's picture; the control pipe's are in
// the application's frame already.
void input_set_orientation(int degrees) { input::g_degrees = degrees; }
