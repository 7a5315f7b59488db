// The device's power events (screensaver on and off) and the idle timer.
#pragma once

enum {
  POWER_EVENT_NONE = 0,
  POWER_EVENT_SCREENSAVER_ON = 1,
  POWER_EVENT_SCREENSAVER_OFF = 2,
};

int power_open();
int power_fd();
int power_read();
void power_close();
void power_reset_idle_timer();
void power_user_activity();
