// The application's e-ink method channels and their deferred work.
#pragma once

#include "flutter_embedder.h"

int channels_handle(FLUTTER_API_SYMBOL(FlutterEngine) engine, const FlutterPlatformMessage* message);
void channels_on_screensaver();
int channels_next_timeout_ms();
void channels_run_due();
