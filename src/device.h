// The reader's own services for the application: battery, front light,
// warmth and keeping the screensaver away, on the method channel
// app.folian.device, and battery changes on the event channel
// app.folian.device/battery.
//
// Every entry point runs on the platform thread and returns at once: the
// sources (sources.h) are read by a worker thread of this module, and a reply
// is sent from the loop when the worker is done, or as "unknown" when it is
// not done in time.
#pragma once

#include "flutter_embedder.h"

// Starts the worker, which first chooses the sources.
void device_open(FLUTTER_API_SYMBOL(FlutterEngine) engine);
// True when the message is on one of the two channels (answered once).
bool device_handle(FLUTTER_API_SYMBOL(FlutterEngine) engine, const FlutterPlatformMessage* message);
// The power daemon told of a new battery level or charging state.
void device_on_battery_event();
// The control FIFO's "battery LEVEL [charging]": written where the battery
// is read from (only a stand-in battery moves), then told to listeners.
void device_set_battery(int level, bool charging);
// Milliseconds until a reply's time limit or the next battery poll; -1: none.
int device_next_timeout_ms();
void device_run_due();
// Gives the screensaver back when the application kept it away, and answers
// every call still pending; before the engine shuts down.
void device_close();
// folian --check: chooses the sources here and now, one line each.
void device_check();
