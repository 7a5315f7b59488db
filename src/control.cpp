// Placeholder until the control pipe lands.
#include "control.h"

void control_open(ControlPowerHandler) {}
int control_fd() { return -1; }
void control_read() {}
int control_next_timeout_ms() { return -1; }
void control_run_due(FLUTTER_API_SYMBOL(FlutterEngine)) {}
void control_close() {}
