// The "flutter/platform" system channel: quit request and text clipboard.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "flutter_embedder.h"

// Sends exactly one response when the message carries a response handle;
// returns whether the application asked to quit.
bool platform_handle(FLUTTER_API_SYMBOL(FlutterEngine) engine,
                     const FlutterPlatformMessage* message);

// The decoded string value of the first occurrence of "key" in the JSON bytes
// [begin, end), as a malloc'ed NUL-terminated text the caller frees, or
// nullptr.  `length`, when given, receives the decoded byte count (which may
// exceed strlen when the text holds an escaped NUL).  Used by platform_handle;
// declared here so the fuzz target can reach it.
char* json_string_field(const uint8_t* begin, const uint8_t* end, const char* key,
                        size_t* length = nullptr);
