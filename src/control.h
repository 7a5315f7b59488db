// The control FIFO: scripted taps, swipes, page keys, sleep and wake, full
// refreshes, the panel's switches (night mode, dithering, motion, flashes)
// and the application's orientation.
#pragma once

#include "flutter_embedder.h"

typedef void (*ControlPowerHandler)(int sleep);

void control_open(ControlPowerHandler on_power);
// Whether control_open could make the FIFO FOLIAN_CONTROL names (unset: yes),
// told in one line; nothing is made.
bool control_check();
int control_fd();
void control_read();
int control_next_timeout_ms();
void control_run_due(FLUTTER_API_SYMBOL(FlutterEngine) engine);
void control_close();
