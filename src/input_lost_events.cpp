// Making good lost events. When a client does not read in time, the kernel
// replaces its whole queue with SYN_DROPPED and the newest event, and what
// follows up to the next report is the tail of a report whose beginning is
// gone. From that report on, the stream is whole again, but it starts from a
// state nobody saw: the kernel must be asked for it. Its answer is the state
// of the moment it is asked, and so already holds every event still queued.
// Asking at the end of the gap and then reading on would apply those events
// twice (a stale lift on a new contact, a page press on top of the state that
// holds it); and the key state query takes the queued key events out of the
// queue, so a page press and release behind the gap would never be seen. So
// the queue is read empty first, and what follows the gap is held; then the
// kernel is asked, the application is brought to the state of the gap's end
// as far as the answer and the held events tell it, and the held events are
// delivered in order.
#include <linux/input.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "input_device.h"

namespace input {
namespace {

constexpr int kHeld = 1024;
struct input_event g_held[kHeld];
int g_held_count;
// Reads of a device in one gap: one that reports faster than it is read must
// not hold the loop; its gap goes on in the next pass.
constexpr int kGapReads = 64;

}  // namespace

// The kernel's contacts, asked for when a node is opened and at a gap's end.
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

namespace {

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

// The application is told of the page keys whose state differs from `want`.
void adopt_keys(input_device& d, const bool* want, FLUTTER_API_SYMBOL(FlutterEngine) engine) {
  if (!enabled()) return;
  for (int i = 0; i < 2; i++) {
    if (want[i] == d.key_pressed[i]) continue;
    deliver_page_key(engine, i == 1, want[i] ? kKeyPress : kKeyRelease);
    d.key_pressed[i] = want[i];
  }
}

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
  // Which fields the held events change, and the first value each takes.
  uint8_t changed[kSlots] = {};
  int32_t first[kSlots][kNoField] = {};
  int32_t slot = start;
  for (int i = 0; i < g_held_count; i++) {
    if (is_event(g_held[i], EV_ABS, ABS_MT_SLOT)) {
      slot = kept_slot(g_held[i].value);
      continue;
    }
    Change c = change_of(d, slot, g_held[i]);
    if (c.field == kNoField) continue;
    if (!(changed[c.slot] & (1u << c.field))) first[c.slot][c.field] = c.value;
    changed[c.slot] |= (uint8_t)(1u << c.field);
  }
  // The state at the gap's end: the kernel's, but for what the held events
  // change; their first change says only what the value was not.
  for (int k = 0; k < kSlots; k++) {
    touch_slot& s = d.slots[k];
    touch_slot then = now[k];
    if ((changed[k] & (1u << kTrackingId)) && first[k][kTrackingId] >= 0) {
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
    // A position the held events change is, at the gap's end, where the
    // application last saw its own contact. A contact it does not hold
    // landed unseen, and its first known place is where the held events
    // first put it: the last contact's place would make a drag nobody made.
    bool own = s.down && s.tracking_id == then.tracking_id;
    if (changed[k] & (1u << kX)) then.x = own ? s.x : first[k][kX];
    if (changed[k] & (1u << kY)) then.y = own ? s.y : first[k][kY];
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

}  // namespace

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

}  // namespace input
