// The device's power events (screensaver on and off) and the idle timer.
#pragma once

#include <stddef.h>

enum {
  POWER_EVENT_NONE = 0,
  POWER_EVENT_SCREENSAVER_ON = 1,
  POWER_EVENT_SCREENSAVER_OFF = 2,
  // The battery's level or charging state changed.
  POWER_EVENT_BATTERY = 3,
};

// The device's tools this module runs.
extern const char kWaitEventPath[];
extern const char kSetPropPath[];

// Takes one event; called for every line that names one, in the order the
// tool printed them.
using PowerEventHandler = void (*)(int event);

int power_open();
int power_fd();
// Reads what the event-wait tool printed and hands each event to `on_event`
// as its line completes; returns how many there were.  A sleep and the wake
// after it may come in one read (the program did not run between them, as
// around a suspend): both are handed on.
int power_read(PowerEventHandler on_event);
// Adds the tool's output to the line being assembled, handing on the event
// of every complete line that names one; returns how many.  A line longer
// than 255 bytes keeps its start.  power_read feeds it what it reads;
// declared here so the fuzz target can reach it.
int power_parse_output(const char* bytes, size_t n, PowerEventHandler on_event);
void power_close();
void power_reset_idle_timer();
void power_user_activity();
