// The application's e-ink method channels and their deferred work.
#pragma once

#include "flutter_embedder.h"

// True when the message is on one of our channels (answered once when it
// carries a response handle), false when it is not ours (nothing sent).
bool channels_handle(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                     const FlutterPlatformMessage* message);
// The screensaver came up: schedule the sleep cover when the application set one.
void channels_on_screensaver();
// Milliseconds until the earliest deadline, rounded up; 0 when due, -1 when none.
int channels_next_timeout_ms();
void channels_run_due();
// Before the engine shuts down: replies still held back are sent, from what
// is known by then, since every message must have its answer.
void channels_close();
