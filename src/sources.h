// Where the reader's battery, front light, warmth and screensaver lock come
// from: the power daemon's properties (through the LIPC library, else its
// property tools), else the kernel's power_supply and backlight classes in
// sysfs, else nowhere.
//
// Everything but the pure helpers may block (a slow daemon, a sysfs node
// that hangs): the device module calls them on its worker thread only, and
// `sources_open` before anything else.
#pragma once

// Level 0..100, or -1 when unknown; `state` is one of "charging",
// "discharging", "full", "unknown".
struct BatteryReading {
  int level;
  bool charging;
  const char* state;
};

// Each 0..100, or -1 where the reader has no such light or it cannot be read.
struct LightReading {
  int brightness;
  int warmth;
};

struct DeviceCapabilities {
  bool battery;
  bool frontlight;
  bool warmth;
  bool keep_awake;
};

// Chooses the source of each service, one log line each.
void sources_open();
DeviceCapabilities sources_capabilities();
// True when the battery is read from sysfs, which tells no one of changes.
bool sources_battery_polled();
BatteryReading sources_battery();
LightReading sources_frontlight();
// Either value -1 leaves that light as it is.  False, with nothing changed,
// when a light asked for is missing; false after a failed write (logged).
bool sources_set_frontlight(int brightness, int warmth);
bool sources_keep_awake(bool on);
// Writes a battery level and charging state where the battery is read from:
// the device's own are read-only, a stand-in's move.
bool sources_set_battery(int level, bool charging);

// The 0..100 scale on a native 0..max range and back, both rounding to the
// nearest step and monotonic.  A native value outside the range is clamped.
int percent_from_native(int native, int max);
int native_from_percent(int percent, int max);
// A battery as the power_supply class tells it: `capacity` (-1 when
// unreadable) and the `status` word with or without its newline.
BatteryReading battery_from_sysfs(int capacity, const char* status);
// As the power daemon tells it: battLevel (-1 when unreadable) and isCharging.
BatteryReading battery_from_daemon(int level, int is_charging);
