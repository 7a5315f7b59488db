// Touch screens and page buttons: discovery, event translation, pointer and
// key events for the engine.
#pragma once

#include <poll.h>

#include "flutter_embedder.h"

// What happens to a page key, as the engine is told.
enum KeyAction : int {
  kKeyPress = 0,
  kKeyRelease = 1,
  kKeyRepeat = 2,
};

void input_open(unsigned width, unsigned height);
// The settings input_open reads, each told in one line when it breaks its
// rule; nothing is opened.
void input_read_settings();
// The event nodes input_open would look at that this process may read.
int input_count_readable_nodes();
int input_poll_fds(struct pollfd* fds, int capacity);
void input_process(const struct pollfd* fds, int count, FLUTTER_API_SYMBOL(FlutterEngine) engine);
void input_set_enabled(FLUTTER_API_SYMBOL(FlutterEngine) engine, bool enabled);
void input_synthetic_pointer(FLUTTER_API_SYMBOL(FlutterEngine) engine, FlutterPointerPhase phase,
                             double x, double y);
// `action` is a KeyAction; any other value is taken as a press.
void input_send_page_key(FLUTTER_API_SYMBOL(FlutterEngine) engine, bool next, int action);
// Contacts reach the engine in the frame of the application's picture,
// turned `degrees` clockwise on the panel (after the touch screen's own
// swap and mirror settings).
void input_set_orientation(int degrees);
void input_close();
