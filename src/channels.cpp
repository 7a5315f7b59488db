// Placeholder until the e-ink channels land: no channel is ours yet.
#include "channels.h"

int channels_handle(FLUTTER_API_SYMBOL(FlutterEngine), const FlutterPlatformMessage*) { return 0; }
void channels_on_screensaver() {}
int channels_next_timeout_ms() { return -1; }
void channels_run_due() {}
