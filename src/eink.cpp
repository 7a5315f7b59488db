// Placeholder until the e-ink driver lands.
#include "eink.h"

int eink_refresh(int, int, int, unsigned, unsigned, int) { return 0; }
void eink_set_mode(int) {}
int eink_mode() { return 0; }
const char* eink_last_waveform_name() { return "?"; }
const char* eink_kind_name() { return "unknown"; }
void eink_set_screen_size(int, int) {}
void eink_arm_swipe(unsigned, unsigned) {}
bool eink_supports_swipe() { return false; }
bool eink_swipe_busy() { return false; }
