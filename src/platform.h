// The "flutter/platform" system channel: quit request and text clipboard.
#pragma once

#include "flutter_embedder.h"

// Sends exactly one response; returns 1 when the application asked to quit.
int platform_handle(FLUTTER_API_SYMBOL(FlutterEngine) engine, const FlutterPlatformMessage* message);
