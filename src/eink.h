// E-ink refresh driver: the four EPDC update-record layouts, probing, the
// waveform table and the driver-side page-turn animation.
#pragma once

int eink_refresh(int fd, int x, int y, unsigned w, unsigned h, int full);
void eink_set_mode(int mode);
int eink_mode();
const char* eink_last_waveform_name();
const char* eink_kind_name();
void eink_set_screen_size(int width, int height);

void eink_arm_swipe(unsigned direction, unsigned steps);
bool eink_supports_swipe();
bool eink_swipe_busy();
