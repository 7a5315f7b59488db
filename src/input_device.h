// An opened event node as the input module's three units share it, and what
// each unit offers the others: finding and reading the nodes
// (input_nodes.cpp), translating their events for the engine
// (input_events.cpp) and making good events the kernel lost
// (input_lost_events.cpp).  Not part of the module's interface (input.h).
#pragma once

#include <linux/input.h>
#include <stddef.h>
#include <stdint.h>

#include "flutter_embedder.h"
#include "input.h"

namespace input {

constexpr int kMaxDevices = 8;
constexpr int kSlots = 10;
// The slot multi-touch values go to when they must be ignored: a slot past
// the ones kept, or one not known after lost events.
constexpr int32_t kIgnoredSlot = -1;

// The value of an EV_KEY event.
constexpr int32_t kEvdevKeyUp = 0;
constexpr int32_t kEvdevKeyRepeat = 2;

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

inline bool bit_set(const uint8_t* mask, int bit) { return (mask[bit / 8] >> (bit % 8)) & 1; }

inline bool is_event(const struct input_event& ev, int type, int code) {
  return ev.type == type && ev.code == code;
}

// --- Translating events (input_events.cpp) ---

// The screen the contacts are mapped to, and the settings of the
// translation, read once at open.
void set_screen(unsigned width, unsigned height);
void read_settings();
// Whether input reaches the engine (off while the screensaver is up).
bool enabled();
void set_enabled(bool on);

// A controller may have more slots than we keep: values for the others must
// not land in a slot that holds another finger.
int32_t kept_slot(int32_t value);

enum Field : uint8_t { kTrackingId, kX, kY, kNoField };

// What a touch-screen event sets: which field of which slot, to what value.
// A single-touch screen has one contact, in slot 0, whose tracking id
// BTN_TOUCH stands for.
struct Change {
  int32_t slot;
  Field field;
  int32_t value;
};

Change change_of(const input_device& d, int32_t slot, const struct input_event& ev);
int32_t& field(touch_slot& s, Field f);

// One event of a touch screen or of page buttons, in the order read.
void touch_event(input_device& d, const struct input_event& ev,
                 FLUTTER_API_SYMBOL(FlutterEngine) engine);
void page_key_event(input_device& d, const struct input_event& ev,
                    FLUTTER_API_SYMBOL(FlutterEngine) engine);

// The application's contact in this slot ends where the application last saw
// it.
void end_contact(const input_device& d, touch_slot& s, FlutterPointerPhase phase,
                 FLUTTER_API_SYMBOL(FlutterEngine) engine);
// A report reaches the engine while input is on and is forgotten while it is
// off; the slots follow the kernel either way.
void end_report(input_device& d, FLUTTER_API_SYMBOL(FlutterEngine) engine);

// Which of the application's two page keys an evdev key is: 1 next, 0 previous.
int key_index(int code);
bool is_page_key(const struct input_event& ev);
void deliver_page_key(FLUTTER_API_SYMBOL(FlutterEngine) engine, bool next, KeyAction action);

// Everything the application still holds from this device is let go.
void release_held(input_device& d, FLUTTER_API_SYMBOL(FlutterEngine) engine);
// The device is closed: the ids of its contacts are free again, unlifted.
void forget_contacts(const input_device& d);

// --- Lost events (input_lost_events.cpp) ---

// The kernel's view of the contacts. The input core keeps every slot's last
// values after a lift and sends a value only when it changes, and a slot
// number only when the slot changes, so events alone never tell the state a
// node is in: it is asked for when the node is opened and after lost events.
void query_contacts(const input_device& d, touch_slot* now, int32_t* current_slot);

// Takes a device through a gap, from its SYN_DROPPED (or where the last pass
// left it) on; `evs` is the rest of what was read.
void take_gap(input_device& d, const struct input_event* evs, size_t n,
              FLUTTER_API_SYMBOL(FlutterEngine) engine);

}  // namespace input
