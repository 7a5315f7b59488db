#include "panel_stub.h"

#include "device.h"
#include "display.h"
#include "eink.h"

namespace panel {

State& state() {
  static State s;
  return s;
}

void reset() { state() = State{}; }

}  // namespace panel

void eink_set_mode(int) {}
const char* eink_kind_name() { return "mtk"; }
void eink_arm_swipe(unsigned, unsigned) {}
bool eink_supports_swipe() { return panel::state().supports_swipe; }
bool eink_kind_pending() { return panel::state().kind_pending; }
bool eink_swipe_busy() { return panel::state().swipe_busy; }
void display_full_refresh() {}
bool display_is_suspended() { return panel::state().suspended; }
void display_show_sleep_cover(const char*, unsigned, unsigned) {}
void display_set_night(bool) {}
void display_set_dithering(bool) {}
void display_set_flash_every(int, int) {}
void display_set_motion(bool) {}
DisplayModes display_modes() { return {}; }
// The control FIFO's battery command moves the stand-in battery; the fuzzer
// only needs the call to exist.
void device_set_battery(int, bool) {}
