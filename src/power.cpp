// Placeholder until power events land.
#include "power.h"

int power_open() { return -1; }
int power_fd() { return -1; }
int power_read() { return POWER_EVENT_NONE; }
void power_close() {}
void power_reset_idle_timer() {}
void power_user_activity() {}
