// The device's power events (screensaver on and off) and the idle timer.
#pragma once

#include <stddef.h>

enum {
  POWER_EVENT_NONE = 0,
  POWER_EVENT_SCREENSAVER_ON = 1,
  POWER_EVENT_SCREENSAVER_OFF = 2,
};

// The device's tools this module runs.
extern const char kWaitEventPath[];
extern const char kSetPropPath[];

int power_open();
int power_fd();
int power_read();
// Adds the event-wait tool's output to the line being assembled; returns the
// event of the last complete line that names one, or POWER_EVENT_NONE.  A
// line longer than 255 bytes keeps its start.  power_read feeds it what it
// reads; declared here so the fuzz target can reach it.
int power_parse_output(const char* bytes, size_t n);
void power_close();
void power_reset_idle_timer();
void power_user_activity();
