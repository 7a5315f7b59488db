// Placeholder until the input module lands: no devices.
#include "input.h"

void input_open(unsigned, unsigned) {}
int input_poll_fds(struct pollfd*, int) { return 0; }
void input_process(const struct pollfd*, int, FLUTTER_API_SYMBOL(FlutterEngine)) {}
void input_set_enabled(FLUTTER_API_SYMBOL(FlutterEngine), bool) {}
void input_synthetic_pointer(FLUTTER_API_SYMBOL(FlutterEngine), FlutterPointerPhase, double, double) {}
void input_send_page_key(FLUTTER_API_SYMBOL(FlutterEngine), bool, int) {}
void input_close() {}
