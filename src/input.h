// Touch screens and page buttons: discovery, event translation, pointer and
// key events for the engine.
#pragma once

#include <poll.h>

#include "flutter_embedder.h"

void input_open(unsigned width, unsigned height);
int input_poll_fds(struct pollfd* fds, int capacity);
void input_process(const struct pollfd* fds, int count, FLUTTER_API_SYMBOL(FlutterEngine) engine);
void input_set_enabled(FLUTTER_API_SYMBOL(FlutterEngine) engine, bool enabled);
void input_synthetic_pointer(FLUTTER_API_SYMBOL(FlutterEngine) engine, FlutterPointerPhase phase,
                             double x, double y);
void input_send_page_key(FLUTTER_API_SYMBOL(FlutterEngine) engine, bool next, int action);
void input_close();
